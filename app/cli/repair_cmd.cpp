// Command-line front end of the repair run. The run reports through
// Print_Msg; this file installs a sink that writes each line to the real
// standard output while file descriptor 1 itself points elsewhere, so the
// printf diagnostics of the connection layer cannot mix with the lines.
#include "app/cli/repair_cmd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "app/run/repair_run.h"

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
    "  --password PW   database password of SOURCE; the new file gets the same one\n"
    "                  (default: none)\n"
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

int Cli_Msg_Sink(const char* text) {
    std::string line = text;
    line += '\n';
    write_all(g_line_fd, line.data(), line.size());
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
    if (!have_source || source.empty()) return usage_error("no SOURCE given");
    if (zolvak_db) password = ZOLVAK_DB_PASSWORD;
    if (!have_target) target = source + ".new";

    int result = 0;
    {
        Stdout_Redirect redirect(verbose);
        g_line_fd = redirect.line_fd();
        Msg_Sink_Fn previous = Msg_Sink;
        Msg_Sink = Cli_Msg_Sink;
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
        g_line_fd = -1;
    }
    return result == 1 ? 0 : 1;
}
