// The repair command as a user runs it: options, exit status, standard output
// carrying exactly the run's lines, diagnostics kept apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "app/run/repair_run.h"
#include "jet/table/database.h"
#include "repair_support.h"

using namespace repair_test;

namespace {

TEST(Repair_Command, UsageErrorsExitWithTwo) {
    Scratch s;
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--password"},
        {"--password", "x", "--zolvak-db", "a.mdb"},
        {"--output"},
        {"--output=", "a.mdb"},
        {"--bogus", "a.mdb"},
        {"--password", "x", "--password", "y", "a.mdb"},
        {"-o", "x.mdb", "a.mdb", "b.mdb"},
        {"--replace", "-o", "x.mdb", "a.mdb"},
        {"-j", "0", "a.mdb", "b.mdb"},
        {"--json", "a.mdb"},
        {"--list", "-o", "x.mdb", "a.mdb"},
        {"--list", "--tables-only", "a.mdb"},
    };
    for (const auto& args : cases) {
        Command_Result r = Run_Repair(s, args);
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_NE(r.err.find("mdbrepair: "), std::string::npos) << shown;
    }
}

TEST(Repair_Command, HelpNamesEveryOption) {
    Scratch s;
    Command_Result r = Run_Repair(s, {"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word :
         {"--password", "--zolvak-db", "-o,--output", "--verbose", "--list", "--sample", "--json",
          "--rows", "-q,--quiet", "-j,--jobs", "--replace", "--tables-only", "--version",
          "MDBREPAIR_PASSWORD", "--check", "--report"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    EXPECT_EQ(r.err, "");
    // --help anywhere on the line wins over everything else on it.
    for (std::vector<std::string> args : {std::vector<std::string>{"a.mdb", "--help"},
                                          {"--list", "x.mdb", "-h"},
                                          {"--bogus", "--help"}}) {
        Command_Result h = Run_Repair(s, args);
        EXPECT_EQ(h.status, 0) << args[0];
        EXPECT_EQ(h.out, r.out) << args[0];
    }
    Command_Result v = Run_Repair(s, {"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "mdbrepair 1.0\n");
}

// After the completion lines, one line each: what was copied, the indexes
// made, the new file against the source, the sizes, the time; -q drops them.
TEST(Repair_Command, SummaryAfterTheCompletionLines) {
    Scratch s;
    std::string src = s.path("shop.mdb");
    Make_Awkward_Db(src, "pw");
    Command_Result r = Run_Repair(s, {"--password", "pw", src});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> tail = From_Completion(Split_Lines(r.out), 100);
    ASSERT_EQ(tail.size(), 9u) << r.out;
    EXPECT_EQ(tail[3], "新的数据库文件使用与原始数据库相同的密码");
    EXPECT_EQ(tail[4], "已复制 3 个表，共 8 行");
    EXPECT_EQ(tail[5], "已创建 3 个索引");
    EXPECT_EQ(tail[6], "新的数据库文件有 3 个表、8 行、3 个索引，原始数据库文件有 3 个表、8 行、3 个索引");
    EXPECT_TRUE(std::regex_match(tail[7], std::regex("文件大小 [0-9]+ KB -> [0-9]+ KB"))) << tail[7];
    EXPECT_TRUE(std::regex_match(tail[8], std::regex("用时 [0-9]+\\.[0-9] 秒"))) << tail[8];

    Command_Result q = Run_Repair(s, {"-q", "--password", "pw", src});
    EXPECT_EQ(q.status, 0);
    EXPECT_EQ(From_Completion(Split_Lines(q.out), 100),
              std::vector<std::string>(tail.begin(), tail.begin() + 4));
    // A run that stops at a step has no summary.
    Command_Result wrong = Run_Repair(s, {"--password", "x", src});
    EXPECT_EQ(wrong.out.find("已复制"), std::string::npos) << wrong.out;
}

// Several sources: each gets its own new file; one that fails does not stop
// the others; the lines of each source stay together, in the order given.
TEST(Repair_Command, SeveralSourcesOneAfterTheOtherOrAtOnce) {
    Scratch s;
    std::vector<std::string> sources;
    for (const char* n : {"a.mdb", "b.mdb", "c.mdb"}) {
        sources.push_back(s.path(n));
        Make_Awkward_Db(sources.back(), "");
    }
    std::vector<std::string> with_missing = sources;
    with_missing.insert(with_missing.begin() + 1, s.path("missing.mdb"));
    for (const char* jobs : {"1", "2", "3"}) {
        std::vector<std::string> args = {"-q", "-j", jobs};
        args.insert(args.end(), with_missing.begin(), with_missing.end());
        Command_Result r = Run_Repair(s, args);
        EXPECT_EQ(r.status, 1) << "-j " << jobs;
        std::vector<std::string> made;
        for (const std::string& l : Split_Lines(r.out))
            if (l.rfind("新的数据库文件为 ", 0) == 0) made.push_back(l.substr(l.find(' ') + 1));
        EXPECT_EQ(made, (std::vector<std::string>{sources[0] + ".new", sources[1] + ".new",
                                                  sources[2] + ".new"}))
            << "-j " << jobs << "\n" << r.out;
        EXPECT_NE(r.err.find("mdbrepair: cannot open " + s.path("missing.mdb")), std::string::npos)
            << r.err;
        for (const std::string& src : sources) {
            EXPECT_NO_THROW(jet::Database::open(src + ".new", "")) << src;
            fs::remove(src + ".new");
        }
        // The lines of one source are not split by another's.
        std::string out = r.out;
        std::size_t first = out.find("原始数据库文件为 " + sources[0]);
        std::size_t copy_b = out.find("正在复制对象", first);
        EXPECT_LT(first, copy_b);
    }
}

// --replace repairs in place, keeping the original as SOURCE.bak; a failed
// run leaves the source as it was and makes no backup.
TEST(Repair_Command, ReplaceKeepsTheOriginalOnlyOnSuccess) {
    Scratch s;
    std::string src = s.path("shop.mdb");
    Make_Awkward_Db(src, "pw");
    const std::string before = Read_File(src);

    Command_Result wrong = Run_Repair(s, {"--replace", "--password", "nope", src});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(Read_File(src), before);
    EXPECT_FALSE(fs::exists(src + ".bak"));

    Command_Result r = Run_Repair(s, {"--replace", "--password", "pw", src});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(From_Completion(Split_Lines(r.out), 3),
              (std::vector<std::string>{"修复完成", "原始数据库文件为 " + src + ".bak",
                                        "新的数据库文件为 " + src}));
    EXPECT_EQ(Read_File(src + ".bak"), before);
    EXPECT_NE(Read_File(src), before);
    auto db = jet::Database::open(src, "pw");
    EXPECT_NE(db->find_table("Order Details"), nullptr);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(s.dir()))
        if (!e.is_directory() && e.path().filename().string()[0] != '.')
            left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"shop.mdb", "shop.mdb.bak"}));
}

// --list on a terminal: a table for people; with --json, or into a pipe,
// the inventory as JSON; --zolvak-db opens the product's own databases.
TEST(Repair_Command, ListAsATableOrAsJson) {
    Scratch s;
    std::string src = s.path("shop.mdb");
    Make_Awkward_Db(src, ZOLVAK_DB_PASSWORD);
    Command_Result table = Run_On_Terminal(Mdbrepair(), {"--list", "--zolvak-db", src}, 80);
    EXPECT_EQ(table.status, 0);
    EXPECT_EQ(table.out, src + ": Jet4, 3 tables\n"
                               "TABLE          ROWS  INDEXES\n"
                               "Order Details     6  By Item, PrimaryKey\n"
                               "a%sb              1  -\n"
                               "Kunden            1  Id\n");
    Command_Result json = Run_On_Terminal(Mdbrepair(), {"--list", "--json", "--zolvak-db", src}, 80);
    EXPECT_EQ(json.out.rfind("{\"format\":\"Jet4\"", 0), 0u) << json.out;
    Command_Result piped = Run_Mdbrepair(s, {"--list", "--zolvak-db", src});
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, json.out);
}

TEST(Repair_Command, OutputIsExactlyTheLinesOfTheRun) {
    if (!Have_Fixtures()) GTEST_SKIP() << "fixture folder absent";
    Scratch s;
    std::string src = Copy_Fixture(s, "jet4-nopassword.mdb");
    Command_Result r = Run_Repair(s, {src});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = Split_Lines(r.out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("正在复制对象 Table1", 0), 0u) << lines[0];
    EXPECT_EQ(From_Completion(lines, 3),
              (std::vector<std::string>{"修复完成", "原始数据库文件为 " + src,
                                        "新的数据库文件为 " + src + ".new"}));
    EXPECT_EQ(r.out.find("dbconnect"), std::string::npos);
    EXPECT_NO_THROW(jet::Database::open(src + ".new", ""));

    // With --verbose the same lines, and the diagnostics on standard error.
    Command_Result v = Run_Repair(s, {"--verbose", src});
    EXPECT_EQ(v.status, 0);
    auto without_time = [](const std::string& out) {
        std::string kept;
        for (const std::string& l : Split_Lines(out))
            if (l.rfind("用时 ", 0) != 0) kept += l + "\n";
        return kept;
    };
    EXPECT_EQ(without_time(v.out), without_time(r.out));
    EXPECT_NE(v.err.find("dbconnect "), std::string::npos) << v.err;
}

TEST(Repair_Command, PasswordsAndTheirFailures) {
    if (!Have_Fixtures()) GTEST_SKIP() << "fixture folder absent";
    Scratch s;
    std::string src = Copy_Fixture(s, "jet4-password.mdb");
    std::string target = s.path("out.mdb");

    Command_Result wrong = Run_Repair(s, {"--zolvak-db", "--output", target, src});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.out, "无法连接到数据库" + src + "，请检查文件名及密码\n");
    EXPECT_NE(wrong.err.find("连接数据库出错: "), std::string::npos) << "the message box as a line";
    EXPECT_NO_THROW(jet::Database::open(target, ZOLVAK_DB_PASSWORD))
        << "--zolvak-db gives the fixed password";

    Command_Result right = Run_Repair(s, {"--password=password", "--output=" + target, src});
    EXPECT_EQ(right.status, 0) << right.out;
    EXPECT_NO_THROW(jet::Database::open(target, "password"));
}

// The password never needs to appear on the command line, and the
// diagnostics never show it.
TEST(Repair_Command, PasswordFromStandardInputOrTheEnvironment) {
    Scratch s;
    std::string src = s.path("locked.mdb");
    Make_Awkward_Db(src, "secret");
    struct Case {
        const char* what;
        std::vector<std::string> args;
        Command_Input input;
        int status;
    } cases[] = {
        {"one line on stdin", {"--password", "-"}, {"secret\nrest\n", {}}, 0},
        {"stdin without a line end", {"--password", "-"}, {"secret", {}}, 0},
        {"stdin with CR LF", {"--password", "-"}, {"secret\r\n", {}}, 0},
        {"environment", {}, {"", {"MDBREPAIR_PASSWORD=secret"}}, 0},
        {"option before environment", {"--password", "secret"},
         {"", {"MDBREPAIR_PASSWORD=wrong"}}, 0},
        {"wrong line on stdin", {"--password", "-"}, {"wrong\n", {}}, 1},
        {"empty stdin", {"--password", "-"}, {"", {}}, 2},
    };
    for (const Case& k : cases) {
        std::vector<std::string> args = k.args;
        args.insert(args.end(), {"--verbose", "--output", s.path("out.mdb"), src});
        Command_Result r = Run_Repair(s, args, k.input);
        EXPECT_EQ(r.status, k.status) << k.what << "\n" << r.out << r.err;
        EXPECT_EQ(r.err.find("secret"), std::string::npos) << k.what << ": " << r.err;
        if (k.status == 0) {
            EXPECT_NE(r.err.find("Database Password=***;"), std::string::npos) << k.what;
            EXPECT_NE(r.out.find("新的数据库文件使用与原始数据库相同的密码\n"), std::string::npos)
                << k.what;
            EXPECT_NO_THROW(jet::Database::open(s.path("out.mdb"), "secret")) << k.what;
        }
    }
    // --list reads the password the same ways.
    Command_Result list = Run_Mdbrepair(s, {"--list", src}, {"", {"MDBREPAIR_PASSWORD=secret"}});
    EXPECT_EQ(list.status, 0) << list.err;
    list = Run_Mdbrepair(s, {"--list", "--password", "-", src}, {"secret\n", {}});
    EXPECT_EQ(list.status, 0) << list.err;
}

// A failure the log reports with one line also says why on standard error.
TEST(Repair_Command, FailuresSayWhyOnStandardError) {
    Scratch s;
    std::string src = s.path("locked.mdb");
    Make_Awkward_Db(src, "secret");
    fs::create_directories(s.path("folder.mdb"));
    fs::create_directories(s.path("folder.mdb.new/inside"));
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string line;    // the log
        std::string reason;  // standard error
    } cases[] = {
        {"missing folder",
         {"--password", "secret", "--output", s.path("no/such/y.mdb"), src},
         "创建目标数据库(" + s.path("no/such/y.mdb") + ")出错了\n",
         "mdbrepair: cannot create " + s.path("no/such/y.mdb") + ": No such file or directory\n"},
        {"a folder in the way",
         {s.path("folder.mdb")},
         "创建目标数据库(" + s.path("folder.mdb.new") + ")出错了\n",
         "mdbrepair: cannot create " + s.path("folder.mdb.new") + ": Is a directory\n"},
        {"password longer than Jet allows",
         {"--password", "abcdefghijklmnopqrstuvwxyz", "--output", s.path("p.mdb"), s.path("none.mdb")},
         "创建目标数据库(" + s.path("p.mdb") + ")出错了\n",
         "mdbrepair: cannot create " + s.path("p.mdb") +
             ": The database password is longer than 20 characters.\n"},
        {"wrong password",
         {"--password", "wrong", "--output", s.path("w.mdb"), src},
         "无法连接到数据库" + src + "，请检查文件名及密码\n",
         "mdbrepair: cannot open " + src + ": Not a valid password.\n"},
    };
    for (const Case& k : cases) {
        Command_Result r = Run_Repair(s, k.args);
        EXPECT_EQ(r.status, 1) << k.what;
        EXPECT_EQ(r.out, k.line) << k.what;
        // The connection's message box comes first as its own line.
        EXPECT_TRUE(r.err.ends_with(k.reason)) << k.what << ": " << r.err;
    }
    if (geteuid() != 0) {  // root writes into any folder
        fs::create_directories(s.path("ro"));
        fs::permissions(s.path("ro"), fs::perms::owner_read | fs::perms::owner_exec);
        Command_Result r = Run_Repair(s, {"--password", "secret", "--output", s.path("ro/x.mdb"), src});
        EXPECT_EQ(r.err, "mdbrepair: cannot create " + s.path("ro/x.mdb") + ": Permission denied\n");
    }
}

TEST(Repair_Command, RefusesTheSourceAsTargetAndKeepsPerCentSigns) {
    Scratch s;
    std::string src = s.path("awkward.mdb");
    Make_Awkward_Db(src, "");
    std::string before = Read_File(src);
    Command_Result same = Run_Repair(s, {"--output", src, src});
    EXPECT_EQ(same.status, 1);
    EXPECT_EQ(same.out, "新的数据库文件" + src + "就是原始数据库文件，请另选保存数据库文件\n");
    EXPECT_EQ(Read_File(src), before);

    Command_Result r = Run_Repair(s, {"--", src});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("正在复制对象 a%sb\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("正在创建约束 PrimaryKey\n"), std::string::npos) << r.out;
    EXPECT_EQ(Read_File(src), before);
}

// Columns of a text on a terminal, for the texts of these tests: ASCII takes
// one, the Chinese characters (three bytes in UTF-8) two.
std::size_t Columns_Of(const std::string& text) {
    std::size_t n = 0;
    for (unsigned char c : text) {
        if (c < 0x80) ++n;
        else if (c >= 0xE0 && c < 0xF0) n += 2;
    }
    return n;
}

// The bar on a terminal: rows within the table being copied, the index
// phase, 100 % at the end, and never a line wider than the terminal (a
// wrapped line cannot be redrawn in place).
TEST(Repair_Command, ProgressBarFitsTheTerminalAndEndsAtOneHundred) {
    Scratch s;
    std::string src = s.path("shop.mdb");
    ASSERT_EQ(Run_Mdbrepair(s, {"--sample", src}).status, 0);  // Orders: 5000 rows
    for (int columns : {45, 120}) {
        fs::remove(src + ".new");
        Command_Result r = Run_On_Terminal(Mdbrepair(), {src}, columns);
        EXPECT_EQ(r.status, 0) << columns;
        // Each state of the bar starts after a carriage return.
        std::vector<std::string> bars;
        std::size_t at = 0;
        while ((at = r.out.find("\r[", at)) != std::string::npos) {
            std::size_t end = r.out.find_first_of("\r\n", at + 1);
            std::string bar = r.out.substr(at + 1, end - at - 1);
            if (bar.ends_with("\033[K")) bar.resize(bar.size() - 3);
            bars.push_back(bar);
            at = end;
        }
        ASSERT_FALSE(bars.empty()) << r.out;
        int last_percent = -1;
        bool within_table = false, indexes = false, in_indexes = false;
        for (const std::string& b : bars) {
            EXPECT_LT(Columns_Of(b), static_cast<std::size_t>(columns)) << columns << ": " << b;
            within_table |= b.find("rows 2048/5000  Orders") != std::string::npos;
            indexes |= b.find("indexes 1/11") != std::string::npos;
            std::size_t pct = b.find('%');
            ASSERT_NE(pct, std::string::npos) << b;
            int percent = std::stoi(b.substr(pct - 3, 3));
            // Each phase counts up on its own: rows, then indexes.
            bool index_phase = b.find("] ") != std::string::npos && b.find(" indexes ") != std::string::npos;
            if (index_phase && !in_indexes) last_percent = -1;
            in_indexes |= index_phase;
            EXPECT_GE(percent, last_percent) << b;
            last_percent = percent;
        }
        EXPECT_TRUE(within_table) << columns;
        EXPECT_TRUE(indexes) << columns;
        EXPECT_NE(bars.back().find("] 100% 10021 rows, 11 indexes"), std::string::npos)
            << bars.back();
        // The finished bar stays on its own line above the completion lines.
        EXPECT_NE(r.out.find("100% 10021 rows, 11 indexes\033[K\n修复完成\n"), std::string::npos);
    }
    // Without a terminal there is no bar at all, and -q shows none on one.
    fs::remove(src + ".new");
    Command_Result r = Run_Repair(s, {src});
    EXPECT_EQ(r.err, "");
    Command_Result q = Run_On_Terminal(Mdbrepair(), {"-q", src}, 80);
    EXPECT_EQ(q.out.find("\r["), std::string::npos);
}

TEST(Repair_Command, LongChinesePathsRepairAndAPathBeyondTheSystemsIsRefused) {
    Scratch s;
    std::string src = Long_Chinese_Path(s, 300);
    Make_Awkward_Db(src, "");
    Command_Result r = Run_Mdbrepair(s, {src});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> lines = Split_Lines(r.out);
    ASSERT_GE(lines.size(), 3u) << r.out;
    EXPECT_EQ(From_Completion(lines, 3),
              (std::vector<std::string>{"修复完成", "原始数据库文件为 " + src,
                                        "新的数据库文件为 " + src + ".new"}));
    EXPECT_EQ(User_Tables(src + ".new"), User_Tables(src));
    // The file store beside it: the name up to its first dot, "_file".
    EXPECT_TRUE(fs::is_directory(src.substr(0, src.size() - 4) + "_file"));

    // One byte more than the system takes, as source and as target.
    std::string beyond = s.path("");
    beyond += std::string(REPAIR_PATH_SIZE - beyond.size(), 'p');
    std::string keep = s.path("keep.mdb");
    Write_File(keep, "x");
    r = Run_Mdbrepair(s, {"--output", keep, beyond});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(REPAIR_MSG_SOURCE_TOO_LONG) + "\n");
    r = Run_Mdbrepair(s, {"--output", beyond, src});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(REPAIR_MSG_TARGET_TOO_LONG) + "\n");
    EXPECT_EQ(Read_File(keep), "x");
}

}  // namespace
