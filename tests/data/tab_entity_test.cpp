// Statement texts of the table entity builder, read from what a
// communication area prints when the pool has no connection for it.
#include <gtest/gtest.h>

#include <string>

#include "data/para_mgr.h"
#include "data/sqlca.h"
#include "data/tab_entity.h"
#include "stdclass/cpp/err/thr_err.h"

// The runtime's singletons print their first-use lines (the module path
// notice) when the program starts, not inside a test's captured output.
[[maybe_unused]] inline const int kRuntimeWarm = (Thread_Get_Id(), Thr_Get_Err_Code(), 0);

namespace {

const std::string kNoSession = "Get_Session Fail grp_name (null) tot num 0\n";

std::string Fail_Lines(const std::string& sql) {
    return kNoSession + "*** fail to run " + sql + "\n*** cant get db connection\n";
}

class Files : public TTab_Entity {
public:
    Files() : TTab_Entity("app_fs_file") {
        Define("file_id", 'I', 1, "文件序号");
        Define("storage_id", 'S', 0, nullptr);
        Define("file_size", 'I', 0, nullptr);
        Define("rate", 'F', 0, nullptr);
    }
};

class TabEntity : public testing::Test {
protected:
    void TearDown() override { Thr_Clear_Err(); }
};

TEST_F(TabEntity, DefineTakesAtMost120Attributes) {
    TTab_Entity e("t");
    for (int i = 0; i < 120; ++i) {
        ASSERT_EQ(e.Define(("a" + std::to_string(i)).c_str(), 'S', 0, nullptr), 1);
    }
    EXPECT_EQ(e.Define("extra", 'S', 0, nullptr), 0);
    char msg[100];
    int code = 0;
    Thr_Get_Err(&code, msg, 0);
    EXPECT_EQ(code, 99);
    EXPECT_STREQ(msg, "too much attr in TTab_Entity::Define");
    EXPECT_STREQ(e.Get_Attr(0)->caption, "a0");

    TTab_Entity f("t");
    EXPECT_EQ(f.Define(std::string(41, 'n').c_str(), 'S', 0, nullptr), 0);
    EXPECT_EQ(f.Get_Attr_Count(), 0);
}

TEST_F(TabEntity, InsertPrintsItsStatementAfterRunningItAndRollsBackTwice) {
    Files e;
    TParaMgr p;
    p.Push_Int("file_id", 7);
    p.Push_Str("storage_id", "A");
    p.Push_Str("not_an_attr", "x");
    p.Push_Str("rate", "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(e.Insert(&p), 0);
    std::string sql = "insert into app_fs_file(file_id,storage_id,rate) values(7,'A',0)";
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              Fail_Lines(sql) + "insert sql: " + sql + "\n" + Fail_Lines("rollback") +
                  Fail_Lines("rollback"));
    EXPECT_EQ(Thr_Get_Err_Code(), 999);
}

TEST_F(TabEntity, DeletePrintsItsStatementBeforeRunningIt) {
    Files e;
    TParaMgr p;
    p.Push_Str("storage_id", "O'Brien");
    p.Push_Int("file_size", 3);
    testing::internal::CaptureStdout();
    EXPECT_EQ(e.Delete(&p), 0);
    std::string sql = "delete from app_fs_file where storage_id='O''Brien' and file_size=3";
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "delete sql: " + sql + "\n" + Fail_Lines(sql) + Fail_Lines("rollback") +
                  Fail_Lines("rollback"));

    // A list that matches no attribute deletes every row.
    TParaMgr none;
    none.Push_Str("other", "x");
    testing::internal::CaptureStdout();
    e.Delete(&none);
    EXPECT_EQ(testing::internal::GetCapturedStdout().substr(0, 36),
              "delete sql: delete from app_fs_file\n");
}

TEST_F(TabEntity, UpdateStatements) {
    Files e;
    struct Case {
        const char* what;
        void (*fill)(TParaMgr&);
        std::string sql;
    } cases[] = {
        {"set and key",
         [](TParaMgr& p) {
             p.Push_Int("file_size", 10);
             p.Push_Int("file_id", 7);
         },
         "update app_fs_file set file_size=10 where file_id=7"},
        {"only the key", [](TParaMgr& p) { p.Push_Int("file_id", 7); },
         "update app_fs_file set  where file_id=7"},
        {"integer into a text attribute",
         [](TParaMgr& p) {
             p.Push_Int("storage_id", 5);
             p.Push_Str("file_id", "8");
         },
         "update app_fs_file set storage_id='5' where file_id=8"},
    };
    for (const Case& c : cases) {
        TParaMgr p;
        c.fill(p);
        testing::internal::CaptureStdout();
        EXPECT_EQ(e.Update(&p), 0) << c.what;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.substr(0, Fail_Lines(c.sql).size()), Fail_Lines(c.sql)) << c.what;
    }

    TParaMgr no_key;
    no_key.Push_Int("file_size", 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(e.Update(&no_key), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // nothing run
    char msg[100];
    int code = 0;
    Thr_Get_Err(&code, msg, 0);
    EXPECT_EQ(code, 99);
    EXPECT_STREQ(msg, "key attr file_id not set");
}

TEST_F(TabEntity, SelectStatements) {
    Files e;
    const std::string head = "select file_id,storage_id,file_size,rate from app_fs_file";
    struct Case {
        const char* cond;
        const char* tail;
        std::string sql;
    } where_cases[] = {
        {"where file_id=7", nullptr, head + " where file_id=7"},
        {"   file_id=7", nullptr, head + " where file_id=7"},
        {"   ", nullptr, head},
        {nullptr, "order by file_id", head + " order by file_id"},
        {"file_id>1", "", head + " where file_id>1"},
    };
    for (const Case& c : where_cases) {
        TSQLCA ca;
        testing::internal::CaptureStdout();
        EXPECT_EQ(e.Select_Where(c.cond, &ca, c.tail), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), Fail_Lines(c.sql) + Fail_Lines("rollback"));
    }
    TSQLCA ca;
    TParaMgr p;
    p.Push_Str("storage_id", "");
    p.Push_Str("file_size", "");
    testing::internal::CaptureStdout();
    e.Select(&p, &ca, "order by 1");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              Fail_Lines(head + " where storage_id='' and file_size=0 order by 1") +
                  Fail_Lines("rollback"));
    testing::internal::CaptureStdout();
    e.Select(nullptr, &ca, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Fail_Lines(head) + Fail_Lines("rollback"));
}

TEST_F(TabEntity, NumericAttributeGetsOnlyNumbersBare) {
    Files e;
    struct Case {
        const char* value;
        std::string written;
    } cases[] = {{"12", "12"},   {"-3.5", "-3.5"}, {"1e3", "1e3"},
                 {"", "0"},      {"1 or 1=1", "'1 or 1=1'"}, {"x'y", "'x''y'"}};
    for (const Case& c : cases) {
        TParaMgr p;
        p.Push_Str("file_size", c.value);
        testing::internal::CaptureStdout();
        e.Delete(&p);
        std::string out = testing::internal::GetCapturedStdout();
        std::string line = "delete sql: delete from app_fs_file where file_size=" + c.written + "\n";
        EXPECT_EQ(out.substr(0, line.size()), line) << c.value;
    }
}

}  // namespace
