// Result table of the data access framework: named fields, rows of text
// values in insertion order, one cursor row, an error code with its message
// and the opaque driver handle that travels to driver modules.
#pragma once

#include "stdclass/mem_safe.h"

// Upper bounds of the table. There are 120 name slots but at most 119 fields.
constexpr int DB_MAX_FIELD_SLOT = 120;
constexpr int DB_MAX_FIELD = 119;
constexpr int DB_TABLE_NAME_SIZE = 80;  // 79 characters and the terminator
constexpr int DB_ERR_MSG_LEN = 4096;    // characters kept of an error message

// One cell of a row: an owned value (always zero-terminated) and its length
// in bytes including the terminating zero; 0 when the cell has no value.
struct DBIOColStru {
    char* value;
    int len;
};

// One row record. cols holds col_count cells: the field count at the time the
// row was added, so a later Set_Field_Count never makes the table read or free
// past a row's cells.
struct DBIORowStru {
    DBIOColStru* cols;
    DBIORowStru* next;
    DBIORowStru* prev;
    int col_count;
};

class DBDataMgr : public TMemSafe {
public:
    DBDataMgr();
    ~DBDataMgr() override;

    int Init();
    int CFree();
    int Set_Error(int code, const char* msg);
    int Set_Table_Name(const char* name);
    char* Get_Table_Name();
    int Set_Field_Name(int index, const char* name);
    int Set_Field_Type(int index, char type);
    int Set_Field_Size(int index, int value);
    int Set_Field_Scale(int index, int value);
    int Set_Field_Count(int count);
    int Set_Row_Count(int count);
    int Set_Handle(int handle);
    char* Get_Field_Name(int index);
    char Get_Field_Type(int index);
    int Get_Field_Size(int index);
    int Get_Field_Scale(int index);
    int Get_Field_Count();
    int Get_Row_Count();
    int Get_Handle();
    int Add_Row();
    int Set_Value(int col, const char* value);
    int Set_Value_With_Len(int col, const void* data, int len);
    char* Get_Value(int col);
    int Has_Next();
    int Next();
    int First();
    int Go_Row(int row);
    int Value_Equals(int col, const char* text);
    int Find_Next(int col, const char* text);
    int Find_First(int col, const char* text);

    // Read by the library directly (connections, the communication area).
    int Get_Err_Code() const { return err_code; }
    const char* Get_Err_Msg() const { return err_msg; }
    int Get_Cur_Row_No() const { return cur_row_no; }

private:
    static int Field_In_Range(int index);
    DBIOColStru* Cursor_Cell(int col);

    char* field_name[DB_MAX_FIELD_SLOT];
    char field_type[DB_MAX_FIELD_SLOT];
    int field_size[DB_MAX_FIELD_SLOT];
    int field_scale[DB_MAX_FIELD_SLOT];
    int cur_row_no;
    DBIORowStru* cur_row;
    DBIORowStru* first_row;
    DBIORowStru* last_row;
    char table_name[DB_TABLE_NAME_SIZE];
    int field_count;
    int row_count;
    int err_code;
    char err_msg[DB_ERR_MSG_LEN + 1];
    int drv_handle;
};
