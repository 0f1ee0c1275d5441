// Result table and its function table: names and limits, rows and the
// cursor, values with and without length, search, and release.
#include <gtest/gtest.h>

#include <string>

#include "data/data_oper.h"
#include "data/db_data_mgr.h"
#include "stdclass/cpp/err/thr_err.h"

// The runtime's singletons print their first-use lines (the module path
// notice) when the program starts, not inside a test's captured output.
[[maybe_unused]] inline const int kRuntimeWarm = (Thread_Get_Id(), Thr_Get_Err_Code(), 0);

namespace {

const std::string kRange = "ERROR: Field is out of range!\n";

// Runs fn with standard output captured; returns what was printed.
template <typename Fn>
std::string Out(Fn fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

TEST(DBDataMgr, NamesAreStoredInTheirCase) {
    DBDataMgr t;
    EXPECT_EQ(t.Set_Field_Count(2), 1);
    EXPECT_EQ(t.Set_Field_Name(0, "Emp_ID"), 1);
    EXPECT_STREQ(t.Get_Field_Name(0), "emp_id");
    EXPECT_EQ(t.Set_Field_Name(1, "姓名AB"), 1);
    EXPECT_STREQ(t.Get_Field_Name(1), "姓名ab");
    EXPECT_EQ(t.Set_Table_Name("emp_list"), 1);
    EXPECT_STREQ(t.Get_Table_Name(), "EMP_LIST");
    EXPECT_EQ(t.Set_Table_Name(nullptr), 1);
    EXPECT_STREQ(t.Get_Table_Name(), "EMP_LIST");
    // A name longer than the field is refused whole.
    EXPECT_EQ(t.Set_Table_Name(std::string(80, 'x').c_str()), 0);
    EXPECT_STREQ(t.Get_Table_Name(), "EMP_LIST");
    EXPECT_EQ(t.Set_Table_Name(std::string(79, 'x').c_str()), 1);
}

TEST(DBDataMgr, FieldIndexAndCountLimits) {
    DBDataMgr t;
    struct Case {
        const char* what;
        int result;
        std::string out;
        int (*op)(DBDataMgr&);
    } cases[] = {
        {"null name anywhere", 1, "", [](DBDataMgr& t) { return t.Set_Field_Name(999, nullptr); }},
        {"name at 120", 0, kRange, [](DBDataMgr& t) { return t.Set_Field_Name(120, "x"); }},
        {"name at 119", 1, "", [](DBDataMgr& t) { return t.Set_Field_Name(119, "x"); }},
        {"type at -1", 0, kRange, [](DBDataMgr& t) { return t.Set_Field_Type(-1, 'I'); }},
        {"size at 120", 0, kRange, [](DBDataMgr& t) { return t.Set_Field_Size(120, 1); }},
        {"scale at 0", 1, "", [](DBDataMgr& t) { return t.Set_Field_Scale(0, 2); }},
        {"type read at 120", '0', kRange, [](DBDataMgr& t) { return int(t.Get_Field_Type(120)); }},
        {"size read at 120", 0, kRange, [](DBDataMgr& t) { return t.Get_Field_Size(120); }},
        {"count 119", 1, "", [](DBDataMgr& t) { return t.Set_Field_Count(119); }},
        {"count 120", 0, kRange, [](DBDataMgr& t) { return t.Set_Field_Count(120); }},
        {"count -1", 0, kRange, [](DBDataMgr& t) { return t.Set_Field_Count(-1); }},
    };
    for (const Case& c : cases) {
        int r = -99;
        EXPECT_EQ(Out([&] { r = c.op(t); }), c.out) << c.what;
        EXPECT_EQ(r, c.result) << c.what;
    }
    EXPECT_EQ(t.Get_Field_Count(), 119);  // the refused counts changed nothing
    EXPECT_EQ(Out([&] { EXPECT_EQ(t.Get_Field_Name(120), nullptr); }), kRange);
}

TEST(DBDataMgr, SetFieldCountReleasesNames) {
    DBDataMgr t;
    t.Set_Field_Count(1);
    t.Set_Field_Name(0, "a");
    t.Set_Field_Name(5, "b");
    t.Set_Field_Count(2);
    EXPECT_EQ(t.Get_Field_Name(0), nullptr);
    EXPECT_EQ(t.Get_Field_Name(5), nullptr);
}

TEST(DBDataMgr, AddRowNeedsFields) {
    DBDataMgr t;
    EXPECT_EQ(Out([&] { EXPECT_EQ(t.Add_Row(), 0); }),
              "ERROR: the field count is 0,cant alloc memory\n");
    EXPECT_EQ(t.Get_Row_Count(), 0);
}

TEST(DBDataMgr, ValuesWithAndWithoutLength) {
    DBDataMgr t;
    t.Set_Field_Count(2);
    EXPECT_EQ(t.Set_Value(0, "x"), 0);  // no row yet
    ASSERT_EQ(t.Add_Row(), 1);
    EXPECT_EQ(t.Set_Value(0, "abc"), 1);
    EXPECT_STREQ(t.Get_Value(0), "abc");
    EXPECT_EQ(t.Set_Value(0, nullptr), 1);  // releases the value
    EXPECT_EQ(t.Get_Value(0), nullptr);
    EXPECT_EQ(t.Set_Value(2, "x"), 0);   // outside the field count
    EXPECT_EQ(t.Set_Value(-1, "x"), 0);
    EXPECT_EQ(t.Get_Value(5), nullptr);  // never reads outside the row

    const char bytes[] = {'a', 0, 'b'};
    EXPECT_EQ(t.Set_Value_With_Len(1, bytes, 3), 1);
    EXPECT_STREQ(t.Get_Value(1), "a");
    EXPECT_EQ(t.Get_Value(1)[2], 'b');
    EXPECT_EQ(t.Get_Value(1)[3], 0);
    EXPECT_EQ(t.Set_Value_With_Len(1, nullptr, 0), 1);
    ASSERT_NE(t.Get_Value(1), nullptr);  // empty, not missing
    EXPECT_STREQ(t.Get_Value(1), "");
    EXPECT_EQ(t.Set_Value_With_Len(1, nullptr, 4), 0);  // no bytes to copy: refused
    EXPECT_EQ(t.Set_Value_With_Len(1, bytes, -1), 0);
}

TEST(DBDataMgr, CursorWalksRowsInOrder) {
    DBDataMgr t;
    EXPECT_EQ(t.First(), 0);
    EXPECT_EQ(t.Get_Value(0), nullptr);
    EXPECT_EQ(t.Find_First(0, ""), 1);  // a missing value equals an empty text
    t.Set_Field_Count(1);
    for (const char* v : {"r0", "r1", "r2"}) {
        t.Add_Row();
        t.Set_Value(0, v);
    }
    // Add_Row leaves the cursor on the new row and the number where it was.
    EXPECT_STREQ(t.Get_Value(0), "r2");
    EXPECT_EQ(t.Get_Cur_Row_No(), 0);
    EXPECT_EQ(t.Next(), 0);  // out of step: never past the last row
    ASSERT_EQ(t.First(), 1);
    EXPECT_STREQ(t.Get_Value(0), "r0");
    EXPECT_EQ(t.Has_Next(), 1);
    EXPECT_EQ(t.Next(), 1);
    EXPECT_EQ(t.Next(), 1);
    EXPECT_EQ(t.Has_Next(), 0);
    EXPECT_EQ(t.Next(), 0);
    EXPECT_STREQ(t.Get_Value(0), "r2");
    EXPECT_EQ(t.Go_Row(3), 0);
    EXPECT_EQ(t.Go_Row(1), 1);
    EXPECT_STREQ(t.Get_Value(0), "r1");
    EXPECT_EQ(t.Go_Row(-1), 1);
    EXPECT_STREQ(t.Get_Value(0), "r0");
    // A row count written larger than the rows present reads no further.
    t.Set_Row_Count(10);
    EXPECT_EQ(t.Go_Row(5), 0);
    EXPECT_EQ(t.Set_Row_Count(-1), 0);
}

TEST(DBDataMgr, SearchComparesExactly) {
    DBDataMgr t;
    t.Set_Field_Count(1);
    for (const char* v : std::initializer_list<const char*>{"ABC", "abc", nullptr}) {
        t.Add_Row();
        t.Set_Value(0, v);
    }
    EXPECT_EQ(t.Find_First(0, "abc"), 1);
    EXPECT_EQ(t.Get_Cur_Row_No(), 1);
    EXPECT_EQ(t.Find_First(0, "x"), 0);
    EXPECT_EQ(t.Get_Cur_Row_No(), 2);  // stays on the last row
    EXPECT_EQ(t.Find_First(0, nullptr), 1);
    EXPECT_EQ(t.Get_Cur_Row_No(), 2);
    t.First();
    EXPECT_EQ(t.Value_Equals(0, "ABC"), 1);
    EXPECT_EQ(t.Value_Equals(0, "abc"), 0);
}

TEST(DBDataMgr, ErrorMessageKeepsItsFirst4096Characters) {
    DBDataMgr t;
    t.Set_Error(-100, std::string(5000, 'm').c_str());
    EXPECT_EQ(t.Get_Err_Code(), -100);
    EXPECT_EQ(std::string(t.Get_Err_Msg()), std::string(4096, 'm'));
    // A cut never splits a UTF-8 character.
    std::string text = std::string(4095, 'm') + "错";
    t.Set_Error(1, text.c_str());
    EXPECT_EQ(std::string(t.Get_Err_Msg()), std::string(4095, 'm'));
    t.Set_Error(2, nullptr);
    EXPECT_STREQ(t.Get_Err_Msg(), "");
}

TEST(DBDataMgr, FieldCountChangedUnderRowsIsReleasedCorrectly) {
    auto* t = new DBDataMgr();
    t->Set_Field_Count(3);
    t->Add_Row();
    t->Set_Value(2, "third");
    t->Set_Field_Count(1);  // the row keeps its three cells
    t->Add_Row();
    t->Set_Value(0, "x");
    delete t;  // the sanitizer build checks that all of it was released
}

TEST(DataOperTable, SlotsForwardToTheTable) {
    Data_Oper_Table ops;
    EXPECT_EQ(Init_Data_Oper(&ops), 1);
    DBDataMgr t;
    EXPECT_EQ(ops.Set_Field_Count(&t, 3), 1);
    EXPECT_EQ(ops.Set_Field_Type(&t, 2, 'I'), 1);
    EXPECT_EQ(ops.Get_Field_Type(&t, 2), 'I');
    EXPECT_EQ(ops.Get_Field_Type(&t, 1), 'S');
    EXPECT_NE(ops.Get_Table_Name(&t), nullptr);
    EXPECT_STREQ(ops.Get_Table_Name(&t), "");
    ops.Set_Field_Name(&t, 0, "A");
    ops.Set_Handle(&t, 42);
    EXPECT_EQ(ops.Get_Handle(&t), 42);
    ops.Add_Row(&t);
    ops.Set_Value(&t, 0, "v");
    EXPECT_EQ(ops.Get_Row_Count(&t), 1);
    EXPECT_STREQ(ops.Get_Value(&t, 0), "v");
    // Slot 0 empties the counts without releasing; slot 1 releases. Keep a
    // second table to show the difference without leaking.
    DBDataMgr u;
    ops.Set_Field_Count(&u, 1);
    ops.CFree(&u);
    EXPECT_EQ(ops.Get_Field_Count(&u), 0);
    EXPECT_EQ(ops.Init(&u), 1);
    EXPECT_EQ(ops.Get_Row_Count(&t), 1);
    EXPECT_EQ(ops.CFree(&t), 1);
    EXPECT_EQ(ops.Get_Row_Count(&t), 0);
    EXPECT_EQ(ops.Get_Handle(&t), 0);

    // The slot order is the interface: each entry sits at its fixed offset.
    auto slot = [&](auto member) {
        return (reinterpret_cast<const char*>(&(ops.*member)) - reinterpret_cast<const char*>(&ops)) /
               static_cast<long>(sizeof(void*));
    };
    EXPECT_EQ(slot(&Data_Oper_Table::Init), 0);
    EXPECT_EQ(slot(&Data_Oper_Table::Set_Handle), 10);
    EXPECT_EQ(slot(&Data_Oper_Table::Get_Table_Name), 13);
    EXPECT_EQ(slot(&Data_Oper_Table::Get_Value), 21);
    EXPECT_EQ(slot(&Data_Oper_Table::Go_Row), 26);
    EXPECT_EQ(sizeof(Data_Oper_Table), 27 * sizeof(void*));
}

}  // namespace
