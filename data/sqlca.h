// SQL communication area: nine work areas, each with its own result table and
// a status snapshot (sqlcode, sqlmsg, statement text, row count, field count,
// cursor row number). Statements run on the connection given at construction
// or, without one, on the connection the pool hands the calling thread.
#pragma once

#include "data/db_data_mgr.h"
#include "stdclass/mem_safe.h"

class TDb_Connect;
class TParaMgr;

constexpr int SQLCA_AREAS = 9;
constexpr int SQLCA_TEXT_LEN = 4096;   // characters kept of sqlmsg and the statement
constexpr int SQLCA_FMT_SIZE = 40960;  // buffer of Execute_Fmt
constexpr int SQLCA_MANY_ROWS = 10000;

#if defined(__GNUC__)
#define SQLCA_PRINTF_CHECK __attribute__((format(printf, 2, 3)))
#else
#define SQLCA_PRINTF_CHECK
#endif

class TSQLCA : public TMemSafe {
public:
    explicit TSQLCA(TDb_Connect* conn = nullptr);
    ~TSQLCA() override;
    TSQLCA(const TSQLCA&) = delete;
    TSQLCA& operator=(const TSQLCA&) = delete;

    int SelectArea(int area);
    void Free_Area(int area);
    void Free_All_Areas();
    void Sync_Area();
    int Set_Sqlcode(int code);
    int Get_Sqlcode();
    TDb_Connect* Get_Connection();
    int Execute(const char* sql);
    int Execute_Fmt(const char* format, ...) SQLCA_PRINTF_CHECK;
    int Exec_Rollback();
    int Batch_Insert();
    int First();
    int Next();
    char* Get_Value(int col);
    int Get_Str(int col, char* buf);
    int Get_Int(int col, int* value);
    int Set_Table_Name(const char* name);
    int Set_Field_Count(int count);
    char* Get_Field_Name(int index);
    int Add_Row();
    int Set_Value(int col, const char* value);
    int Find_First(int col, const char* text);
    int Report_Err();
    int Row_To_Para(TParaMgr* paras);

    // Read-only views of the current area's snapshot and table.
    const char* Get_Sqlmsg() const { return sqlmsg_p; }
    const char* Get_Stmt() const { return stmt_p; }
    int Get_Row_Count() const { return *row_count_p; }
    int Get_Field_Count() const { return *field_count_p; }
    int Get_Cur_Row_No() const { return *cur_row_p; }
    int Get_Area() const { return cur_area; }
    DBDataMgr* Get_Table() { return cur_table; }

private:
    int Make_Sure();
    int Cell_Readable(int col);

    DBDataMgr* area_table[SQLCA_AREAS];
    DBDataMgr* cur_table;
    int cur_area;
    int sqlcode[SQLCA_AREAS];
    char sqlmsg[SQLCA_AREAS][SQLCA_TEXT_LEN + 1];
    char stmt[SQLCA_AREAS][SQLCA_TEXT_LEN + 1];
    int row_count[SQLCA_AREAS];
    int cur_row_no[SQLCA_AREAS];
    int field_count[SQLCA_AREAS];
    TDb_Connect* conn;
    int* sqlcode_p;
    char* sqlmsg_p;
    char* stmt_p;
    int* row_count_p;
    int* field_count_p;
    int* cur_row_p;
};
