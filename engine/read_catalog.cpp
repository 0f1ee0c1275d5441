// Steps two and three of a run: the source's TABLES and INDEXES schema
// rowsets into the table list and the index list, every row kept in rowset
// order. Only the schema is read; no table data is touched.
//
// A failure after the connection is open (a missing field, a schema that
// cannot be read) is not caught here: it leaves the run as an exception.
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "connect/db_connect_ado.h"
#include "data/fixed_text.h"
#include "engine/print_msg.h"
#include "engine/repair_steps.h"
#include "stdclass/tstr.h"

namespace {

constexpr int kConnectKind = 6;

// The value of a field as text in a buffer of size bytes; 0 when it does not
// fit (nothing is cut).
int Field_Text(provider::Recordset& rs, int field, char* buf, int size) {
    std::string text = rs.text(field);
    return Fixed_Copy(buf, static_cast<std::size_t>(size), text.c_str());
}

int Field_Text(provider::Recordset& rs, const char* name, char* buf, int size) {
    std::string text = rs.text(name);
    int n = std::snprintf(buf, static_cast<std::size_t>(size), "%s", text.c_str());
    return n >= 0 && n < size ? 1 : 0;
}

// 1 when the text, turned to lower case, holds "true" anywhere.
int Reads_True(char* text) {
    Str_Lower(text);
    return std::strstr(text, "true") != nullptr ? 1 : 0;
}

}  // namespace

int Read_Tab_List(const char* source, const char* password, OT_Array<Mdb_Tab_Stru>& tabs) {
    auto conn = std::make_unique<TDb_Connect_Ado>();
    conn->salvage = 1;  // a damaged header is rebuilt rather than refused
    if (!conn->Connect(kConnectKind, source, "admin", password, "", 0)) {
        Print_Msg("无法连接到数据库%s，请检查文件名及密码", source);
        return 0;
    }
    if (conn->ado_conn->header_rebuilt()) {
        // What the header held beyond the format (the password among it)
        // is gone: the run must not end as a plain success.
        Print_Msg("数据库文件头已损坏，已根据文件内容重建");
        Copy_Err_Flag = 1;
    }
    if (std::uint64_t lost = conn->ado_conn->catalog_rows_lost(); lost > 0) {
        // The tables those rows named are not in the list: nothing copies
        // them, and the run must not end as a success.
        Print_Msg("表 %s 有 %d 行无法读取，已跳过", "MSysObjects", static_cast<int>(lost));
        Copy_Err_Flag = 1;
    }
    for (const auto& [page, name] : conn->ado_conn->recovered_tables()) {
        // Found by its definition on that page; its real name went with the
        // catalog row. Copied under the new name, it is still a loss.
        const std::string where = "第" + std::to_string(page) + "页";
        Print_Msg("表 %s 的名称无法读取，已命名为 %s", where.c_str(), name.c_str());
        Copy_Err_Flag = 1;
    }
    {
        provider::Recordset rs = conn->ado_conn->open_schema(provider::Schema::kTables);
        int f_type = rs.field_index("TABLE_TYPE");
        int f_name = rs.field_index("TABLE_NAME");
        while (!rs.eof()) {
            char type_buf[SCHEMA_TEXT_SIZE];
            char name_buf[SCHEMA_TEXT_SIZE];
            int fits = Field_Text(rs, f_type, type_buf, sizeof type_buf) &&
                       Field_Text(rs, f_name, name_buf, sizeof name_buf) &&
                       std::strlen(type_buf) < sizeof(Mdb_Tab_Stru::tab_type) &&
                       std::strlen(name_buf) < sizeof(Mdb_Tab_Stru::tab_name);
            if (!fits) {
                // The record cannot hold it. Only a user table is lost by
                // that: say so and let the run end with its failure line.
                if (std::strncmp(rs.text(f_type).c_str(), "TABLE", 5) == 0) {
                    Print_Msg("******** 表名 %s 超过79字节，无法复制 *********",
                              rs.text(f_name).c_str());
                    Copy_Err_Flag = 1;
                }
                rs.move_next();
                continue;
            }
            Mdb_Tab_Stru* rec = tabs.At(tabs.count);
            if (rec == nullptr) throw std::bad_alloc();
            std::memcpy(rec->tab_type, type_buf, std::strlen(type_buf) + 1);
            std::memcpy(rec->tab_name, name_buf, std::strlen(name_buf) + 1);
            rs.move_next();
        }
        rs.close();
    }
    conn->Disconnect();
    return 1;
}

int Read_Index_List(const char* source, const char* password, OT_Array<Mdb_Index_Stru>& indexes) {
    auto conn = std::make_unique<TDb_Connect_Ado>();
    conn->salvage = 1;
    if (!conn->Connect(kConnectKind, source, "admin", password, "", 0)) {
        Print_Msg("无法连接到数据库%s，请检查文件名及密码", source);
        return 0;
    }
    // Indexes with a name that does not fit its field: none of their rows
    // may go into a statement, or the index would come out with fewer columns.
    std::set<std::pair<std::string, std::string>> refused;
    {
        provider::Recordset rs = conn->ado_conn->open_schema(provider::Schema::kIndexes);
        while (!rs.eof()) {
            char tab_name[SCHEMA_INDEX_TEXT_SIZE];
            char index_name[SCHEMA_INDEX_TEXT_SIZE];
            char column_name[SCHEMA_INDEX_TEXT_SIZE];
            char primary[SCHEMA_INDEX_TEXT_SIZE];
            char unique[SCHEMA_INDEX_TEXT_SIZE];
            int fits = Field_Text(rs, "TABLE_NAME", tab_name, sizeof tab_name);
            fits &= Field_Text(rs, "INDEX_NAME", index_name, sizeof index_name);
            fits &= Field_Text(rs, "COLUMN_NAME", column_name, sizeof column_name);
            fits &= Field_Text(rs, "PRIMARY_KEY", primary, sizeof primary);
            fits &= Field_Text(rs, "UNIQUE", unique, sizeof unique);
            fits = fits && std::strlen(tab_name) < MDB_NAME_SIZE &&
                   std::strlen(index_name) < MDB_NAME_SIZE &&
                   std::strlen(column_name) < MDB_NAME_SIZE;
            if (!fits) {
                auto key = std::make_pair(rs.text("TABLE_NAME"), rs.text("INDEX_NAME"));
                if (refused.insert(key).second) {
                    Print_Msg("******** 索引 %s 的名称超过79字节，无法创建 *********",
                              key.second.c_str());
                    Copy_Err_Flag = 1;
                }
                rs.move_next();
                continue;
            }
            Mdb_Index_Stru* rec = indexes.At(indexes.count);
            if (rec == nullptr) throw std::bad_alloc();
            std::memcpy(rec->tab_name, tab_name, std::strlen(tab_name) + 1);
            std::memcpy(rec->index_name, index_name, std::strlen(index_name) + 1);
            std::memcpy(rec->column_name, column_name, std::strlen(column_name) + 1);
            rec->is_primary = Reads_True(primary);
            rec->is_unique = Reads_True(unique);
            rec->is_done = 0;
            rs.move_next();
        }
        rs.close();
    }
    // The rows of a refused index that did fit are marked as used, so the
    // rebuild never starts a statement from them.
    if (!refused.empty()) {
        for (int j = 0; j < indexes.count; ++j) {
            Mdb_Index_Stru& r = indexes.data[j];
            if (refused.count({r.tab_name, r.index_name})) r.is_done = 1;
        }
    }
    conn->Disconnect();
    return 1;
}
