// The SQLite driver module on a real database file: result tables filled
// through the function table, SQLite's own codes and texts on failure, the
// one open transaction per connection, batch insert and the unsupported
// entry points.
#include "sqlite_fixture.h"

namespace {

using SqliteDriver = SqliteTest;

TEST_F(SqliteDriver, ConnectCreatesTheFileAndHandsOutDistinctHandles) {
    EXPECT_TRUE(std::filesystem::exists(db_path));
    EXPECT_GT(conn->drv_handle, 0);
    TDb_Connect* second = Open();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second->drv_handle, conn->drv_handle);
    second->Disconnect();
    delete second;
}

TEST_F(SqliteDriver, ConnectToAnUnopenableFileFailsWithSqlitesText) {
    TDb_Connect c;
    testing::internal::CaptureStdout();
    ASSERT_EQ(c.Load_Driver(Sqlite_Module().c_str()), 1);
    testing::internal::GetCapturedStdout();
    std::string bad = dir + "/missing/sub/x.db";
    EXPECT_EQ(c.Connect(0, bad.c_str(), "", "", nullptr, 0), 0);
    EXPECT_EQ(c.drv_handle, 0);
}

TEST_F(SqliteDriver, QueryFillsTheTableWithLowerCasedNamesAndTextValues) {
    Sql("create table emp(Emp_ID integer, Name text, Salary real, Note text)");
    Sql("insert into emp values(1,'Ann',10.5,null)");
    Sql("insert into emp values(2,'Bob',7,'x')");
    DBDataMgr t;
    t.Set_Handle(99);  // replaced by the connection's handle
    EXPECT_EQ(conn->ExecuteSql(&t, "select Emp_ID, Name, Salary, Note from emp order by 1"), 1);
    EXPECT_EQ(t.Get_Err_Code(), 0);
    ASSERT_EQ(t.Get_Field_Count(), 4);
    EXPECT_STREQ(t.Get_Field_Name(0), "emp_id");
    EXPECT_STREQ(t.Get_Field_Name(1), "name");
    ASSERT_EQ(t.Get_Row_Count(), 2);
    ASSERT_EQ(t.First(), 1);
    EXPECT_STREQ(t.Get_Value(0), "1");
    EXPECT_STREQ(t.Get_Value(1), "Ann");
    EXPECT_STREQ(t.Get_Value(2), "10.5");
    EXPECT_EQ(t.Get_Value(3), nullptr);  // NULL: no value
    ASSERT_EQ(t.Next(), 1);
    EXPECT_STREQ(t.Get_Value(3), "x");

    // A query without rows leaves the columns and no rows; a statement
    // without columns leaves an empty table.
    EXPECT_EQ(conn->ExecuteSql(&t, "select name from emp where 0"), 1);
    EXPECT_EQ(t.Get_Field_Count(), 1);
    EXPECT_EQ(t.Get_Row_Count(), 0);
    EXPECT_EQ(conn->ExecuteSql(&t, "update emp set note='y'"), 1);
    EXPECT_EQ(t.Get_Field_Count(), 0);
    EXPECT_EQ(t.Get_Row_Count(), 0);
}

TEST_F(SqliteDriver, FailuresCarrySqlitesCodeAndText) {
    Sql("create table t(id integer primary key)");
    Sql("insert into t values(1)");
    struct Case {
        const char* sql;
        int code;
        const char* msg;
    } cases[] = {
        {"select * from nowhere", 1, "no such table: nowhere"},
        {"update t set  where id=1", 1, "near \"where\": syntax error"},
        {"insert into t values(1)", 19, "UNIQUE constraint failed: t.id"},
    };
    for (const Case& c : cases) {
        DBDataMgr t;
        EXPECT_EQ(conn->ExecuteSql(&t, c.sql), 0) << c.sql;
        EXPECT_EQ(t.Get_Err_Code(), c.code) << c.sql;
        EXPECT_STREQ(t.Get_Err_Msg(), c.msg) << c.sql;
    }
    // The connection still works and still holds its transaction.
    EXPECT_EQ(Value("select count(*) from t"), "1");
}

TEST_F(SqliteDriver, OneTransactionIsAlwaysOpenUntilCommitOrRollback) {
    Sql("create table t(v integer)");
    Sql("commit");
    Sql("insert into t values(1)");
    TDb_Connect* other = Open();
    ASSERT_NE(other, nullptr);
    DBDataMgr seen;
    // Not committed: another connection does not see the row.
    other->ExecuteSql(&seen, "select count(*) from t");
    ASSERT_EQ(seen.First(), 1);
    EXPECT_STREQ(seen.Get_Value(0), "0");

    EXPECT_EQ(conn->Rollback(nullptr), 1);
    EXPECT_EQ(Value("select count(*) from t"), "0");
    Sql("insert into t values(2)");
    EXPECT_EQ(conn->Commit(nullptr), 1);
    Sql("insert into t values(3)");
    Sql("rollback");  // the statement text works the same as the slot
    // The other connection reads as of its own transaction; ending it shows
    // what was committed since.
    other->ExecuteSql(&seen, "select count(*) from t");
    ASSERT_EQ(seen.First(), 1);
    EXPECT_STREQ(seen.Get_Value(0), "0");
    EXPECT_EQ(other->Rollback(nullptr), 1);
    other->ExecuteSql(&seen, "select group_concat(v) from t");
    ASSERT_EQ(seen.First(), 1);
    EXPECT_STREQ(seen.Get_Value(0), "2");
    // An explicit COMMIT written in upper case ends the transaction in
    // SQLite; the module opens the next one at once.
    Sql("insert into t values(4)");
    Sql("COMMIT");
    Sql("insert into t values(5)");
    Sql("rollback");
    EXPECT_EQ(Value("select group_concat(v) from t"), "2,4");
    other->Disconnect();
    delete other;
}

TEST_F(SqliteDriver, DisconnectDropsWorkNotCommitted) {
    Sql("create table t(v integer)");
    Sql("commit");
    Sql("insert into t values(1)");
    EXPECT_EQ(conn->Disconnect(), 1);
    DBDataMgr t;
    EXPECT_EQ(conn->ExecuteSql(&t, "select 1"), 0);  // handle no longer open
    EXPECT_STREQ(t.Get_Err_Msg(), "not connected");
    Db_Remove_Session(conn);
    delete conn;
    conn = Open();
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(Value("select count(*) from t"), "0");
}

TEST_F(SqliteDriver, BatchInsertAddsTheRowsToTheNamedTable) {
    Sql("create table emp_list(id integer, note text)");
    DBDataMgr t;
    t.Set_Table_Name("emp_list");
    t.Set_Field_Count(2);
    t.Set_Field_Name(0, "ID");
    t.Set_Field_Name(1, "note");
    const char* rows[][2] = {{"1", "a'b"}, {"2", nullptr}, {"3", ""}};
    for (auto& r : rows) {
        t.Add_Row();
        t.Set_Value(0, r[0]);
        t.Set_Value(1, r[1]);
    }
    EXPECT_EQ(conn->BatchInsert(&t), 1);
    EXPECT_EQ(t.Get_Err_Code(), 0);
    EXPECT_EQ(Value("select group_concat(id||':'||ifnull(note,'NULL'),'|') from emp_list"),
              "1:a'b|2:NULL|3:");

    DBDataMgr empty;
    empty.Set_Table_Name("nowhere");
    EXPECT_EQ(conn->BatchInsert(&empty), 1);  // no rows: nothing to do

    DBDataMgr bad;
    bad.Set_Table_Name("nowhere");
    bad.Set_Field_Count(1);
    bad.Set_Field_Name(0, "x");
    bad.Add_Row();
    EXPECT_EQ(conn->BatchInsert(&bad), 0);
    EXPECT_EQ(bad.Get_Err_Code(), 1);
    EXPECT_STREQ(bad.Get_Err_Msg(), "no such table: NOWHERE");
}

TEST_F(SqliteDriver, ProcAndSelectRowReportNotSupported) {
    DBDataMgr t;
    EXPECT_EQ(conn->ExecuteProc(&t, nullptr), 0);
    EXPECT_EQ(t.Get_Err_Code(), -1);
    EXPECT_STREQ(t.Get_Err_Msg(), "not supported");
    DBDataMgr u;
    EXPECT_EQ(conn->SelectRow(&u, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(u.Get_Err_Code(), -1);
    EXPECT_STREQ(u.Get_Err_Msg(), "not supported");
}

}  // namespace
