// Test driver module exporting all nine entry points. Every call is appended
// to a log ("name:handle[:args]") that tests read through Record_Log; the
// connect entry hands out the driver handle 42.
#include <cstdio>
#include <string>

#include "data/data_oper.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {
Data_Oper_Table* g_ops = nullptr;
std::string g_log;

int Note(const char* name, DBDataMgr* t, const std::string& args = "") {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s:%d", name, t != nullptr && g_ops ? g_ops->Get_Handle(t) : -1);
    g_log += buf;
    if (!args.empty()) g_log += ":" + args;
    g_log += ";";
    return 1;
}
}  // namespace

EXPORT const char* Record_Log() { return g_log.c_str(); }
EXPORT void Record_Reset() { g_log.clear(); }

EXPORT int Set_Data_Oper_Handle(Data_Oper_Table* ops) {
    g_ops = ops;
    g_log += "ops;";
    return 1;
}

EXPORT int Connect_Handle(DBDataMgr* t, int kind, const char* ds, const char* user,
                          const char* pwd, const char* extra, int option) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "%d,%s,%s,%s,%s,%d", kind, ds, user, pwd,
                  extra != nullptr ? extra : "(null)", option);
    Note("connect", t, buf);
    g_ops->Set_Handle(t, 42);
    return 1;
}

EXPORT int Disconnect_Handle(DBDataMgr* t) { return Note("disconnect", t); }
EXPORT int Commit_Handle(DBDataMgr* t) { return Note("commit", t) + 10; }
EXPORT int Rollback_Handle(DBDataMgr* t) { return Note("rollback", t) + 20; }

EXPORT int ExecuteSql_Handle(DBDataMgr* t, const char* sql) {
    Note("sql", t, sql);
    // A result the caller can see when it passed its own table.
    g_ops->CFree(t);
    g_ops->Set_Field_Count(t, 1);
    g_ops->Set_Field_Name(t, 0, "Echo");
    g_ops->Add_Row(t);
    g_ops->Set_Value(t, 0, sql);
    return 1;
}

EXPORT int ExecuteProc_Handle(DBDataMgr* t, void* arg) {
    return Note("proc", t, static_cast<const char*>(arg));
}

EXPORT int SelectRow_Handle(DBDataMgr* t, void* a, void* b, void* c, void* d) {
    std::string args = std::string(static_cast<const char*>(a)) + "," +
                       static_cast<const char*>(b) + "," + static_cast<const char*>(c) + "," +
                       static_cast<const char*>(d);
    return Note("select", t, args);
}

EXPORT int BatchInsert_Handle(DBDataMgr* t) { return Note("batch", t); }
