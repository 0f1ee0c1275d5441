// The Access connection on real .mdb files: connecting with the right and a
// wrong password, the texts it prints, the message box, the thread's error,
// the area names, the store directory beside the database, and the slots
// that need no statement layer (commit and rollback texts, queries, the
// unsupported slots).
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "connect/db_connect_ado.h"
#include "connect/db_fs.h"
#include "connect/msg_box.h"
#include "data/db_data_mgr.h"
#include "stdclass/cpp/err/thr_err.h"

namespace fs = std::filesystem;

namespace {

const fs::path kFixtures = ZOLVAK_FIXTURES_DIR;

struct Shown {
    std::string text, caption;
};

class AdoTest : public testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(kFixtures / "README.md"))
            GTEST_SKIP() << "fixtures folder absent: " << kFixtures;
        char tmpl[] = "/tmp/zolvak_ado_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        char real[PATH_MAX];
        ASSERT_NE(realpath(tmpl, real), nullptr);
        dir = real;
        shown.clear();
        previous = Msg_Box_Set_Hook([this](const char* text, const char* caption) {
            shown.push_back({text, caption});
        });
        Thr_Clear_Err();
    }
    void TearDown() override {
        Msg_Box_Set_Hook(previous);
        if (!dir.empty()) fs::remove_all(dir);
        Thr_Clear_Err();
    }

    // A copy of a fixture in the test's directory.
    std::string Copy(const std::string& fixture, const std::string& name) {
        const fs::path to = fs::path(dir) / name;
        fs::copy_file(kFixtures / (fixture + ".mdb"), to);
        return to.string();
    }

    // Connect with the repair engine's arguments, capturing standard output.
    int Connect(TDb_Connect_Ado& c, const std::string& path, const std::string& pw,
                std::string* out) {
        testing::internal::CaptureStdout();
        const int r = c.Connect(6, path.c_str(), "admin", pw.c_str(), nullptr, 0);
        *out = testing::internal::GetCapturedStdout();
        return r;
    }

    std::string dir;
    std::vector<Shown> shown;
    Msg_Box_Hook previous;
};

// The connection string as the diagnostics print it: a password shows as
// "***".
std::string conn_string(const std::string& pw, const std::string& source) {
    if (pw.empty())
        return "Provider=Microsoft.Jet.OLEDB.4.0;Password=;User ID=admin;Data Source=" + source +
               ";Persist Security Info=False";
    return "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=***"
           ";User ID=admin;Data Source=" + source + ";Persist Security Info=False";
}

TEST_F(AdoTest, ConnectWithTheRightPassword) {
    const std::string path = Copy("jet4-password", "shop.mdb");
    TDb_Connect_Ado c;
    std::string out;
    ASSERT_EQ(Connect(c, path, "password", &out), 1) << out;
    EXPECT_EQ(out, "dbconnect " + conn_string("password", path) + " ok\n");
    EXPECT_EQ(out.find("=password"), std::string::npos) << "the password is masked";
    EXPECT_EQ(c.connected, 1);
    EXPECT_EQ(c.kind, 6);
    EXPECT_STREQ(c.data_source, path.c_str());
    EXPECT_STREQ(c.user, "admin");
    EXPECT_STREQ(c.password, "password");
    ASSERT_TRUE(c.ado_conn);
    EXPECT_TRUE(c.ado_conn->is_open());
    EXPECT_EQ(c.ado_conn->transaction_level(), 1);  // one transaction always open
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(Thr_Get_Err_Code(), 0);
    // The store: "base", in <dir>/shop_file, which now exists.
    auto* store = dynamic_cast<TDb_Fs_Path*>(c.storage);
    ASSERT_NE(store, nullptr);
    EXPECT_STREQ(store->name, "base");
    EXPECT_EQ(std::string(store->path), dir + "/shop_file");
    EXPECT_EQ(store->conn, &c);
    EXPECT_TRUE(fs::is_directory(dir + "/shop_file"));

    EXPECT_EQ(c.Disconnect(), 1);
    EXPECT_EQ(c.connected, 0);
    EXPECT_FALSE(c.ado_conn);
    EXPECT_EQ(c.storage, static_cast<TDb_Fs*>(store));  // the store is kept
}

TEST_F(AdoTest, EmptyPasswordUsesThePlainPasswordTemplate) {
    const std::string path = Copy("jet4-nopassword", "plain.mdb");
    TDb_Connect_Ado c;
    std::string out;
    ASSERT_EQ(Connect(c, path, "", &out), 1) << out;
    EXPECT_EQ(out, "dbconnect " + conn_string("", path) + " ok\n");
    EXPECT_EQ(out.find("Database Password"), std::string::npos);
}

TEST_F(AdoTest, WrongPasswordReportsAndRecords) {
    const std::string path = Copy("jet4-password", "shop.mdb");
    const std::string trace = dir + "/trace.txt";
    TDb_Connect_Ado c;
    ASSERT_EQ(c.Set_Trace(trace.c_str(), 0), 1);
    const int area = Ado_Area_Counter();
    std::string out;
    EXPECT_EQ(Connect(c, path, "wrong", &out), 0);
    EXPECT_EQ(out, "dbconnect " + conn_string("wrong", path) +
                       " fail\nErrorMsg Is Not a valid password.");
    EXPECT_EQ(out.find("wrong"), std::string::npos) << "the password is masked";
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Not a valid password.");
    EXPECT_EQ(shown[0].caption, "连接数据库出错");
    int code = 0;
    char msg[200];
    Thr_Get_Err(&code, msg, sizeof msg);
    EXPECT_EQ(code, -1);
    EXPECT_STREQ(msg, "Not a valid password.");
    std::ifstream in(trace);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "Link to " + path + " fail err: Not a valid password.");
    // The unopened object stays; nothing is connected and no store was made.
    EXPECT_EQ(c.connected, 0);
    ASSERT_TRUE(c.ado_conn);
    EXPECT_FALSE(c.ado_conn->is_open());
    EXPECT_EQ(c.ado_conn->name(), "ado_area_" + std::to_string(area));
    EXPECT_EQ(c.storage, nullptr);
    EXPECT_FALSE(fs::exists(dir + "/shop_file"));
    EXPECT_EQ(Ado_Area_Counter(), area + 1);
    // Disconnect after a failed Connect releases the object.
    EXPECT_EQ(c.Disconnect(), 1);
    EXPECT_FALSE(c.ado_conn);
}

TEST_F(AdoTest, WithoutAHookTheBoxIsALineOnStandardError) {
    Msg_Box_Set_Hook(nullptr);
    TDb_Connect_Ado c;
    std::string out;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Connect(c, (kFixtures / "jet4-password.mdb").string(), "bad", &out), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "连接数据库出错: Not a valid password.\n");
}

TEST_F(AdoTest, MissingFileAndNotADatabase) {
    std::ofstream(dir + "/text.mdb") << std::string(8192, 'x');
    for (const std::string name : {"missing.mdb", "text.mdb"}) {
        TDb_Connect_Ado c;
        std::string out;
        shown.clear();
        Thr_Clear_Err();
        EXPECT_EQ(Connect(c, dir + "/" + name, "", &out), 0) << name;
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_FALSE(shown[0].text.empty());
        EXPECT_EQ(Thr_Get_Err_Code(), -1);
        EXPECT_NE(out.find("ErrorMsg Is " + shown[0].text), std::string::npos);
    }
}

TEST_F(AdoTest, StoreDirectoryCutsTheNameAtItsFirstDot) {
    const std::string a = Copy("jet4-nopassword", "shop.mdb");
    const std::string b = Copy("jet4-nopassword", "shop.mdb.new");
    TDb_Connect_Ado ca, cb;
    std::string out;
    ASSERT_EQ(Connect(ca, a, "", &out), 1);
    ASSERT_EQ(Connect(cb, b, "", &out), 1);
    EXPECT_STREQ(static_cast<TDb_Fs_Path*>(ca.storage)->path, (dir + "/shop_file").c_str());
    EXPECT_STREQ(static_cast<TDb_Fs_Path*>(cb.storage)->path, (dir + "/shop_file").c_str());
}

TEST_F(AdoTest, BareFileNameResolvesAgainstTheCurrentDirectory) {
    Copy("jet4-nopassword", "shop.mdb");
    char old[PATH_MAX];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    TDb_Connect_Ado c;
    std::string out;
    const int r = Connect(c, "shop.mdb", "", &out);
    ASSERT_EQ(chdir(old), 0);
    ASSERT_EQ(r, 1) << out;
    EXPECT_STREQ(c.data_source, (dir + "/shop.mdb").c_str());
    EXPECT_EQ(out, "dbconnect " + conn_string("", "shop.mdb") + " ok\n");
    EXPECT_TRUE(fs::is_directory(dir + "/shop_file"));
}

TEST_F(AdoTest, AreaNamesCountEveryConnect) {
    const std::string good = Copy("jet4-nopassword", "a.mdb");
    TDb_Connect_Ado first, second;
    std::string out;
    const int n = Ado_Area_Counter();
    EXPECT_EQ(Connect(first, dir + "/none.mdb", "", &out), 0);
    EXPECT_EQ(Connect(second, good, "", &out), 1);
    EXPECT_EQ(first.ado_conn->name(), "ado_area_" + std::to_string(n));
    EXPECT_EQ(second.ado_conn->name(), "ado_area_" + std::to_string(n + 1));
}

class AdoOpenTest : public AdoTest {
  protected:
    void Open(const std::string& fixture, const std::string& pw) {
        const std::string path = Copy(fixture, "db.mdb");
        std::string out;
        ASSERT_EQ(Connect(c, path, pw, &out), 1) << out;
    }
    int Run(DBDataMgr* t, const std::string& sql, std::string* out = nullptr) {
        testing::internal::CaptureStdout();
        const int r = c.ExecuteSql(t, sql.c_str());
        const std::string o = testing::internal::GetCapturedStdout();
        if (out) *out = o;
        return r;
    }
    TDb_Connect_Ado c;
};

TEST_F(AdoOpenTest, CommitAndRollbackTexts) {
    Open("jet4-nopassword", "");
    DBDataMgr t;
    t.Set_Error(5, "old");
    std::string out;
    EXPECT_EQ(Run(&t, "commit", &out), 1);
    EXPECT_EQ(out, "ado want run 'commit'\n");
    EXPECT_EQ(t.Get_Err_Code(), 0);
    EXPECT_EQ(c.ado_conn->transaction_level(), 1);
    EXPECT_EQ(Run(&t, "rollback"), 1);
    EXPECT_EQ(c.ado_conn->transaction_level(), 1);
    EXPECT_EQ(c.Commit(nullptr), 1);
    EXPECT_EQ(c.Rollback(nullptr), 1);
    EXPECT_EQ(c.ado_conn->transaction_level(), 1);
    // With a blank in front the word goes to the engine as a statement: it
    // ends the transaction, and nothing begins the next one.
    EXPECT_EQ(Run(&t, " commit"), 1) << t.Get_Err_Msg();
    EXPECT_EQ(c.ado_conn->transaction_level(), 0);
}

TEST_F(AdoOpenTest, LowerCaseSelectFillsTheTable) {
    Open("jet4-password", "password");
    DBDataMgr t;
    std::string out;
    ASSERT_EQ(Run(&t, "  select * from Table1", &out), 1) << t.Get_Err_Msg();
    EXPECT_EQ(out, "ado want run '  select * from Table1'\n");
    ASSERT_EQ(t.Get_Field_Count(), 2);
    EXPECT_STREQ(t.Get_Field_Name(0), "id");
    EXPECT_STREQ(t.Get_Field_Name(1), "data");
    ASSERT_EQ(t.Get_Row_Count(), 3);
    t.First();
    EXPECT_STREQ(t.Get_Value(0), "1");
    // A query without a table is walked and dropped.
    EXPECT_EQ(Run(nullptr, "select * from Table1"), 1);
}

TEST_F(AdoOpenTest, UpperCaseSelectIsACommand) {
    Open("jet4-password", "password");
    DBDataMgr t;
    EXPECT_EQ(Run(&t, "SELECT * FROM Table1"), 1);
    EXPECT_EQ(t.Get_Field_Count(), 0);
    EXPECT_EQ(t.Get_Row_Count(), 0);
    EXPECT_EQ(Run(&t, "Select * from Table1"), 1);
    EXPECT_EQ(t.Get_Row_Count(), 0);
}

TEST_F(AdoOpenTest, QueryWithoutRowsKeepsItsColumns) {
    Open("jet4-queries", "");
    DBDataMgr t;
    t.Set_Field_Count(1);
    t.Set_Field_Name(0, "old");
    t.Add_Row();
    ASSERT_EQ(Run(&t, "select * from Table2"), 1) << t.Get_Err_Msg();
    ASSERT_EQ(t.Get_Field_Count(), 3);
    EXPECT_STREQ(t.Get_Field_Name(0), "col1");
    EXPECT_EQ(t.Get_Row_Count(), 0);
}

TEST_F(AdoOpenTest, FailingQuerySetsTheTableError) {
    Open("jet4-nopassword", "");
    DBDataMgr t;
    EXPECT_EQ(Run(&t, "select * from NoSuchTable"), 0);
    EXPECT_EQ(t.Get_Err_Code(), -100);
    EXPECT_NE(std::string(t.Get_Err_Msg()).find("NoSuchTable"), std::string::npos);
    // The connection and its transaction go on.
    EXPECT_EQ(Run(&t, "select * from Table1"), 1);
    EXPECT_EQ(t.Get_Err_Code(), 0);
    EXPECT_EQ(c.ado_conn->transaction_level(), 1);
}

TEST_F(AdoOpenTest, UnsupportedSlotsPrintTheirLine) {
    Open("jet4-nopassword", "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(c.ExecuteProc(nullptr, nullptr), 1);
    EXPECT_EQ(c.SelectRow(nullptr, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "TDb_Connect_Ado::ExecuteProc not support\nTDb_Connect_Ado::SelectRow not support\n");
}

TEST_F(AdoOpenTest, BatchInsertOfNothingTouchesNothing) {
    Open("jet4-nopassword", "");
    DBDataMgr t;
    t.Set_Table_Name("NoSuchTable");
    t.Set_Field_Count(1);
    t.Set_Field_Name(0, "id");
    EXPECT_EQ(c.BatchInsert(&t), 1);
    EXPECT_EQ(t.Get_Err_Code(), 0);
}

TEST_F(AdoOpenTest, BatchInsertIntoAMissingTableFails) {
    Open("jet4-nopassword", "");
    DBDataMgr t;
    t.Set_Table_Name("T1");
    t.Set_Field_Count(2);
    t.Set_Field_Name(0, "id");
    t.Set_Field_Name(1, "note");
    t.Add_Row();
    t.Set_Value(0, "1");
    EXPECT_EQ(c.BatchInsert(&t), 0);
    EXPECT_EQ(t.Get_Err_Code(), -100);
    EXPECT_NE(std::string(t.Get_Err_Msg()).find("T1"), std::string::npos) << t.Get_Err_Msg();
}

}  // namespace
