// The connection class shared by every kind of database connection, and the
// process-wide pool that hands connections to threads.
//
// TDb_Connect fixes seventeen virtual operations in slot order; its own
// bodies of slots 2 to 10 drive a loadable driver module, slots 11 to 13 keep
// named sequences and slots 14 to 16 reach the connection's file store, all
// on top of ExecuteSql so that every connection kind has them. Other kinds
// (the Access connection) derive and replace slots 3 to 10.
//
// The pool (TDb_Connect_Mgr) and the trace writer are defined inline in this
// header so that the SQL communication area of the data layer, which asks
// the pool for its connection, needs no link dependency on this layer.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "data/data_oper.h"
#include "stdclass/log.h"
#include "stdclass/mem_list.h"
#include "stdclass/mem_reg.h"
#include "stdclass/path_size.h"
#include "stdclass/thread_mgr.h"

class DBDataMgr;
class TDb_Fs;
struct Tab_Db_Fs_File;

constexpr int DB_CONN_SOURCE_SIZE = PATH_FIELD_SIZE;  // data_source, with its terminator
constexpr int DB_CONN_TEXT_SIZE = 60;                 // user, password, group, extra
constexpr int DB_CONN_TRACE_SIZE = PATH_FIELD_SIZE;   // trace_path

// The data library calls into connections (the communication area, the pool
// below) without linking the connect library, where the type information of
// TDb_Connect lives. The undefined-behaviour sanitizer's dynamic type check
// would need that information, so it is left out for exactly those calls.
#if defined(__GNUC__)
#define DB_NO_VPTR_CHECK __attribute__((no_sanitize("vptr")))
#else
#define DB_NO_VPTR_CHECK
#endif

#if defined(__GNUC__)
#define DB_TRACE_PRINTF_CHECK __attribute__((format(printf, 2, 3)))
#else
#define DB_TRACE_PRINTF_CHECK
#endif

class TDb_Connect {
public:
    int tag;
    int kind;
    char data_source[DB_CONN_SOURCE_SIZE];
    char user[DB_CONN_TEXT_SIZE];
    char password[DB_CONN_TEXT_SIZE];
    char group[DB_CONN_TEXT_SIZE];
    char extra[DB_CONN_TEXT_SIZE];
    int option;
    int connected;
    int owner_thread;    // thread holding the connection from the pool; 0 = free
    int creator_thread;  // thread that constructed the object
    int drv_handle;
    Data_Oper_Table data_ops;
    char trace_path[DB_CONN_TRACE_SIZE];
    int trace_level;
    Set_Data_Oper_Handle_Fn Set_Data_Oper_Handle;
    Connect_Handle_Fn Connect_Handle;
    Disconnect_Handle_Fn Disconnect_Handle;
    Commit_Handle_Fn Commit_Handle;
    Rollback_Handle_Fn Rollback_Handle;
    ExecuteSql_Handle_Fn ExecuteSql_Handle;
    ExecuteProc_Handle_Fn ExecuteProc_Handle;
    SelectRow_Handle_Fn SelectRow_Handle;
    BatchInsert_Handle_Fn BatchInsert_Handle;
    TDb_Fs* storage;  // owned: released with the connection object

    TDb_Connect();
    TDb_Connect(const TDb_Connect&) = delete;
    TDb_Connect& operator=(const TDb_Connect&) = delete;

    virtual int Set_Tag(int value);                                          // 0
    virtual int Get_Tag();                                                   // 1
    virtual int Load_Driver(const char* path);                               // 2
    virtual int Connect(int kind, const char* data_source, const char* user,  // 3
                        const char* password, const char* extra, int option);
    virtual int Disconnect();                                                // 4
    virtual int Commit(DBDataMgr* table);                                    // 5
    virtual int Rollback(DBDataMgr* table);                                  // 6
    virtual int ExecuteSql(DBDataMgr* table, const char* sql);               // 7
    virtual int ExecuteProc(DBDataMgr* table, void* arg);                    // 8
    virtual int SelectRow(DBDataMgr* table, void* a, void* b, void* c, void* d);  // 9
    virtual int BatchInsert(DBDataMgr* table);                               // 10
    virtual int Next_Seq(DBDataMgr* table, const char* name, int* out);      // 11
    virtual int Get_Seq(DBDataMgr* table, const char* name, int* out);       // 12
    virtual int Set_Seq(DBDataMgr* table, const char* name, int value);      // 13
    virtual int Fs_Write(DBDataMgr* table, Tab_Db_Fs_File* file);            // 14
    virtual int Fs_Read(DBDataMgr* table, int file_id, Tab_Db_Fs_File* file);  // 15
    virtual int Fs_Delete(DBDataMgr* table, int file_id);                    // 16
    // Declared after the seventeen slots so that their order stays as fixed.
    // It does not disconnect; it releases the file store the connection owns.
    virtual ~TDb_Connect();

    // One line (format, values and a newline) appended to trace_path; 1 when
    // written or when no trace file is set, 0 when the file cannot be opened.
    DB_NO_VPTR_CHECK int Write_Trace(const char* format, ...) DB_TRACE_PRINTF_CHECK;

    // Settings that nothing in the repair tool changes. Each returns 1, or 0
    // when the text does not fit its field (the field is then unchanged).
    int Set_Group(const char* name);
    int Set_Trace(const char* path, int level);
    // Hands the connection a file store; the connection owns it from now on
    // and releases a store it held before.
    int Set_Storage(TDb_Fs* store);

protected:
    // Moves the calling thread's error into the table (file store slots).
    static void Fs_Take_Err(DBDataMgr* table);
};

// ---------------------------------------------------------------------------
// Trace writer. One lock serialises the trace lines of all connections.

inline TThread_Lock* Db_Trace_Lock = nullptr;

DB_NO_VPTR_CHECK inline int TDb_Connect::Write_Trace(const char* format, ...) {
    if (trace_path[0] == 0) return 1;
    if (Db_Trace_Lock == nullptr) Db_Trace_Lock = Thread_Create_Lock();
    TThread_Safe guard(Db_Trace_Lock);
    FILE* f = std::fopen(trace_path, "at+");
    if (f == nullptr) return 0;
    va_list ap;
    va_start(ap, format);
    std::vfprintf(f, format, ap);
    va_end(ap);
    std::fputc('\n', f);
    std::fclose(f);
    return 1;
}

// ---------------------------------------------------------------------------
// The pool. Connections enter it with Add_Session, which hands their object
// to the pool (the pool's destructor destroys them), and leave it with
// Remove_Session, which hands the object back. Get_Session binds a free
// connection to the calling thread; Release_Session unbinds it again.

class TDb_Connect_Mgr : public TMemList {
public:
    TThread_Lock* lock;

    TDb_Connect_Mgr() : lock(Thread_Create_Lock()) {}
    ~TDb_Connect_Mgr() override;
    TDb_Connect_Mgr(const TDb_Connect_Mgr&) = delete;
    TDb_Connect_Mgr& operator=(const TDb_Connect_Mgr&) = delete;

    TDb_Connect* Get_Session(const char* group);
    int Add_Session(TDb_Connect* conn);
    int Release_Session(TDb_Connect* conn);
    int Remove_Session(TDb_Connect* conn);
};

inline TDb_Connect_Mgr* Db_Connect_Mgr = nullptr;

DB_NO_VPTR_CHECK inline TDb_Connect_Mgr::~TDb_Connect_Mgr() {
    while (head != nullptr) {
        auto* conn = static_cast<TDb_Connect*>(head->data);
        _RemoveNode(head);
        delete conn;
        Mem_Del_Obj(conn, "TDb_Connect_Mgr::~TDb_Connect_Mgr");
    }
    if (lock != nullptr) {
        Thread_Free_Lock(lock);
        lock = nullptr;
    }
}

DB_NO_VPTR_CHECK inline TDb_Connect* TDb_Connect_Mgr::Get_Session(const char* grp) {
    TThread_Safe guard(lock);
    int me = Thread_Get_Id();
    TDb_Connect* spare = nullptr;
    int n = Count();
    First();
    for (int i = 0; i < n; ++i, Next()) {
        auto* conn = static_cast<TDb_Connect*>(Current());
        if (conn == nullptr) return nullptr;
        if (grp != nullptr && std::strcmp(grp, conn->group) != 0) continue;
        if (conn->owner_thread == me) return conn;
        if (conn->creator_thread == me && conn->owner_thread == 0) spare = conn;
    }
    if (spare != nullptr) {
        spare->owner_thread = me;
        return spare;
    }
    First();
    for (int i = 0; i < n; ++i, Next()) {
        auto* conn = static_cast<TDb_Connect*>(Current());
        if (conn == nullptr) return nullptr;
        if (grp != nullptr && std::strcmp(grp, conn->group) != 0) continue;
        if (conn->owner_thread == 0) {
            conn->owner_thread = me;
            return conn;
        }
    }
    Log_Print("Get_Session Fail grp_name %s tot num %d", grp != nullptr ? grp : "(null)", n);
    return nullptr;
}

// Puts a connection into the pool, free (unless a thread already holds it).
// 1 added or already there, 0 for a null connection or a failed allocation.
DB_NO_VPTR_CHECK inline int TDb_Connect_Mgr::Add_Session(TDb_Connect* conn) {
    if (conn == nullptr) return 0;
    TThread_Safe guard(lock);
    if (Find(conn) != nullptr) return 1;
    if (!AddTail(conn)) return 0;
    Mem_Rec_Obj(conn, "TDb_Connect_Mgr::Add_Session", static_cast<int>(sizeof(TDb_Connect)));
    return 1;
}

// Gives back the connection the calling thread holds (conn null: every one it
// holds). Returns the number of connections unbound; a connection held by
// another thread is left alone. Commit or roll back before giving it back:
// the next holder continues on the same open transaction.
DB_NO_VPTR_CHECK inline int TDb_Connect_Mgr::Release_Session(TDb_Connect* conn) {
    TThread_Safe guard(lock);
    int me = Thread_Get_Id();
    int released = 0;
    for (TMemList_Node* node = head; node != nullptr; node = node->next) {
        auto* c = static_cast<TDb_Connect*>(node->data);
        if (c == nullptr || (conn != nullptr && c != conn)) continue;
        if (c->owner_thread == me) {
            c->owner_thread = 0;
            ++released;
        }
    }
    return released;
}

// Takes a connection out of the pool and hands its object back to the
// caller, whoever holds it. 1 removed, 0 not pooled.
DB_NO_VPTR_CHECK inline int TDb_Connect_Mgr::Remove_Session(TDb_Connect* conn) {
    TThread_Safe guard(lock);
    if (conn == nullptr || !Remove(conn)) return 0;
    conn->owner_thread = 0;
    Mem_Del_Obj(conn, "TDb_Connect_Mgr::Remove_Session");
    return 1;
}

inline int Get_Connect_Mgr() {
    if (Db_Connect_Mgr != nullptr) return 1;
    Get_Thread_Mgr();
    Db_Connect_Mgr = new TDb_Connect_Mgr();
    return 1;
}

inline TDb_Connect* Get_Db_Session(const char* group) {
    Get_Connect_Mgr();
    return Db_Connect_Mgr->Get_Session(group);
}

inline int Db_Add_Session(TDb_Connect* conn) {
    Get_Connect_Mgr();
    return Db_Connect_Mgr->Add_Session(conn);
}

inline int Db_Release_Session(TDb_Connect* conn) {
    Get_Connect_Mgr();
    return Db_Connect_Mgr->Release_Session(conn);
}

inline int Db_Remove_Session(TDb_Connect* conn) {
    Get_Connect_Mgr();
    return Db_Connect_Mgr->Remove_Session(conn);
}
