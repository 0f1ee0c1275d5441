// A SQLite database file in a fresh temporary directory, opened through the
// SQLite driver module and put into the connection pool for the test's
// thread, so communication areas without a connection of their own use it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "connect/db_connect.h"
#include "data/db_data_mgr.h"
#include "stdclass/cpp/err/thr_err.h"

#include "connect_support.h"

inline std::string Sqlite_Module() { return std::string(ZOLVAK_MODULE_DIR) + "/drv_sqlite.so"; }

inline std::string Read_File(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class SqliteTest : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zolvak_sqlite_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        db_path = dir + "/test.db";
        conn = Open();
        ASSERT_NE(conn, nullptr);
        ASSERT_EQ(Db_Add_Session(conn), 1);
        Thr_Clear_Err();
    }

    void TearDown() override {
        if (conn != nullptr) {
            Db_Remove_Session(conn);
            conn->Disconnect();
            delete conn;
        }
        std::filesystem::remove_all(dir);
        Thr_Clear_Err();
    }

    // A new connection on the test's database file (not pooled).
    TDb_Connect* Open() {
        auto* c = new TDb_Connect();
        testing::internal::CaptureStdout();
        int loaded = c->Load_Driver(Sqlite_Module().c_str());
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(loaded, 1) << out;
        EXPECT_EQ(out, "LOAD " + Sqlite_Module() + " OK\n");
        if (c->Connect(0, db_path.c_str(), "", "", nullptr, 0) != 1) {
            delete c;
            return nullptr;
        }
        return c;
    }

    // Runs a statement on the connection; returns the table's error code.
    int Sql(const std::string& sql, DBDataMgr* t = nullptr) {
        DBDataMgr own;
        DBDataMgr* table = t != nullptr ? t : &own;
        conn->ExecuteSql(table, sql.c_str());
        if (table->Get_Err_Code() != 0) ADD_FAILURE() << sql << ": " << table->Get_Err_Msg();
        return table->Get_Err_Code();
    }

    // The single value of a one-row, one-column query ("<null>" for none).
    std::string Value(const std::string& sql) {
        DBDataMgr t;
        conn->ExecuteSql(&t, sql.c_str());
        if (t.Get_Err_Code() != 0 || !t.First()) return "<error " + std::string(t.Get_Err_Msg()) + ">";
        const char* v = t.Get_Value(0);
        return v != nullptr ? v : "<null>";
    }

    std::string dir;
    std::string db_path;
    TDb_Connect* conn = nullptr;
};
