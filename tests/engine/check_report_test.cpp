// `mdbrepair --check` and `mdbrepair --report FILE` as a user runs them: the
// check is clean on the files our writer makes (repaired fixtures), names
// the damage of a damaged copy with exit status 1; the report of a run
// holds per table the numbers of what was copied and skipped, the same as
// the new file and the log say.
#include <gtest/gtest.h>

#include "jet/base/error.h"

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "../jet/damage_gen.h"
#include "jet/table/database.h"
#include "repair_support.h"

using namespace repair_test;
using json = nlohmann::json;

namespace {

std::vector<std::string> Mdb_Fixtures() {
    std::vector<std::string> out;
    if (!Have_Fixtures()) return out;
    for (const auto& e : fs::directory_iterator(Fixtures()))
        if (e.path().extension() == ".mdb") out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::string Password_Of(const std::string& fixture) {
    return fixture == "jet4-password.mdb" ? "password" : "";
}

// Rows of every user table of a file, by a full scan.
std::map<std::string, std::uint64_t> Rows_Of(const std::string& path, const std::string& password) {
    std::map<std::string, std::uint64_t> out;
    auto db = jet::Database::open(path, password);
    for (const jet::TableInfo& t : db->tables()) {
        if (t.kind != jet::TableKind::kTable) continue;
        out[t.name] = jet::count_rows(db->file(), db->table_def(*t.entry));
    }
    return out;
}

// A copy of fixture with the data_page damage of its first table that has
// one; the copy's table name in `table`.
std::string Damaged_Copy(const Scratch& s, const std::string& fixture, std::string& table) {
    const std::string path = Fixtures() + "/" + fixture;
    const damage::Layout layout = damage::analyse(path, Password_Of(fixture));
    for (const damage::Variant& v : damage::make_variants(Read_File(path), layout)) {
        if (v.kind != "data_page") continue;
        const std::string to = s.path("damaged.mdb");
        Write_File(to, v.bytes);
        table = v.name.substr(v.kind.size() + 1, v.name.rfind(" page ") - v.kind.size() - 1);
        return to;
    }
    return {};
}

TEST(Check_Command, RepairedFixturesAreClean) {
    if (!Have_Fixtures()) GTEST_SKIP() << "fixture folder absent";
    Scratch s;
    for (const std::string& f : Mdb_Fixtures()) {
        const std::string pw = Password_Of(f);
        const std::string target = s.path("new.mdb");
        Command_Result r = Run_Repair(s, {"-q", "--password", pw, "-o", target, Fixtures() + "/" + f});
        ASSERT_EQ(r.status, 0) << f << r.out << r.err;
        Command_Result c = Run_Repair(s, {"--check", "--password", pw, target});
        EXPECT_EQ(c.status, 0) << f << "\n" << c.out << c.err;
        EXPECT_EQ(c.out.rfind(target + ": ok ("), 0u) << f << "\n" << c.out;
        EXPECT_EQ(Split_Lines(c.out).size(), 1u) << c.out;
        // The source as Access wrote it, too.
        Command_Result o = Run_Repair(s, {"--check", "--password", pw, Fixtures() + "/" + f});
        EXPECT_EQ(o.status, 0) << f << "\n" << o.out << o.err;
    }
}

TEST(Check_Command, DamageIsOneLinePerProblemAndExitStatusOne) {
    if (!Have_Fixtures()) GTEST_SKIP() << "fixture folder absent";
    Scratch s;
    std::string table;
    const std::string copy = Damaged_Copy(s, "jet4-types.mdb", table);
    ASSERT_FALSE(copy.empty());
    const std::string before = Read_File(copy);
    Command_Result r = Run_Repair(s, {"--check", copy});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.err, "");
    const auto lines = Split_Lines(r.out);
    ASSERT_GE(lines.size(), 2u) << r.out;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        EXPECT_EQ(lines[i].rfind(table + ": page ", 0), 0u) << lines[i];
    EXPECT_NE(lines.back().find(copy + ": "), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find(" problem"), std::string::npos) << lines.back();
    EXPECT_EQ(Read_File(copy), before) << "the check wrote the file";
}

// An ACE source repairs into an ACE file of its own version byte (the
// fixture test checks what it holds); an encrypted one with a wrong
// password is refused before anything is written.
TEST(Check_Command, AceSourceKeepsItsVersionAndAWrongPasswordWritesNothing) {
    if (!Have_Fixtures()) GTEST_SKIP() << "fixtures are not available";
    Scratch s;
    struct Case {
        const char* file;
        const char* password;
        int status;
    };
    for (const Case c : {Case{"ace12-types.accdb", "", 0}, Case{"ace17-extdate.accdb", "", 0},
                         Case{"ace14-rc4-password.accdb", "password", 0},
                         Case{"ace14-rc4-password.accdb", "wrong", 1},
                         Case{"ace14-agile-password.accdb", "wrong", 1},
                         Case{"ace14-agile-password.accdb", "", 1}}) {
        SCOPED_TRACE(std::string(c.file) + " / '" + c.password + "'");
        const std::string source = Fixtures() + "/" + c.file;
        if (!fs::exists(source)) continue;
        const std::string target = s.path("out.accdb");
        fs::remove(target);
        Command_Result r = Run_Repair(s, {"-q", "--password", c.password, "-o", target, source});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        if (c.status != 0) {
            EXPECT_EQ(r.out, "无法连接到数据库" + source + "，请检查文件名及密码\n");
            EXPECT_EQ(r.err, "mdbrepair: cannot open " + source + ": Not a valid password.\n");
            EXPECT_FALSE(fs::exists(target));
            for (const auto& e : fs::directory_iterator(s.dir())) {
                EXPECT_NE(e.path().filename().string().rfind("out.", 0), 0u)
                    << "left behind: " << e.path();
            }
            continue;
        }
        EXPECT_EQ(Read_File(target).substr(0x14, 1), Read_File(source).substr(0x14, 1));
    }
}

TEST(Check_Command, UsageAndUnreadableFiles) {
    Scratch s;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--check"},
          {"--check", "a.mdb", "b.mdb"},
          {"--check", "--list", "a.mdb"},
          {"--check", "--sample", "a.mdb"},
          {"--check", "-o", "x.mdb", "a.mdb"},
          {"--check", "--report", "r.json", "a.mdb"},
          {"--check", "--json", "a.mdb"},
          {"--report", "r.json", "a.mdb", "b.mdb"},
          {"--report=", "a.mdb"},
          {"--list", "--report", "r.json", "a.mdb"}}) {
        Command_Result r = Run_Repair(s, args);
        EXPECT_EQ(r.status, 2) << args[0] << " " << args[1];
        EXPECT_EQ(r.out, "");
    }
    Command_Result missing = Run_Repair(s, {"--check", s.path("none.mdb")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "mdbrepair: Could not find file '" + s.path("none.mdb") + "'.\n");
    if (!Have_Fixtures()) return;
    // ACE files are checked, a password-protected one with its password.
    if (fs::exists(Fixtures() + "/ace12-types.accdb")) {
        Command_Result a = Run_Repair(s, {"--check", Fixtures() + "/ace12-types.accdb"});
        EXPECT_EQ(a.status, 0) << a.err;
        const std::string locked = Fixtures() + "/ace14-rc4-password.accdb";
        Command_Result e = Run_Repair(s, {"--check", "--password", "password", locked});
        EXPECT_EQ(e.status, 0) << e.err;
        Command_Result w = Run_Repair(s, {"--check", "--password", "wrong", locked});
        EXPECT_EQ(w.status, 1);
        EXPECT_NE(w.err, "");
    }
    Command_Result pw = Run_Repair(s, {"--check", "--password", "wrong", Fixtures() + "/jet4-password.mdb"});
    EXPECT_EQ(pw.status, 1);
    EXPECT_EQ(pw.err, "mdbrepair: Not a valid password.\n");
}

json Read_Report(const std::string& path) {
    const std::string text = Read_File(path);
    EXPECT_FALSE(text.empty()) << "no report at " << path;
    return text.empty() ? json() : json::parse(text);
}

TEST(Run_Report, HealthyRepairCountsWhatItCopied) {
    if (!Have_Fixtures()) GTEST_SKIP() << "fixture folder absent";
    Scratch s;
    const std::string src = Fixtures() + "/jet4-indexes.mdb";
    const std::string target = s.path("new.mdb");
    const std::string report = s.path("run.json");
    Command_Result r = Run_Repair(s, {"--report", report, "-o", target, src});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    json j = Read_Report(report);
    EXPECT_EQ(j["source"], src);
    EXPECT_EQ(j["target"], target);
    EXPECT_EQ(j["exit_status"], 0);
    EXPECT_EQ(j["completed"], true);
    EXPECT_TRUE(j["reason"].is_null());
    EXPECT_EQ(j["messages"].get<std::vector<std::string>>(), Split_Lines(r.out));
    const auto copied = Rows_Of(target, "");
    const auto declared = Rows_Of(src, "");
    ASSERT_EQ(j["tables"].size(), declared.size());
    for (const json& t : j["tables"]) {
        const std::string name = t["name"];
        EXPECT_EQ(t["copied"], true) << name;
        EXPECT_EQ(t["rows_declared"].get<std::uint64_t>(), declared.at(name)) << name;
        EXPECT_EQ(t["rows_copied"].get<std::uint64_t>(), copied.at(name)) << name;
        for (const char* zero : {"rows_skipped", "long_values_nulled", "pages_skipped"})
            EXPECT_EQ(t[zero].get<std::uint64_t>(), 0u) << name << " " << zero;
        ASSERT_FALSE(t["messages"].empty()) << name;
        EXPECT_EQ(t["messages"][0].get<std::string>().rfind("正在复制对象 " + name, 0), 0u) << name;
    }
}

TEST(Run_Report, DamagedRepairCountsWhatItSkipped) {
    if (!Have_Fixtures()) GTEST_SKIP() << "fixture folder absent";
    Scratch s;
    std::string table;
    const std::string copy = Damaged_Copy(s, "jet4-delrows.mdb", table);
    ASSERT_FALSE(copy.empty());
    const std::string target = s.path("new.mdb");
    const std::string report = s.path("run.json");
    Command_Result r = Run_Repair(s, {"-q", "--report", report, "-o", target, copy});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    json j = Read_Report(report);
    EXPECT_EQ(j["exit_status"], 1);
    EXPECT_EQ(j["completed"], true);
    const auto copied = Rows_Of(target, "");
    bool seen = false;
    for (const json& t : j["tables"]) {
        const std::string name = t["name"];
        EXPECT_EQ(t["rows_copied"].get<std::uint64_t>(), copied.at(name)) << name;
        if (name != table) continue;
        seen = true;
        const std::uint64_t skipped = t["rows_skipped"];
        EXPECT_GT(skipped + t["pages_skipped"].get<std::uint64_t>(), 0u) << t.dump();
        // The log's loss line and the report tell the same number.
        const std::string line = "表 " + name + " 有 " + std::to_string(skipped) + " 行无法读取，已跳过";
        const auto msgs = t["messages"].get<std::vector<std::string>>();
        if (skipped > 0) {
            EXPECT_NE(std::find(msgs.begin(), msgs.end(), line), msgs.end()) << t.dump();
        }
        EXPECT_GE(t["rows_declared"].get<std::uint64_t>(), t["rows_copied"].get<std::uint64_t>());
    }
    EXPECT_TRUE(seen) << table << " missing from " << j.dump();
}

TEST(Run_Report, WrittenWhenTheRunFailsAndNeverOverTheSource) {
    Scratch s;
    const std::string report = s.path("run.json");
    Command_Result r = Run_Repair(s, {"--report", report, "-o", s.path("new.mdb"), s.path("none.mdb")});
    EXPECT_EQ(r.status, 1);
    json j = Read_Report(report);
    EXPECT_EQ(j["exit_status"], 1);
    EXPECT_EQ(j["completed"], false);
    EXPECT_TRUE(j["tables"].empty());
    EXPECT_FALSE(j["messages"].empty());
    EXPECT_EQ(j["messages"].get<std::vector<std::string>>(), Split_Lines(r.out));

    // A report that would land on the source or the new file is refused.
    const std::string src = s.path("src.mdb");
    Write_File(src, "not a database");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--report", src, src},
                                                 {"--report", src + ".new", src},
                                                 {"--report", s.path("t.mdb"), "-o", s.path("t.mdb"), src}}) {
        Command_Result u = Run_Repair(s, args);
        EXPECT_EQ(u.status, 2) << args[1];
    }
    EXPECT_EQ(Read_File(src), "not a database");

    // A report that cannot be written fails the run.
    Command_Result w = Run_Repair(s, {"--report", s.path("no/such/dir/r.json"), "-o", s.path("n.mdb"), src});
    EXPECT_EQ(w.status, 1);
    EXPECT_NE(w.err.find("mdbrepair: cannot write the report "), std::string::npos) << w.err;
}

}  // namespace
