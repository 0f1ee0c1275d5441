// Driver module over SQLite 3. The data source given to Connect_Handle names
// the database file (created when missing). Each connection keeps one
// transaction open, as the Access connection does: Commit_Handle and
// Rollback_Handle end it and begin the next one. Results and failures reach
// the caller's result table only through the function table handed over by
// Set_Data_Oper_Handle; the driver handle in the table is the number of the
// connection in this module's own list of open databases.
#include <sqlite3.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "data/data_oper.h"

#define DRV_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The function table is kept as a copy: every connection that loads the
// module hands over its own table, and a connection may be destroyed while
// others still use the module. The entries are the same plain functions.
Data_Oper_Table g_ops_copy;
Data_Oper_Table* g_ops = nullptr;
std::mutex g_mu;
std::vector<sqlite3*> g_dbs;  // handle n is g_dbs[n - 1]; null = closed

sqlite3* Db_Of(DBDataMgr* t) {
    int h = g_ops->Get_Handle(t);
    std::lock_guard<std::mutex> lock(g_mu);
    if (h < 1 || h > static_cast<int>(g_dbs.size())) return nullptr;
    return g_dbs[static_cast<std::size_t>(h - 1)];
}

int Fail(DBDataMgr* t, int code, const char* msg) {
    g_ops->Set_Error(t, code, msg);
    return 0;
}

int Fail_Db(DBDataMgr* t, sqlite3* db) { return Fail(t, sqlite3_errcode(db), sqlite3_errmsg(db)); }

// Usable only with the function table and a result table to report into.
bool Ready(DBDataMgr* t) { return g_ops != nullptr && t != nullptr; }

sqlite3* Db_Or_Fail(DBDataMgr* t) {
    sqlite3* db = Db_Of(t);
    if (db == nullptr) Fail(t, SQLITE_MISUSE, "not connected");
    return db;
}

// Makes sure the connection has its transaction open again.
int Begin_If_Needed(DBDataMgr* t, sqlite3* db) {
    if (!sqlite3_get_autocommit(db)) return 1;
    if (sqlite3_exec(db, "begin", nullptr, nullptr, nullptr) != SQLITE_OK) return Fail_Db(t, db);
    return 1;
}

// Ends the open transaction with word ("commit" or "rollback") and begins
// the next one.
int End_Transaction(DBDataMgr* t, const char* word) {
    sqlite3* db = Db_Or_Fail(t);
    if (db == nullptr) return 0;
    g_ops->Set_Error(t, 0, "");
    if (!sqlite3_get_autocommit(db) &&
        sqlite3_exec(db, word, nullptr, nullptr, nullptr) != SQLITE_OK) {
        Fail_Db(t, db);
        Begin_If_Needed(t, db);
        return 0;
    }
    return Begin_If_Needed(t, db);
}

// Runs one prepared statement; a statement that returns columns replaces the
// table's contents with its rows.
int Run_Statement(DBDataMgr* t, sqlite3* db, sqlite3_stmt* st) {
    int cols = sqlite3_column_count(st);
    g_ops->CFree(t);
    if (cols > 0) {
        g_ops->Set_Row_Count(t, 0);
        if (!g_ops->Set_Field_Count(t, cols)) return Fail(t, SQLITE_TOOBIG, "too many columns");
        for (int c = 0; c < cols; ++c) g_ops->Set_Field_Name(t, c, sqlite3_column_name(st, c));
    }
    for (;;) {
        int rc = sqlite3_step(st);
        if (rc == SQLITE_DONE) return 1;
        if (rc != SQLITE_ROW) return Fail_Db(t, db);
        if (cols == 0) continue;
        if (!g_ops->Add_Row(t)) return Fail(t, SQLITE_NOMEM, "unable to add a row");
        for (int c = 0; c < cols; ++c) {
            if (sqlite3_column_type(st, c) == SQLITE_NULL) continue;  // no value
            const void* text = sqlite3_column_text(st, c);
            int bytes = sqlite3_column_bytes(st, c);
            g_ops->Set_Value_With_Len(t, c, text, bytes);
        }
    }
}

std::string Quote_Ident(const char* name) {
    std::string q = "\"";
    for (const char* p = name; *p; ++p) {
        if (*p == '"') q += '"';
        q += *p;
    }
    return q + "\"";
}

}  // namespace

DRV_EXPORT int Set_Data_Oper_Handle(Data_Oper_Table* ops) {
    if (ops == nullptr) return 0;
    std::lock_guard<std::mutex> lock(g_mu);
    g_ops_copy = *ops;
    g_ops = &g_ops_copy;
    return 1;
}

DRV_EXPORT int Connect_Handle(DBDataMgr* t, int, const char* data_source, const char*, const char*,
                              const char*, int) {
    if (!Ready(t)) return 0;
    if (data_source == nullptr || data_source[0] == 0) {
        return Fail(t, SQLITE_CANTOPEN, "no database file given");
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(data_source, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        Fail(t, db != nullptr ? sqlite3_errcode(db) : rc,
             db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return 0;
    }
    sqlite3_extended_result_codes(db, 0);
    // Every connection keeps a transaction open, so with the default journal
    // the read lock of one would keep every other from committing. In WAL
    // mode readers never block a commit; each reads the state as of its own
    // transaction. A file where WAL is not possible stays in its mode.
    sqlite3_exec(db, "pragma journal_mode=wal", nullptr, nullptr, nullptr);
    sqlite3_busy_timeout(db, 2000);
    if (!Begin_If_Needed(t, db)) {
        sqlite3_close(db);
        return 0;
    }
    int handle;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        std::size_t i = 0;
        while (i < g_dbs.size() && g_dbs[i] != nullptr) ++i;
        if (i == g_dbs.size()) g_dbs.push_back(nullptr);
        g_dbs[i] = db;
        handle = static_cast<int>(i + 1);
    }
    g_ops->Set_Handle(t, handle);
    return 1;
}

DRV_EXPORT int Disconnect_Handle(DBDataMgr* t) {
    if (!Ready(t)) return 0;
    int h = g_ops->Get_Handle(t);
    sqlite3* db = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (h < 1 || h > static_cast<int>(g_dbs.size())) return 0;
        db = g_dbs[static_cast<std::size_t>(h - 1)];
        g_dbs[static_cast<std::size_t>(h - 1)] = nullptr;
    }
    if (db == nullptr) return 0;
    // Work not committed is dropped, as when the Access connection closes.
    if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "rollback", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db);
    return 1;
}

DRV_EXPORT int Commit_Handle(DBDataMgr* t) {
    if (!Ready(t)) return 0;
    return End_Transaction(t, "commit");
}

DRV_EXPORT int Rollback_Handle(DBDataMgr* t) {
    if (!Ready(t)) return 0;
    return End_Transaction(t, "rollback");
}

DRV_EXPORT int ExecuteSql_Handle(DBDataMgr* t, const char* sql) {
    if (!Ready(t)) return 0;
    g_ops->Set_Error(t, 0, "");
    if (sql == nullptr) return Fail(t, SQLITE_MISUSE, "no statement");
    if (std::strcmp(sql, "commit") == 0) return End_Transaction(t, "commit");
    if (std::strcmp(sql, "rollback") == 0) return End_Transaction(t, "rollback");
    sqlite3* db = Db_Or_Fail(t);
    if (db == nullptr) return 0;
    // Whatever the statement, the table holds only its answer afterwards
    // (emptying it also clears its driver handle, read just above).
    g_ops->CFree(t);
    int ok = 1;
    const char* rest = sql;
    while (ok && rest != nullptr && *rest != 0) {
        sqlite3_stmt* st = nullptr;
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(db, rest, -1, &st, &tail) != SQLITE_OK) {
            ok = Fail_Db(t, db);
            break;
        }
        if (st != nullptr) {
            ok = Run_Statement(t, db, st);
            sqlite3_finalize(st);
        }
        rest = tail;
    }
    // A statement may end the transaction (an explicit COMMIT, or SQLite
    // rolling back after some errors): keep one open.
    if (sqlite3_get_autocommit(db) && !Begin_If_Needed(t, db)) ok = 0;
    return ok;
}

DRV_EXPORT int ExecuteProc_Handle(DBDataMgr* t, void*) {
    if (!Ready(t)) return 0;
    return Fail(t, -1, "not supported");
}

DRV_EXPORT int SelectRow_Handle(DBDataMgr* t, void*, void*, void*, void*) {
    if (!Ready(t)) return 0;
    return Fail(t, -1, "not supported");
}

DRV_EXPORT int BatchInsert_Handle(DBDataMgr* t) {
    if (!Ready(t)) return 0;
    g_ops->Set_Error(t, 0, "");
    sqlite3* db = Db_Or_Fail(t);
    if (db == nullptr) return 0;
    int rows = g_ops->Get_Row_Count(t);
    if (rows <= 0) return 1;
    int cols = g_ops->Get_Field_Count(t);
    const char* table = g_ops->Get_Table_Name(t);
    if (cols <= 0 || table == nullptr || table[0] == 0) {
        return Fail(t, SQLITE_MISUSE, "batch insert needs a table name and columns");
    }
    std::string sql = "insert into " + Quote_Ident(table) + "(";
    std::string marks;
    for (int c = 0; c < cols; ++c) {
        const char* name = g_ops->Get_Field_Name(t, c);
        if (name == nullptr) return Fail(t, SQLITE_MISUSE, "batch insert column without a name");
        if (c > 0) {
            sql += ",";
            marks += ",";
        }
        sql += Quote_Ident(name);
        marks += "?";
    }
    sql += ") values(" + marks + ")";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return Fail_Db(t, db);
    int ok = 1;
    if (g_ops->First(t)) {
        do {
            for (int c = 0; c < cols; ++c) {
                const char* v = g_ops->Get_Value(t, c);
                if (v == nullptr) {
                    sqlite3_bind_null(st, c + 1);
                } else {
                    sqlite3_bind_text(st, c + 1, v, -1, SQLITE_TRANSIENT);
                }
            }
            if (sqlite3_step(st) != SQLITE_DONE) {
                ok = Fail_Db(t, db);
                break;
            }
            sqlite3_reset(st);
        } while (g_ops->Next(t));
    }
    sqlite3_finalize(st);
    if (sqlite3_get_autocommit(db)) Begin_If_Needed(t, db);
    return ok;
}
