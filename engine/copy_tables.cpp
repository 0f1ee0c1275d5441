// Step four of a run: every user table copied from the source into the
// target by one make-table statement that names the source file as an
// external database. All statements run in the transaction the connection
// begins on open and are committed together at the end; a table that fails
// is reported, raises Copy_Err_Flag, and the copy goes on.
//
// The copies run in the engine's salvage mode: from a damaged source every
// row that still reads is copied, and what had to be left out is reported
// per table and raises Copy_Err_Flag, so that a loss never ends as success.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "connect/provider/provider.h"

#include "connect/db_connect_ado.h"
#include "engine/print_msg.h"
#include "engine/repair_steps.h"

std::vector<Copy_Table_Result> Copy_Results;

int Bracket_Name(char* out, int size, const char* name) {
    int n = std::snprintf(out, static_cast<std::size_t>(size), "[%s]", name);
    return n >= 0 && n < size ? 1 : 0;
}

int Is_User_Table(const Mdb_Tab_Stru& tab) { return std::strncmp(tab.tab_type, "TABLE", 5) == 0; }

int Report_Copy_Losses(const char* tab_name, const provider::CopyLosses& losses) {
    if (!losses.any()) return 0;
    // Rows on pages that could not be read at all were never seen; the
    // table definition's count says how many are missing.
    const std::uint64_t rows = losses.rows_skipped + losses.rows_unaccounted();
    if (rows > 0) Print_Msg("表 %s 有 %d 行无法读取，已跳过", tab_name, static_cast<int>(rows));
    if (losses.values_nulled > 0) {
        Print_Msg("表 %s 有 %d 个长数据值无法读取，已置为空", tab_name,
                  static_cast<int>(losses.values_nulled));
    }
    if (rows == 0 && losses.values_nulled == 0) {
        Print_Msg("表 %s 有 %d 个数据页无法读取，已跳过", tab_name,
                  static_cast<int>(losses.pages_skipped));
    }
    Copy_Err_Flag = 1;
    return 1;
}

int Copy_Tables(const char* target, const char* target_password, const char* source,
                const char* source_password, const OT_Array<Mdb_Tab_Stru>& tabs) {
    auto conn = std::make_unique<TDb_Connect_Ado>();
    if (!conn->Connect(6, target, "admin", target_password, "", 0)) {
        Print_Msg("无法连接到数据库%s", target);
        return 0;
    }
    conn->ado_conn->set_salvage(true);
    for (int i = 0; i < tabs.count; ++i) {
        const Mdb_Tab_Stru& tab = tabs.data[i];
        if (!Is_User_Table(tab)) continue;
        // The position counts every record, skipped ones included.
        if (i % 5 == 0) {
            Print_Msg("正在复制对象 %s，如果数据量大可能需要较多时间（1G约12分钟），请耐心等候",
                      tab.tab_name);
        } else {
            Print_Msg("正在复制对象 %s", tab.tab_name);
        }
        // Names in brackets: a name with a blank would otherwise fail and the
        // table would be missing from the new file.
        char name[MDB_NAME_SIZE + 2];
        Bracket_Name(name, sizeof name, tab.tab_name);
        char sql[COPY_SQL_SIZE];
        int n = source_password[0] != 0
                    ? std::snprintf(sql, sizeof sql, "SELECT * into %s FROM [%s;pwd=%s].%s", name,
                                    source, source_password, name)
                    : std::snprintf(sql, sizeof sql, "SELECT * into %s FROM [%s].%s", name, source,
                                    name);
        bool failed = n < 0 || n >= COPY_SQL_SIZE;  // cannot happen with the run's fields
        if (!failed) {
            try {
                conn->ado_conn->execute(sql);
            } catch (const std::exception&) {
                failed = true;  // the provider's text is not shown
            }
        }
        Copy_Table_Result record;
        record.name = tab.tab_name;
        if (failed) {
            Print_Msg("******** 复制 %s 出错了 *********", tab.tab_name);
            Copy_Err_Flag = 1;
            record.failed = true;
        } else {
            const provider::CopyLosses losses = conn->ado_conn->last_losses();
            Report_Copy_Losses(tab.tab_name, losses);
            record.rows_declared = losses.rows_declared;
            record.rows_copied = losses.rows_copied;
            record.rows_skipped = losses.rows_skipped + losses.rows_unaccounted();
            record.values_nulled = losses.values_nulled;
            record.pages_skipped = losses.pages_skipped;
            record.pages_by_owner = losses.pages_by_owner;
        }
        Copy_Results.push_back(std::move(record));
    }
    // A failing commit leaves the run as an exception.
    conn->ado_conn->commit_trans();
    conn->ado_conn->close();
    return 1;
}
