// Every value the engine decodes against what mdbtools' mdb-export prints
// for the same table, cell by cell, over every table of every fixture.
//
// The engine's values are printed the way the oracle's command prints them
// (fixtures/README.md): NULL as an empty unquoted field, booleans 0/1,
// Currency with 4 decimals, Single as %.8g, Double as %.16g, dates as
// "%Y-%m-%d %H:%M:%S", binary as upper-case hex. Differences that are
// mdbtools 1.0 quirks, not engine faults, are normalised here:
//   - rows are compared as a multiset: mdbtools reads a row moved to an
//     overflow page where the moved copy lies, the engine at its slot;
//   - Binary (type 0x09) values are cut at their first 0x00 byte (an
//     empty result prints unquoted, like NULL);
//   - Replication IDs are the hex of the text {8-4-4-16} (no 4th dash);
//   - dates before 1899-12-30 print as "1900-01-00 00:00:00";
//   - trailing U+0000 characters of a text are dropped;
//   - Jet 3 bytes the code page leaves unmapped are '?' (engine: the C1
//     control of the same value, as Windows reads them);
//   - characters above U+FFFF are "??";
//   - ACE: Date/Time Extended prints empty, a complex column its value id,
//     and a calculated column the stored wrapper read as its TDEF type:
//     calculated columns are left out here (oracle_test compares their
//     decoded values with the oracle's).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <variant>

#include "fixture_support.h"
#include "jet/table/database.h"
#include "mdb_csv.h"

namespace {

using mdb_csv::Cell;
using mdb_csv::CsvRow;
using mdb_csv::hex;
using mdb_csv::parse_csv;

// One engine value as mdb-export prints it (a Jet 3 byte its code page
// leaves unassigned: '?').
Cell format(const jet::Value& v, const jet::Column& col, jet::Format format) {
    Cell c = mdb_csv::export_cell(v, col, mdb_csv::CellRules{.unmapped_as_question = format == jet::Format::Jet3});
    // mdbtools prints a character above U+FFFF as one '?' per UTF-16 unit.
    if (std::holds_alternative<std::string>(v)) {
        std::string t;
        for (std::size_t i = 0; i < c.text.size(); ++i) {
            const auto b = static_cast<unsigned char>(c.text[i]);
            if (b >= 0xF0 && i + 3 < c.text.size()) {
                t += "??";
                i += 3;
            } else {
                t += c.text[i];
            }
        }
        c.text = std::move(t);
    }
    return c;
}

bool have_mdb_export() { return fixtures::run("command -v mdb-export >/dev/null 2>&1 && echo y").out == "y\n"; }

class ExportTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ExportTest, ValuesEqualMdbExport) {
    SKIP_WITHOUT_FIXTURES();
    if (!have_mdb_export()) GTEST_SKIP() << "mdb-export (mdbtools) is not installed";
    const auto o = fixtures::oracle(GetParam());
    const std::string path = fixtures::mdb_path(GetParam());
    auto db = jet::Database::open(path, fixtures::password(o));
    std::size_t tables = 0, cells = 0;
    for (const auto& t : db->tables()) {
        if (!t.local()) continue;
        SCOPED_TRACE(GetParam() + " / " + t.name);
        const auto r = fixtures::run("LC_ALL=C mdb-export -D '%Y-%m-%d %H:%M:%S' -T '%Y-%m-%d %H:%M:%S' -b hex " +
                                     fixtures::sh_quote(path) + " " + fixtures::sh_quote(t.name));
        ASSERT_EQ(r.status, 0);
        auto expected = parse_csv(r.out);
        ASSERT_FALSE(expected.empty());
        const CsvRow header = expected.front();
        expected.erase(expected.begin());

        const jet::TableDef def = db->table_def(*t.entry);
        for (auto& row : expected)
            for (std::size_t i = 0; i < row.size() && i < def.columns.size(); ++i)
                if (def.columns[i].is_calculated()) row[i] = Cell{};
        ASSERT_EQ(header.size(), def.columns.size());
        for (std::size_t i = 0; i < header.size(); ++i) EXPECT_EQ(header[i].text, def.columns[i].name);

        std::vector<CsvRow> got;
        db->scan(def, [&](const jet::RowId&, const jet::Row& row) {
            CsvRow out;
            for (std::size_t i = 0; i < row.size(); ++i)
                out.push_back(def.columns[i].is_calculated() ? Cell{} : format(row[i], def.columns[i], def.format));
            got.push_back(std::move(out));
            return true;
        });
        std::sort(got.begin(), got.end());
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].size(), expected[i].size());
            for (std::size_t k = 0; k < got[i].size(); ++k) {
                EXPECT_EQ(got[i][k].text, expected[i][k].text) << "column " << def.columns[k].name;
                EXPECT_EQ(got[i][k].quoted, expected[i][k].quoted) << "column " << def.columns[k].name;
                ++cells;
            }
        }
        ++tables;
    }
    RecordProperty("tables", static_cast<int>(tables));
    RecordProperty("cells", static_cast<int>(cells));
    std::printf("%s: %zu tables, %zu cells equal to mdb-export\n", GetParam().c_str(), tables, cells);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ExportTest, ::testing::ValuesIn(fixtures::or_none(fixtures::all_names())),
                         [](const auto& info) {
                             std::string s = info.param;
                             for (char& c : s)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return s;
                         });

}  // namespace
