// Helpers of the repair tests: scratch folders, file bytes, a small source
// database with awkward names, the collected message lines, and running the
// built mdbrepair.
#pragma once

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../jet/scratch_dir.h"
#include "engine/print_msg.h"
#include "jet/table/database.h"
#include "jet/write/writer.h"

namespace repair_test {

namespace fs = std::filesystem;

inline std::string Fixtures() { return ZOLVAK_FIXTURES_DIR; }

inline bool Have_Fixtures() { return fs::is_directory(Fixtures()); }

// A fresh folder, removed with the object; on the memory file system when
// the machine has one (see scratch_dir.h), so that a repair's syncs do not
// make a test's time follow how busy the disk is.
class Scratch {
  public:
    Scratch() {
        std::string tmpl = (zolvak_test::scratch_parent() / "repair_test_XXXXXX").string();
        const char* d = mkdtemp(tmpl.data());
        if (d != nullptr) dir_ = d;
    }
    ~Scratch() {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& dir() const { return dir_; }

  private:
    std::string dir_;
};

inline std::string Read_File(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void Write_File(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// A fixture copied into the scratch folder (the copy is the run's source).
inline std::string Copy_Fixture(const Scratch& s, const std::string& name) {
    std::string to = s.path(name);
    fs::copy_file(Fixtures() + "/" + name, to, fs::copy_options::overwrite_existing);
    return to;
}

// Collects the lines of a run.
inline std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
}
inline int Collect_Line(const char* text) {
    Lines().push_back(text);
    return 1;
}
struct Collecting {
    Collecting() {
        Lines().clear();
        Msg_Sink = Collect_Line;
    }
    ~Collecting() { Msg_Sink = nullptr; }
};

// A source with the names users give: blanks, a per-cent sign, a primary
// key over two columns and an index whose name holds a blank.
inline void Make_Awkward_Db(const std::string& path, const std::string& password) {
    jet::CreateOptions opt;
    opt.password = password;
    auto w = jet::DatabaseWriter::create(path, opt);
    jet::TableSpec details{"Order Details",
                           {{"Order ID", jet::ColumnType::kLong},
                            {"Line No", jet::ColumnType::kLong},
                            {"Item Name", jet::ColumnType::kText, 50}}};
    auto t = w->create_table(details);
    for (int order = 1; order <= 3; ++order) {
        for (int line = 1; line <= 2; ++line) {
            std::vector<jet::Value> row{std::int32_t(order), std::int32_t(line),
                                        std::string("item ") + std::to_string(order * 10 + line)};
            w->insert_row(t, row);
        }
    }
    w->create_index(t, {"PrimaryKey", {{"Order ID"}, {"Line No"}}, true, true});
    w->create_index(t, {"By Item", {{"Item Name"}}});
    auto p = w->create_table({"a%sb", {{"x%d", jet::ColumnType::kText, 20}}});
    std::vector<jet::Value> row{std::string("100%")};
    w->insert_row(p, row);
    auto k = w->create_table(
        {"Kunden", {{"Id", jet::ColumnType::kLong}, {"Name", jet::ColumnType::kText, 40}}});
    std::vector<jet::Value> k1{std::int32_t(7), std::string("Müller")};
    w->insert_row(k, k1);
    w->create_index(k, {"Id", {{"Id"}}, false, true});
    w->close();
}

// The path of a database file under s whose folders and name hold chars
// Chinese characters, 80 to a name (240 bytes, under the 255 a name may
// take), then ".mdb". The folders are made, the file is not. 300 characters
// are 900 bytes in UTF-8.
inline std::string Long_Chinese_Path(const Scratch& s, int chars) {
    static const char* const kChars[] = {"数", "据", "库", "文", "件", "修", "复", "压", "缩", "表"};
    std::string path = s.dir();
    for (int left = chars; left > 0;) {
        int n = std::min(left, 80);
        left -= n;
        std::string name;
        for (int i = 0; i < n; ++i) name += kChars[(left + i) % 10];
        path += "/" + name;
        if (left > 0) fs::create_directory(path);
    }
    return path + ".mdb";
}

// The names of the user tables of a database file, in catalog order.
inline std::vector<std::string> User_Tables(const std::string& path) {
    std::vector<std::string> names;
    auto db = jet::Database::open(path, "");
    for (const jet::TableInfo& t : db->tables())
        if (t.kind == jet::TableKind::kTable) names.push_back(t.name);
    std::sort(names.begin(), names.end());
    return names;
}

struct Command_Result {
    int status = -1;  // exit status, -1 when the program did not exit normally
    std::string out;
    std::string err;
};

inline std::string Mdbrepair() { return std::string(ZOLVAK_BINARY_DIR) + "/app/mdbrepair"; }

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

// What a command gets besides its arguments: standard input and variables
// of its environment ("NAME=value").
struct Command_Input {
    std::string stdin_text;
    std::vector<std::string> env;
};

// Runs program with args (each quoted), standard output and error apart.
inline Command_Result Run_Program(const Scratch& s, const std::string& program,
                                  const std::vector<std::string>& args,
                                  const Command_Input& input = {}) {
    std::string cmd = "env";
    for (const auto& e : input.env) cmd += " " + Quote(e);
    cmd += " " + Quote(program);
    for (const auto& a : args) cmd += " " + Quote(a);
    std::string out = s.path(".out");
    std::string err = s.path(".err");
    std::string in = s.path(".in");
    Write_File(in, input.stdin_text);
    cmd += " >" + Quote(out) + " 2>" + Quote(err) + " <" + Quote(in);
    int rc = std::system(cmd.c_str());
    Command_Result r;
    if (rc != -1 && WIFEXITED(rc)) r.status = WEXITSTATUS(rc);
    r.out = Read_File(out);
    r.err = Read_File(err);
    return r;
}

// Runs mdbrepair with args (each quoted), standard output and error apart.
inline Command_Result Run_Mdbrepair(const Scratch& s, const std::vector<std::string>& args,
                                    const Command_Input& input = {}) {
    return Run_Program(s, Mdbrepair(), args, input);
}

// The program that runs repairs.
inline std::string Repair_Program() { return Mdbrepair(); }

// Runs the repair program with args (each quoted), standard output and error
// apart.
inline Command_Result Run_Repair(const Scratch& s, const std::vector<std::string>& args,
                                 const Command_Input& input = {}) {
    return Run_Program(s, Repair_Program(), args, input);
}

inline std::vector<std::string> Split_Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// What a terminal of `columns` columns shows when program runs with args on
// it (standard output and error both), with the exit status. The terminal
// translates nothing: "\r" and escape sequences stay as the program wrote
// them.
inline Command_Result Run_On_Terminal(const std::string& program,
                                      const std::vector<std::string>& args, int columns) {
    Command_Result r;
    struct winsize ws {};
    ws.ws_row = 40;
    ws.ws_col = static_cast<unsigned short>(columns);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
    if (pid < 0) return r;
    if (pid == 0) {
        struct termios t {};
        if (tcgetattr(0, &t) == 0) {
            t.c_oflag &= ~static_cast<tcflag_t>(OPOST);  // no "\n" -> "\r\n"
            tcsetattr(0, TCSANOW, &t);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    char buf[4096];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // EIO once the program has closed the terminal
        r.out.append(buf, static_cast<std::size_t>(n));
    }
    close(master);
    int st = 0;
    waitpid(pid, &st, 0);
    if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    return r;
}

// The standard output (and error) of a shell command.
inline std::string Shell_Output(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    int rc = pclose(p);
    if (status != nullptr) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

inline std::string Export(const std::string& file, const std::string& table) {
    return Shell_Output(
        "LC_ALL=C mdb-export -D '%Y-%m-%d %H:%M:%S' -T '%Y-%m-%d %H:%M:%S' -b hex " + Quote(file) +
        " " + Quote(table) + " 2>&1");
}

// The export with two known mdbtools effects taken out: a Jet 3 byte that
// has no character in its code page prints as "?" from the source but as
// the C1 control of the same value (as Windows reads it) from the Jet 4
// copy, and rows that the source keeps on overflow
// pages print where they are stored, not where the table holds them. Lines
// are sorted; the header stays first.
inline std::string Normalised(std::string text) {
    std::string kept;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (static_cast<unsigned char>(text[i]) == 0xC2 && next >= 0x80 && next <= 0x9F) {
            kept += '?';  // a C1 control character
            ++i;
        } else {
            kept += text[i];
        }
    }
    text = kept;
    std::vector<std::string> lines = Split_Lines(text);
    if (lines.size() > 1) std::sort(lines.begin() + 1, lines.end());
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

// n lines of a run's log from its first "修复完成" on (fewer when the log
// ends sooner, none without that line).
inline std::vector<std::string> From_Completion(const std::vector<std::string>& lines,
                                                std::size_t n) {
    std::size_t i = 0;
    while (i < lines.size() && lines[i] != "修复完成") ++i;
    std::size_t end = std::min(lines.size(), i + n);
    return std::vector<std::string>(lines.begin() + static_cast<long>(i),
                                    lines.begin() + static_cast<long>(end));
}

// Calculated columns with a Memo result (or a Text one of no length): the
// readers take their field for a plain memo and show the wrapper's bytes,
// which differ with where the long value sits (inline in the row or on a
// page of its own) though its bytes are the same. Our reader compares their
// values instead (Our_Rows).
inline std::set<std::string> Calculated_Long_Columns(const std::string& file, const std::string& password,
                                              const std::string& table) {
    std::set<std::string> out;
    auto db = jet::Database::open(file, password);
    for (const jet::Column& c : db->table_def(table).columns) {
        const auto result = c.calc_result_type != 0 ? c.calc_result_type : c.type;
        const bool long_value = c.is_long_value() || result == static_cast<std::uint8_t>(jet::ColumnType::kMemo) ||
                                (c.column_type() == jet::ColumnType::kText && c.length == 0);
        if (c.is_calculated() && long_value) out.insert(c.name);
    }
    return out;
}

// The fields of one CSV line of mdb-export (quoted fields may hold commas
// and doubled quotes).
inline std::vector<std::string> Csv_Fields(const std::string& line) {
    std::vector<std::string> out(1);
    bool quoted = false;
    for (char ch : line) {
        if (ch == '"') quoted = !quoted;
        if (ch == ',' && !quoted) {
            out.emplace_back();
            continue;
        }
        out.back() += ch;
    }
    return out;
}

// An export without the named columns.
inline std::string Without_Columns(const std::string& csv, const std::set<std::string>& columns) {
    if (columns.empty()) return csv;
    std::vector<std::string> lines = Split_Lines(csv);
    std::vector<bool> keep;
    std::string out;
    for (const std::string& line : lines) {
        std::vector<std::string> fields = Csv_Fields(line);
        if (keep.empty() && line.find("Warning:") != 0) {
            for (const std::string& f : fields) keep.push_back(!columns.count(f));
        }
        std::string kept;
        for (std::size_t k = 0; k < fields.size(); ++k) {
            if (k < keep.size() && !keep[k]) continue;
            kept += (kept.empty() ? "" : ",") + fields[k];
        }
        out += kept + "\n";
    }
    return out;
}

}  // namespace repair_test
