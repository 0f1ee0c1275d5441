// Loading driver modules and the calls the connection makes into them: the
// messages for missing modules and entry points, the hand-over of the
// function table, and the driver handle carried in every result table.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "connect/db_connect.h"
#include "data/db_data_mgr.h"
#include "stdclass/cpp/err/thr_err.h"
#include "connect_support.h"

namespace {

std::string Module(const char* name) { return std::string(ZOLVAK_MODULE_DIR) + "/" + name; }

const char* kEntries[] = {"Set_Data_Oper_Handle", "Connect_Handle",     "Disconnect_Handle",
                          "Commit_Handle",        "Rollback_Handle",    "ExecuteSql_Handle",
                          "ExecuteProc_Handle",   "SelectRow_Handle",   "BatchInsert_Handle"};

// The record module's call log, read through its own export.
std::string Record_Log() {
    void* h = dlopen(Module("drv_test_record.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr) return "<not loaded>";
    auto fn = reinterpret_cast<const char* (*)()>(dlsym(h, "Record_Log"));
    auto reset = reinterpret_cast<void (*)()>(dlsym(h, "Record_Reset"));
    std::string log = fn();
    reset();
    dlclose(h);
    return log;
}

TEST(DriverLoad, MissingModuleIsReportedAndLeavesEntriesUnbound) {
    TDb_Connect conn;
    testing::internal::CaptureStdout();
    EXPECT_EQ(conn.Load_Driver("/nonexistent/drv_none.so"), 0);
    EXPECT_EQ(conn.Connect(1, "db", "u", "p", nullptr, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "unable to load dll /nonexistent/drv_none.so\n"
              "_Connect_Handle is NULL\n");
    EXPECT_EQ(conn.connected, 1);  // set before the entry point is looked at
}

TEST(DriverLoad, ModuleLackingEntryPointsPrintsOneLinePerMissingName) {
    std::string path = Module("drv_test_partial.so");
    TDb_Connect conn;
    testing::internal::CaptureStdout();
    ASSERT_EQ(conn.Load_Driver(path.c_str()), 1);
    std::string out = testing::internal::GetCapturedStdout();
    std::string expected = "LOAD " + path + " OK\n";
    for (const char* name : kEntries) {
        if (std::string(name) == "Connect_Handle") continue;
        expected += "unable to get ptr of module '" + std::string(name) + "' in lib " + path + "\n";
        expected += "no define handle in " + path + ": _" + name + "\n";
    }
    EXPECT_EQ(out, expected);
    EXPECT_NE(conn.Connect_Handle, nullptr);  // found as _Connect_Handle

    // Connect reaches the one entry point there is and returns its result.
    EXPECT_EQ(conn.Connect(6, "x", "u", "p", nullptr, 0), 7);

    struct Case {
        const char* line;
        int (*call)(TDb_Connect&);
    };
    const Case cases[] = {
        {"_Disconnect_Handle is NULL\n", [](TDb_Connect& c) { return c.Disconnect(); }},
        {"_Commit_Handle is NULL\n", [](TDb_Connect& c) { return c.Commit(nullptr); }},
        {"_Rollback_Handle is NULL\n", [](TDb_Connect& c) { return c.Rollback(nullptr); }},
        {"_ExecuteSql_Handle is NULL\n", [](TDb_Connect& c) { return c.ExecuteSql(nullptr, "x"); }},
        {"_ExecuteProc_Handle is NULL\n",
         [](TDb_Connect& c) { return c.ExecuteProc(nullptr, nullptr); }},
        {"_SelectRow_Handle is NULL\n",
         [](TDb_Connect& c) { return c.SelectRow(nullptr, nullptr, nullptr, nullptr, nullptr); }},
        {"_BatchInsert_Handle is NULL\n", [](TDb_Connect& c) { return c.BatchInsert(nullptr); }},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.call(conn), 0) << c.line;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
    }
    EXPECT_EQ(conn.connected, 0);  // Disconnect clears it before looking
}

TEST(DriverLoad, EntryPointsReceiveTheHandleAndArgumentsAsGiven) {
    std::string path = Module("drv_test_record.so");
    TDb_Connect conn;
    testing::internal::CaptureStdout();
    ASSERT_EQ(conn.Load_Driver(path.c_str()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "LOAD " + path + " OK\n");
    Record_Log();  // forget what earlier loads wrote

    // A second load hands the function table over again, before any call.
    ASSERT_EQ(conn.Load_Driver(path.c_str()), 1);
    EXPECT_EQ(conn.Connect(3, "src", "usr", "pwd", nullptr, 9), 1);
    EXPECT_EQ(conn.drv_handle, 42);
    EXPECT_STREQ(conn.extra, "");
    EXPECT_EQ(Record_Log(), "ops;connect:0:3,src,usr,pwd,(null),9;");

    DBDataMgr table;
    char a[] = "a", b[] = "b", c[] = "c", d[] = "d";
    EXPECT_EQ(conn.Commit(nullptr), 11);
    EXPECT_EQ(conn.Rollback(&table), 21);
    EXPECT_EQ(conn.ExecuteSql(nullptr, "select 1"), 1);  // temporary table, result dropped
    EXPECT_EQ(conn.ExecuteSql(&table, "select 2"), 1);
    EXPECT_EQ(conn.ExecuteProc(&table, a), 1);
    EXPECT_EQ(conn.SelectRow(nullptr, a, b, c, d), 1);
    EXPECT_EQ(conn.BatchInsert(nullptr), 1);  // no table: the module is not called
    EXPECT_EQ(conn.BatchInsert(&table), 1);
    EXPECT_EQ(conn.Disconnect(), 1);
    EXPECT_EQ(Record_Log(),
              "commit:42;rollback:42;sql:42:select 1;sql:42:select 2;proc:42:a;"
              "select:42:a,b,c,d;batch:42;disconnect:42;");
    EXPECT_EQ(conn.drv_handle, 42);  // Disconnect leaves it

    // The module filled the caller's own table through the function table.
    ASSERT_EQ(table.First(), 1);
    EXPECT_STREQ(table.Get_Field_Name(0), "echo");
    EXPECT_STREQ(table.Get_Value(0), "select 2");
}

TEST(DriverLoad, OverlongConnectTextIsRefusedBeforeAnythingChanges) {
    TDb_Connect conn;
    std::string long_user(60, 'u');
    EXPECT_EQ(conn.Connect(1, "db", long_user.c_str(), "p", nullptr, 0), 0);
    EXPECT_EQ(conn.connected, 0);
    EXPECT_STREQ(conn.user, "");
}

}  // namespace
