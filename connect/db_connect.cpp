// The connection object: construction, the tag slots, settings, and release
// of the file store the connection owns.
#include "connect/db_connect.h"

#include "connect/db_fs.h"
#include "data/db_data_mgr.h"
#include "data/fixed_text.h"
#include "stdclass/cpp/err/thr_err.h"

TDb_Connect::TDb_Connect()
    : tag(0),
      kind(0),
      option(0),
      connected(0),
      owner_thread(0),
      creator_thread(Thread_Get_Id()),
      drv_handle(0),
      trace_level(0),
      Set_Data_Oper_Handle(nullptr),
      Connect_Handle(nullptr),
      Disconnect_Handle(nullptr),
      Commit_Handle(nullptr),
      Rollback_Handle(nullptr),
      ExecuteSql_Handle(nullptr),
      ExecuteProc_Handle(nullptr),
      SelectRow_Handle(nullptr),
      BatchInsert_Handle(nullptr),
      storage(nullptr) {
    data_source[0] = 0;
    user[0] = 0;
    password[0] = 0;
    group[0] = 0;
    extra[0] = 0;
    trace_path[0] = 0;
    std::memset(&data_ops, 0, sizeof data_ops);
}

TDb_Connect::~TDb_Connect() {
    delete storage;
    storage = nullptr;
}

int TDb_Connect::Set_Tag(int value) {
    tag = value;
    return value;
}

int TDb_Connect::Get_Tag() { return tag; }

int TDb_Connect::Set_Group(const char* name) { return Fixed_Copy(group, sizeof group, name); }

int TDb_Connect::Set_Trace(const char* path, int level) {
    if (!Fixed_Copy(trace_path, sizeof trace_path, path)) return 0;
    trace_level = level;
    return 1;
}

int TDb_Connect::Set_Storage(TDb_Fs* store) {
    if (store != storage) delete storage;
    storage = store;
    return 1;
}

void TDb_Connect::Fs_Take_Err(DBDataMgr* table) {
    if (Thr_Get_Err_Code() == 0) return;
    char text[501];
    int code = 0;
    Thr_Get_Err(&code, text, 500);
    if (table != nullptr) table->Set_Error(code, text);
    Thr_Clear_Err();
}
