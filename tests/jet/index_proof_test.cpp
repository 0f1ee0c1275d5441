// The key encoder against real files: for every index of every table of the
// Jet 4 fixtures, the keys encoded from the rows' values, sorted as an index
// sorts them, must equal byte for byte the entries Access wrote in the
// index's leaf pages, with the same row pointers in the same order.
//
// Jet 3 fixtures: their text keys use the older sort order, which the
// encoder does not produce; for them the walk is checked (one entry per
// indexed row, pointing at that row) and the keys of indexes without text
// columns are compared like the Jet 4 ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "jet/table/database.h"
#include "jet/base/error.h"
#include "jet/index/key.h"
#include "bytes_text.h"
#include "jet/index/page.h"
#include "jet/base/sort_general.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

// The value of one cell as the encoder takes it. `text` keeps UTF-16 text
// alive for the returned view.
jet::KeyValue key_value(const jet::Value& v, std::u16string& text) {
    return std::visit(
        [&](const auto& x) -> jet::KeyValue {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, jet::Null>) {
                return std::monostate{};
            } else if constexpr (std::is_same_v<T, bool>) {
                return x;
            } else if constexpr (std::is_same_v<T, std::uint8_t> ||
                                 std::is_same_v<T, std::int16_t> ||
                                 std::is_same_v<T, std::int32_t>) {
                return std::int64_t{x};
            } else if constexpr (std::is_same_v<T, jet::Currency>) {
                return std::int64_t{x.scaled};
            } else if constexpr (std::is_same_v<T, float>) {
                return static_cast<double>(x);
            } else if constexpr (std::is_same_v<T, double>) {
                return x;
            } else if constexpr (std::is_same_v<T, jet::DateTime>) {
                return x.days;
            } else if constexpr (std::is_same_v<T, std::string>) {
                text = jet::utf8_to_utf16(x);
                return std::u16string_view(text);
            } else if constexpr (std::is_same_v<T, jet::Bytes>) {
                return std::span<const std::uint8_t>(x);
            } else if constexpr (std::is_same_v<T, jet::Guid>) {
                return jet::GuidBytes(x.bytes);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return x;
            } else if constexpr (std::is_same_v<T, jet::DateTimeExt>) {
                ADD_FAILURE() << "no Date/Time Extended column in these files";
                return std::monostate{};
            } else {
                static_assert(std::is_same_v<T, jet::Decimal>);
                return jet::KeyDecimal{x.negative, x.magnitude};
            }
        },
        v);
}

struct Entry {
    Bytes key;
    jet::RowId row;
};

bool entry_less(const Entry& a, const Entry& b) {
    if (a.key != b.key) return a.key < b.key;
    if (a.row.page != b.row.page) return a.row.page < b.row.page;
    return a.row.row < b.row.row;
}

struct Tally {
    std::size_t indexes = 0;
    std::size_t compared = 0;
    std::size_t matched = 0;
    std::size_t skipped_indexes = 0;  // Jet 3 text indexes: walk checked only
    // Compared entries per key column type and order ("Text asc"), to show
    // which encodings the files exercise.
    std::map<std::string, std::size_t> coverage;
};

// Compares one real index of `table`; failures name the file, table and index.
void check_index(jet::Database& db, const jet::TableDef& table, const jet::RealIndex& index,
                 const std::vector<std::pair<jet::RowId, jet::Row>>& rows, const std::string& where,
                 Tally& tally) {
    const bool jet4 = db.format() == jet::Format::Jet4;
    bool has_text = false;
    for (const auto& ic : index.columns) {
        const auto t = table.columns.at(ic.column).column_type();
        has_text = has_text || t == jet::ColumnType::kText || t == jet::ColumnType::kMemo;
    }
    const bool compare_keys = jet4 || !has_text;

    jet::PageRef hold;
    const jet::IndexPageReader reader = [&](std::uint32_t n) -> std::span<const std::uint8_t> {
        hold = db.file().page(n, table.name);
        return hold->span();
    };
    const std::vector<jet::IndexEntry> written = jet::read_index_entries(
        reader, db.format(), index.first_page, db.file().page_count(), table.name);

    std::vector<Entry> expected;
    for (const auto& [id, row] : rows) {
        std::vector<jet::KeyPart> parts;
        std::vector<std::u16string> texts(index.columns.size());
        bool all_null = true;
        for (std::size_t i = 0; i < index.columns.size(); ++i) {
            const auto& ic = index.columns[i];
            const jet::Value& v = row.at(ic.column);
            all_null = all_null && jet::is_null(v);
            parts.push_back(
                {table.columns[ic.column].column_type(), key_value(v, texts[i]), !ic.descending});
        }
        if (all_null && (index.flags & jet::kIndexIgnoreNulls)) continue;
        expected.push_back({compare_keys ? jet::encode_index_key(parts) : Bytes{}, id});
    }
    if (compare_keys) {
        std::sort(expected.begin(), expected.end(), entry_less);
    } else {
        // Without the keys only the set of row pointers can be compared.
        auto by_row = [](const Entry& a, const Entry& b) {
            return a.row.page != b.row.page ? a.row.page < b.row.page : a.row.row < b.row.row;
        };
        std::sort(expected.begin(), expected.end(), by_row);
    }

    std::vector<Entry> actual;
    for (const auto& e : written) actual.push_back({compare_keys ? e.key : Bytes{}, e.row});
    if (!compare_keys) {
        std::sort(actual.begin(), actual.end(), [](const Entry& a, const Entry& b) {
            return a.row.page != b.row.page ? a.row.page < b.row.page : a.row.row < b.row.row;
        });
        ++tally.skipped_indexes;
    }

    ++tally.indexes;
    if (compare_keys) {
        for (const auto& ic : index.columns) {
            const auto type = table.columns.at(ic.column).type;
            tally.coverage[jet::column_type_name(type) + (ic.descending ? " desc" : " asc")] +=
                written.size();
        }
    }
    EXPECT_EQ(actual.size(), expected.size())
        << where << ": " << written.size() << " entries in the leaves, " << expected.size()
        << " indexed rows";
    const std::size_t n = std::min(actual.size(), expected.size());
    int reported = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool same = actual[i].key == expected[i].key && actual[i].row == expected[i].row;
        if (compare_keys) {
            ++tally.compared;
            if (same) ++tally.matched;
        }
        if (!same && reported++ < 5) {
            ADD_FAILURE() << where << " entry " << i << ":\n  written  " << zolvak_test::spaced_hex(actual[i].key)
                          << " -> " << actual[i].row.page << ":" << int(actual[i].row.row)
                          << "\n  encoded  " << zolvak_test::spaced_hex(expected[i].key) << " -> "
                          << expected[i].row.page << ":" << int(expected[i].row.row);
        }
    }
}

Tally check_file(const fs::path& path, const std::string& password) {
    Tally tally;
    auto db = jet::Database::open(path.string(), password);
    for (const jet::TableInfo& info : db->tables()) {
        if (!info.local() || info.entry == nullptr) continue;
        const jet::TableDef table = db->table_def(*info.entry);
        if (table.real_indexes.empty()) continue;
        std::vector<std::pair<jet::RowId, jet::Row>> rows;
        db->scan(table, [&](const jet::RowId& id, const jet::Row& row) {
            rows.emplace_back(id, row);
            return true;
        });
        for (const jet::RealIndex& index : table.real_indexes) {
            std::string names;
            for (const jet::Index& logical : table.indexes) {
                if (logical.real_index < table.real_indexes.size() &&
                    &table.real_indexes[logical.real_index] == &index) {
                    names += (names.empty() ? "" : ",") + logical.name;
                }
            }
            const std::string where = path.filename().string() + " " + table.name + " index " +
                                      std::to_string(index.number) + " (" + names + ")";
            SCOPED_TRACE(where);
            check_index(*db, table, index, rows, where, tally);
        }
    }
    return tally;
}

std::vector<fs::path> fixtures(const char* prefix) {
    std::vector<fs::path> out;
    const fs::path dir = ZOLVAK_FIXTURES_DIR;
    if (!fs::is_directory(dir)) return out;
    for (const auto& e : fs::directory_iterator(dir)) {
        const auto name = e.path().filename().string();
        if (e.path().extension() == ".mdb" && name.rfind(prefix, 0) == 0) out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string password_for(const fs::path& p) {
    return p.filename().string() == "jet4-password.mdb" ? "password" : "";
}

TEST(IndexProof, Jet4KeysEqualTheEntriesAccessWrote) {
    const auto files = fixtures("jet4-");
    if (files.empty()) GTEST_SKIP() << "no Jet 4 fixtures in " << ZOLVAK_FIXTURES_DIR;
    Tally total;
    std::ostringstream report;
    for (const auto& f : files) {
        SCOPED_TRACE(f.filename().string());
        Tally t;
        try {
            t = check_file(f, password_for(f));
        } catch (const jet::Error& e) {
            ADD_FAILURE() << f.filename().string() << ": " << e.what();
            continue;
        }
        report << "  " << f.filename().string() << ": " << t.indexes << " indexes, " << t.compared
               << " entries compared, " << t.matched << " matched\n";
        total.indexes += t.indexes;
        total.compared += t.compared;
        total.matched += t.matched;
        for (const auto& [k, v] : t.coverage) total.coverage[k] += v;
    }
    std::cout << "Index key proof (Jet 4):\n"
              << report.str() << "  total: " << total.indexes << " indexes, " << total.compared
              << " entries compared, " << total.matched << " matched\n  key columns:";
    for (const auto& [k, v] : total.coverage) std::cout << " " << k << " " << v << ";";
    std::cout << "\n";
    RecordProperty("entries_compared", static_cast<int>(total.compared));
    RecordProperty("entries_matched", static_cast<int>(total.matched));
    EXPECT_GT(total.compared, 0u);
    EXPECT_EQ(total.compared, total.matched);
}

TEST(IndexProof, Jet3LeavesHoldOneEntryPerIndexedRow) {
    const auto files = fixtures("jet3-");
    if (files.empty()) GTEST_SKIP() << "no Jet 3 fixtures in " << ZOLVAK_FIXTURES_DIR;
    for (const auto& f : files) {
        SCOPED_TRACE(f.filename().string());
        Tally t;
        try {
            t = check_file(f, "");
        } catch (const jet::Error& e) {
            ADD_FAILURE() << f.filename().string() << ": " << e.what();
            continue;
        }
        std::cout << "  " << f.filename().string() << ": " << t.indexes << " indexes ("
                  << t.skipped_indexes << " with text keys: row pointers only), " << t.compared
                  << " non-text entries compared, " << t.matched << " matched\n";
        std::cout << "    key columns:";
        for (const auto& [k, v] : t.coverage) std::cout << " " << k << " " << v << ";";
        std::cout << "\n";
        EXPECT_EQ(t.compared, t.matched);
    }
}

// Damaged index pages: bytes of real root pages overwritten at random must
// give an index, or a jet::Error, never a crash or a read outside the page
// (run under the sanitizers to see the latter).
TEST(IndexProof, DamagedIndexPagesFailCleanly) {
    const auto files = fixtures("jet");
    if (files.empty()) GTEST_SKIP() << "no fixtures in " << ZOLVAK_FIXTURES_DIR;
    std::mt19937 rng(4711);
    std::size_t decoded = 0, refused = 0;
    for (const auto& f : files) {
        auto db = jet::Database::open(f.string(), password_for(f));
        for (const jet::TableInfo& info : db->tables()) {
            if (!info.local() || info.entry == nullptr) continue;
            const jet::TableDef table = db->table_def(*info.entry);
            for (const jet::RealIndex& index : table.real_indexes) {
                const Bytes original = db->file().page(index.first_page)->bytes;
                for (int round = 0; round < 20; ++round) {
                    Bytes damaged = original;
                    const int hits = 1 + static_cast<int>(rng() % 8);
                    for (int h = 0; h < hits; ++h) {
                        // Mostly the header, prefix and mask; sometimes anywhere.
                        const std::size_t limit = (rng() % 4 == 0) ? damaged.size() : 0x1E0;
                        damaged[rng() % limit] = static_cast<std::uint8_t>(rng());
                    }
                    jet::PageRef hold;
                    const jet::IndexPageReader reader =
                        [&](std::uint32_t n) -> std::span<const std::uint8_t> {
                        if (n == index.first_page) return damaged;
                        hold = db->file().page(n, table.name);
                        return hold->span();
                    };
                    try {
                        jet::read_index_entries(reader, db->format(), index.first_page,
                                                db->file().page_count(), table.name);
                        ++decoded;
                    } catch (const jet::Error&) {
                        ++refused;
                    }
                }
            }
        }
    }
    std::cout << "  damaged root pages: " << decoded << " decoded, " << refused << " refused\n";
    EXPECT_GT(refused, 0u);
}

}  // namespace
