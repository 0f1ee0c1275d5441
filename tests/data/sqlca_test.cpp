// Communication area without a database: work areas, the status snapshot,
// reading cells, filling the current table, and the answer when the pool has
// no connection for the thread.
#include <gtest/gtest.h>

#include <string>

#include "data/para_mgr.h"
#include "data/sqlca.h"
#include "stdclass/cpp/err/thr_err.h"

// The runtime's singletons print their first-use lines (the module path
// notice) when the program starts, not inside a test's captured output.
[[maybe_unused]] inline const int kRuntimeWarm = (Thread_Get_Id(), Thr_Get_Err_Code(), 0);

namespace {

const std::string kNoSession = "Get_Session Fail grp_name (null) tot num 0\n";

std::string Fail_Lines(const std::string& sql) {
    return kNoSession + "*** fail to run " + sql + "\n*** cant get db connection\n";
}

TEST(SQLCA, NewAreaIsEmpty) {
    TSQLCA ca;
    EXPECT_EQ(ca.Get_Area(), 0);
    EXPECT_EQ(ca.Get_Sqlcode(), 0);
    EXPECT_EQ(ca.Get_Value(0), nullptr);
    EXPECT_EQ(ca.SelectArea(9), 0);
    EXPECT_EQ(ca.Get_Area(), 0);
    EXPECT_EQ(ca.SelectArea(8), 1);
    EXPECT_NE(ca.Get_Table(), nullptr);
}

TEST(SQLCA, AreasKeepTheirOwnTablesAndSnapshots) {
    TSQLCA ca;
    ca.Set_Field_Count(1);
    ca.Add_Row();
    ca.Set_Value(0, "zero");
    ca.SelectArea(3);
    EXPECT_EQ(ca.Get_Row_Count(), 0);
    ca.Set_Field_Count(2);
    ca.SelectArea(0);
    EXPECT_EQ(ca.Get_Row_Count(), 1);
    ca.First();
    EXPECT_STREQ(ca.Get_Value(0), "zero");
    ca.SelectArea(3);
    EXPECT_EQ(ca.Get_Field_Count(), 2);
    EXPECT_EQ(ca.Get_Row_Count(), 0);
}

TEST(SQLCA, FirstErrorWins) {
    TSQLCA ca;
    EXPECT_EQ(ca.Set_Sqlcode(5), 5);
    EXPECT_EQ(ca.Set_Sqlcode(7), 5);
    EXPECT_EQ(ca.Get_Sqlcode(), 5);
    EXPECT_EQ(ca.Set_Sqlcode(0), 0);
    EXPECT_EQ(ca.Get_Sqlcode(), 0);
    EXPECT_STREQ(ca.Get_Sqlmsg(), "");
    EXPECT_STREQ(ca.Get_Stmt(), "");
}

TEST(SQLCA, ExecuteWithoutConnectionAnswers999) {
    TSQLCA ca;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ca.Execute("select 1"), 999);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Fail_Lines("select 1"));
    EXPECT_EQ(ca.Get_Sqlcode(), 999);
    EXPECT_STREQ(ca.Get_Sqlmsg(), "cant get db connection");
    EXPECT_STREQ(ca.Get_Stmt(), "select 1");

    // A long statement is printed whole; the area keeps its first 4096.
    std::string longer = "select '" + std::string(5000, 'x') + "'";
    testing::internal::CaptureStdout();
    ca.Execute(longer.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Fail_Lines(longer));
    EXPECT_EQ(std::string(ca.Get_Stmt()), longer.substr(0, 4096));

    // Batch insert fails the same way without printing anything.
    testing::internal::CaptureStdout();
    EXPECT_EQ(ca.Batch_Insert(), 999);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kNoSession);
}

TEST(SQLCA, ExecuteFmtRunsTheWholeFormattedText) {
    TSQLCA ca;
    testing::internal::CaptureStdout();
    ca.Execute_Fmt("delete from t where id=%d and name='%s'", 7, "n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              Fail_Lines("delete from t where id=7 and name='n'"));
}

TEST(SQLCA, ReadingCells) {
    TSQLCA ca;
    ca.Set_Field_Count(3);
    ca.Add_Row();
    ca.Set_Value(0, "12abc");
    ca.Set_Value(1, "");
    ca.First();
    struct Case {
        int col;
        int result;
        int value;
    } ints[] = {{0, 1, 12}, {1, 1, 0}, {2, 0, 0}, {3, 0, 0}, {-1, 0, 0}};
    for (const Case& c : ints) {
        int v = -1;
        EXPECT_EQ(ca.Get_Int(c.col, &v), c.result) << c.col;
        EXPECT_EQ(v, c.value) << c.col;
    }
    char buf[20] = "junk";
    EXPECT_EQ(ca.Get_Str(2, buf), 1);  // no value: empty text
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(ca.Get_Str(0, buf), 1);
    EXPECT_STREQ(buf, "12abc");
    EXPECT_EQ(ca.Get_Str(5, buf), 0);
    EXPECT_STREQ(buf, "");

    // A failed statement blocks reading even though rows are still there.
    ca.Set_Sqlcode(3);
    EXPECT_EQ(ca.Get_Value(0), nullptr);
    EXPECT_EQ(ca.Next(), 0);
}

TEST(SQLCA, FillingAndSearchingTheCurrentTable) {
    TSQLCA ca;
    EXPECT_EQ(ca.Set_Table_Name(nullptr), 1);
    EXPECT_EQ(ca.Set_Table_Name("emp"), 1);
    EXPECT_STREQ(ca.Get_Table()->Get_Table_Name(), "EMP");
    ca.Set_Field_Count(1);
    for (const char* v : {"a", "b", "c"}) {
        ca.Add_Row();
        ca.Set_Value(0, v);
    }
    EXPECT_EQ(ca.Get_Row_Count(), 3);
    EXPECT_EQ(ca.Find_First(0, "b"), 1);
    EXPECT_EQ(ca.Find_First(0, "z"), 0);
}

TEST(SQLCA, RowToParaSkipsUnnamedFields) {
    TSQLCA ca;
    ca.Set_Field_Count(3);
    ca.Get_Table()->Set_Field_Name(0, "A");
    ca.Get_Table()->Set_Field_Name(1, "b");
    ca.Add_Row();
    ca.Set_Value(0, "1");
    ca.First();
    TParaMgr p;
    EXPECT_EQ(ca.Row_To_Para(&p), 1);
    ASSERT_EQ(p.para_list.Count(), 2);
    EXPECT_STREQ(p.Find_Para("a")->value, "1");
    EXPECT_STREQ(p.Find_Para("b")->value, "");  // missing value: empty string
}

TEST(SQLCA, ReportErrHandsTheErrorToTheThreadAndRollsBack) {
    TSQLCA ca;
    testing::internal::CaptureStdout();
    ca.Execute("select 1");
    EXPECT_EQ(ca.Report_Err(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Fail_Lines("select 1") + Fail_Lines("rollback"));
    char msg[100];
    int code = 0;
    Thr_Get_Err(&code, msg, 0);
    EXPECT_EQ(code, 999);
    EXPECT_STREQ(msg, "cant get db connection");
    Thr_Clear_Err();
}

}  // namespace
