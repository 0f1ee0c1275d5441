// Step six of a run: what the make-table copies and the index statements
// leave out of the new file, given back from the source, kind by kind. The
// kinds are sub-steps run in a fixed order on one connection to the target
// (its transaction, committed at the end): each writes its line, reports
// what fails ("******** 恢复 %s 出错了 *********", Copy_Err_Flag) and lets
// the run go on. Later kinds (relationships, queries, objects) refer to the
// tables and keys of earlier ones, so they come after them in the list.
#include <cstring>
#include <exception>
#include <memory>
#include <set>
#include <string>

#include "connect/db_connect_ado.h"
#include "connect/provider/connection.h"
#include "engine/print_msg.h"
#include "engine/repair_steps.h"

namespace {

void Report_Restore_Error(const char* what) {
    Print_Msg("******** 恢复 %s 出错了 *********", what);
    Copy_Err_Flag = 1;
}

// The tables that reached the target: one that failed to copy has been
// reported by the copy and has no design to get back.
std::set<std::string> Target_Tables(provider::Connection& conn) {
    std::set<std::string> names;
    provider::Recordset rs = conn.open_schema(provider::Schema::kTables);
    for (; !rs.eof(); rs.move_next()) {
        if (rs.text("TABLE_TYPE") == "TABLE") names.insert(rs.text("TABLE_NAME"));
    }
    return names;
}

// Every copied user table gets its source's column flags (autonumber and
// its counter, required, Unicode compression, hyperlink, fixed-length Text)
// and index design (primary keys by name, descending columns, ignore-nulls,
// required).
int Restore_Table_Design(Restore_Context& cx) {
    Print_Msg("正在恢复主键、自动编号和列属性");
    provider::Connection& conn = *cx.conn.ado_conn;
    const std::set<std::string> present = Target_Tables(conn);
    for (int i = 0; i < cx.tabs.count; ++i) {
        const Mdb_Tab_Stru& t = cx.tabs.data[i];
        if (!Is_User_Table(t) || present.count(t.tab_name) == 0) continue;
        try {
            conn.restore_design(cx.source, cx.source_password, t.tab_name);
        } catch (const std::exception&) {
            Report_Restore_Error(t.tab_name);
        }
    }
    return 1;
}

// The kinds in the order they are restored.
using Restore_Sub_Step = int (*)(Restore_Context&);
const Restore_Sub_Step kRestore_Sub_Steps[] = {
    Restore_Table_Design,
};

}  // namespace

int Restore_Design(const char* target, const char* target_password, const char* source,
                   const char* source_password, const OT_Array<Mdb_Tab_Stru>& tabs) {
    auto conn = std::make_unique<TDb_Connect_Ado>();
    if (!conn->Connect(6, target, "admin", target_password, "", 0)) {
        Print_Msg("无法连接到数据库%s", target);
        return 0;
    }
    // The source is read as the copy read it: a damaged one as far as it goes.
    conn->ado_conn->set_salvage(true);
    Restore_Context cx{*conn, source, source_password, tabs};
    for (Restore_Sub_Step step : kRestore_Sub_Steps) {
        if (!step(cx)) break;
    }
    conn->ado_conn->commit_trans();
    conn->ado_conn->close();
    return 1;
}
