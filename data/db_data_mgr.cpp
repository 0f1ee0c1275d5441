// Result table: every name, row record, cell array and value is a named
// allocation through the table's own memory hooks.
#include "data/db_data_mgr.h"

#include <cstdio>
#include <cstring>

#include "data/fixed_text.h"

namespace {
const char kOutOfRange[] = "ERROR: Field is out of range!\n";
}

DBDataMgr::DBDataMgr() { Init(); }

DBDataMgr::~DBDataMgr() { CFree(); }

int DBDataMgr::Init() {
    for (int i = 0; i < DB_MAX_FIELD_SLOT; ++i) {
        field_name[i] = nullptr;
        field_type[i] = 'S';
        field_size[i] = 0;
        field_scale[i] = 0;
    }
    cur_row_no = 0;
    cur_row = nullptr;
    first_row = nullptr;
    last_row = nullptr;
    table_name[0] = 0;
    field_count = 0;
    row_count = 0;
    err_code = 0;
    err_msg[0] = 0;
    drv_handle = 0;
    return 1;
}

int DBDataMgr::CFree() {
    for (int i = 0; i < DB_MAX_FIELD_SLOT; ++i) {
        if (field_name[i] != nullptr) {
            Free_Mem(field_name[i], "DBDataMgr::CFree()");
            field_name[i] = nullptr;
        }
    }
    DBIORowStru* row = first_row;
    while (row != nullptr) {
        DBIORowStru* next = row->next;
        for (int c = 0; c < row->col_count; ++c) {
            if (row->cols[c].len != 0) TMemSafe::Pool_Free(row->cols[c].value, "DBDataMgr::CFree()");
        }
        TMemSafe::Pool_Free(row->cols, "DBDataMgr::CFree()");
        TMemSafe::Pool_Free(row, "DBDataMgr::CFree()");
        row = next;
    }
    Init();
    return 1;
}

int DBDataMgr::Set_Error(int code, const char* msg) {
    err_code = code;
    Cut_Copy(err_msg, DB_ERR_MSG_LEN, msg);
    return 1;
}

int DBDataMgr::Set_Table_Name(const char* name) {
    if (name == nullptr) return 1;
    // A name that does not fit the field is refused whole.
    if (!Fixed_Copy(table_name, sizeof table_name, name)) return 0;
    for (char* p = table_name; *p; ++p) {
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
    }
    return 1;
}

char* DBDataMgr::Get_Table_Name() { return table_name; }

int DBDataMgr::Field_In_Range(int index) {
    if (index < 0 || index >= DB_MAX_FIELD_SLOT) {
        std::fputs(kOutOfRange, stdout);
        return 0;
    }
    return 1;
}

int DBDataMgr::Set_Field_Name(int index, const char* name) {
    if (name == nullptr) return 1;
    if (!Field_In_Range(index)) return 0;
    if (field_name[index] != nullptr) {
        Free_Mem(field_name[index], "DBDataMgr::Set_Field_Name");
        field_name[index] = nullptr;
    }
    std::size_t n = std::strlen(name);
    char* copy = static_cast<char*>(Alloc_Mem(static_cast<int>(n + 1), "DBDataMgr::Set_Field_Name"));
    if (copy == nullptr) {
        std::fputs("ERROR: unable to alloc memory for fieldname\n", stdout);
        return 0;
    }
    for (std::size_t i = 0; i <= n; ++i) {
        char ch = name[i];
        copy[i] = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    }
    field_name[index] = copy;
    return 1;
}

int DBDataMgr::Set_Field_Type(int index, char type) {
    if (!Field_In_Range(index)) return 0;
    field_type[index] = type;
    return 1;
}

int DBDataMgr::Set_Field_Size(int index, int value) {
    if (!Field_In_Range(index)) return 0;
    field_size[index] = value;
    return 1;
}

int DBDataMgr::Set_Field_Scale(int index, int value) {
    if (!Field_In_Range(index)) return 0;
    field_scale[index] = value;
    return 1;
}

int DBDataMgr::Set_Field_Count(int count) {
    if (count < 0 || count > DB_MAX_FIELD) {
        std::fputs(kOutOfRange, stdout);
        return 0;
    }
    for (int i = 0; i < DB_MAX_FIELD_SLOT; ++i) {
        if (field_name[i] != nullptr) {
            Free_Mem(field_name[i], "DBDataMgr::Set_Field_Count");
            field_name[i] = nullptr;
        }
    }
    field_count = count;
    return 1;
}

int DBDataMgr::Set_Row_Count(int count) {
    if (count < 0) return 0;
    row_count = count;
    return 1;
}

int DBDataMgr::Set_Handle(int handle) {
    drv_handle = handle;
    return 1;
}

char* DBDataMgr::Get_Field_Name(int index) {
    if (!Field_In_Range(index)) return nullptr;
    return field_name[index];
}

char DBDataMgr::Get_Field_Type(int index) {
    if (!Field_In_Range(index)) return '0';
    return field_type[index];
}

int DBDataMgr::Get_Field_Size(int index) {
    if (!Field_In_Range(index)) return 0;
    return field_size[index];
}

int DBDataMgr::Get_Field_Scale(int index) {
    if (!Field_In_Range(index)) return 0;
    return field_scale[index];
}

int DBDataMgr::Get_Field_Count() { return field_count; }

int DBDataMgr::Get_Row_Count() { return row_count; }

int DBDataMgr::Get_Handle() { return drv_handle; }

int DBDataMgr::Add_Row() {
    if (field_count == 0) {
        std::fputs("ERROR: the field count is 0,cant alloc memory\n", stdout);
        return 0;
    }
    auto* row = static_cast<DBIORowStru*>(
        TMemSafe::Pool_Alloc(sizeof(DBIORowStru), "DBDataMgr::Add_Row", "DBIOROWSTRU"));
    if (row == nullptr) {
        std::puts("ERROR: unable to alloc for tail");
        return 0;
    }
    row->next = nullptr;
    auto* cols = static_cast<DBIOColStru*>(TMemSafe::Pool_Alloc(
        static_cast<int>(sizeof(DBIOColStru) * field_count), "DBDataMgr::Add_Row", "DBIOCOLSTRU"));
    if (cols == nullptr) {
        std::puts("ERROR: unable to alloc for col");
        TMemSafe::Pool_Free(row, "DBDataMgr::Add_Row");
        return 0;
    }
    for (int c = 0; c < field_count; ++c) {
        cols[c].value = nullptr;
        cols[c].len = 0;
    }
    row->cols = cols;
    row->col_count = field_count;
    row->prev = last_row;
    if (last_row != nullptr) {
        last_row->next = row;
    } else {
        first_row = row;
    }
    last_row = row;
    cur_row = row;
    ++row_count;
    return 1;
}

DBIOColStru* DBDataMgr::Cursor_Cell(int col) {
    if (col < 0 || col >= field_count || cur_row == nullptr) return nullptr;
    if (col >= cur_row->col_count) return nullptr;
    return &cur_row->cols[col];
}

int DBDataMgr::Set_Value(int col, const char* value) {
    DBIOColStru* cell = Cursor_Cell(col);
    if (cell == nullptr) return 0;
    if (cell->len > 0) {
        TMemSafe::Pool_Free(cell->value, "DBDataMgr::Set_Value");
        cell->value = nullptr;
        cell->len = 0;
    }
    if (value == nullptr) return 1;
    std::size_t n = std::strlen(value);
    char* copy =
        static_cast<char*>(TMemSafe::Pool_Alloc(static_cast<int>(n + 1), "DBDataMgr::Set_Value", nullptr));
    if (copy == nullptr) {
        std::puts("ERROR: unable to alloc for value");
        return 0;
    }
    std::memcpy(copy, value, n + 1);
    cell->value = copy;
    cell->len = static_cast<int>(n + 1);
    return 1;
}

int DBDataMgr::Set_Value_With_Len(int col, const void* data, int len) {
    DBIOColStru* cell = Cursor_Cell(col);
    if (cell == nullptr) return 0;
    // Bytes that are not there cannot be copied: refuse instead of reading.
    if (len < 0 || (data == nullptr && len > 0)) return 0;
    if (cell->len > 0) {
        TMemSafe::Pool_Free(cell->value, "DBDataMgr::Set_Value_With_Len");
        cell->value = nullptr;
        cell->len = 0;
    }
    char* copy = static_cast<char*>(
        TMemSafe::Pool_Alloc(len + 1, "DBDataMgr::Set_Value_With_Len", nullptr));
    if (copy == nullptr) {
        std::puts("ERROR: unable to alloc for value");
        return 0;
    }
    if (len > 0) std::memcpy(copy, data, static_cast<std::size_t>(len));
    copy[len] = 0;
    cell->value = copy;
    cell->len = len + 1;
    return 1;
}

char* DBDataMgr::Get_Value(int col) {
    if (row_count <= 0) return nullptr;
    DBIOColStru* cell = Cursor_Cell(col);
    return cell == nullptr ? nullptr : cell->value;
}

int DBDataMgr::Has_Next() { return cur_row_no < row_count - 1 ? 1 : 0; }

int DBDataMgr::Next() {
    if (cur_row_no >= row_count - 1) return 0;
    // The row count may have been overwritten, or the cursor left on a newly
    // added row: never move past the real last row.
    if (cur_row == nullptr || cur_row->next == nullptr) return 0;
    ++cur_row_no;
    cur_row = cur_row->next;
    return 1;
}

int DBDataMgr::First() {
    if (row_count == 0) return 0;
    cur_row_no = 0;
    cur_row = first_row;
    return 1;
}

int DBDataMgr::Go_Row(int row) {
    if (row >= row_count) return 0;
    if (row < cur_row_no) First();
    while (cur_row_no < row) {
        if (!Next()) return 0;
    }
    return 1;
}

int DBDataMgr::Value_Equals(int col, const char* text) {
    const char* v = Get_Value(col);
    if (v == nullptr) return (text == nullptr || text[0] == 0) ? 1 : 0;
    if (text == nullptr) return v[0] == 0 ? 1 : 0;
    return std::strcmp(v, text) == 0 ? 1 : 0;
}

int DBDataMgr::Find_Next(int col, const char* text) {
    for (;;) {
        if (Value_Equals(col, text)) return 1;
        if (!Next()) return 0;
    }
}

int DBDataMgr::Find_First(int col, const char* text) {
    First();
    return Find_Next(col, text);
}
