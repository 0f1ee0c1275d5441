// Statements written by the table entity builder and run by communication
// areas, end to end on a SQLite file through the pool: which succeed, which
// fail and with what, what is printed, and what goes into the trace file.
#include "connect/db_fs.h"
#include "data/para_mgr.h"
#include "data/sqlca.h"
#include "sqlite_fixture.h"

namespace {

class EntitySqlite : public SqliteTest {
protected:
    void SetUp() override {
        SqliteTest::SetUp();
        Sql("create table app_fs_file(file_id integer, storage_id text, storage_pos integer,"
            " file_type text, obj_id text, file_size integer, file_ext text,"
            " org_file_name text, desc_info text, encrypt_flag integer)");
        Sql("commit");
    }

    // Inserts one row through the entity; returns what it printed.
    std::string Insert(int id, const char* storage, int size) {
        TTab_Db_Fs_File ent;
        TParaMgr p;
        p.Push_Int("file_id", id);
        p.Push_Str("storage_id", storage);
        p.Push_Int("file_size", size);
        testing::internal::CaptureStdout();
        EXPECT_EQ(ent.Insert(&p), 1);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(EntitySqlite, InsertRunsThroughThePoolAndPrintsItsStatementAfterwards) {
    std::string out = Insert(7, "A", 10);
    EXPECT_EQ(out,
              "insert sql: insert into app_fs_file(file_id,storage_id,file_size) "
              "values(7,'A',10)\n");
    EXPECT_EQ(Value("select storage_id||':'||file_size from app_fs_file where file_id=7"), "A:10");
    EXPECT_EQ(conn->owner_thread, Thread_Get_Id());  // the pool bound it to this thread
}

TEST_F(EntitySqlite, QuotesInsideValuesAreDoubledAndStayData) {
    const char* values[] = {"O'Brien", "x'); delete from app_fs_file; --", "''", ""};
    int id = 1;
    for (const char* v : values) {
        TTab_Db_Fs_File ent;
        TParaMgr p;
        p.Push_Int("file_id", id);
        p.Push_Str("desc_info", v);
        testing::internal::CaptureStdout();
        EXPECT_EQ(ent.Insert(&p), 1) << v;
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(Value("select desc_info from app_fs_file where file_id=" + std::to_string(id)), v);
        ++id;
    }
    EXPECT_EQ(Value("select count(*) from app_fs_file"), "4");

    // A value that is not a number, given for a numeric attribute, is
    // written as a quoted text and cannot become statement text either.
    TTab_Db_Fs_File ent;
    TParaMgr p;
    p.Push_Str("file_id", "1 or 1=1");
    testing::internal::CaptureStdout();
    EXPECT_EQ(ent.Delete(&p), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "delete sql: delete from app_fs_file where file_id='1 or 1=1'\n");
    EXPECT_EQ(Value("select count(*) from app_fs_file"), "4");
}

TEST_F(EntitySqlite, UpdateWithOnlyKeyParametersFailsInSqliteAndRollsBackTwice) {
    Insert(7, "A", 10);
    Sql("commit");
    std::string trace = dir + "/trace.txt";
    ASSERT_EQ(conn->Set_Trace(trace.c_str(), 2), 1);
    Insert(8, "B", 20);  // not committed: the failed update's rollback drops it

    TTab_Db_Fs_File ent;
    TParaMgr p;
    p.Push_Int("file_id", 7);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ent.Update(&p), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // update prints nothing
    char msg[200];
    int code = 0;
    Thr_Get_Err(&code, msg, 0);
    EXPECT_EQ(code, 1);
    EXPECT_STREQ(msg, "near \"where\": syntax error");
    EXPECT_EQ(Value("select count(*) from app_fs_file"), "1");

    EXPECT_EQ(Read_File(trace),
              "insert into app_fs_file(file_id,storage_id,file_size) values(8,'B',20)\n"
              "runover error code 0 result rownum 0\n"
              "update app_fs_file set  where file_id=7\n"
              "runover error code 1 result rownum 0\n"
              "错误代码: 1\n错误信息: near \"where\": syntax error\n"
              "rollback\n"
              "runover error code 0 result rownum 0\n"
              "rollback\n"
              "runover error code 0 result rownum 0\n");
}

TEST_F(EntitySqlite, UpdateWithoutKeyAttributesChangesEveryRow) {
    Insert(1, "A", 10);
    Insert(2, "B", 20);
    TTab_Entity loose("app_fs_file");  // the same table described without a key
    loose.Define("file_id", 'I', 0, nullptr);
    loose.Define("file_size", 'I', 0, nullptr);
    TParaMgr p;
    p.Push_Int("file_id", 1);
    p.Push_Int("file_size", 99);
    EXPECT_EQ(loose.Update(&p), 1);
    EXPECT_EQ(Value("select group_concat(file_id||':'||file_size) from app_fs_file"), "1:99,1:99");
}

TEST_F(EntitySqlite, UpdateWithKeyChangesOnlyThatRowAndUpdateRowsUsesEveryRow) {
    Insert(1, "A", 10);
    Insert(2, "B", 20);
    TTab_Db_Fs_File ent;
    TParaMgr p;
    p.Push_Int("file_size", 11);
    p.Push_Int("file_id", 1);
    p.Push_Str("no_such_column", "ignored");
    EXPECT_EQ(ent.Update(&p), 1);
    EXPECT_EQ(Value("select group_concat(file_id||':'||file_size) from app_fs_file"), "1:11,2:20");

    // Rows read back, changed, and written by key.
    TSQLCA ca(conn);
    ASSERT_EQ(ent.Select(nullptr, &ca, "order by file_id"), 1);
    EXPECT_EQ(ca.Get_Row_Count(), 2);
    EXPECT_STREQ(ca.Get_Stmt(),
                 "select file_id,storage_id,storage_pos,file_type,obj_id,file_size,file_ext,"
                 "org_file_name,desc_info,encrypt_flag from app_fs_file order by file_id");
    EXPECT_EQ(ent.Update_Rows(&ca), 1);
    EXPECT_EQ(Value("select group_concat(file_id||':'||file_size||':'||storage_pos) from app_fs_file"),
              "1:11:0,2:20:0");  // an empty integer text is written as 0
}

TEST_F(EntitySqlite, SelectWhereAndDeleteOnTheTable) {
    Insert(1, "A", 10);
    Insert(2, "B", 20);
    Insert(3, "B", 30);
    TTab_Db_Fs_File ent;
    TSQLCA ca(conn);
    ASSERT_EQ(ent.Select_Where("  where file_id=2", &ca, nullptr), 1);
    ASSERT_EQ(ca.Get_Row_Count(), 1);
    int size = 0;
    EXPECT_EQ(ca.Get_Int(5, &size), 1);
    EXPECT_EQ(size, 20);

    TParaMgr p;
    p.Push_Str("storage_id", "B");
    p.Push_Int("file_size", 30);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ent.Delete(&p), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "delete sql: delete from app_fs_file where storage_id='B' and file_size=30\n");
    EXPECT_EQ(Value("select group_concat(file_id) from app_fs_file"), "1,2");

    // A failed select hands SQLite's error to the thread and rolls back once.
    TTab_Entity missing("no_table");
    missing.Define("x", 'I', 0, nullptr);
    EXPECT_EQ(missing.Select(nullptr, &ca, nullptr), 0);
    char msg[100];
    int code = 0;
    Thr_Get_Err(&code, msg, 0);
    EXPECT_EQ(code, 1);
    EXPECT_STREQ(msg, "no such table: no_table");
}

TEST_F(EntitySqlite, BatchInsertSendsTheAreasRowsToTheEntitysTable) {
    TTab_Db_Fs_File ent;
    TSQLCA ca(conn);
    ca.Set_Field_Count(2);
    ca.Get_Table()->Set_Field_Name(0, "file_id");
    ca.Get_Table()->Set_Field_Name(1, "desc_info");
    for (int i = 1; i <= 3; ++i) {
        ca.Add_Row();
        ca.Set_Value(0, std::to_string(i).c_str());
        ca.Set_Value(1, "row");
    }
    EXPECT_EQ(ent.Batch_Insert(&ca), 1);
    EXPECT_STREQ(ca.Get_Table()->Get_Table_Name(), "APP_FS_FILE");
    EXPECT_EQ(Value("select group_concat(file_id||desc_info) from app_fs_file"), "1row,2row,3row");
}

TEST_F(EntitySqlite, TraceRecordsStatementsOnlyAtLevelTwoOrOnFailure) {
    std::string trace = dir + "/trace.txt";
    ASSERT_EQ(conn->Set_Trace(trace.c_str(), 0), 1);
    TSQLCA ca(conn);
    EXPECT_EQ(ca.Execute("select 1"), 0);
    EXPECT_FALSE(std::filesystem::exists(trace));
    EXPECT_EQ(ca.Execute("select * from nowhere"), 1);
    EXPECT_EQ(Read_File(trace),
              "select * from nowhere\n"
              "runover error code 1 result rownum 0\n"
              "错误代码: 1\n错误信息: no such table: nowhere\n");
    // After the failure the area refuses to read until the next statement.
    EXPECT_EQ(ca.Get_Value(0), nullptr);
    EXPECT_EQ(ca.Next(), 0);
}

TEST_F(EntitySqlite, ManyRowsWarningStartsAtTenThousand) {
    std::string trace = dir + "/trace.txt";
    ASSERT_EQ(conn->Set_Trace(trace.c_str(), 0), 1);
    const std::string rule(63, '-');
    struct Case {
        int rows;
        bool warned;
    } cases[] = {{9999, false}, {10000, true}};
    for (const Case& c : cases) {
        std::filesystem::remove(trace);
        std::string sql =
            "with recursive n(x) as (select 1 union all select x+1 from n where x<" +
            std::to_string(c.rows) + ") select x from n";
        TSQLCA ca(conn);
        EXPECT_EQ(ca.Execute(sql.c_str()), 0);
        EXPECT_EQ(ca.Get_Row_Count(), c.rows);
        std::string expected = c.warned ? rule + "\nthe next sqlcmd fetch many rows[more than 10000]: " +
                                              std::to_string(c.rows) + "\n" + sql + "\n" + rule + "\n"
                                        : "";
        EXPECT_EQ(std::filesystem::exists(trace) ? Read_File(trace) : "", expected) << c.rows;
    }
}

TEST_F(EntitySqlite, AreaWithoutConnectionTakesThePooledOneAndGivesItBack) {
    Db_Release_Session(conn);
    EXPECT_EQ(conn->owner_thread, 0);
    TSQLCA ca;
    EXPECT_EQ(ca.Execute("select 5"), 0);
    EXPECT_STREQ(ca.Get_Value(0), "5");
    EXPECT_EQ(conn->owner_thread, Thread_Get_Id());
}

}  // namespace
