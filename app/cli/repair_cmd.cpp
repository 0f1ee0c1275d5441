// Command-line front end of the repair run. The run reports through
// Print_Msg; this file installs a sink that writes each line to the real
// standard output while file descriptor 1 itself points elsewhere, so the
// printf diagnostics of the connection layer cannot mix with the lines.
#include "app/cli/repair_cmd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <vector>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <string_view>

#include "app/cli/run_report.h"
#include "app/run/repair_run.h"
#include "jet/table/database.h"
#include "jet/base/progress.h"
#include "jet/table/table_def.h"

namespace {

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

// The width of the terminal on standard error, in columns (80 when it does
// not say).
int Terminal_Columns() {
    struct winsize ws {};
    if (::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

// The longest start of s, cut between characters, that takes at most
// `columns` columns.
std::string Fit(const std::string& s, std::size_t columns) {
    std::size_t end = 0;
    while (end < s.size()) {
        std::size_t next = end + 1;
        while (next < s.size() && (static_cast<unsigned char>(s[next]) & 0xC0) == 0x80) ++next;
        if (display_width(std::string_view(s).substr(0, next)) > columns) break;
        end = next;
    }
    return s.substr(0, end);
}

// A bar on standard error while a run goes on, shown only on a terminal.
// While the tables are copied it counts the rows of the table being copied
// (the engine reports every few thousand rows) and shows the share of all
// rows of all user tables done; while the indexes are made it counts them.
// Each redraw fits one line of the terminal as wide as it is at that moment
// (a wrapped line could not be redrawn in place); when the run completes the
// bar is drawn at 100 % and kept above the completion lines.
class Progress_Bar {
  public:
    void Load(const std::string& source, const std::string& password) {
        try {
            auto db = jet::Database::open(source, password);
            for (const jet::TableInfo& t : db->tables()) {
                if (t.kind != jet::TableKind::kTable || !t.local()) continue;
                jet::TableDef def = db->table_def(*t.entry);
                rows_[t.name] = def.row_count;
                total_rows_ += def.row_count;
                total_indexes_ += def.indexes.size();
            }
            on_ = true;
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
        static constexpr std::string_view kIndex = "正在创建约束 ";
        std::string_view line = text;
        Finish_Table();
        if (line.starts_with(kCopy)) {
            line.remove_prefix(kCopy.size());
            if (line.ends_with(kLong)) line.remove_suffix(kLong.size());
            phase_ = Phase::kCopy;
            current_ = std::string(line);
            auto it = rows_.find(current_);
            current_total_ = it != rows_.end() ? it->second : 0;
            current_done_ = 0;
        } else if (line.starts_with(kIndex)) {
            line.remove_prefix(kIndex.size());
            indexes_done_ = indexes_seen_++;
            phase_ = Phase::kIndex;
            current_ = std::string(line);
        } else if (line == "修复完成") {
            phase_ = Phase::kDone;
            Draw();  // 100 %, kept on its own line above the completion lines
        } else {
            phase_ = Phase::kNone;
        }
    }

    // Rows the engine has written into the table being copied.
    void Rows(std::uint64_t n) {
        if (!on_ || phase_ != Phase::kCopy) return;
        current_done_ = n;
        Draw();
    }

    // Draws the bar after a line has been written.
    void Draw() {
        if (!on_ || phase_ == Phase::kNone) return;
        std::string text = Text(static_cast<std::size_t>(Terminal_Columns() - 1));
        if (text == last_ && drawn_) return;
        std::string out = "\r" + text + "\033[K";
        if (phase_ == Phase::kDone) {
            // The finished bar stays above the completion lines.
            out += "\n";
            on_ = false;
        }
        write_all(2, out.data(), out.size());
        last_ = text;
        drawn_ = phase_ != Phase::kDone;
    }

    void Clear() {
        if (!drawn_) return;
        write_all(2, "\r\033[K", 4);
        drawn_ = false;
    }

  private:
    enum class Phase { kNone, kCopy, kIndex, kDone };

    void Finish_Table() {
        if (phase_ != Phase::kCopy) return;
        rows_done_ += std::max(current_total_, current_done_);
        current_done_ = 0;
        current_total_ = 0;
    }

    // One line of at most `width` columns.
    std::string Text(std::size_t width) const {
        std::uint64_t done = 0, total = 0;
        std::string count, name;
        if (phase_ == Phase::kCopy) {
            done = std::min(rows_done_ + std::min(current_done_, current_total_), total_rows_);
            total = total_rows_;
            count = "rows " + std::to_string(std::min(current_done_, current_total_)) + "/" +
                    std::to_string(current_total_);
            name = current_;
        } else if (phase_ == Phase::kIndex) {
            total = std::max<std::uint64_t>(total_indexes_, indexes_seen_);
            done = indexes_done_;
            count = "indexes " + std::to_string(indexes_seen_) + "/" + std::to_string(total);
            name = current_;
        } else {  // done
            done = total = 1;
            count = std::to_string(rows_done_) + " rows";
            if (indexes_seen_ > 0) count += ", " + std::to_string(indexes_seen_) + " indexes";
        }
        const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
        char pct[8];
        std::snprintf(pct, sizeof pct, "%3d%%", percent);
        // "[" bar "] " pct " " count "  " name: the bar a quarter of the
        // width (10 to 30 columns); the name is cut to fit, then left out,
        // then the count.
        const std::size_t bar = std::clamp<std::size_t>(width / 4, 10, 30);
        auto line = [&](const std::string& c, const std::string& n) {
            std::size_t filled = total == 0 ? bar : static_cast<std::size_t>(done * bar / total);
            std::string t = "[" + std::string(filled, '#') + std::string(bar - filled, '.') + "] " + pct;
            if (!c.empty()) t += " " + c;
            if (!n.empty()) t += "  " + n;
            return t;
        };
        const std::size_t fixed = display_width(line(count, ""));
        if (fixed + 2 + display_width(name) <= width) return line(count, name);
        if (fixed + 3 <= width) return line(count, Fit(name, width - fixed - 2));
        if (fixed <= width) return line(count, "");
        return Fit(line("", ""), width);
    }

    bool on_ = false;
    bool drawn_ = false;
    Phase phase_ = Phase::kNone;
    std::map<std::string, std::uint64_t> rows_;
    std::uint64_t total_rows_ = 0;
    std::uint64_t rows_done_ = 0;
    std::uint64_t total_indexes_ = 0;
    std::uint64_t indexes_done_ = 0;
    std::uint64_t indexes_seen_ = 0;
    std::uint64_t current_total_ = 0;
    std::uint64_t current_done_ = 0;
    std::string current_;
    std::string last_;
};

Progress_Bar* g_bar = nullptr;
// The lines of the run, kept for its report (null without --report).
std::vector<std::string>* g_report_lines = nullptr;

void Bar_Rows(std::uint64_t n) {
    if (g_bar != nullptr) g_bar->Rows(n);
}

int Cli_Msg_Sink(const char* text) {
    if (g_bar != nullptr) g_bar->Line(text);
    if (g_report_lines != nullptr) g_report_lines->push_back(text);
    std::string line = text;
    line += '\n';
    write_all(g_line_fd, line.data(), line.size());
    if (g_bar != nullptr) g_bar->Draw();
    return 1;
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

std::size_t display_width(std::string_view s) {
    std::size_t w = 0;
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp = c;
        int len = 1;
        if (c >= 0xF0 && i + 3 < s.size()) {
            cp = (c & 0x07u) << 18 | (s[i + 1] & 0x3Fu) << 12 | (s[i + 2] & 0x3Fu) << 6 | (s[i + 3] & 0x3Fu);
            len = 4;
        } else if (c >= 0xE0 && i + 2 < s.size()) {
            cp = (c & 0x0Fu) << 12 | (s[i + 1] & 0x3Fu) << 6 | (s[i + 2] & 0x3Fu);
            len = 3;
        } else if (c >= 0xC0 && i + 1 < s.size()) {
            cp = (c & 0x1Fu) << 6 | (s[i + 1] & 0x3Fu);
            len = 2;
        }
        i += static_cast<std::size_t>(len);
        bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                    (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                    (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                    (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
        w += wide ? 2 : 1;
    }
    return w;
}

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

namespace {

// One repair in this process: the bar on a terminal, the lines on the real
// standard output, the reason of a failure on standard error.
int Run_One(const std::string& source, const Repair_Cmd_Options& options) {
    const std::string target = options.replace        ? source
                               : options.target.empty() ? source + ".new"
                                                        : options.target;
    int result = 0;
    Run_Report report;
    std::string crash;
    if (!options.report.empty()) g_report_lines = &report.lines;
    Progress_Bar bar;
    // Diagnostics on standard error would break the bar's line.
    if (!options.verbose && !options.quiet && isatty(2)) {
        bar.Load(source, options.password);
        g_bar = &bar;
        jet::row_progress = Bar_Rows;
    }
    Stdout_Redirect redirect(options.verbose);
    g_line_fd = redirect.line_fd();
    Msg_Sink_Fn previous = Msg_Sink;
    Msg_Sink = Cli_Msg_Sink;
    Repair_Catch_Signals(g_line_fd, g_bar != nullptr ? 2 : -1);
    // A reader that goes away (`mdbrepair x.mdb | head -1`) must not kill the
    // run half-way with its temporary file left: the lines then have nowhere
    // to go, and the run completes.
    std::signal(SIGPIPE, SIG_IGN);
    Repair_Set_Summary(!options.quiet);
    Repair_Set_Tables_Only(options.tables_only);
    try {
        result = options.replace ? Repair_Mdb_Replace(source.c_str(), options.password.c_str())
                                 : Repair_Mdb(source.c_str(), options.password.c_str(),
                                              target.c_str());
    } catch (const std::exception& e) {
        // The window shows such an error in its exception box.
        std::fprintf(stderr, "mdbrepair: %s\n", e.what());
        crash = e.what();
        result = 0;
    } catch (...) {
        std::fprintf(stderr, "mdbrepair: unexpected error\n");
        crash = "unexpected error";
        result = 0;
    }
    g_report_lines = nullptr;
    Msg_Sink = previous;
    bar.Clear();
    jet::row_progress = nullptr;
    if (result != 1 && Repair_Failure_Reason()[0] != 0)
        std::fprintf(stderr, "mdbrepair: %s\n", Repair_Failure_Reason());
    g_bar = nullptr;
    g_line_fd = -1;
    int status = result == 1 ? 0 : 1;
    if (!options.report.empty()) {
        report.source = source;
        report.target = target;
        report.exit_status = status;
        report.reason = !crash.empty() ? crash : result != 1 ? Repair_Failure_Reason() : "";
        std::string why;
        if (!write_run_report(options.report, report, why)) {
            std::fprintf(stderr, "mdbrepair: %s\n", why.c_str());
            status = 1;
        }
    }
    return status;
}

// Children of a run of several sources at once; the signal handler forwards
// SIGINT, SIGTERM and SIGHUP to them.
constexpr int kMaxJobs = 64;
volatile pid_t g_children[kMaxJobs];
volatile sig_atomic_t g_interrupted = 0;

void Forward_Signal(int sig) {
    g_interrupted = 1;
    for (int i = 0; i < kMaxJobs; ++i)
        if (g_children[i] > 0) ::kill(g_children[i], sig);
}

struct Job {
    std::string source;
    pid_t pid = -1;
    int out = -1;
    int err = -1;
    std::string out_text;
    std::string err_text;
    int status = -1;
    bool done = false;
};

// Starts one repair of job.source as a child of this program, its output on
// two pipes. The password travels in the child's environment, not in its
// arguments, where the process list would show it.
bool Start_Job(Job& job, const Repair_Cmd_Options& options, const char* self) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::setenv(PASSWORD_ENV, options.password.c_str(), 1);
        std::vector<const char*> argv = {self};
        if (options.verbose) argv.push_back("--verbose");
        if (options.quiet) argv.push_back("--quiet");
        if (options.replace) argv.push_back("--replace");
        if (options.tables_only) argv.push_back("--tables-only");
        argv.push_back("--");
        argv.push_back(job.source.c_str());
        argv.push_back(nullptr);
        ::execv("/proc/self/exe", const_cast<char* const*>(argv.data()));
        ::execvp(self, const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(out[0]);
        ::close(err[0]);
        return false;
    }
    job.pid = pid;
    job.out = out[0];
    job.err = err[0];
    return true;
}

// Several sources, up to `jobs` at once, each in its own process (a run
// keeps process-wide state). Each source's lines appear together, in the
// order the sources were given.
int Run_Parallel(const std::vector<std::string>& sources, const Repair_Cmd_Options& options,
                 const char* self) {
    std::vector<Job> all(sources.size());
    for (std::size_t i = 0; i < sources.size(); ++i) all[i].source = sources[i];
    for (auto& c : g_children) c = 0;
    struct sigaction sa {};
    sa.sa_handler = Forward_Signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);

    std::size_t next_start = 0, next_print = 0;
    int running = 0;
    int worst = 0;
    while (next_print < all.size()) {
        while (running < options.jobs && next_start < all.size() && !g_interrupted) {
            Job& j = all[next_start++];
            if (!Start_Job(j, options, self)) {
                j.err_text = "mdbrepair: cannot start a repair of " + j.source + "\n";
                j.status = 1;
                j.done = true;
                continue;
            }
            for (auto& c : g_children)
                if (c == 0) {
                    c = j.pid;
                    break;
                }
            ++running;
        }
        if (g_interrupted) {
            // Sources not started yet are not started at all.
            for (std::size_t i = next_start; i < all.size(); ++i) {
                all[i].status = 130;
                all[i].done = true;
            }
            next_start = all.size();
        }
        std::vector<pollfd> fds;
        std::vector<std::pair<Job*, int*>> owners;
        for (Job& j : all) {
            for (int* fd : {&j.out, &j.err}) {
                if (*fd < 0) continue;
                fds.push_back({*fd, POLLIN, 0});
                owners.push_back({&j, fd});
            }
        }
        if (!fds.empty()) {
            int n = ::poll(fds.data(), fds.size(), -1);
            if (n < 0 && errno != EINTR) break;
            for (std::size_t k = 0; n > 0 && k < fds.size(); ++k) {
                if (fds[k].revents == 0) continue;
                auto [job, fd] = owners[k];
                char buf[8192];
                ssize_t r = ::read(*fd, buf, sizeof buf);
                if (r > 0) {
                    (fd == &job->out ? job->out_text : job->err_text).append(buf, static_cast<std::size_t>(r));
                } else if (r == 0 || errno != EINTR) {
                    ::close(*fd);
                    *fd = -1;
                }
            }
        }
        for (Job& j : all) {
            if (j.done || j.pid < 0 || j.out >= 0 || j.err >= 0) continue;
            int st = 0;
            if (::waitpid(j.pid, &st, 0) < 0 && errno == EINTR) continue;
            j.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            j.done = true;
            for (auto& c : g_children)
                if (c == j.pid) c = 0;
            --running;
        }
        while (next_print < all.size() && all[next_print].done) {
            Job& j = all[next_print++];
            write_all(1, j.out_text.data(), j.out_text.size());
            write_all(2, j.err_text.data(), j.err_text.size());
            if (j.status == REPAIR_EXIT_INTERRUPTED) worst = REPAIR_EXIT_INTERRUPTED;
            else if (j.status != 0 && worst == 0) worst = 1;
        }
    }
    return worst;
}

}  // namespace

int run_repairs(const std::vector<std::string>& sources, const Repair_Cmd_Options& options,
                const char* self) {
    if (sources.size() > 1 && options.jobs > 1) return Run_Parallel(sources, options, self);
    int worst = 0;
    for (const std::string& source : sources) {
        if (Run_One(source, options) != 0) worst = 1;
    }
    return worst;
}
