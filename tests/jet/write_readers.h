// Test support for the writer's tests: reads a database the writer made
// with three readers — ours, mdbtools (mdb-tables, mdb-schema, mdb-export)
// and mdb-reader (tests/readers/dump_tables.mjs) — and checks that all three
// see the same tables, columns, row counts and values.
//
// mdb-export's form (fixtures/README.md): NULL as an empty unquoted field,
// booleans 0/1, Currency with 4 decimals, Single %.8g, Double %.16g, dates
// "%Y-%m-%d %H:%M:%S", binary upper-case hex. mdbtools 1.0 cuts Binary
// (type 0x09) values at their first 0x00 byte and prints Replication IDs as
// the hex of the text {8-4-4-16}; our values are printed the same way.
// Two more mdbtools 1.0 habits met only with long values: an empty memo
// prints as an empty unquoted field (like NULL), an empty OLE value as "",
// and a memo longer than 199999 bytes of UTF-8 is cut there.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "fixture_support.h"
#include "jet/table/database.h"
#include "jet/index/key.h"
#include "jet/index/page.h"
#include "jet/base/sort_general.h"
#include "jet/write/writer.h"
#include "mdb_csv.h"
#include <set>
#include "test_json.h"

namespace writer_test {

inline bool have_command(const std::string& name) {
    return fixtures::run("command -v " + name + " >/dev/null 2>&1 && echo y").out == "y\n";
}

inline std::string readers_dir() { return std::string(ZOLVAK_SOURCE_DIR) + "/tests/readers"; }

inline bool have_mdb_reader() {
    return have_command("node") &&
           fixtures::run("test -d " + fixtures::sh_quote(readers_dir() + "/node_modules/mdb-reader") +
                         " && echo y")
                   .out == "y\n";
}

// A column of a table layout: its name, type and (for texts) size.
inline jet::ColumnSpec col(std::string name, jet::ColumnType type, std::uint16_t size = 0) {
    jet::ColumnSpec c;
    c.name = std::move(name);
    c.type = type;
    c.size = size;
    return c;
}

using mdb_csv::Cell;
using mdb_csv::CsvRow;
using mdb_csv::hex;
using mdb_csv::parse_csv;

using mdb_csv::kMdbExportMemoLimit;

// One of our values as mdb-export prints it.
inline Cell export_cell(const jet::Value& v, const jet::Column& col) {
    return mdb_csv::export_cell(v, col, mdb_csv::CellRules{.long_value_habits = true});
}

inline std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Our value against mdb-reader's JSON cell.
inline void expect_same(const jet::Value& v, const testjson::Value& j, const std::string& where) {
    using K = testjson::Value::Kind;
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, jet::Null>) {
                EXPECT_TRUE(j.is_null()) << where;
            } else if constexpr (std::is_same_v<T, bool>) {
                EXPECT_EQ(j.kind, K::Bool) << where;
                EXPECT_EQ(j.b, x) << where;
            } else if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::int16_t> ||
                                 std::is_same_v<T, std::int32_t>) {
                EXPECT_EQ(j.number, static_cast<double>(x)) << where;
            } else if constexpr (std::is_same_v<T, float>) {
                EXPECT_EQ(static_cast<float>(j.number), x) << where;
            } else if constexpr (std::is_same_v<T, double>) {
                EXPECT_EQ(j.number, x) << where;
            } else if constexpr (std::is_same_v<T, jet::Currency>) {
                EXPECT_EQ(j.text, jet::currency_text(x)) << where;
            } else if constexpr (std::is_same_v<T, jet::DateTime>) {
                EXPECT_EQ(j["date"].number, std::round((x.days - 25569) * 86400.0 * 1000.0)) << where;
            } else if constexpr (std::is_same_v<T, std::string>) {
                EXPECT_EQ(j.text, x) << where;
            } else if constexpr (std::is_same_v<T, jet::Bytes>) {
                EXPECT_EQ(j["hex"].text, hex(x.data(), x.size())) << where;
            } else if constexpr (std::is_same_v<T, jet::Guid>) {
                std::string g = lower(jet::guid_text(x));
                EXPECT_EQ(j.text, g.substr(1, g.size() - 2)) << where;
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                EXPECT_EQ(j.text, std::to_string(x)) << where;
            } else if constexpr (std::is_same_v<T, jet::DateTimeExt>) {
                EXPECT_EQ(j.text, jet::datetime_ext_text(x)) << where;
            } else {
                EXPECT_DOUBLE_EQ(std::strtod(j.text.c_str(), nullptr),
                                 std::strtod(jet::decimal_text(x).c_str(), nullptr))
                    << where;
            }
        },
        v);
}

struct ReadBack {
    std::vector<std::string> tables;                   // user tables, catalog order
    std::map<std::string, std::vector<jet::Row>> rows;  // by table
};

// Reads every user table with our reader, then checks mdbtools and
// mdb-reader against it. Skips a reader that is not installed (with a
// message on standard output).
inline ReadBack check_with_readers(const std::string& path, const std::string& password = {}) {
    ReadBack back;
    auto db = jet::Database::open(path, password);
    std::map<std::string, jet::TableDef> defs;
    for (const auto& t : db->tables()) {
        if (t.kind != jet::TableKind::kTable) continue;
        back.tables.push_back(t.name);
        defs.emplace(t.name, db->table_def(*t.entry));
        back.rows[t.name] = db->read_all(defs.at(t.name));
        EXPECT_EQ(defs.at(t.name).row_count, back.rows[t.name].size()) << t.name << ": TDEF row count";
    }
    if (have_command("mdb-export")) {
        auto listed = fixtures::run("mdb-tables -1 " + fixtures::sh_quote(path));
        EXPECT_EQ(listed.status, 0);
        std::vector<std::string> names;
        std::size_t at = 0;
        while (at < listed.out.size()) {
            std::size_t nl = listed.out.find('\n', at);
            if (nl == std::string::npos) nl = listed.out.size();
            if (nl > at) names.push_back(listed.out.substr(at, nl - at));
            at = nl + 1;
        }
        EXPECT_EQ(names, back.tables) << "mdb-tables";
        EXPECT_EQ(fixtures::run("mdb-schema " + fixtures::sh_quote(path) + " >/dev/null 2>&1; echo $?").out,
                  "0\n");
        for (const auto& name : back.tables) {
            const auto& def = defs.at(name);
            auto r = fixtures::run("LC_ALL=C.UTF-8 mdb-export -D '%Y-%m-%d %H:%M:%S' -T '%Y-%m-%d %H:%M:%S' -b hex " +
                                   fixtures::sh_quote(path) + " " + fixtures::sh_quote(name));
            EXPECT_EQ(r.status, 0) << name;
            auto csv = parse_csv(r.out);
            if (csv.empty()) {
                ADD_FAILURE() << "mdb-export printed nothing for " << name;
                continue;
            }
            CsvRow header = csv.front();
            csv.erase(csv.begin());
            EXPECT_EQ(header.size(), def.columns.size()) << name;
            for (std::size_t i = 0; i < header.size() && i < def.columns.size(); ++i) {
                EXPECT_EQ(header[i].text, def.columns[i].name) << name;
            }
            std::vector<CsvRow> ours;
            for (const auto& row : back.rows[name]) {
                CsvRow out;
                for (std::size_t i = 0; i < row.size(); ++i) out.push_back(export_cell(row[i], def.columns[i]));
                ours.push_back(std::move(out));
            }
            std::sort(ours.begin(), ours.end());
            std::sort(csv.begin(), csv.end());
            EXPECT_EQ(ours.size(), csv.size()) << name << ": mdb-export row count";
            if (ours.size() == csv.size()) {
                std::size_t bad = 0;
                for (std::size_t i = 0; i < ours.size() && bad < 5; ++i) {
                    if (!(ours[i] == csv[i])) {
                        ++bad;
                        EXPECT_EQ(ours[i].size(), csv[i].size()) << name;
                        for (std::size_t k = 0; k < ours[i].size() && k < csv[i].size(); ++k) {
                            if (ours[i][k] == csv[i][k]) continue;
                            std::size_t at = 0;
                            const auto &a = ours[i][k].text, &b = csv[i][k].text;
                            while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
                            ADD_FAILURE() << name << " column " << def.columns[k].name << ": ours ("
                                          << a.size() << " bytes, quoted " << ours[i][k].quoted
                                          << ") and mdb-export's (" << b.size() << " bytes, quoted "
                                          << csv[i][k].quoted << ") differ from byte " << at << ": '"
                                          << a.substr(at, 40) << "' vs '" << b.substr(at, 40) << "'";
                        }
                    }
                }
                EXPECT_EQ(bad, 0u) << name << ": rows differing from mdb-export";
            }
        }
    } else {
        std::printf("mdbtools is not installed: cross-check with mdb-export skipped\n");
    }
    if (have_mdb_reader()) {
        std::string cmd = "cd " + fixtures::sh_quote(readers_dir()) + " && node dump_tables.mjs " +
                          fixtures::sh_quote(path);
        if (!password.empty()) cmd += " " + fixtures::sh_quote(password);
        auto r = fixtures::run(cmd);
        EXPECT_EQ(r.status, 0) << "mdb-reader failed on " << path;
        if (r.status == 0) {
            auto j = testjson::parse(r.out);
            const auto& tables = j["tables"];
            std::vector<std::string> names;
            for (const auto& t : tables.items) names.push_back(t["name"].text);
            EXPECT_EQ(names, back.tables) << "mdb-reader table list";
            for (const auto& t : tables.items) {
                const std::string name = t["name"].text;
                if (!defs.count(name)) continue;
                const auto& def = defs.at(name);
                const auto& rows = back.rows[name];
                EXPECT_EQ(t["rowCount"].as_int(), static_cast<long long>(rows.size())) << name;
                if (t["columns"].items.size() != def.columns.size()) {
                    ADD_FAILURE() << name << ": mdb-reader sees " << t["columns"].items.size() << " columns";
                    continue;
                }
                for (std::size_t i = 0; i < def.columns.size(); ++i) {
                    EXPECT_EQ(t["columns"].items[i]["name"].text, def.columns[i].name) << name;
                }
                if (t["rows"].items.size() != rows.size()) {
                    ADD_FAILURE() << name << ": mdb-reader sees " << t["rows"].items.size() << " rows";
                    continue;
                }
                for (std::size_t r2 = 0; r2 < rows.size(); ++r2) {
                    for (std::size_t c = 0; c < rows[r2].size(); ++c) {
                        expect_same(rows[r2][c], t["rows"].items[r2].items[c],
                                    name + " row " + std::to_string(r2) + " column " + def.columns[c].name);
                    }
                }
            }
        }
    } else {
        std::printf("node or mdb-reader is not installed: cross-check with mdb-reader skipped\n");
    }
    return back;
}

// Walks every index of `table` with our reader and checks it holds every
// row once, in key order, with the keys re-encoded from the rows.
inline void check_indexes(const std::string& path, const std::string& table,
                          const std::string& password = {}) {
    auto db = jet::Database::open(path, password);
    jet::TableDef def = db->table_def(table);
    std::map<std::uint32_t, jet::Row> rows;
    db->scan(def, [&](const jet::RowId& id, const jet::Row& row) {
        rows[(id.page << 8) | id.row] = row;
        return true;
    });
    for (const auto& real : def.real_indexes) {
        SCOPED_TRACE("index over " + std::to_string(real.columns.size()) + " columns");
        auto entries = jet::read_index_entries(
            [&](std::uint32_t p) { return db->file().page(p)->span(); }, jet::Format::Jet4,
            real.first_page, db->file().page_count(), table);
        std::size_t expected = 0;
        for (const auto& [ptr, row] : rows) {
            bool all_null = true;
            for (const auto& c : real.columns) all_null = all_null && jet::is_null(row[c.column]);
            if (!((real.flags & jet::kIndexIgnoreNulls) && all_null)) ++expected;
        }
        ASSERT_EQ(entries.size(), expected);
        std::set<std::uint32_t> seen;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const auto& e = entries[i];
            std::uint32_t ptr = (e.row.page << 8) | e.row.row;
            ASSERT_TRUE(rows.count(ptr)) << "entry points at no row";
            EXPECT_TRUE(seen.insert(ptr).second) << "row indexed twice";
            std::vector<std::u16string> texts;
            texts.reserve(real.columns.size());
            std::vector<jet::KeyPart> parts;
            for (const auto& c : real.columns) {
                const jet::Value& v = rows[ptr][c.column];
                jet::KeyPart part{def.columns[c.column].column_type(), std::monostate{}, !c.descending};
                std::visit(
                    [&](const auto& x) {
                        using X = std::decay_t<decltype(x)>;
                        if constexpr (std::is_same_v<X, std::string>) {
                            texts.push_back(jet::utf8_to_utf16(x));
                            part.value = std::u16string_view(texts.back());
                        } else if constexpr (std::is_same_v<X, std::int32_t> || std::is_same_v<X, std::int16_t> ||
                                             std::is_same_v<X, std::uint8_t>) {
                            part.value = static_cast<std::int64_t>(x);
                        } else if constexpr (std::is_same_v<X, double>) {
                            part.value = x;
                        } else if constexpr (std::is_same_v<X, jet::DateTime>) {
                            part.value = x.days;
                        }
                    },
                    v);
                parts.push_back(part);
            }
            EXPECT_EQ(e.key, jet::encode_index_key(parts)) << "entry " << i;
            if (i > 0) {
                auto a = entries[i - 1].key, b = e.key;
                for (int s = 24; s >= 0; s -= 8) {
                    a.push_back(static_cast<std::uint8_t>(((entries[i - 1].row.page << 8) | entries[i - 1].row.row) >> s));
                    b.push_back(static_cast<std::uint8_t>(ptr >> s));
                }
                EXPECT_LT(a, b) << "entries out of order at " << i;
            }
        }
    }
}

}  // namespace writer_test
