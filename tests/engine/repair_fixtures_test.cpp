// Every fixture repaired: the log ends with the completion lines, every user
// table exports the same with mdb-export from the target as from the source,
// the target has the source's indexes, mdb-reader reads the target and finds
// the same rows, and the source's bytes and times are unchanged.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/run/repair_run.h"
#include "connect/provider/connection.h"
#include "repair_support.h"

using namespace repair_test;

namespace {

std::string Password_Of(const std::string& fixture) {
    return fixture == "jet4-password.mdb" ? "password" : "";
}

struct Index_Info {
    std::vector<std::string> columns;
    bool unique = false;
    bool operator==(const Index_Info&) const = default;
};

// User tables and, per (table, index), the columns in order and uniqueness,
// as the provider lists them.
struct Catalog_View {
    std::vector<std::string> tables;
    std::map<std::pair<std::string, std::string>, Index_Info> indexes;
};

Catalog_View Read_Catalog(const std::string& file, const std::string& password) {
    provider::Connection conn;
    conn.open("Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=" + password +
              ";Data Source=" + file);
    Catalog_View v;
    std::set<std::string> user;
    provider::Recordset t = conn.open_schema(provider::Schema::kTables);
    for (; !t.eof(); t.move_next()) {
        if (t.text("TABLE_TYPE") == "TABLE") {
            v.tables.push_back(t.text("TABLE_NAME"));
            user.insert(t.text("TABLE_NAME"));
        }
    }
    // The columns of an index stand in ORDINAL_POSITION order.
    std::map<std::pair<std::string, std::string>, std::map<int, std::string>> cols;
    provider::Recordset ix = conn.open_schema(provider::Schema::kIndexes);
    for (; !ix.eof(); ix.move_next()) {
        std::string table = ix.text("TABLE_NAME");
        if (!user.count(table)) continue;
        auto key = std::make_pair(table, ix.text("INDEX_NAME"));
        cols[key][std::stoi(ix.text("ORDINAL_POSITION"))] = ix.text("COLUMN_NAME");
        Index_Info& info = v.indexes[key];
        info.unique =
            info.unique || ix.text("UNIQUE") == "True" || ix.text("PRIMARY_KEY") == "True";
    }
    for (auto& [key, by_pos] : cols) {
        for (auto& [pos, name] : by_pos) v.indexes[key].columns.push_back(name);
    }
    conn.close();
    return v;
}

class Fixture_Repair : public ::testing::TestWithParam<std::string> {};

TEST_P(Fixture_Repair, TargetHoldsWhatTheSourceHolds) {
    if (!Have_Fixtures()) GTEST_SKIP() << "fixture folder absent";
    const std::string fixture = GetParam();
    const std::string password = Password_Of(fixture);
    Scratch s;
    std::string src = Copy_Fixture(s, fixture);
    std::string target = src + ".new";
    std::string before = Read_File(src);
    struct stat st0 {};
    ASSERT_EQ(stat(src.c_str(), &st0), 0);

    auto start = std::chrono::steady_clock::now();
    Collecting c;
    int result = Repair_Mdb(src.c_str(), password.c_str(), target.c_str());
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string log;
    for (const auto& l : Lines()) log += l + "\n";
    RecordProperty("seconds", std::to_string(seconds));
    EXPECT_EQ(result, 1) << log;
    EXPECT_EQ(From_Completion(Lines(), 3), (std::vector<std::string>{"修复完成", "原始数据库文件为 " + src,
                                              "新的数据库文件为 " + target}));

    // REPAIR_KEEP_DIR keeps the repaired files for a look with other tools.
    if (const char* keep = std::getenv("REPAIR_KEEP_DIR")) {
        std::error_code ec;
        fs::copy_file(target, std::string(keep) + "/" + fixture + ".new",
                      fs::copy_options::overwrite_existing, ec);
    }

    // The source is never written.
    EXPECT_EQ(Read_File(src), before);
    struct stat st1 {};
    ASSERT_EQ(stat(src.c_str(), &st1), 0);
    EXPECT_EQ(st0.st_mtim.tv_sec, st1.st_mtim.tv_sec);
    EXPECT_EQ(st0.st_mtim.tv_nsec, st1.st_mtim.tv_nsec);

    Catalog_View sv = Read_Catalog(src, password);
    Catalog_View tv = Read_Catalog(target, password);
    EXPECT_EQ(std::set<std::string>(sv.tables.begin(), sv.tables.end()),
              std::set<std::string>(tv.tables.begin(), tv.tables.end()));
    for (const auto& [key, info] : sv.indexes) {
        auto it = tv.indexes.find(key);
        if (it == tv.indexes.end()) {
            ADD_FAILURE() << "index " << key.second << " of " << key.first << " is missing";
            continue;
        }
        EXPECT_EQ(it->second.columns, info.columns) << key.first << "." << key.second;
        EXPECT_EQ(it->second.unique, info.unique) << key.first << "." << key.second;
    }
    EXPECT_EQ(tv.indexes.size(), sv.indexes.size());

    for (const std::string& table : sv.tables) {
        std::string from = Export(src, table);
        std::string to = Export(target, table);
        if (from == to) continue;
        EXPECT_EQ(Normalised(to), Normalised(from)) << "table " << table;
        std::printf("note: %s table %s exports the same rows up to order / U+FFFD for '?'\n",
                    fixture.c_str(), table.c_str());
    }

    int status = -1;
    std::string cmp = Shell_Output(
        "node " + Quote(std::string(ZOLVAK_SOURCE_DIR) + "/tests/readers/repair_compare.mjs") +
            " " + Quote(src) + " " + Quote(target) +
            (password.empty() ? "" : " " + Quote(password)) + " 2>&1",
        &status);
    EXPECT_EQ(status, 0) << cmp;
}

std::vector<std::string> All_Fixtures() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(Fixtures(), ec)) {
        if (e.path().extension() == ".mdb") names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    if (names.empty()) names.push_back("none");
    return names;
}

std::string Test_Name(const ::testing::TestParamInfo<std::string>& info) {
    std::string n;
    for (char ch : info.param) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(All, Fixture_Repair, ::testing::ValuesIn(All_Fixtures()), Test_Name);

}  // namespace
