// Parameters: names accepted, values by type, replacement in place, and
// release.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "data/para_mgr.h"
#include "stdclass/cpp/err/thr_err.h"

// The runtime's singletons print their first-use lines (the module path
// notice) when the program starts, not inside a test's captured output.
[[maybe_unused]] inline const int kRuntimeWarm = (Thread_Get_Id(), Thr_Get_Err_Code(), 0);

namespace {

TEST(ParaMgr, CheckName) {
    struct Case {
        const char* name;
        int ok;
    } cases[] = {{"file_id", 1}, {"_x", 1}, {"a.b", 1}, {"t#1", 1}, {"v$2", 1}, {"名称", 1},
                 {"1abc", 0},    {"", 0},   {"a b", 0}, {"a-b", 0}, {nullptr, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(TParaMgr::Check_Name(c.name), c.ok) << (c.name ? c.name : "(null)");
    }
    TParaMgr m;
    EXPECT_EQ(m.Push_Str("a b", "x"), 0);
    EXPECT_EQ(m.para_list.Count(), 0);
}

TEST(ParaMgr, PushingANameAgainReplacesTheValueInPlace) {
    TParaMgr m;
    m.Push_Str("a", "one");
    m.Push_Int("b", 2);
    m.Push_Str("a", "second");
    ASSERT_EQ(m.para_list.Count(), 2);
    auto* first = static_cast<ParaStru*>(m.para_list.GetAt(0));
    EXPECT_STREQ(first->Get_Name(), "a");
    EXPECT_STREQ(first->value, "second");
    EXPECT_EQ(first->size, 7);
    EXPECT_EQ(m.Find_Para("A"), nullptr);  // case matters
    EXPECT_EQ(m.Find_Para("b"), m.para_list.GetAt(1));
}

TEST(ParaMgr, ValuesAsText) {
    TParaMgr m;
    char buf[100];
    m.Push_Int("i", 42);
    ParaStru* p = m.Find_Para("i");
    EXPECT_EQ(p->type, 'I');
    EXPECT_EQ(p->size, 4);
    p->Get_Text(buf);
    EXPECT_STREQ(buf, "42");

    m.Push_Str("n", nullptr);
    EXPECT_EQ(m.Find_Para("n")->size, 1);
    EXPECT_STREQ(m.Find_Para("n")->value, "");

    ParaStru s;
    EXPECT_EQ(s.Set_Value("abcdef", 'S', 3), 1);
    EXPECT_EQ(s.size, 4);
    EXPECT_STREQ(s.value, "abc");
    EXPECT_EQ(s.Set_Value("ab", 'S', 5), 1);  // shorter than the size: read to its end only
    EXPECT_STREQ(s.value, "ab");

    float f = 1.5f;
    EXPECT_EQ(s.Set_Value(&f, 'F', 0), 1);
    s.Get_Text(buf);
    EXPECT_STREQ(buf, "1.500000");
    unsigned char c = 200;
    EXPECT_EQ(s.Set_Value(&c, 'C', 0), 1);
    s.Get_Text(buf);
    EXPECT_STREQ(buf, "200");
    EXPECT_EQ(s.Set_Value("x", 'Q', 0), 0);  // unknown type without a size
    EXPECT_EQ(s.size, 1);                    // the old value stays
    std::strcpy(buf, "untouched");
    s.Get_Text(buf);
    EXPECT_STREQ(buf, "untouched");
}

TEST(ParaMgr, ResetEmptiesTheList) {
    TParaMgr m;
    EXPECT_EQ(m.Reset_Para(), 1);
    m.Push_Int("a", 1);
    m.Push_Int("b", 2);
    EXPECT_EQ(m.Reset_Para(), 1);
    EXPECT_EQ(m.para_list.Count(), 0);
    EXPECT_EQ(m.Find_Para("a"), nullptr);
}

}  // namespace
