// Files changed through SQL are read identically by mdbtools (mdb-export),
// mdb-reader (tests/readers/sql_dump.mjs) and this engine's reader.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fixture_support.h"
#include "jet/write/create_database.h"
#include "jet/base/error.h"
#include "jet/sql/connection.h"
#include "jet/sql/eval.h"
#include "scratch_dir.h"
#include "test_json.h"

namespace fs = std::filesystem;

namespace {

class ReadersDir : public zolvak_test::ScratchDir {
public:
    ReadersDir() : ScratchDir("zolvak-readers") {}
};

bool have(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// One cell in a form all three readers can be brought to.
std::string number_cell(double d) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.10g", d);
    return buf;
}

std::string cell(const jet::Value& v) {
    if (jet::is_null(v)) return "NULL";
    if (auto b = std::get_if<bool>(&v)) return *b ? "true" : "false";
    if (auto d = std::get_if<jet::DateTime>(&v)) return jet::datetime_text(*d);
    if (auto s = std::get_if<std::string>(&v)) return *s;
    if (auto c = std::get_if<jet::Currency>(&v)) return number_cell(static_cast<double>(c->scaled) / 10000);
    if (auto f = std::get_if<float>(&v)) return number_cell(*f);
    if (auto d = std::get_if<double>(&v)) return number_cell(*d);
    return number_cell(std::strtod(jet::sql::value_text(v).c_str(), nullptr));
}

using Table = std::vector<std::vector<std::string>>;  // rows of cells, header first

std::map<std::string, Table> ours(const std::string& path) {
    std::map<std::string, Table> out;
    auto db = jet::Database::open(path);
    for (const auto& t : db->tables()) {
        if (t.kind != jet::TableKind::kTable) continue;
        jet::TableDef def = db->table_def(t.name);
        Table& tab = out[t.name];
        tab.emplace_back();
        for (const auto& c : def.columns) tab.back().push_back(c.name);
        for (const auto& r : db->read_all(def)) {
            tab.emplace_back();
            for (const auto& v : r) tab.back().push_back(cell(v));
        }
    }
    return out;
}

std::map<std::string, Table> from_mdb_reader(const std::string& path) {
    std::string script = std::string(ZOLVAK_SOURCE_DIR) + "/tests/readers/sql_dump.mjs";
    auto r = fixtures::run("node " + fixtures::sh_quote(script) + " " + fixtures::sh_quote(path));
    EXPECT_EQ(r.status, 0) << r.out;
    std::map<std::string, Table> out;
    std::size_t start = 0;
    while (start < r.out.size()) {
        std::size_t end = r.out.find('\n', start);
        if (end == std::string::npos) end = r.out.size();
        testjson::Value line = testjson::parse(r.out.substr(start, end - start));
        start = end + 1;
        Table& tab = out[line["table"].text];
        tab.emplace_back();
        for (const auto& c : line["columns"].items) tab.back().push_back(c.text);
        for (const auto& row : line["rows"].items) {
            tab.emplace_back();
            for (const auto& v : row.items) {
                using K = testjson::Value::Kind;
                if (v.kind == K::Null) tab.back().push_back("NULL");
                else if (v.kind == K::Bool) tab.back().push_back(v.b ? "true" : "false");
                else if (v.kind == K::Number) tab.back().push_back(number_cell(v.number));
                else tab.back().push_back(v.text);
            }
        }
    }
    return out;
}

// mdb-export with tab-separated, unquoted cells; the types tell how to read them.
Table from_mdb_export(const std::string& path, const std::string& table,
                      const std::vector<jet::ColumnType>& types) {
    auto r = fixtures::run("mdb-export -e -d '\t' -Q -0 NULL -B -D '%Y-%m-%d %H:%M:%S' "
                           "-T '%Y-%m-%d %H:%M:%S' " +
                           fixtures::sh_quote(path) + " " + fixtures::sh_quote(table));
    EXPECT_EQ(r.status, 0);
    Table out;
    std::size_t start = 0;
    while (start < r.out.size()) {
        std::size_t end = r.out.find('\n', start);
        if (end == std::string::npos) end = r.out.size();
        std::string line = r.out.substr(start, end - start);
        start = end + 1;
        std::vector<std::string> cells;
        std::size_t a = 0;
        while (true) {
            std::size_t b = line.find('\t', a);
            cells.push_back(line.substr(a, b == std::string::npos ? std::string::npos : b - a));
            if (b == std::string::npos) break;
            a = b + 1;
        }
        for (std::string& c : cells) {
            // -e wrote tabs, line ends and backslashes as C escapes.
            std::string plain;
            for (std::size_t k = 0; k < c.size(); ++k) {
                if (c[k] == '\\' && k + 1 < c.size()) {
                    char n = c[++k];
                    plain += n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n;
                } else {
                    plain += c[k];
                }
            }
            c = plain;
        }
        if (!out.empty()) {
            for (std::size_t i = 0; i < cells.size() && i < types.size(); ++i) {
                std::string& c = cells[i];
                if (c == "NULL") continue;
                switch (types[i]) {
                    case jet::ColumnType::kBoolean: c = (c == "TRUE" || c == "1") ? "true" : "false"; break;
                    case jet::ColumnType::kText:
                    case jet::ColumnType::kMemo:
                    case jet::ColumnType::kDateTime: break;
                    default: c = number_cell(std::strtod(c.c_str(), nullptr));
                }
            }
        }
        out.push_back(cells);
    }
    return out;
}

}  // namespace

TEST(SqlReaders, ChangedFilesReadTheSameInEveryReader) {
    SKIP_WITHOUT_FIXTURES();
    if (!have("command -v mdb-export") || !have("command -v node")) {
        GTEST_SKIP() << "mdb-export or node is not installed";
    }
    if (!fs::exists(std::string(ZOLVAK_SOURCE_DIR) + "/tests/readers/node_modules/mdb-reader")) {
        GTEST_SKIP() << "mdb-reader is not installed in tests/readers (npm install)";
    }
    ReadersDir dir;
    std::string path = dir.file("changed.mdb");
    jet::create_database(path)->close();
    auto c = jet::Connection::open(path);
    c->begin_transaction();
    c->execute("CREATE TABLE [Order Details] ([Order ID] COUNTER PRIMARY KEY, item TEXT(40), "
               "qty SHORT, price CURRENCY, ratio DOUBLE, shipped YESNO, day DATETIME, note MEMO)");
    for (int i = 0; i < 120; ++i) {
        std::string item = (i % 3 == 0) ? "订单项 " + std::to_string(i) : "item " + std::to_string(i);
        std::string note = std::string(static_cast<std::size_t>(i * 37 % 3000), 'n');
        c->execute("INSERT INTO [Order Details] (item, qty, price, ratio, shipped, day, note) VALUES ('" +
                   item + "', " + std::to_string(i) + ", " + std::to_string(i) + ".25, " +
                   std::to_string(i / 7.0) + ", " + (i % 2 ? "TRUE" : "FALSE") + ", #2020-03-" +
                   std::to_string(1 + i % 28) + " 10:" + std::to_string(10 + i % 50) + ":00#, " +
                   (i % 5 ? "'" + note + "'" : "NULL") + ")");
    }
    c->execute("CREATE INDEX by_item ON [Order Details] (item)");
    c->execute("UPDATE [Order Details] SET qty = qty * 2, note = 'changed' WHERE qty < 30");
    c->execute("DELETE FROM [Order Details] WHERE [Order ID] IN (5, 6, 7, 50)");
    c->execute("DROP INDEX by_item ON [Order Details]");
    c->execute("SELECT * INTO uni FROM [" + fixtures::mdb_path("jet4-unicode") + "].[Table]");
    c->commit();
    c->begin_transaction();
    c->execute("DELETE FROM uni");
    c->roll_back();
    c.reset();

    auto mine = ours(path);
    auto theirs = from_mdb_reader(path);
    ASSERT_EQ(mine.size(), 2u);
    ASSERT_EQ(theirs.size(), 2u);

    auto db = jet::Database::open(path);
    for (const auto& [name, table] : mine) {
        jet::TableDef def = db->table_def(name);
        std::vector<jet::ColumnType> types;
        for (const auto& col : def.columns) types.push_back(col.column_type());
        // mdb-reader hands currency out as text ("0.2500").
        Table& read = theirs[name];
        for (std::size_t r = 1; r < read.size(); ++r) {
            for (std::size_t i = 0; i < read[r].size() && i < types.size(); ++i) {
                if (types[i] == jet::ColumnType::kCurrency && read[r][i] != "NULL") {
                    read[r][i] = number_cell(std::strtod(read[r][i].c_str(), nullptr));
                }
            }
        }
        EXPECT_EQ(read, table) << name << " as mdb-reader reads it";
        EXPECT_EQ(from_mdb_export(path, name, types), table) << name << " as mdb-export reads it";
    }
}
