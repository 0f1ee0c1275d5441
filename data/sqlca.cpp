// SQL communication area: runs statements on a connection, keeps each work
// area's answer in its own result table and a status snapshot of it, and
// traces statements into the connection's trace file.
#include "data/sqlca.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "connect/db_connect.h"
#include "data/fixed_text.h"
#include "data/para_mgr.h"
#include "stdclass/cpp/err/thr_err.h"

namespace {

void* Sqlca_New_Table(int type, const char*, int) {
    if (type != 1) return nullptr;
    return new DBDataMgr();
}

int Sqlca_Delete_Table(int type, void* obj, const char*) {
    if (type != 1) return 0;
    delete static_cast<DBDataMgr*>(obj);
    return 1;
}

const char kNoConnection[] = "cant get db connection";
const char kRule[] = "---------------------------------------------------------------";

}  // namespace

TSQLCA::TSQLCA(TDb_Connect* connection) : conn(nullptr) {
    MemSafe_New = Sqlca_New_Table;
    MemSafe_Delete = Sqlca_Delete_Table;
    for (int i = 0; i < SQLCA_AREAS; ++i) {
        area_table[i] = nullptr;
        sqlcode[i] = 0;
        sqlmsg[i][0] = 0;
        stmt[i][0] = 0;
        row_count[i] = 0;
        cur_row_no[i] = 0;
        field_count[i] = 0;
    }
    cur_table = nullptr;
    cur_area = 0;
    sqlcode_p = &sqlcode[0];
    sqlmsg_p = sqlmsg[0];
    stmt_p = stmt[0];
    row_count_p = &row_count[0];
    field_count_p = &field_count[0];
    cur_row_p = &cur_row_no[0];
    SelectArea(0);
    conn = connection;
}

TSQLCA::~TSQLCA() { Free_All_Areas(); }

int TSQLCA::SelectArea(int area) {
    if (area < 0 || area >= SQLCA_AREAS) return 0;
    if (area_table[area] == nullptr) {
        void* obj = getpid() != pid ? MemSafe_New(1, "TSQLCA::SelectArea", 0)
                                    : New(1, "TSQLCA::SelectArea", 0);
        // Without a table the area cannot be used: stay where we were.
        if (obj == nullptr) return 0;
        area_table[area] = static_cast<DBDataMgr*>(obj);
        area_table[area]->Set_Error(0, "");
    }
    cur_area = area;
    sqlcode_p = &sqlcode[area];
    sqlmsg_p = sqlmsg[area];
    stmt_p = stmt[area];
    row_count_p = &row_count[area];
    field_count_p = &field_count[area];
    cur_row_p = &cur_row_no[area];
    cur_table = area_table[area];
    Sync_Area();
    return 1;
}

void TSQLCA::Sync_Area() {
    if (cur_table == nullptr) return;
    *sqlcode_p = cur_table->Get_Err_Code();
    Cut_Copy(sqlmsg_p, SQLCA_TEXT_LEN, cur_table->Get_Err_Msg());
    *row_count_p = cur_table->Get_Row_Count();
    *field_count_p = cur_table->Get_Field_Count();
    *cur_row_p = cur_table->Get_Cur_Row_No();
}

void TSQLCA::Free_Area(int area) {
    if (area < 0 || area >= SQLCA_AREAS) return;
    DBDataMgr* t = area_table[area];
    if (t != nullptr) {
        t->CFree();
        if (getpid() != pid) {
            MemSafe_Delete(1, t, "TSQLCA::Free_Area");
        } else {
            Delete(1, t, "TSQLCA::Free_Area");
        }
        if (cur_table == t) cur_table = nullptr;
    }
    area_table[area] = nullptr;
}

void TSQLCA::Free_All_Areas() {
    for (int i = 0; i < SQLCA_AREAS; ++i) Free_Area(i);
    cur_table = nullptr;
}

int TSQLCA::Make_Sure() {
    if (cur_table != nullptr) return 1;
    return SelectArea(cur_area);
}

int TSQLCA::Set_Sqlcode(int code) {
    if (!Make_Sure()) return 0;
    if (code != 0 && *sqlcode_p != 0) return *sqlcode_p;
    *sqlcode_p = code;
    if (code == 0) {
        sqlmsg_p[0] = 0;
        stmt_p[0] = 0;
    }
    return code;
}

int TSQLCA::Get_Sqlcode() { return *sqlcode_p; }

TDb_Connect* TSQLCA::Get_Connection() {
    if (conn != nullptr) return conn;
    return Get_Db_Session(nullptr);
}

DB_NO_VPTR_CHECK int TSQLCA::Execute(const char* sql) {
    if (sql == nullptr) sql = "";
    Set_Sqlcode(0);
    if (cur_table == nullptr && !SelectArea(0)) return *sqlcode_p;
    Cut_Copy(stmt_p, SQLCA_TEXT_LEN, sql);
    TDb_Connect* c = Get_Connection();
    if (c == nullptr) {
        cur_table->Set_Error(999, kNoConnection);
        std::printf("*** fail to run %s\n", sql);
        std::printf("*** cant get db connection\n");
        Sync_Area();
        return *sqlcode_p;
    }
    c->ExecuteSql(cur_table, sql);
    Sync_Area();
    First();
    if (c->trace_level == 2 || *sqlcode_p != 0) {
        c->Write_Trace("%s", sql);
        c->Write_Trace("runover error code %d result rownum %d", *sqlcode_p, *row_count_p);
        if (*sqlcode_p != 0) {
            c->Write_Trace("错误代码: %d\n错误信息: %s", *sqlcode_p, sqlmsg_p);
        }
    }
    if (*row_count_p >= SQLCA_MANY_ROWS) {
        c->Write_Trace("%s", kRule);
        c->Write_Trace("the next sqlcmd fetch many rows[more than 10000]: %d", *row_count_p);
        c->Write_Trace("%s", sql);
        c->Write_Trace("%s", kRule);
    }
    return *sqlcode_p;
}

int TSQLCA::Execute_Fmt(const char* format, ...) {
    // Formatted to its full length: a long statement is run whole, never cut.
    va_list ap;
    va_start(ap, format);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    std::string text;
    if (n > 0) {
        text.resize(static_cast<std::size_t>(n));
        std::vsnprintf(text.data(), text.size() + 1, format, ap2);
    }
    va_end(ap2);
    return Execute(text.c_str());
}

int TSQLCA::Exec_Rollback() {
    Execute("rollback");
    return *sqlcode_p;
}

DB_NO_VPTR_CHECK int TSQLCA::Batch_Insert() {
    if (cur_table == nullptr && !SelectArea(0)) return *sqlcode_p;
    TDb_Connect* c = Get_Connection();
    if (c != nullptr) {
        c->BatchInsert(cur_table);
    } else {
        cur_table->Set_Error(999, kNoConnection);
    }
    Sync_Area();
    return *sqlcode_p;
}

int TSQLCA::First() {
    if (!Make_Sure()) return 0;
    if (!cur_table->First()) return 0;
    *cur_row_p = cur_table->Get_Cur_Row_No();
    return 1;
}

int TSQLCA::Next() {
    if (!Make_Sure()) return 0;
    if (*sqlcode_p != 0) return 0;
    if (!cur_table->Next()) return 0;
    *cur_row_p = cur_table->Get_Cur_Row_No();
    return 1;
}

int TSQLCA::Cell_Readable(int col) {
    if (!Make_Sure()) return 0;
    if (col < 0 || col >= *field_count_p) return 0;
    if (*cur_row_p >= *row_count_p) return 0;
    if (*sqlcode_p != 0) return 0;
    return 1;
}

char* TSQLCA::Get_Value(int col) {
    if (!Cell_Readable(col)) return nullptr;
    return cur_table->Get_Value(col);
}

int TSQLCA::Get_Str(int col, char* buf) {
    buf[0] = 0;
    if (!Cell_Readable(col)) return 0;
    const char* v = cur_table->Get_Value(col);
    if (v != nullptr) std::strcpy(buf, v);
    return 1;
}

int TSQLCA::Get_Int(int col, int* value) {
    *value = 0;
    if (!Cell_Readable(col)) return 0;
    const char* v = cur_table->Get_Value(col);
    if (v == nullptr) return 0;
    // Leading blanks, a sign and the leading digits count, as with "%d";
    // a number beyond the int range is held at its limit.
    errno = 0;
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    if (end == v) return 1;
    if (n > INT_MAX) n = INT_MAX;
    if (n < INT_MIN) n = INT_MIN;
    *value = static_cast<int>(n);
    return 1;
}

int TSQLCA::Set_Table_Name(const char* name) {
    if (name == nullptr) return 1;
    if (!Make_Sure()) return 0;
    int r = cur_table->Set_Table_Name(name);
    Sync_Area();
    return r;
}

int TSQLCA::Set_Field_Count(int count) {
    if (!Make_Sure()) return 0;
    int r = cur_table->Set_Field_Count(count);
    Sync_Area();
    return r;
}

char* TSQLCA::Get_Field_Name(int index) {
    if (!Make_Sure()) return nullptr;
    return cur_table->Get_Field_Name(index);
}

int TSQLCA::Add_Row() {
    if (!Make_Sure()) return 0;
    int r = cur_table->Add_Row();
    Sync_Area();
    *cur_row_p = cur_table->Get_Cur_Row_No();
    return r;
}

int TSQLCA::Set_Value(int col, const char* value) {
    if (!Make_Sure()) return 0;
    int r = cur_table->Set_Value(col, value);
    Sync_Area();
    return r;
}

int TSQLCA::Find_First(int col, const char* text) {
    if (!Make_Sure()) return 0;
    return cur_table->Find_First(col, text);
}

int TSQLCA::Report_Err() {
    Thr_Set_Err(*sqlcode_p, sqlmsg_p, nullptr);
    Exec_Rollback();
    return 0;
}

int TSQLCA::Row_To_Para(TParaMgr* paras) {
    int n = *field_count_p;
    for (int c = 0; c < n; ++c) {
        const char* name = Get_Field_Name(c);
        if (name == nullptr) continue;
        const char* v = Get_Value(c);
        paras->Push_Str(name, v != nullptr ? v : "");
    }
    return 1;
}
