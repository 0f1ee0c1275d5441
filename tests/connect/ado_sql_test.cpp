// The Access connection on a database it writes: a new file from the
// catalog, statements inside the connection's transaction, BatchInsert with
// its conversions, values trimmed on the right, and the sequence and file
// storage slots running on a Jet file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "connect/db_connect_ado.h"
#include "connect/db_fs.h"
#include "connect/msg_box.h"
#include "connect/provider/catalog.h"
#include "connect/provider/connection.h"
#include "data/db_data_mgr.h"
#include "stdclass/cpp/err/thr_err.h"

namespace fs = std::filesystem;

namespace {

class AdoSqlTest : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zolvak_adosql_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        char real[PATH_MAX];
        ASSERT_NE(realpath(tmpl, real), nullptr);
        dir = real;
        path = dir + "/work.mdb";
        provider::Catalog().create(
            "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=pw;Data Source=" + path);
        testing::internal::CaptureStdout();
        const int r = c.Connect(6, path.c_str(), "admin", "pw", nullptr, 0);
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_EQ(r, 1) << out;
        // The file-storage slots run their statements on the pooled
        // connection of the calling thread.
        ASSERT_EQ(Db_Add_Session(&c), 1);
        pooled = true;
        Thr_Clear_Err();
    }
    void TearDown() override {
        if (pooled) Db_Remove_Session(&c);
        if (!dir.empty()) fs::remove_all(dir);
        Thr_Clear_Err();
    }

    // Runs a statement that must succeed.
    void Sql(const std::string& sql) {
        DBDataMgr t;
        testing::internal::CaptureStdout();
        const int r = c.ExecuteSql(&t, sql.c_str());
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(r, 1) << sql << ": " << t.Get_Err_Msg();
    }

    // The rows of a query as "a|b;a|b".
    std::string Rows(const std::string& sql) {
        DBDataMgr t;
        testing::internal::CaptureStdout();
        const int r = c.ExecuteSql(&t, sql.c_str());
        testing::internal::GetCapturedStdout();
        if (r != 1) return std::string("error: ") + t.Get_Err_Msg();
        std::string out;
        if (!t.First()) return out;
        do {
            if (!out.empty()) out += ";";
            for (int i = 0; i < t.Get_Field_Count(); ++i) {
                if (i > 0) out += "|";
                const char* v = t.Get_Value(i);
                out += v != nullptr ? v : "(null)";
            }
        } while (t.Next());
        return out;
    }

    std::string dir, path;
    TDb_Connect_Ado c;
    bool pooled = false;
};

TEST_F(AdoSqlTest, StatementsBelongToTheOpenTransaction) {
    Sql("create table t1 (id integer, note text(20))");
    Sql("insert into t1 (id, note) values (1, 'a')");
    EXPECT_EQ(Rows("select id, note from t1"), "1|a");
    // Rolled back: the table and its row are gone.
    Sql("rollback");
    EXPECT_NE(Rows("select id from t1").find("error: "), std::string::npos);
    Sql("create table t1 (id integer, note text(20))");
    Sql("insert into t1 (id, note) values (2, 'b')");
    Sql("commit");
    // Another connection sees what was committed.
    provider::Connection other;
    other.open("Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=pw;Data Source=" +
               path);
    provider::Recordset rs;
    rs.open("select * from t1", other);
    ASSERT_EQ(rs.record_count(), 1);
    rs.move_first();
    EXPECT_EQ(rs.text("note"), "b");
}

TEST_F(AdoSqlTest, ValuesAreTrimmedOnTheRight) {
    Sql("create table t (k integer, s text(30))");
    Sql("insert into t (k, s) values (1, '  lead and trail \t ')");
    EXPECT_EQ(Rows("select s from t"), "  lead and trail");
}

TEST_F(AdoSqlTest, BatchInsertConvertsByFieldType) {
    Sql("create table T1 (id integer, amount decimal(10,2), note text(20))");
    DBDataMgr t;
    t.Set_Table_Name("T1");
    t.Set_Field_Count(3);
    t.Set_Field_Name(0, "id");
    t.Set_Field_Name(1, "amount");
    t.Set_Field_Name(2, "note");
    const char* rows[][3] = {{"7", "12.50", "first"}, {"", "", ""}, {"42", "0.5", "third"}};
    for (auto& r : rows) {
        t.Add_Row();
        for (int i = 0; i < 3; ++i) t.Set_Value(i, r[i]);
    }
    t.First();
    t.Next();
    EXPECT_EQ(c.BatchInsert(&t), 1) << t.Get_Err_Msg();
    EXPECT_EQ(t.Get_Err_Code(), 0);
    EXPECT_EQ(t.Get_Cur_Row_No(), 1);  // the caller's cursor is where it was
    // An empty text is 0 in the integer and the decimal field, empty in the text.
    EXPECT_EQ(Rows("select id, amount, note from T1"), "7|12.5|first;0|0|;42|0.5|third");
}

TEST_F(AdoSqlTest, BatchInsertFailureKeepsEarlierRows) {
    Sql("create table T2 (id integer not null primary key, note text(5))");
    DBDataMgr t;
    t.Set_Table_Name("T2");
    t.Set_Field_Count(2);
    t.Set_Field_Name(0, "id");
    t.Set_Field_Name(1, "note");
    const char* rows[][2] = {{"1", "a"}, {"1", "dup"}, {"3", "c"}};
    for (auto& r : rows) {
        t.Add_Row();
        t.Set_Value(0, r[0]);
        t.Set_Value(1, r[1]);
    }
    EXPECT_EQ(c.BatchInsert(&t), 0);
    EXPECT_EQ(t.Get_Err_Code(), -100);
    EXPECT_STRNE(t.Get_Err_Msg(), "");
    EXPECT_EQ(Rows("select id, note from T2"), "1|a");
}

TEST_F(AdoSqlTest, SequencesFromAnEmptyTable) {
    Sql("create table app_sequence (seq_name text(60), seq_val integer)");
    testing::internal::CaptureStdout();
    int out = 0;
    EXPECT_EQ(c.Next_Seq(nullptr, "doc", &out), 1);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(c.Next_Seq(nullptr, "doc", nullptr), 2);
    EXPECT_EQ(c.Next_Seq(nullptr, "other", nullptr), 1);
    EXPECT_EQ(c.Set_Seq(nullptr, "doc", 10), 1);
    EXPECT_EQ(c.Get_Seq(nullptr, "doc", nullptr), 10);
    EXPECT_EQ(c.Next_Seq(nullptr, "doc", nullptr), 11);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Rows("select seq_name, seq_val from app_sequence where seq_name='doc'"), "doc|11");
}

TEST_F(AdoSqlTest, FileStorageWriteReadDelete) {
    Sql("create table app_fs_file (file_id integer, storage_id text(11), storage_pos integer,"
        " file_type text(30), obj_id text(32), file_size integer, file_ext text(30),"
        " org_file_name text(80), desc_info text(83), encrypt_flag integer)");
    const std::string store = dir + "/work_file";
    ASSERT_TRUE(fs::is_directory(store));
    const std::string bytes = std::string("binary\0data", 11) + std::string(300, 'z');

    Tab_Db_Fs_File f;
    f.file_id = 0;
    std::strcpy(f.file_ext, "bin");
    std::strcpy(f.org_file_name, "orig.bin");
    f.data.Append(bytes.data(), static_cast<int>(bytes.size()));
    f.file_size = static_cast<int>(bytes.size());
    DBDataMgr t;
    testing::internal::CaptureStdout();
    const int w = c.Fs_Write(&t, &f);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(w, 1) << t.Get_Err_Msg() << "\n" << out;
    EXPECT_EQ(f.file_id, 1);
    EXPECT_TRUE(fs::exists(store + "/odf00000001.bin"));

    Tab_Db_Fs_File back;
    testing::internal::CaptureStdout();
    const int r = c.Fs_Read(&t, 1, &back);
    out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(r, 1) << t.Get_Err_Msg() << "\n" << out;
    EXPECT_EQ(std::string(back.data.Str(), back.data.Length()), bytes);
    EXPECT_STREQ(back.org_file_name, "orig.bin");

    testing::internal::CaptureStdout();
    const int d = c.Fs_Delete(&t, 1);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(d, 1) << t.Get_Err_Msg() << "\n" << out;
    EXPECT_FALSE(fs::exists(store + "/odf00000001.bin"));
    EXPECT_EQ(Rows("select file_id from app_fs_file"), "");
}

}  // namespace
