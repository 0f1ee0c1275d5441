// The repair run: input checks, a clean target, the five steps, the
// completion lines.
#include "app/run/repair_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "data/fixed_text.h"
#include "jet/database.h"
#include "engine/ot_array.h"
#include "engine/repair_steps.h"
#include "stdclass/thread_mgr.h"

namespace {

// COM has no counterpart here; the call site keeps the order of the run
// visible.
void Com_Initialize() {}

// The absolute form of path with every symbolic link resolved in the longest
// part of it that exists; the rest is appended as written.
std::string Resolved_Path(const char* path) {
    std::string p = path;
    if (p.empty()) return p;
    if (p[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) return p;
        p = std::string(cwd) + "/" + p;
    }
    std::string head = p;
    std::string tail;
    for (;;) {
        char buf[PATH_MAX];
        if (realpath(head.c_str(), buf) != nullptr) {
            std::string r = buf;
            if (!tail.empty()) r += (r == "/" ? "" : "/") + tail;
            return r;
        }
        std::size_t slash = head.find_last_of('/');
        if (slash == std::string::npos || head == "/") return p;
        tail = head.substr(slash + 1) + (tail.empty() ? "" : "/" + tail);
        head = slash == 0 ? std::string("/") : head.substr(0, slash);
    }
}

}  // namespace

std::string Repair_Target_Password(const char* source, const char* password) {
    // Jet opens a database without a password whatever the caller passes, so
    // the password given (or the fixed one of the Zolvak box) says nothing
    // about the source: its header does. A source that cannot be read keeps
    // the given password; the run stops at the source then anyway.
    try {
        return jet::Database::open(source, password)->header().password;
    } catch (const std::exception&) {
        return password;
    }
}

int Repair_Fill_Field(char* field, const char* text) {
    return Fixed_Copy(field, REPAIR_FIELD_SIZE, text);
}

int Repair_Same_File(const char* source, const char* target) {
    struct stat s {};
    struct stat t {};
    if (stat(source, &s) == 0 && stat(target, &t) == 0) {
        return s.st_dev == t.st_dev && s.st_ino == t.st_ino ? 1 : 0;
    }
    // Without both files on disk nothing at the target can be the source;
    // the paths are still compared so that the answer does not depend on it.
    if (source[0] == 0 || target[0] == 0) return 0;
    return Resolved_Path(source) == Resolved_Path(target) ? 1 : 0;
}

int Repair_Mdb(const char* source, const char* password, const char* target) {
    // Destroyed in reverse order: the index list first.
    OT_Array<Mdb_Tab_Stru> tab_list(30, 20);
    OT_Array<Mdb_Index_Stru> index_list(30, 20);

    Get_Thread_Mgr();
    Com_Initialize();
    Copy_Err_Flag = 0;

    if (source == nullptr) source = "";
    if (password == nullptr) password = "";
    if (target == nullptr) target = "";
    if (std::strlen(source) >= REPAIR_FIELD_SIZE) {
        Print_Msg("%s", REPAIR_MSG_SOURCE_TOO_LONG);
        return 0;
    }
    if (std::strlen(target) >= REPAIR_FIELD_SIZE) {
        Print_Msg("%s", REPAIR_MSG_TARGET_TOO_LONG);
        return 0;
    }
    if (std::strlen(password) >= REPAIR_FIELD_SIZE) {
        Print_Msg("%s", REPAIR_MSG_PASSWORD_TOO_LONG);
        return 0;
    }
    // The target is deleted next: it must not be the source itself.
    if (Repair_Same_File(source, target)) {
        Print_Msg(REPAIR_MSG_TARGET_IS_SOURCE, target);
        return 0;
    }

    unlink(target);  // a target that stays in place makes the creation fail

    // The new file gets the source's own password, none when it has none.
    const std::string target_pw = Repair_Target_Password(source, password);
    const char* tpw = target_pw.c_str();
    int ok = Create_Target_Db(target, tpw) && Read_Tab_List(source, password, tab_list) &&
             Read_Index_List(source, password, index_list) &&
             Copy_Tables(target, tpw, source, password, tab_list) &&
             Rebuild_Indexes(target, tpw, tab_list, index_list);
    if (!ok) return 0;

    Print_Msg("修复完成");
    Print_Msg("原始数据库文件为 %s", source);
    Print_Msg("新的数据库文件为 %s", target);
    Print_Msg("%s", target_pw.empty() ? REPAIR_MSG_NO_PASSWORD : REPAIR_MSG_SAME_PASSWORD);
    int result = 1;
    if (Copy_Err_Flag > 0) {
        Print_Msg("复制库表过程中有错误发生，请检查日志");
        result = 0;
    }
    return result;
}
