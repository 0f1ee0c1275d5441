// Step five of a run: the indexes of the copied tables, one statement per
// index gathered from its column rows, table by table in list order. A
// primary key comes back as a unique index of the same name; only
// uniqueness is carried over. A failed index is reported, raises
// Copy_Err_Flag, and the rebuild goes on.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "connect/db_connect_ado.h"
#include "engine/print_msg.h"
#include "engine/repair_steps.h"

namespace {

// Appends text to the column list (size bytes); 0 when it does not fit.
int Append(char* list, int size, const char* text) {
    std::size_t len = std::strlen(list);
    std::size_t add = std::strlen(text);
    if (len + add + 1 > static_cast<std::size_t>(size)) return 0;
    std::memcpy(list + len, text, add + 1);
    return 1;
}

}  // namespace

int Rebuild_Indexes(const char* target, const char* password, const OT_Array<Mdb_Tab_Stru>& tabs,
                    OT_Array<Mdb_Index_Stru>& indexes) {
    auto conn = std::make_unique<TDb_Connect_Ado>();
    if (!conn->Connect(6, target, "admin", password, "", 0)) {
        Print_Msg("无法连接到数据库%s", target);
        return 0;
    }
    for (int ti = 0; ti < tabs.count; ++ti) {
        const Mdb_Tab_Stru& t = tabs.data[ti];
        if (!Is_User_Table(t)) continue;
        // The table's statements run together (its rows are read once for
        // all of its indexes); the lines are written index by index after.
        struct Pending {
            const char* index_name;
            int statement;  // into `sqls`, -1 when refused for its length
        };
        std::vector<Pending> pending;
        std::vector<std::string> sqls;
        for (int j = 0; j < indexes.count; ++j) {
            Mdb_Index_Stru& r = indexes.data[j];
            if (r.is_done == 1 || std::strcmp(r.tab_name, t.tab_name) != 0) continue;

            // Column names in brackets, like the table and index names.
            char name[MDB_NAME_SIZE + 2];
            char columns[INDEX_COLUMNS_SIZE];
            columns[0] = 0;
            Bracket_Name(name, sizeof name, r.column_name);
            int fits = Append(columns, sizeof columns, name);
            r.is_done = 1;
            for (int k = j + 1; k < indexes.count; ++k) {
                Mdb_Index_Stru& s = indexes.data[k];
                if (std::strcmp(s.tab_name, t.tab_name) != 0 ||
                    std::strcmp(s.index_name, r.index_name) != 0)
                    continue;
                s.is_done = 1;
                Bracket_Name(name, sizeof name, s.column_name);
                fits = fits && Append(columns, sizeof columns, ",") &&
                       Append(columns, sizeof columns, name);
            }

            char index_name[MDB_NAME_SIZE + 2];
            char tab_name[MDB_NAME_SIZE + 2];
            Bracket_Name(index_name, sizeof index_name, r.index_name);
            Bracket_Name(tab_name, sizeof tab_name, r.tab_name);
            char sql[INDEX_SQL_SIZE];
            int n = 0;
            if (fits) {
                n = r.is_primary != 0 || r.is_unique != 0
                        ? std::snprintf(sql, sizeof sql, "create unique index %s on %s(%s)",
                                        index_name, tab_name, columns)
                        : std::snprintf(sql, sizeof sql, "create index %s on %s(%s)", index_name,
                                        tab_name, columns);
                fits = n >= 0 && n < INDEX_SQL_SIZE;
            }
            // Refused rather than cut: a cut list would make another index.
            pending.push_back({r.index_name, fits ? static_cast<int>(sqls.size()) : -1});
            if (fits) sqls.emplace_back(sql);
        }
        if (pending.empty()) continue;
        std::vector<std::exception_ptr> errors(sqls.size());
        try {
            errors = conn->ado_conn->execute_each(sqls);
        } catch (const std::exception&) {
            for (auto& e : errors) e = std::current_exception();
        }
        for (const Pending& p : pending) {
            Print_Msg("正在创建约束 %s", p.index_name);
            bool failed = false;
            if (p.statement < 0) {
                Print_Msg("索引 %s 的语句超过%d字节，无法创建", p.index_name, INDEX_SQL_SIZE);
                failed = true;
            } else {
                failed = errors[static_cast<std::size_t>(p.statement)] != nullptr;
            }
            if (failed) {
                Print_Msg("******** 创建索引 %s 出错了 *********", p.index_name);
                Copy_Err_Flag = 1;
            }
        }
    }
    conn->ado_conn->commit_trans();
    conn->ado_conn->close();
    return 1;
}
