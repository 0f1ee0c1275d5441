// The connection kind for Access (Jet) database files: the connection slots
// 3 to 10 on a provider connection, with one transaction always open while
// connected, and a disk file store in a directory beside the database.
#pragma once

#include <memory>

#include "connect/db_connect.h"
#include "connect/provider/connection.h"

// The connection string: the path, the user and the password (60-byte fields
// each) and about 120 bytes of the template.
constexpr int ADO_CONN_STR_SIZE = PATH_FIELD_SIZE + 300;
constexpr int ADO_STORE_DIR_SIZE = PATH_FIELD_SIZE;  // the file-store directory
constexpr int ADO_VALUE_SIZE = 4096;      // one field value in ExecuteSql
constexpr int ADO_BATCH_SQL_SIZE = 2048;  // the statement of BatchInsert

// The caption of the box shown when a database cannot be opened.
inline constexpr const char* ADO_CONNECT_ERR_CAPTION = "连接数据库出错";

class TDb_Connect_Ado : public TDb_Connect {
  public:
    // The provider connection; created by Connect (kept, unopened, when
    // opening fails) and released by Disconnect and by the destructor.
    std::unique_ptr<provider::Connection> ado_conn;
    // Set before Connect: open the file in the provider's salvage mode (a
    // repair's reading of a source that may be damaged).
    bool salvage = false;

    TDb_Connect_Ado() = default;
    ~TDb_Connect_Ado() override;

    int Connect(int kind, const char* data_source, const char* user, const char* password,
                const char* extra, int option) override;
    int Disconnect() override;
    int Commit(DBDataMgr* table) override;
    int Rollback(DBDataMgr* table) override;
    int ExecuteSql(DBDataMgr* table, const char* sql) override;
    int ExecuteProc(DBDataMgr* table, void* arg) override;
    int SelectRow(DBDataMgr* table, void* a, void* b, void* c, void* d) override;
    int BatchInsert(DBDataMgr* table) override;
};

// The number the next Connect gives its area name "ado_area_%d" (starts at 1).
int Ado_Area_Counter();
