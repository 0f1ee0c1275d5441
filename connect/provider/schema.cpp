// TABLES and INDEXES schema rowsets from the catalog and table definitions.
#include "connect/provider/schema.h"

#include <algorithm>
#include <cstring>

#include "jet/table/database.h"
#include "jet/base/error.h"
#include "jet/base/sort_general.h"

namespace provider {
namespace {

std::vector<std::uint8_t> name_key(std::string_view name) {
    std::vector<std::uint8_t> key;
    jet::append_general_text_key(jet::utf8_to_utf16(name), true, key);
    return key;
}

int three_way(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    if (n > 0) {
        if (const int c = std::memcmp(a.data(), b.data(), n); c != 0) return c < 0 ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return 0;
}

int bytes_compare(std::string_view a, std::string_view b) {
    const int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

jet::Value text(std::string s) { return jet::Value{std::move(s)}; }
jet::Value null() { return jet::Value{jet::Null{}}; }
jet::Value i32(std::int32_t v) { return jet::Value{v}; }

// Index NULLS values: nulls allowed, refused, left out of the index.
constexpr std::int32_t kNullsAllow = 0;
constexpr std::int32_t kNullsDisallow = 1;
constexpr std::int32_t kNullsIgnore = 2;
constexpr std::int32_t kIndexTypeBtree = 1;
constexpr std::int32_t kNullCollationLow = 4;
constexpr std::int16_t kCollationAsc = 1;
constexpr std::int16_t kCollationDesc = 2;

// The referenced side of a relationship: a foreign-key entry of the table
// the relationship points at. The engine keeps it for its own checks on a
// real index it shares with the primary key; it is not an index a user made.
bool hidden_index(const jet::Index& ix) { return ix.foreign_key() && ix.rel_table_type == 1; }

}  // namespace

int compare_names(std::string_view a, std::string_view b) {
    if (const int c = three_way(name_key(a), name_key(b)); c != 0) return c;
    return bytes_compare(a, b);
}

Recordset tables_rowset(jet::Database& db) {
    std::vector<FieldInfo> fields = {
        {"TABLE_CATALOG", DataType::kWChar},      {"TABLE_SCHEMA", DataType::kWChar},
        {"TABLE_NAME", DataType::kWChar},         {"TABLE_TYPE", DataType::kWChar},
        {"TABLE_GUID", DataType::kGuid},          {"DESCRIPTION", DataType::kWChar},
        {"TABLE_PROPID", DataType::kUnsignedInt}, {"DATE_CREATED", DataType::kDate},
        {"DATE_MODIFIED", DataType::kDate},
    };
    struct Entry {
        std::string type;
        std::string name;
        std::vector<std::uint8_t> type_key, name_key;
    };
    std::vector<Entry> entries;
    try {
        for (const jet::TableInfo& t : db.tables()) {
            Entry e{std::string(jet::table_kind_name(t.kind)), t.name, {}, {}};
            e.type_key = name_key(e.type);
            e.name_key = name_key(e.name);
            entries.push_back(std::move(e));
        }
    } catch (const jet::Error& err) {
        throw Error(err.what());
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (int c = three_way(a.type_key, b.type_key); c != 0) return c < 0;
        if (int c = three_way(a.name_key, b.name_key); c != 0) return c < 0;
        return bytes_compare(a.name, b.name) < 0;
    });
    std::vector<std::vector<jet::Value>> rows;
    rows.reserve(entries.size());
    for (Entry& e : entries) {
        rows.push_back({null(), null(), text(std::move(e.name)), text(std::move(e.type)), null(),
                        null(), null(), null(), null()});
    }
    return Recordset(std::move(fields), std::move(rows));
}

Recordset indexes_rowset(jet::Database& db) {
    std::vector<FieldInfo> fields = {
        {"TABLE_CATALOG", DataType::kWChar},
        {"TABLE_SCHEMA", DataType::kWChar},
        {"TABLE_NAME", DataType::kWChar},
        {"INDEX_CATALOG", DataType::kWChar},
        {"INDEX_SCHEMA", DataType::kWChar},
        {"INDEX_NAME", DataType::kWChar},
        {"PRIMARY_KEY", DataType::kBoolean},
        {"UNIQUE", DataType::kBoolean},
        {"CLUSTERED", DataType::kBoolean},
        {"TYPE", DataType::kUnsignedSmallInt},
        {"FILL_FACTOR", DataType::kInteger},
        {"INITIAL_SIZE", DataType::kInteger},
        {"NULLS", DataType::kInteger},
        {"SORT_BOOKMARKS", DataType::kBoolean},
        {"AUTO_UPDATE", DataType::kBoolean},
        {"NULL_COLLATION", DataType::kInteger},
        {"ORDINAL_POSITION", DataType::kUnsignedInt},
        {"COLUMN_NAME", DataType::kWChar},
        {"COLUMN_GUID", DataType::kGuid},
        {"COLUMN_PROPID", DataType::kUnsignedInt},
        {"COLLATION", DataType::kSmallInt},
        {"CARDINALITY", DataType::kUnsignedBigInt},
        {"PAGES", DataType::kInteger},
        {"FILTER_CONDITION", DataType::kWChar},
        {"INTEGRATED", DataType::kBoolean},
    };
    struct Entry {
        std::vector<std::uint8_t> index_key, table_key;
        bool unique = false;
        std::uint32_t ordinal = 0;
        std::string table, index;
        std::vector<jet::Value> row;
    };
    std::vector<Entry> entries;
    try {
        for (const jet::TableInfo& t : db.tables()) {
            if (!t.local() || t.entry == nullptr) continue;
            // A table whose definition does not read has no indexes to list;
            // copying it fails on its own and says so.
            jet::TableDef def;
            try {
                def = db.table_def(*t.entry);
            } catch (const jet::Error&) {
                continue;
            }
            for (const jet::Index& ix : def.indexes) {
                if (hidden_index(ix)) continue;
                const std::int32_t nulls = ix.required() || ix.primary_key()
                                               ? kNullsDisallow
                                               : (ix.ignore_nulls() ? kNullsIgnore : kNullsAllow);
                std::uint32_t ordinal = 0;
                for (const jet::IndexColumn& ic : ix.columns) {
                    ++ordinal;
                    if (ic.column >= def.columns.size())
                        throw jet::Error("Index '" + ix.name + "' names a column the table '" +
                                         def.name + "' does not have.");
                    Entry e;
                    e.table = t.name;
                    e.index = ix.name;
                    e.unique = ix.unique() || ix.primary_key();
                    e.ordinal = ordinal;
                    e.index_key = name_key(ix.name);
                    e.table_key = name_key(t.name);
                    e.row = {null(),
                             null(),
                             text(t.name),
                             null(),
                             null(),
                             text(ix.name),
                             jet::Value{ix.primary_key()},
                             jet::Value{e.unique},
                             jet::Value{false},
                             i32(kIndexTypeBtree),
                             i32(100),
                             null(),
                             i32(nulls),
                             jet::Value{false},
                             jet::Value{true},
                             i32(kNullCollationLow),
                             i32(static_cast<std::int32_t>(ordinal)),
                             text(def.columns[ic.column].name),
                             null(),
                             null(),
                             jet::Value{ic.descending ? kCollationDesc : kCollationAsc},
                             null(),
                             null(),
                             null(),
                             jet::Value{false}};
                    entries.push_back(std::move(e));
                }
            }
        }
    } catch (const jet::Error& err) {
        throw Error(err.what());
    }
    // UNIQUE first true then false (a true boolean is -1), TYPE (always the
    // same), INDEX_NAME, ORDINAL_POSITION; equal rows by table name, then in
    // catalog order.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.unique != b.unique) return a.unique;
        if (int c = three_way(a.index_key, b.index_key); c != 0) return c < 0;
        if (int c = bytes_compare(a.index, b.index); c != 0) return c < 0;
        if (a.ordinal != b.ordinal) return a.ordinal < b.ordinal;
        if (int c = three_way(a.table_key, b.table_key); c != 0) return c < 0;
        return bytes_compare(a.table, b.table) < 0;
    });
    std::vector<std::vector<jet::Value>> rows;
    rows.reserve(entries.size());
    for (Entry& e : entries) rows.push_back(std::move(e.row));
    return Recordset(std::move(fields), std::move(rows));
}

}  // namespace provider
