// The connection's own bodies of slots 2 to 10: everything is handed to a
// loadable driver module through its nine entry points. The driver handle
// travels to the module inside every result table passed to it.
#include <cstdio>

#include "connect/db_connect.h"
#include "data/db_data_mgr.h"
#include "data/fixed_text.h"
#include "stdclass/cpp/err/thr_err.h"
#include "stdclass/pub_ptr.h"

namespace {

// A result table for one call: the caller's, or a temporary one that is
// dropped afterwards (the module's output into it is discarded).
class Call_Table {
public:
    explicit Call_Table(DBDataMgr* given) : table(given), own(nullptr) {
        if (table == nullptr) table = own = new DBDataMgr();
    }
    ~Call_Table() { delete own; }
    Call_Table(const Call_Table&) = delete;
    Call_Table& operator=(const Call_Table&) = delete;
    DBDataMgr* table;

private:
    DBDataMgr* own;
};

template <typename Fn>
Fn Resolve(T_Dll& dll, const char* name, const char* path) {
    void* p = dll.Get_Ptr(name);
    if (p == nullptr) std::printf("no define handle in %s: _%s\n", path, name);
    return reinterpret_cast<Fn>(p);
}

}  // namespace

int TDb_Connect::Load_Driver(const char* path) {
    if (path == nullptr) path = "";
    T_Dll dll;
    if (!dll.Load(path)) {
        std::printf("unable to load dll %s\n", path);
        return 0;
    }
    // The module stays loaded for the rest of the process.
    Set_Data_Oper_Handle = Resolve<Set_Data_Oper_Handle_Fn>(dll, "Set_Data_Oper_Handle", path);
    Connect_Handle = Resolve<Connect_Handle_Fn>(dll, "Connect_Handle", path);
    Disconnect_Handle = Resolve<Disconnect_Handle_Fn>(dll, "Disconnect_Handle", path);
    Commit_Handle = Resolve<Commit_Handle_Fn>(dll, "Commit_Handle", path);
    Rollback_Handle = Resolve<Rollback_Handle_Fn>(dll, "Rollback_Handle", path);
    ExecuteSql_Handle = Resolve<ExecuteSql_Handle_Fn>(dll, "ExecuteSql_Handle", path);
    ExecuteProc_Handle = Resolve<ExecuteProc_Handle_Fn>(dll, "ExecuteProc_Handle", path);
    SelectRow_Handle = Resolve<SelectRow_Handle_Fn>(dll, "SelectRow_Handle", path);
    BatchInsert_Handle = Resolve<BatchInsert_Handle_Fn>(dll, "BatchInsert_Handle", path);
    Init_Data_Oper(&data_ops);
    if (Set_Data_Oper_Handle != nullptr) Set_Data_Oper_Handle(&data_ops);
    return 1;
}

int TDb_Connect::Connect(int new_kind, const char* source, const char* new_user,
                         const char* new_password, const char* new_extra, int new_option) {
    // Texts that do not fit their fields are refused before anything changes.
    const struct {
        const char* text;
        std::size_t size;
        const char* what;
    } texts[] = {{source, sizeof data_source, "data source"},
                 {new_user, sizeof user, "user"},
                 {new_password, sizeof password, "password"},
                 {new_extra, sizeof extra, "extra text"}};
    for (const auto& t : texts) {
        if (t.text != nullptr && std::strlen(t.text) + 1 > t.size) {
            return Thr_Set_Err_Fmt(-1, "%s too long for the connection (at most %d bytes)", t.what,
                                   static_cast<int>(t.size - 1));
        }
    }
    kind = new_kind;
    Fixed_Copy(data_source, sizeof data_source, source);
    Fixed_Copy(user, sizeof user, new_user);
    Fixed_Copy(password, sizeof password, new_password);
    Fixed_Copy(extra, sizeof extra, new_extra);
    option = new_option;
    connected = 1;
    if (Connect_Handle == nullptr) {
        std::printf("_Connect_Handle is NULL\n");
        return 0;
    }
    DBDataMgr table;
    int r = Connect_Handle(&table, new_kind, source, new_user, new_password, new_extra, new_option);
    drv_handle = table.Get_Handle();
    return r;
}

int TDb_Connect::Disconnect() {
    connected = 0;
    if (Disconnect_Handle == nullptr) {
        std::printf("_Disconnect_Handle is NULL\n");
        return 0;
    }
    DBDataMgr table;
    table.Set_Handle(drv_handle);
    Disconnect_Handle(&table);
    return 1;
}

int TDb_Connect::Commit(DBDataMgr* given) {
    if (Commit_Handle == nullptr) {
        std::printf("_Commit_Handle is NULL\n");
        return 0;
    }
    Call_Table t(given);
    t.table->Set_Handle(drv_handle);
    return Commit_Handle(t.table);
}

int TDb_Connect::Rollback(DBDataMgr* given) {
    if (Rollback_Handle == nullptr) {
        std::printf("_Rollback_Handle is NULL\n");
        return 0;
    }
    Call_Table t(given);
    t.table->Set_Handle(drv_handle);
    return Rollback_Handle(t.table);
}

int TDb_Connect::ExecuteSql(DBDataMgr* given, const char* sql) {
    if (ExecuteSql_Handle == nullptr) {
        std::printf("_ExecuteSql_Handle is NULL\n");
        return 0;
    }
    Call_Table t(given);
    t.table->Set_Handle(drv_handle);
    return ExecuteSql_Handle(t.table, sql);
}

int TDb_Connect::ExecuteProc(DBDataMgr* given, void* arg) {
    if (ExecuteProc_Handle == nullptr) {
        std::printf("_ExecuteProc_Handle is NULL\n");
        return 0;
    }
    Call_Table t(given);
    t.table->Set_Handle(drv_handle);
    return ExecuteProc_Handle(t.table, arg);
}

int TDb_Connect::SelectRow(DBDataMgr* given, void* a, void* b, void* c, void* d) {
    if (SelectRow_Handle == nullptr) {
        std::printf("_SelectRow_Handle is NULL\n");
        return 0;
    }
    Call_Table t(given);
    t.table->Set_Handle(drv_handle);
    return SelectRow_Handle(t.table, a, b, c, d);
}

int TDb_Connect::BatchInsert(DBDataMgr* table) {
    if (BatchInsert_Handle == nullptr) {
        std::printf("_BatchInsert_Handle is NULL\n");
        return 0;
    }
    if (table == nullptr) return 1;
    table->Set_Handle(drv_handle);
    return BatchInsert_Handle(table);
}
