// The repair run: input checks, a clean target, the five steps, the
// completion lines.
#include "app/run/repair_run.h"

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string_view>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "data/fixed_text.h"
#include "jet/base/error.h"
#include "jet/page/file.h"
#include "jet/page/office_crypt.h"
#include "jet/table/catalog.h"
#include "jet/table/database.h"
#include "jet/table/table_def.h"
#include "jet/page/sync.h"
#include "jet/write/encode_file.h"
#include "engine/ot_array.h"
#include "engine/repair_steps.h"
#include "stdclass/cpp/err/thr_err.h"
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

// What the signal handler needs, prepared before it can run: the files of
// the run under way (the temporary target and the side files the writer
// keeps beside it) and where the interruption line goes. Only
// async-signal-safe calls touch them there.
constexpr int kSideFiles = 4;
char g_doomed[kSideFiles][PATH_MAX];
volatile sig_atomic_t g_doomed_count = 0;
volatile sig_atomic_t g_run_active = 0;
int g_interrupt_fd = -1;
int g_interrupt_clear_fd = -1;

void Write_Fd(int fd, const char* text, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, text, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        text += w;
        n -= static_cast<std::size_t>(w);
    }
}

void On_Interrupt(int sig) {
    if (!g_run_active) {
        // Nothing half-made to clean up: die of the signal as usual.
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        return;
    }
    for (int i = 0; i < g_doomed_count; ++i) ::unlink(g_doomed[i]);
    if (g_interrupt_clear_fd >= 0) Write_Fd(g_interrupt_clear_fd, "\r\033[K", 4);
    if (g_interrupt_fd >= 0) {
        Write_Fd(g_interrupt_fd, REPAIR_MSG_INTERRUPTED, std::strlen(REPAIR_MSG_INTERRUPTED));
        Write_Fd(g_interrupt_fd, "\n", 1);
    }
    _exit(REPAIR_EXIT_INTERRUPTED);
}

// Marks path and its writer side files for removal on a signal.
void Arm_Temp(const std::string& path) {
    g_doomed_count = 0;
    const std::string files[kSideFiles] = {path, path + "-journal", path + ".txn", path + ".txn~"};
    for (const std::string& f : files) {
        if (f.size() >= PATH_MAX) continue;
        std::memcpy(g_doomed[g_doomed_count], f.c_str(), f.size() + 1);
        g_doomed_count = g_doomed_count + 1;
    }
}

void Remove_Temp() {
    for (int i = 0; i < g_doomed_count; ++i) ::unlink(g_doomed[i]);
}

// The sink of a run: lines name the target the user asked for, never the
// temporary file the run writes, and pass on to the sink installed before.
Msg_Sink_Fn g_outer_sink = nullptr;
std::string g_temp_name;
std::string g_shown_name;

// What the lines of a run tell for its summary.
struct Run_Counts {
    int tables_tried = 0, tables_failed = 0, indexes_tried = 0, indexes_failed = 0;
} g_counts;

// text with the temporary file's name replaced by the target's.
std::string Shown_Names(std::string text) {
    if (g_temp_name.empty()) return text;
    for (std::size_t at = 0; (at = text.find(g_temp_name, at)) != std::string::npos;) {
        text.replace(at, g_temp_name.size(), g_shown_name);
        at += g_shown_name.size();
    }
    return text;
}

int Run_Sink(const char* text) {
    std::string_view t = text;
    if (t.starts_with("正在复制对象 ")) ++g_counts.tables_tried;
    else if (t.starts_with("******** 复制 ")) ++g_counts.tables_failed;
    else if (t.starts_with("正在创建约束 ")) ++g_counts.indexes_tried;
    else if (t.starts_with("******** 创建索引 ")) ++g_counts.indexes_failed;
    int shown = 1;
    if (g_outer_sink != nullptr) {
        shown = g_temp_name.empty() ? g_outer_sink(text) : g_outer_sink(Shown_Names(text).c_str());
    }
    // The signal tests hold a run at a chosen line until their signal ends
    // it, so that what they prove does not depend on how fast the run is.
    static const char* hold = std::getenv("ZOLVAK_TEST_HOLD_AT");
    if (hold != nullptr && *hold != 0 && t.starts_with(hold)) {
        for (;;) ::pause();
    }
    return shown;
}

std::string g_reason;
bool g_summary = true;
bool g_tables_only = false;

// User tables, their rows and their indexes, as the file's own table
// definitions count them.
struct Holdings {
    int tables = 0;
    unsigned long long rows = 0;
    int indexes = 0;
};

bool Count_Holdings(const char* path, const std::string& password, Holdings& h) {
    try {
        auto db = jet::Database::open(path, password);
        for (const jet::TableInfo& t : db->tables()) {
            if (t.kind != jet::TableKind::kTable || !t.local()) continue;
            jet::TableDef def = db->table_def(*t.entry);
            ++h.tables;
            h.rows += def.row_count;
            h.indexes += static_cast<int>(def.indexes.size());
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string Size_Text(unsigned long long bytes) {
    char buf[32];
    if (bytes < 1024) std::snprintf(buf, sizeof buf, "%llu B", bytes);
    else if (bytes < 1024ull * 1024) std::snprintf(buf, sizeof buf, "%.0f KB", bytes / 1024.0);
    else if (bytes < 1024ull * 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%.1f MB", bytes / (1024.0 * 1024));
    else std::snprintf(buf, sizeof buf, "%.1f GB", bytes / (1024.0 * 1024 * 1024));
    return buf;
}

unsigned long long File_Size(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 ? static_cast<unsigned long long>(st.st_size) : 0;
}

// The closing lines of a run that got through its steps.
void Print_Summary(const char* source, unsigned long long source_size, const char* password,
                   const char* target, const std::string& target_pw, double seconds) {
    Holdings in, out;
    const bool have_in = Count_Holdings(source, password, in);
    const bool have_out = Count_Holdings(target, target_pw, out);
    Print_Msg("已复制 %d 个表，共 %llu 行", g_counts.tables_tried - g_counts.tables_failed,
              have_out ? out.rows : 0ull);
    Print_Msg("已创建 %d 个索引", g_counts.indexes_tried - g_counts.indexes_failed);
    if (have_in && have_out)
        Print_Msg("新的数据库文件有 %d 个表、%llu 行、%d 个索引，原始数据库文件有 %d 个表、%llu 行、%d 个索引",
                  out.tables, out.rows, out.indexes, in.tables, in.rows, in.indexes);
    Print_Msg("文件大小 %s -> %s", Size_Text(source_size).c_str(),
              Size_Text(File_Size(target)).c_str());
    Print_Msg("用时 %.1f 秒", seconds);
}

// The calling thread's error text, or fallback when there is none.
std::string Thread_Error(const char* fallback) {
    char buf[512];
    int code = 0;
    Thr_Get_Err(&code, buf, sizeof buf);
    if (code == 0 || buf[0] == 0) return fallback;
    return Shown_Names(buf);
}

// A temporary file beside target, named so that the part before its first
// dot is the target's (the file store beside it is the same folder). Returns
// the empty string with errno set when the folder takes no new file.
// Makes a rename in the folder of `path` durable.
void Sync_Folder_Of(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::string Make_Temp_Beside(const std::string& target) {
    std::size_t slash = target.find_last_of('/');
    std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string stem = name.substr(0, name.find('.'));
    std::string tmpl = dir + stem + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    // No signal between making the file and marking it for removal.
    sigset_t all, saved;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &saved);
    int fd = mkstemp(buf.data());
    int err = errno;
    if (fd >= 0) Arm_Temp(buf.data());
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (fd < 0) {
        errno = err;
        return {};
    }
    ::close(fd);
    // The creation step makes the database itself and refuses a file in place.
    ::unlink(buf.data());
    return std::string(buf.data());
}

// Restores the sink and forgets the temporary file when the run returns, by
// whatever way.
struct Run_Scope {
    Msg_Sink_Fn saved;
    Run_Scope() : saved(Msg_Sink) {
        g_outer_sink = saved;
        Msg_Sink = Run_Sink;
        g_temp_name.clear();
        g_shown_name.clear();
        g_doomed_count = 0;
        g_run_active = 1;
    }
    ~Run_Scope() {
        g_run_active = 0;
        g_doomed_count = 0;
        Msg_Sink = saved;
        g_outer_sink = nullptr;
        g_temp_name.clear();
    }
    Run_Scope(const Run_Scope&) = delete;
    Run_Scope& operator=(const Run_Scope&) = delete;
};

}  // namespace

void Repair_Catch_Signals(int line_fd, int clear_fd) {
    g_interrupt_fd = line_fd;
    g_interrupt_clear_fd = clear_fd;
    struct sigaction sa {};
    sa.sa_handler = On_Interrupt;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

const char* Repair_Failure_Reason() { return g_reason.c_str(); }

void Repair_Set_Summary(bool on) { g_summary = on; }

void Repair_Set_Tables_Only(bool on) { g_tables_only = on; }

std::string Repair_Target_Password(const char* source, const char* password) {
    // Jet opens a database without a password whatever the caller passes, so
    // the password given (or the fixed one of the Zolvak box) says nothing
    // about the source: its header does. A source that cannot be read keeps
    // the given password; the run stops at the source then anyway.
    try {
        const jet::Header h = jet::Database::open(source, password)->header();
        // An ACE file keeps no password in its header: it is encrypted with
        // it, and the password that opened it is the one.
        if (jet::is_ace(h.version)) return h.database_key != 0 ? std::string(password) : std::string();
        return h.password;
    } catch (const std::exception&) {
        return password;
    }
}

namespace {

Target_Db_Format Format_Of(const jet::Header& h) {
    Target_Db_Format f;
    if (!jet::is_ace(h.version)) return f;
    f.ace_version = static_cast<int>(h.version);
    // The engine writes text keys in the General order (1033) only: a
    // source sorted in another language's order gets a General-sorted
    // target, as a Jet 4 source does, and its indexes are rebuilt in it.
    f.sort_order = 1033;
    f.sort_order_version = h.sort_order_version;
    return f;
}

// The format of a file whose header was lost, from what only ACE files
// hold: ACE's own tables and column kinds. The version is the first that
// has every kind found (complex columns ACE12, calculated columns ACE14,
// Large Number ACE16, Date/Time Extended ACE17), the sort order version
// the text columns' own. Jet 4 when nothing says ACE.
Target_Db_Format Ace_Format_From_Tables(const char* source, const char* password) {
    Target_Db_Format f;
    try {
        auto db = jet::Database::open(source, password, true);
        jet::FileVersion version = jet::FileVersion::kJet4;
        auto at_least = [&](jet::FileVersion v) { version = std::max(version, v); };
        int sort_version = 0;
        for (const jet::CatalogEntry& e : db->catalog()) {
            if (e.name == "MSysComplexColumns" || e.name == "MSysResources") at_least(jet::FileVersion::kAce12);
        }
        for (const jet::TableInfo& t : db->tables()) {
            if (t.entry == nullptr || !t.local()) continue;
            try {
                for (const jet::Column& c : db->table_def(*t.entry).columns) {
                    switch (c.column_type()) {
                        case jet::ColumnType::kComplex: at_least(jet::FileVersion::kAce12); break;
                        case jet::ColumnType::kBigInt: at_least(jet::FileVersion::kAce16); break;
                        case jet::ColumnType::kDateTimeExt: at_least(jet::FileVersion::kAce17); break;
                        default: break;
                    }
                    if (c.is_calculated()) at_least(jet::FileVersion::kAce14);
                    if ((c.column_type() == jet::ColumnType::kText || c.column_type() == jet::ColumnType::kMemo) &&
                        c.sort_order_version != 0) {
                        sort_version = c.sort_order_version;
                    }
                }
            } catch (const std::exception&) {
            }
        }
        if (!jet::is_ace(version) && sort_version == 0) return f;
        if (!jet::is_ace(version)) version = jet::FileVersion::kAce12;
        f.ace_version = static_cast<int>(version);
        f.sort_order = 1033;
        f.sort_order_version = sort_version;
    } catch (const std::exception&) {
    }
    return f;
}

}  // namespace

Target_Db_Format Repair_Source_Format(const char* source, const char* password) {
    // The header page tells, whatever the password: ACE files encrypt the
    // other pages only.
    try {
        std::ifstream in(source, std::ios::binary);
        std::vector<std::uint8_t> first(jet::kJet4PageSize);
        in.read(reinterpret_cast<char*>(first.data()), static_cast<std::streamsize>(first.size()));
        first.resize(static_cast<std::size_t>(in.gcount()));
        return Format_Of(jet::decode_header(first, source));
    } catch (const std::exception&) {
    }
    // A damaged header may still say ACE in its engine name and version
    // byte; the sort order is then the default one. A header lost whole
    // says Jet 4: what the tables hold tells an ACE file then.
    try {
        auto file = jet::PageFile::open_salvage(source, password);
        if (file->header_rebuilt() && file->header().version == jet::FileVersion::kJet4) {
            file.reset();
            return Ace_Format_From_Tables(source, password);
        }
        return Format_Of(file->header());
    } catch (const std::exception&) {
        return {};
    }
}

std::uint32_t Repair_Source_Key(const char* source, const char* password) {
    try {
        const jet::Header h = jet::Database::open(source, password)->header();
        return jet::is_ace(h.version) ? 0 : h.database_key;
    } catch (const std::exception&) {
        return 0;
    }
}

int Repair_Fill_Field(char* field, int size, const char* text) {
    return Fixed_Copy(field, size, text);
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
    return Repair_Run(source, password, target, false);
}

int Repair_Mdb_Replace(const char* source, const char* password) {
    return Repair_Run(source, password, source, true);
}

int Repair_Run(const char* source, const char* password, const char* target, bool replace) {
    // Destroyed in reverse order: the index list first.
    OT_Array<Mdb_Tab_Stru> tab_list(30, 20);
    OT_Array<Mdb_Index_Stru> index_list(30, 20);
    Run_Scope scope;
    const auto started = std::chrono::steady_clock::now();
    g_counts = Run_Counts{};

    Get_Thread_Mgr();
    Com_Initialize();
    Copy_Err_Flag = 0;
    Copy_Results.clear();
    g_reason.clear();

    if (source == nullptr) source = "";
    if (password == nullptr) password = "";
    if (target == nullptr) target = "";
    if (std::strlen(source) >= REPAIR_PATH_SIZE) {
        Print_Msg("%s", REPAIR_MSG_SOURCE_TOO_LONG);
        return 0;
    }
    if (std::strlen(target) >= REPAIR_PATH_SIZE) {
        Print_Msg("%s", REPAIR_MSG_TARGET_TOO_LONG);
        return 0;
    }
    if (std::strlen(password) >= REPAIR_FIELD_SIZE) {
        Print_Msg("%s", REPAIR_MSG_PASSWORD_TOO_LONG);
        return 0;
    }
    // An ACE source gives an ACE file of its own version and sort order; Jet 3
    // and Jet 4 sources give a Jet 4 file.
    const Target_Db_Format format = Repair_Source_Format(source, password);
    // An encrypted ACE source is unlocked by the password alone: a wrong one
    // is known before anything is written (a Jet file opens far enough for
    // the steps to report it themselves).
    bool encrypted_source = false;
    if (format.ace_version != 0) {
        try {
            encrypted_source = jet::PageFile::open(source, password)->header().database_key != 0;
        } catch (const jet::Error& e) {
            if (std::string_view(e.what()) == jet::kBadPasswordMessage) {
                g_reason = std::string("cannot open ") + source + ": " + e.what();
                Print_Msg("无法连接到数据库%s，请检查文件名及密码", source);
                return 0;
            }
        } catch (const std::exception&) {
        }
    }
    // The target is deleted next: it must not be the source itself.
    if (!replace && Repair_Same_File(source, target)) {
        Print_Msg(REPAIR_MSG_TARGET_IS_SOURCE, target);
        return 0;
    }
    if (replace) {
        // Only a plain file can be replaced by a rename and kept by a link.
        struct stat st {};
        const char* why = nullptr;
        if (stat(source, &st) != 0) why = std::strerror(errno);
        else if (!S_ISREG(st.st_mode)) why = "not a regular file";
        if (why != nullptr) {
            g_reason = std::string("cannot replace ") + source + ": " + why;
            Print_Msg("无法连接到数据库%s，请检查文件名及密码", source);
            return 0;
        }
    }

    // The new database is built under a temporary name in the target's
    // folder and takes the target's name only once the run has got through:
    // an interrupted run leaves nothing that looks like a result.
    std::string temp;
    if (!replace) {
        if (::unlink(target) != 0 && errno != ENOENT && target[0] != 0) {
            int e = errno;
            struct stat st {};
            if (lstat(target, &st) == 0) {
                g_reason = std::string("cannot create ") + target + ": " + std::strerror(e);
                Print_Msg("创建目标数据库(%s)出错了", target);
                return 0;
            }
        }
    }
    if (target[0] != 0 && target[std::strlen(target) - 1] != '/') {
        errno = 0;
        temp = Make_Temp_Beside(target);
        if (temp.empty()) {
            g_reason = std::string("cannot create ") + target + ": " + std::strerror(errno);
            Print_Msg("创建目标数据库(%s)出错了", target);
            return 0;
        }
        g_temp_name = temp;
        g_shown_name = target;
    }
    const char* work = temp.empty() ? target : temp.c_str();

    // The new file gets the source's own password, none when it has none.
    // An encrypted ACE source keeps its password in its encryption record,
    // not in its header: the target is written plain and encrypted with the
    // same password once the steps are through.
    const std::string target_pw = Repair_Target_Password(source, password);
    const std::string steps_pw = format.ace_version != 0 ? std::string() : target_pw;
    const char* tpw = steps_pw.c_str();
    // Nothing relies on the temporary file before it is renamed into place:
    // its commits skip their syncs, and the whole file is synced once
    // before the rename.
    struct Deferred_Syncs {
        std::string path;
        ~Deferred_Syncs() {
            if (!path.empty()) jet::forget_deferred_syncs(path);
        }
    } deferred;
    if (!temp.empty()) {
        deferred.path = temp;
        jet::defer_syncs(temp);
    }
    Thr_Clear_Err();
    if (!Create_Target_Db(work, tpw, format)) {
        g_reason = std::string("cannot create ") + target + ": " + Thread_Error("unknown error");
        Remove_Temp();
        return 0;
    }
    // An RC4-encoded source gives an encoded target, with the source's own
    // key: the key is no secret (it stands in the header), so a new one
    // would protect nothing more, and keeping it leaves the header as the
    // source has it. The empty new file is encoded before any row reaches
    // it; every later write, in place or through a shadow copy, keeps the
    // key of the file it writes.
    if (const std::uint32_t key = Repair_Source_Key(source, password); key != 0) {
        try {
            jet::set_database_key(work, key);
        } catch (const std::exception& e) {
            g_reason = std::string("cannot create ") + target + ": " + e.what();
            Remove_Temp();
            return 0;
        }
    }
    Thr_Clear_Err();
    int ok = Read_Tab_List(source, password, tab_list) &&
             Read_Index_List(source, password, index_list);
    if (!ok) g_reason = std::string("cannot open ") + source + ": " + Thread_Error("unknown error");
    if (ok) {
        Thr_Clear_Err();
        ok = Copy_Tables(work, tpw, source, password, tab_list) &&
             Rebuild_Indexes(work, tpw, tab_list, index_list) &&
             (g_tables_only || (Restore_Design(work, tpw, source, password, tab_list) &&
                                Restore_Objects(work, tpw, source, password)));
        // The values of an ACE source's complex columns are data, not
        // design: a run of the tables alone carries them too.
        if (ok && g_tables_only && format.ace_version != 0) ok = Restore_Complex_Data(work, tpw, source, password);
        if (!ok) g_reason = std::string("cannot open ") + target + ": " + Thread_Error("unknown error");
    }

    // The steps wrote a plain file; an encrypted source's rows must not stay
    // readable without its password, whether the steps got through or not.
    if (encrypted_source) {
        try {
            jet::encrypt_ace_file(work, password);
        } catch (const std::exception& e) {
            g_reason = std::string("cannot create ") + target + ": " + e.what();
            Print_Msg("创建目标数据库(%s)出错了", target);
            Remove_Temp();
            return 0;
        }
    }

    const std::string backup = std::string(source) + ".bak";
    const unsigned long long source_size = File_Size(source);
    auto summary = [&] {
        if (!ok || !g_summary) return;
        g_run_active = 0;  // the file is in place: a signal now interrupts nothing
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        Print_Summary(replace ? backup.c_str() : source, source_size, password, target, target_pw,
                      seconds);
    };
    int result = ok;
    if (ok) {
        Print_Msg("修复完成");
        Print_Msg("原始数据库文件为 %s", replace ? backup.c_str() : source);
        Print_Msg("新的数据库文件为 %s", target);
        Print_Msg("%s", target_pw.empty() ? REPAIR_MSG_NO_PASSWORD : REPAIR_MSG_SAME_PASSWORD);
        if (Copy_Err_Flag > 0) {
            Print_Msg("复制库表过程中有错误发生，请检查日志");
            result = 0;
        }
    }
    if (temp.empty()) {
        summary();
        return result;
    }

    if (replace) {
        // Only a run that got through replaces the source: the original is
        // kept as SOURCE.bak (a second name for the same file), then the new
        // file takes the source's name in one rename, so SOURCE always names
        // a whole database.
        if (result != 1) {
            Remove_Temp();
            return result;
        }
        ::unlink(backup.c_str());
        if (::link(source, backup.c_str()) != 0) {
            g_reason = "cannot keep " + backup + ": " + std::strerror(errno);
            Remove_Temp();
            return 0;
        }
    }
    try {
        jet::end_deferred_syncs(temp);
    } catch (const std::exception& e) {
        g_reason = std::string("cannot create ") + target + ": " + e.what();
        Remove_Temp();
        if (replace) ::unlink(backup.c_str());
        return 0;
    }
    // A run that stopped at a failing step still leaves what it reached at
    // the target, as a run without a temporary name would.
    if (::rename(temp.c_str(), target) != 0) {
        g_reason = std::string("cannot create ") + target + ": " + std::strerror(errno);
        Remove_Temp();
        if (replace) ::unlink(backup.c_str());
        return 0;
    }
    Sync_Folder_Of(target);
    g_run_active = 0;
    summary();
    return result;
}
