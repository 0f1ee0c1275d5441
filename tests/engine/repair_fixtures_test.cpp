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
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/run/repair_run.h"
#include "connect/provider/connection.h"
#include "jet/base/error.h"
#include "jet/index/check.h"
#include "jet/sql/eval.h"
#include "jet/table/complex.h"
#include "jet/table/database.h"
#include "jet/write/encode_file.h"
#include "repair_support.h"

using namespace repair_test;

namespace {

bool Is_Ace(const std::string& fixture) { return fixture.ends_with(".accdb"); }

// The two Office-encrypted ACE fixtures (agile and RC4 CryptoAPI); mdbtools
// reads neither.
bool Is_Encrypted(const std::string& fixture) { return fixture.ends_with("-password.accdb"); }

std::string Fixture_Password(const std::string& fixture) {
    return fixture == "jet4-password.mdb" || Is_Encrypted(fixture) ? "password" : "";
}

// Every row of every user table as our reader gives it, one text per row,
// sorted (the copy may place rows in another order): the comparison that
// also covers what mdbtools cannot read (encrypted files, calculated
// columns' results, Large Number, Date/Time Extended).
// With `flat_tables`, the hidden flat tables of complex columns come too
// (their rows hold the attachments' stored bytes).
std::map<std::string, std::vector<std::string>> Our_Rows(const std::string& file,
                                                         const std::string& password,
                                                         bool flat_tables = false) {
    std::map<std::string, std::vector<std::string>> out;
    auto db = jet::Database::open(file, password);
    std::set<std::string> flat;
    if (flat_tables) {
        for (const jet::ComplexColumnInfo& c : jet::complex_columns(*db)) flat.insert(c.flat_table);
    }
    for (const jet::TableInfo& t : db->tables()) {
        if (!t.local() || (t.kind != jet::TableKind::kTable && !flat.count(t.name))) continue;
        jet::TableDef def = db->table_def(*t.entry);
        auto& rows = out[t.name];
        db->scan(def, [&](const jet::RowId&, const jet::Row& row) {
            std::string line;
            for (std::size_t k = 0; k < row.size(); ++k) {
                line += def.columns[k].name + "=" + jet::sql::value_text(row[k]) + "|";
            }
            rows.push_back(line);
            return true;
        });
        std::sort(rows.begin(), rows.end());
    }
    return out;
}

// The values of every complex column (user and system tables alike), by
// table, column and complex value id: attachments with name, type, flags,
// time stamp and the decoded bytes, multi-value and version-history rows
// with their template columns.
std::map<std::string, std::vector<std::string>> Our_Complex_Values(const std::string& file,
                                                                   const std::string& password) {
    std::map<std::string, std::vector<std::string>> out;
    auto db = jet::Database::open(file, password);
    for (const jet::ComplexColumnInfo& c : jet::complex_columns(*db)) {
        jet::TableDef def = db->table_def(c.table);
        std::size_t at = def.columns.size();
        for (std::size_t k = 0; k < def.columns.size(); ++k) {
            if (def.columns[k].name == c.column) at = k;
        }
        if (at == def.columns.size()) {
            out[c.table + "." + c.column].push_back("column missing");
            continue;
        }
        db->scan(def, [&](const jet::RowId&, const jet::Row& row) {
            const auto* id = std::get_if<std::int32_t>(&row[at]);
            if (id == nullptr) return true;
            auto& values = out[c.table + "." + c.column + "#" + std::to_string(*id)];
            if (c.kind == jet::ComplexKind::kAttachment) {
                for (const jet::Attachment& a : jet::read_attachments(*db, c, *id)) {
                    values.push_back(a.name + "|" + a.type + "|" + std::to_string(a.flags) + "|" +
                                     (a.time_stamp ? jet::datetime_text(*a.time_stamp) : "") + "|" +
                                     a.url + "|" + std::string(a.data.begin(), a.data.end()));
                }
            } else {
                for (const jet::Row& v : jet::read_complex_values(*db, c, *id)) {
                    std::string line;
                    for (const jet::Value& x : v) line += jet::sql::value_text(x) + "|";
                    values.push_back(line);
                }
            }
            return true;
        });
    }
    return out;
}

// What an ACE target must keep of its source besides the rows: the version
// byte and the sort order, the complex values; an encrypted source gives a
// target encrypted with the same password; the target passes the check.
void Expect_Ace_Target(const std::string& fixture, const std::string& src,
                       const std::string& target, const std::string& password) {
    auto sdb = jet::Database::open(src, password);
    auto tdb = jet::Database::open(target, password);
    EXPECT_EQ(tdb->header().version, sdb->header().version);
    EXPECT_EQ(tdb->header().sort_order, sdb->header().sort_order);
    EXPECT_EQ(tdb->header().sort_order_version, sdb->header().sort_order_version);
    EXPECT_EQ(Our_Rows(target, password, true), Our_Rows(src, password, true));
    // MSysComplexColumns names the same tables by their new ids.
    auto complex_map = [&](jet::Database& db) {
        std::vector<std::string> out;
        for (const jet::ComplexColumnInfo& c : jet::complex_columns(db)) {
            out.push_back(c.table + "." + c.column + " #" + std::to_string(c.complex_id) + " " +
                          c.type_table + " " + c.flat_table);
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    EXPECT_EQ(complex_map(*tdb), complex_map(*sdb));
    // Every object of the catalog, ACE's own tables among them, with its
    // type and flags (the ids are the new file's).
    auto objects = [](jet::Database& db) {
        std::vector<std::string> out;
        for (const jet::CatalogEntry& e : db.catalog()) {
            out.push_back(e.name + " type " + std::to_string(e.type) + " flags " + std::to_string(e.flags));
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    EXPECT_EQ(objects(*tdb), objects(*sdb));
    EXPECT_EQ(Our_Complex_Values(target, password), Our_Complex_Values(src, password));
    std::vector<std::string> problems;
    jet::check_database(target, password, [&](const jet::CheckProblem& p) {
        problems.push_back(p.table + ": " + p.text);
    });
    EXPECT_EQ(problems, std::vector<std::string>{}) << fixture;
    if (Is_Encrypted(fixture)) {
        EXPECT_NE(tdb->header().database_key, 0u) << "the target is not encrypted";
        try {
            jet::Database::open(target, "wrong");
            ADD_FAILURE() << "the target opens with a wrong password";
        } catch (const jet::Error& e) {
            EXPECT_EQ(std::string(e.what()), jet::kBadPasswordMessage);
        }
        // mdb-reader opens it with the password only.
        const std::string open_check =
            "node " + Quote(std::string(ZOLVAK_SOURCE_DIR) + "/tests/readers/open_check.mjs") + " " +
            Quote(target) + " ";
        int status = -1;
        std::string out = Shell_Output(open_check + Quote(password) + " 2>&1", &status);
        EXPECT_EQ(status, 0) << out;
        out = Shell_Output(open_check + "wrong 2>&1", &status);
        EXPECT_NE(status, 0) << out;
        // No page of the target reads as plain: the catalog's definition
        // page would start with its page type.
        EXPECT_NE(Read_File(target).substr(2 * 4096, 2), std::string("\x02\x01", 2));
    }
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
    const std::string password = Fixture_Password(fixture);
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

    if (Is_Ace(fixture)) Expect_Ace_Target(fixture, src, target, password);

    for (const std::string& table : sv.tables) {
        if (Is_Encrypted(fixture)) break;  // mdbtools reads no encrypted ACE file
        const std::set<std::string> skip =
            Is_Ace(fixture) ? Calculated_Long_Columns(src, password, table) : std::set<std::string>{};
        std::string from = Without_Columns(Export(src, table), skip);
        std::string to = Without_Columns(Export(target, table), skip);
        // No byte of a text is lost on the way (a Jet 3 byte its code page
        // leaves unassigned included).
        if (from.find("\xEF\xBF\xBD") == std::string::npos) {
            EXPECT_EQ(to.find("\xEF\xBF\xBD"), std::string::npos) << "U+FFFD in table " << table;
        }
        if (from == to) continue;
        EXPECT_EQ(Normalised(to), Normalised(from)) << "table " << table;
        std::printf("note: %s table %s exports the same rows up to order / C1 controls for '?'\n",
                    fixture.c_str(), table.c_str());
    }

    std::string skips;
    if (Is_Ace(fixture)) {
        for (const std::string& table : sv.tables) {
            for (const std::string& c : Calculated_Long_Columns(src, password, table)) {
                skips += " --skip " + Quote(table + "." + c);
            }
        }
    }
    int status = -1;
    std::string cmp = Shell_Output(
        "node " + Quote(std::string(ZOLVAK_SOURCE_DIR) + "/tests/readers/repair_compare.mjs") +
            " " + Quote(src) + " " + Quote(target) +
            (password.empty() ? "" : " " + Quote(password)) + skips + " 2>&1",
        &status);
    EXPECT_EQ(status, 0) << cmp;
}

std::vector<std::string> All_Fixtures() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(Fixtures(), ec)) {
        const auto ext = e.path().extension();
        if (ext == ".mdb" || ext == ".accdb") names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    if (names.empty()) names.push_back("none");
    return names;
}

std::string Fixture_Test_Name(const ::testing::TestParamInfo<std::string>& info) {
    std::string n;
    for (char ch : info.param) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(All, Fixture_Repair, ::testing::ValuesIn(All_Fixtures()), Fixture_Test_Name);

}  // namespace

// A source whose pages are RC4-encoded ("Encrypt Database") repairs like the
// plain file, and the new file is encoded with the same key (and keeps the
// source's password). The sources are fixtures encoded page by page.
TEST(Encoded_Repair, EncodedSourceGivesEncodedTarget) {
    if (!Have_Fixtures()) GTEST_SKIP() << "fixture folder absent";
    constexpr std::uint32_t kKey = 0x2468ACE1;
    for (const std::string fixture : {"jet4-types.mdb", "jet4-password.mdb", "jet3-indexcodes.mdb"}) {
        SCOPED_TRACE(fixture);
        const std::string password = Fixture_Password(fixture);
        Scratch s;
        const std::string src = Copy_Fixture(s, fixture);
        jet::set_database_key(src, kKey);
        const std::string target = src + ".new";
        Collecting c;
        std::string log;
        const int result = Repair_Mdb(src.c_str(), password.c_str(), target.c_str());
        for (const auto& l : Lines()) log += l + "\n";
        ASSERT_EQ(result, 1) << log;

        auto db = jet::Database::open(target, password);
        EXPECT_EQ(db->header().database_key, kKey);
        EXPECT_EQ(db->header().password, jet::Database::open(src, password)->header().password);
        // Encoded on disk: taking the key off changes the table pages.
        const std::string plain = target + ".plain";
        fs::copy_file(target, plain);
        jet::set_database_key(plain, 0);
        EXPECT_NE(Read_File(plain).substr(2 * 4096, 4096), Read_File(target).substr(2 * 4096, 4096));

        std::size_t tables = 0;
        for (const jet::TableInfo& t : jet::Database::open(src, password)->tables()) {
            if (t.kind != jet::TableKind::kTable) continue;
            EXPECT_EQ(Normalised(Export(target, t.name)), Normalised(Export(src, t.name))) << t.name;
            ++tables;
        }
        EXPECT_GT(tables, 0u);
        int status = -1;
        std::string cmp = Shell_Output(
            "node " + Quote(std::string(ZOLVAK_SOURCE_DIR) + "/tests/readers/repair_compare.mjs") + " " +
                Quote(src) + " " + Quote(target) + (password.empty() ? "" : " " + Quote(password)) +
                " 2>&1",
            &status);
        EXPECT_EQ(status, 0) << cmp;
    }
}

// A run of the tables alone still carries an ACE source's complex values:
// they are data kept in tables of their own, not design.
TEST(Ace_Tables_Only, ComplexValuesComeAlong) {
    const std::string fixture = "ace12-complex.accdb";
    if (!fs::exists(Fixtures() + "/" + fixture)) GTEST_SKIP() << fixture << " absent";
    Scratch s;
    const std::string src = Copy_Fixture(s, fixture);
    const std::string target = src + ".new";
    Repair_Set_Tables_Only(true);
    Collecting c;
    const int result = Repair_Mdb(src.c_str(), "", target.c_str());
    Repair_Set_Tables_Only(false);
    std::string log;
    for (const auto& l : Lines()) log += l + "\n";
    ASSERT_EQ(result, 1) << log;
    EXPECT_EQ(log.find("正在恢复窗体"), std::string::npos) << "the objects step ran\n" << log;
    const auto values = Our_Complex_Values(target, "");
    EXPECT_EQ(values, Our_Complex_Values(src, ""));
    EXPECT_FALSE(values.empty());
}

// An ACE source sorted in another language's order (here Chinese PRC,
// 2052, written into a copy's header) gives an ACE target sorted in the
// General order, whose text keys the engine writes, with every row.
TEST(Ace_Sort_Order, AnotherLanguagesOrderGivesAGeneralSortedTarget) {
    const std::string fixture = "ace12-types.accdb";
    if (!fs::exists(Fixtures() + "/" + fixture)) GTEST_SKIP() << fixture << " absent";
    Scratch s;
    const std::string src = Copy_Fixture(s, fixture);
    {
        std::fstream f(src, std::ios::binary | std::ios::in | std::ios::out);
        std::vector<std::uint8_t> header(jet::kJet4PageSize);
        f.read(reinterpret_cast<char*>(header.data()), static_cast<std::streamsize>(header.size()));
        const jet::FormatInfo& fmt = jet::format_info(jet::Format::Jet4);
        std::span<std::uint8_t> masked(header.data() + jet::kHeaderMaskedOffset, fmt.header_masked_length);
        jet::rc4_apply(jet::kHeaderRc4Key, masked);
        header[fmt.header_sort_order_offset] = 2052 & 0xFF;
        header[fmt.header_sort_order_offset + 1] = 2052 >> 8;
        jet::rc4_apply(jet::kHeaderRc4Key, masked);
        f.seekp(0);
        f.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    }
    ASSERT_EQ(jet::Database::open(src, "")->header().sort_order, 2052u);
    const std::string target = src + ".new";
    Collecting c;
    const int result = Repair_Mdb(src.c_str(), "", target.c_str());
    std::string log;
    for (const auto& l : Lines()) log += l + "\n";
    ASSERT_EQ(result, 1) << log;
    auto from = jet::Database::open(src, "");
    auto to = jet::Database::open(target, "");
    EXPECT_EQ(to->header().version, from->header().version);
    EXPECT_EQ(to->header().sort_order, 1033u);
    for (const auto& t : from->tables()) {
        if (!t.entry || t.kind != jet::TableKind::kTable) continue;
        EXPECT_EQ(to->read_all(to->table_def(t.entry->name)).size(),
                  from->read_all(from->table_def(*t.entry)).size())
            << t.entry->name;
    }
    std::vector<std::string> problems;
    jet::check_database(target, "", [&](const jet::CheckProblem& p) { problems.push_back(p.text); });
    EXPECT_TRUE(problems.empty()) << problems.front();
}
