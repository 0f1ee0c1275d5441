// The TABLES and INDEXES schema rowsets of every fixture against its oracle:
// every row, in the rowsets' default order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <tuple>
#include <vector>

#include "../jet/fixture_support.h"
#include "connect/provider/connection.h"
#include "connect/provider/schema.h"

namespace {

// Fixture names are ASCII. In the General order punctuation and blanks come
// before digits, digits before letters, and letters compare without regard
// to case ("Table1" < "Table1_desc" < "Table10"); the bytes break ties.
std::vector<int> general_key(const std::string& s) {
    std::vector<int> key;
    for (unsigned char c : s) key.push_back(std::isalnum(c) ? 0x100 + std::tolower(c) : c);
    return key;
}

bool name_less(const std::string& a, const std::string& b) {
    const auto ka = general_key(a), kb = general_key(b);
    if (ka != kb) return ka < kb;
    return a < b;
}

std::string connection_string(const std::string& path, const std::string& pw) {
    return "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=" + pw +
           ";User ID=admin;Data Source=" + path + ";Persist Security Info=False";
}

struct TableRow {
    std::string type, name;
    bool operator==(const TableRow&) const = default;
};

struct IndexRow {
    std::string table, index, column, primary, unique, ordinal, collation;
    bool operator==(const IndexRow&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TableRow& r) {
    return os << r.type << " " << r.name;
}
std::ostream& operator<<(std::ostream& os, const IndexRow& r) {
    return os << r.table << "." << r.index << "(" << r.column << " #" << r.ordinal << " coll "
              << r.collation << ") pk=" << r.primary << " unique=" << r.unique;
}

// The TABLE_TYPE of a catalog row from its type and flags (docs/jet-catalog.md).
std::string expected_type(const testjson::Value& t) {
    const long long type = t["catalog_type"].as_int();
    if (type == 4 || type == 6) return "LINK";
    const auto flags = static_cast<std::uint32_t>(static_cast<std::int32_t>(t["flags"].as_int()));
    if (flags & 0x80000000u) return "SYSTEM TABLE";
    if (flags & 0x2u) return "ACCESS TABLE";
    return "TABLE";
}

std::vector<TableRow> expected_tables(const testjson::Value& o) {
    std::vector<TableRow> rows;
    for (const auto& t : o["tables"].items) rows.push_back({expected_type(t), t["name"].text});
    // Select queries are views; every other kind of query is a procedure.
    for (const auto& q : o["queries"].items)
        if (q["flags"].as_int() == 0) rows.push_back({"VIEW", q["name"].text});
    std::stable_sort(rows.begin(), rows.end(), [](const TableRow& a, const TableRow& b) {
        if (a.type != b.type) return name_less(a.type, b.type);
        return name_less(a.name, b.name);
    });
    return rows;
}

std::vector<IndexRow> expected_indexes(const testjson::Value& o) {
    struct Keyed {
        IndexRow row;
        bool unique;
        int ordinal;
    };
    std::vector<Keyed> rows;
    for (const auto& t : o["tables"].items) {
        if (t["catalog_type"].as_int() != 1) continue;
        const auto& details = o["table_details"][t["name"].text];
        for (const auto& ix : details["indexes"].items) {
            // The referenced side of a relationship is not listed.
            if (ix["foreign_key"].b && ix["fk_rel_tbl_type"].as_int() == 1) continue;
            const bool unique = ix["unique"].b || ix["primary_key"].b;
            int ordinal = 0;
            for (const auto& c : ix["columns"].items) {
                ++ordinal;
                rows.push_back({{t["name"].text, ix["name"].text, c["name"].text,
                                 ix["primary_key"].b ? "True" : "False", unique ? "True" : "False",
                                 std::to_string(ordinal), c["desc"].b ? "2" : "1"},
                                unique,
                                ordinal});
            }
        }
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Keyed& a, const Keyed& b) {
        if (a.unique != b.unique) return a.unique;
        if (a.row.index != b.row.index) return name_less(a.row.index, b.row.index);
        if (a.ordinal != b.ordinal) return a.ordinal < b.ordinal;
        return name_less(a.row.table, b.row.table);
    });
    std::vector<IndexRow> out;
    for (auto& k : rows) out.push_back(k.row);
    return out;
}

class SchemaOracle : public ::testing::TestWithParam<std::string> {};

TEST_P(SchemaOracle, RowsetsMatchTheOracle) {
    if (!fixtures::available()) GTEST_SKIP() << "fixtures folder absent: " << fixtures::dir();
    const std::string name = GetParam();
    const testjson::Value o = fixtures::oracle(name);
    provider::Connection conn;
    conn.open(connection_string(fixtures::mdb_path(name), fixtures::password(o)));

    provider::Recordset tables = conn.open_schema(20);
    ASSERT_GE(tables.field_index("TABLE_TYPE"), 0);
    std::vector<TableRow> got_tables;
    for (tables.move_first(); !tables.eof(); tables.move_next())
        got_tables.push_back({tables.text("TABLE_TYPE"), tables.text("TABLE_NAME")});
    EXPECT_EQ(tables.record_count(), static_cast<long>(got_tables.size()));
    EXPECT_EQ(got_tables, expected_tables(o));

    provider::Recordset indexes = conn.open_schema(12);
    std::vector<IndexRow> got_indexes;
    for (indexes.move_first(); !indexes.eof(); indexes.move_next()) {
        got_indexes.push_back({indexes.text("TABLE_NAME"), indexes.text("INDEX_NAME"),
                               indexes.text("COLUMN_NAME"), indexes.text("PRIMARY_KEY"),
                               indexes.text("UNIQUE"), indexes.text("ORDINAL_POSITION"),
                               indexes.text("COLLATION")});
    }
    const std::vector<IndexRow> want = expected_indexes(o);
    EXPECT_EQ(got_indexes.size(), want.size());
    EXPECT_EQ(got_indexes, want);
}

std::vector<std::string> fixture_names() {
    std::vector<std::string> n = fixtures::names();
    if (n.empty()) n.push_back("none");
    return n;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SchemaOracle, ::testing::ValuesIn(fixture_names()),
                         [](const auto& info) {
                             std::string s = info.param;
                             for (char& c : s)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return s;
                         });

TEST(SchemaRowsets, ColumnsAndTypes) {
    if (!fixtures::available()) GTEST_SKIP() << "fixtures folder absent";
    provider::Connection conn;
    conn.open(connection_string(fixtures::mdb_path("jet4-indexes"), ""));
    provider::Recordset t = conn.open_schema(provider::Schema::kTables);
    for (const char* n : {"TABLE_CATALOG", "TABLE_SCHEMA", "TABLE_NAME", "TABLE_TYPE", "TABLE_GUID",
                          "DESCRIPTION", "TABLE_PROPID", "DATE_CREATED", "DATE_MODIFIED"})
        EXPECT_NO_THROW(t.field_index(n)) << n;
    EXPECT_EQ(t.field_type(t.field_index("TABLE_NAME")), provider::DataType::kWChar);
    // Columns the provider has no value for read as empty texts.
    t.move_first();
    EXPECT_EQ(t.text("TABLE_CATALOG"), "");

    provider::Recordset ix = conn.open_schema(provider::Schema::kIndexes);
    EXPECT_EQ(ix.field_count(), 25);
    EXPECT_EQ(ix.field_type(ix.field_index("PRIMARY_KEY")), provider::DataType::kBoolean);
    EXPECT_EQ(ix.field_type(ix.field_index("UNIQUE")), provider::DataType::kBoolean);
    // Field names are found without regard to case.
    EXPECT_EQ(ix.field_index("index_name"), ix.field_index("INDEX_NAME"));
    EXPECT_THROW(ix.field_index("NO_SUCH_FIELD"), provider::Error);
    // Schema rowsets take no new records.
    EXPECT_THROW(ix.add_new(), provider::Error);
    // An unknown schema is refused.
    EXPECT_THROW(conn.open_schema(4), provider::Error);
}

TEST(SchemaRowsets, NameOrderIsGeneralTextOrder) {
    EXPECT_LT(provider::compare_names("abc", "ABD"), 0);
    EXPECT_GT(provider::compare_names("Table10", "table1"), 0);
    EXPECT_LT(provider::compare_names("Table1_desc", "Table10"), 0);
    // Same letters: the bytes decide, so the order is total.
    EXPECT_NE(provider::compare_names("Table1", "table1"), 0);
    EXPECT_EQ(provider::compare_names("Table1", "Table1"), 0);
}

}  // namespace
