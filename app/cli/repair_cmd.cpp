// Command-line front end of the repair run. The run reports through
// Print_Msg; this file installs a sink that writes each line to the real
// standard output while file descriptor 1 itself points elsewhere, so the
// printf diagnostics of the connection layer cannot mix with the lines.
#include "app/cli/repair_cmd.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <string_view>

#include "app/run/repair_run.h"
#include "jet/database.h"
#include "jet/table_def.h"

namespace {

constexpr const char* kHelp =
    "usage: mdbrepair [--password PW | --zolvak-db] [--output TARGET] [--verbose] SOURCE\n"
    "       mdbrepair --list [--password PW] FILE\n"
    "       mdbrepair --sample FILE\n"
    "       mdbrepair --help\n"
    "\n"
    "Repairs and compacts the Access database SOURCE (.mdb, Jet 3 or Jet 4) into a\n"
    "new Jet 4 file. SOURCE itself is never written. The log of the run is printed\n"
    "on standard output, one line per message.\n"
    "\n"
    "  --password PW   database password of SOURCE (default: none, or the variable\n"
    "                  MDBREPAIR_PASSWORD); \"--password -\" reads it from standard\n"
    "                  input. The new file gets the source's own password\n"
    "  --zolvak-db     SOURCE is a database of the Zolvak software: use its fixed\n"
    "                  password\n"
    "  --output TARGET the new file (default: SOURCE with \".new\" appended); a file\n"
    "                  already there is replaced, but never SOURCE itself\n"
    "  --verbose       show the library's diagnostics on standard error\n"
    "\n"
    "  --list FILE     print the tables, columns and indexes of FILE as JSON\n"
    "  --sample FILE   write a small sample database to FILE\n"
    "\n"
    "Exit status: 0 repaired without errors, 1 the repair failed or a table or\n"
    "index could not be copied (see the log), 2 wrong usage.\n";

// The real standard output while the run has file descriptor 1 redirected.
int g_line_fd = -1;

void write_all(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;  // a closed pipe: the lines have nowhere to go
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
}

// A bar on standard error while the tables are copied, shown only on a
// terminal: rows of the tables copied so far against the rows of all user
// tables, as the source's table definitions count them. The statement layer
// reports nothing while one make-table runs, so the bar moves table by table.
class Progress_Bar {
  public:
    void Load(const std::string& source, const std::string& password) {
        try {
            auto db = jet::Database::open(source, password);
            for (const jet::TableInfo& t : db->tables()) {
                if (t.kind != jet::TableKind::kTable || !t.local()) continue;
                std::uint64_t n = db->table_def(*t.entry).row_count;
                rows_[t.name] = n;
                total_ += n;
            }
            on_ = !rows_.empty();
        } catch (const std::exception&) {
            on_ = false;  // the run reports why the source cannot be read
        }
    }

    // Called with every line before it is written.
    void Line(const char* text) {
        if (!on_) return;
        Clear();
        static constexpr std::string_view kCopy = "正在复制对象 ";
        static constexpr std::string_view kLong =
            "，如果数据量大可能需要较多时间（1G约12分钟），请耐心等候";
        std::string_view line = text;
        Finish_Current();
        if (!line.starts_with(kCopy)) {
            copying_ = false;
            return;
        }
        line.remove_prefix(kCopy.size());
        if (line.ends_with(kLong)) line.remove_suffix(kLong.size());
        current_ = std::string(line);
        copying_ = true;
    }

    // Draws the bar after a line has been written.
    void Draw() {
        if (!on_ || !copying_) return;
        const int width = 30;
        int filled = total_ == 0 ? 0 : static_cast<int>(done_ * width / total_);
        std::string bar = "\r[" + std::string(filled, '#') + std::string(width - filled, '.') +
                          "] " + std::to_string(done_) + "/" + std::to_string(total_) + " rows  " +
                          current_;
        write_all(2, bar.data(), bar.size());
        drawn_ = true;
    }

    void Clear() {
        if (!drawn_) return;
        write_all(2, "\r\033[K", 4);
        drawn_ = false;
    }

  private:
    void Finish_Current() {
        if (!copying_) return;
        auto it = rows_.find(current_);
        if (it != rows_.end()) done_ += it->second;
        copying_ = false;
    }

    bool on_ = false;
    bool copying_ = false;
    bool drawn_ = false;
    std::map<std::string, std::uint64_t> rows_;
    std::uint64_t total_ = 0;
    std::uint64_t done_ = 0;
    std::string current_;
};

Progress_Bar* g_bar = nullptr;

int Cli_Msg_Sink(const char* text) {
    if (g_bar != nullptr) g_bar->Line(text);
    std::string line = text;
    line += '\n';
    write_all(g_line_fd, line.data(), line.size());
    if (g_bar != nullptr) g_bar->Draw();
    return 1;
}

int usage_error(const std::string& what) {
    std::fprintf(stderr, "mdbrepair: %s\n%s", what.c_str(),
                 "usage: mdbrepair [--password PW | --zolvak-db] [--output TARGET] [--verbose] "
                 "SOURCE\n(mdbrepair --help explains the options)\n");
    return 2;
}

// Points file descriptor 1 at standard error (verbose) or at /dev/null for
// its lifetime, keeping the real standard output for the message lines.
class Stdout_Redirect {
  public:
    explicit Stdout_Redirect(bool verbose) {
        std::fflush(stdout);
        saved_ = ::dup(1);
        int to = verbose ? ::dup(2) : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && to >= 0) ::dup2(to, 1);
        if (to >= 0) ::close(to);
    }
    ~Stdout_Redirect() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            ::dup2(saved_, 1);
            ::close(saved_);
        }
    }
    Stdout_Redirect(const Stdout_Redirect&) = delete;
    Stdout_Redirect& operator=(const Stdout_Redirect&) = delete;
    int line_fd() const { return saved_ >= 0 ? saved_ : 1; }

  private:
    int saved_ = -1;
};

}  // namespace

bool resolve_password(std::string& password, bool given, std::string& error) {
    if (!given) {
        // The environment keeps the password out of the process list.
        if (const char* env = std::getenv(PASSWORD_ENV)) password = env;
        return true;
    }
    if (password != "-") return true;
    // One line from standard input; on a terminal it is not echoed.
    struct termios saved {};
    const bool tty = isatty(0) && tcgetattr(0, &saved) == 0;
    if (tty) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(0, TCSAFLUSH, &quiet);
        std::fputs("Password: ", stderr);
        std::fflush(stderr);
    }
    std::string line;
    bool got = false;
    char c;
    for (;;) {
        ssize_t r = ::read(0, &c, 1);  // byte by byte: nothing past the line is taken
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got = true;
        if (c == '\n') break;
        line += c;
    }
    if (tty) tcsetattr(0, TCSAFLUSH, &saved);
    if (!got) {
        error = "--password -: no line on standard input";
        return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    password = line;
    return true;
}

const char* repair_help_text() { return kHelp; }

bool is_repair_command(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--") break;
        if (a == "--list" || a == "--sample" || a == "--help" || a == "-h" || a == "--gui")
            return false;
        if (a == "--password" || a == "--output") ++i;  // skip the value
    }
    return true;
}

int run_repair_command(int argc, char** argv) {
    std::string password;
    bool have_password = false;
    bool zolvak_db = false;
    bool verbose = false;
    std::string target;
    bool have_target = false;
    std::string source;
    bool have_source = false;
    bool options_done = false;

    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (!options_done && a == "--") {
            options_done = true;
        } else if (!options_done && (a == "--help" || a == "-h")) {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (!options_done && (a == "--password" || a.starts_with("--password="))) {
            if (have_password) return usage_error("--password given twice");
            if (a == "--password") {
                if (i + 1 >= argc) return usage_error("--password needs a value");
                password = argv[++i];
            } else {
                password = std::string(a.substr(11));
            }
            have_password = true;
        } else if (!options_done && a == "--zolvak-db") {
            zolvak_db = true;
        } else if (!options_done && (a == "--output" || a.starts_with("--output="))) {
            if (have_target) return usage_error("--output given twice");
            if (a == "--output") {
                if (i + 1 >= argc) return usage_error("--output needs a value");
                target = argv[++i];
            } else {
                target = std::string(a.substr(9));
            }
            if (target.empty()) return usage_error("--output needs a file name");
            have_target = true;
        } else if (!options_done && a == "--verbose") {
            verbose = true;
        } else if (!options_done && a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option " + std::string(a));
        } else if (!have_source) {
            source = a;
            have_source = true;
        } else {
            return usage_error("only one SOURCE may be given");
        }
    }
    if (have_password && zolvak_db)
        return usage_error("--password and --zolvak-db exclude each other");
    if (!zolvak_db) {
        std::string why;
        if (!resolve_password(password, have_password, why)) {
            std::fprintf(stderr, "mdbrepair: %s\n", why.c_str());
            return 2;
        }
    }
    if (!have_source || source.empty()) return usage_error("no SOURCE given");
    if (zolvak_db) password = ZOLVAK_DB_PASSWORD;
    if (!have_target) target = source + ".new";

    int result = 0;
    {
        Progress_Bar bar;
        // Diagnostics on standard error would break the bar's line.
        if (!verbose && isatty(2)) {
            bar.Load(source, password);
            g_bar = &bar;
        }
        Stdout_Redirect redirect(verbose);
        g_line_fd = redirect.line_fd();
        Msg_Sink_Fn previous = Msg_Sink;
        Msg_Sink = Cli_Msg_Sink;
        Repair_Catch_Signals(g_line_fd, g_bar != nullptr ? 2 : -1);
        try {
            result = Repair_Mdb(source.c_str(), password.c_str(), target.c_str());
        } catch (const std::exception& e) {
            // The window shows such an error in its exception box.
            std::fprintf(stderr, "mdbrepair: %s\n", e.what());
            result = 0;
        } catch (...) {
            std::fprintf(stderr, "mdbrepair: unexpected error\n");
            result = 0;
        }
        Msg_Sink = previous;
        bar.Clear();
        if (result != 1 && Repair_Failure_Reason()[0] != 0)
            std::fprintf(stderr, "mdbrepair: %s\n", Repair_Failure_Reason());
        g_bar = nullptr;
        g_line_fd = -1;
    }
    return result == 1 ? 0 : 1;
}
