// Damage generator of the salvage tests (test-only code): from a sound file
// it makes copies with one kind of damage each and knows, for each copy,
// which rows of the sound file lie on pages the damage did not touch (the
// rows a repair must bring back whole). Deterministic: the same file gives
// the same copies, byte for byte, on every machine (own generator, no
// std:: distributions).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "jet/base/format.h"
#include "jet/page/file.h"
#include "jet/page/format.h"
#include "jet/table/database.h"
#include "jet/table/rows.h"

namespace damage {

// splitmix64: small, fully specified, the same everywhere.
class Rng {
  public:
    explicit Rng(std::uint64_t seed) : s_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return n ? static_cast<std::size_t>(next() % n) : 0; }

  private:
    std::uint64_t s_;
};

inline bool is_long_value(const jet::Column& c) {
    return c.column_type() == jet::ColumnType::kMemo || c.column_type() == jet::ColumnType::kOle;
}

// A value as comparable text: its kind and its bytes.
inline std::string value_key(const jet::Value& v) {
    std::string out = std::to_string(v.index()) + ":";
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, jet::Null>) {
            } else if constexpr (std::is_same_v<T, std::string>) {
                out += x;
            } else if constexpr (std::is_same_v<T, jet::Bytes>) {
                out.append(x.begin(), x.end());
            } else if constexpr (std::is_same_v<T, jet::Guid>) {
                out.append(x.bytes.begin(), x.bytes.end());
            } else if constexpr (std::is_same_v<T, jet::Decimal>) {
                out += jet::decimal_text(x);
            } else if constexpr (std::is_same_v<T, jet::DateTimeExt>) {
                // Field by field: the struct has padding, whose bytes are
                // whatever the stack held.
                out += std::to_string(x.days) + "." + std::to_string(x.seconds) + "." +
                       std::to_string(x.fraction);
            } else {
                out.append(reinterpret_cast<const char*>(&x), sizeof x);
            }
        },
        v);
    return out;
}

// A row split for comparison: the key of its short values, and its memo/OLE
// values apart (a repair may null those when their pages are damaged).
struct RowKey {
    std::string key;
    std::vector<std::string> long_values;
};

inline RowKey row_key(const jet::TableDef& def, const jet::Row& row) {
    RowKey k;
    for (std::size_t i = 0; i < def.columns.size() && i < row.size(); ++i) {
        // A calculated column (ACE) follows from the others, and its value
        // decodes by a result type kept in the catalog's properties, which
        // a damaged catalog loses: it does not tell rows apart.
        if (def.columns[i].is_calculated()) continue;
        const std::string v = value_key(row[i]);
        if (is_long_value(def.columns[i])) {
            k.long_values.push_back(v);
        } else {
            k.key += std::to_string(v.size()) + "|" + v;
        }
    }
    return k;
}

// A row of the sound file and the pages it needs.
struct SoundRow {
    std::string table;
    std::set<std::uint32_t> pages;     // its slot's page and the page holding its bytes
    std::set<std::uint32_t> lv_pages;  // pages of its memo/OLE values
    RowKey key;
};

struct TableLayout {
    std::string name;
    std::uint32_t tdef_page = 0;
    std::vector<std::uint32_t> tdef_pages;
    std::uint32_t usage_map = 0;  // row pointer
    std::vector<std::uint32_t> data_pages;
    std::vector<jet::RowId> overflow_slots;  // slots that point elsewhere
    std::vector<std::uint32_t> index_roots;  // root page of each index's B-tree
};

struct Layout {
    jet::Format format = jet::Format::Jet4;
    std::size_t page_size = 4096;
    std::uint32_t page_count = 0;
    std::vector<TableLayout> tables;  // user tables
    std::vector<std::uint32_t> catalog_pages;  // data pages of MSysObjects
    std::vector<std::uint32_t> lval_pages;     // long-value pages of user tables
    std::vector<std::uint32_t> lv_chain_pointers;  // first pointer of multi-page values
    std::vector<SoundRow> rows;
};

// The pages of a memo/OLE field's value.
inline void long_value_pages(jet::PageFile& file, std::span<const std::uint8_t> f,
                             std::set<std::uint32_t>& out, std::vector<std::uint32_t>* chains) {
    if (f.size() < 12) return;
    std::uint32_t head, ptr;
    std::memcpy(&head, f.data(), 4);
    std::memcpy(&ptr, f.data() + 4, 4);
    if (head & jet::kLongValueInline) return;
    if ((head & jet::kLongValueLengthMask) == 0) return;
    if (head & jet::kLongValueSinglePage) {
        out.insert(ptr >> 8);
        return;
    }
    if (chains) chains->push_back(ptr);
    for (int hops = 0; ptr != 0 && hops < 10000; ++hops) {
        const jet::RowId id = jet::decode_row_pointer(ptr);
        out.insert(id.page);
        jet::PageRef p = file.page(id.page);
        auto slots = jet::decode_row_slots(p->span(), file.format(), {}, id.page);
        if (id.row >= slots.size()) return;
        std::memcpy(&ptr, p->bytes.data() + slots[id.row].start, 4);
    }
}

inline Layout analyse(const std::string& path, const std::string& password) {
    Layout L;
    auto db = jet::Database::open(path, password);
    jet::PageFile& file = db->file();
    const jet::FormatInfo& fmt = file.format();
    L.format = db->format();
    L.page_size = L.format == jet::Format::Jet3 ? 2048 : 4096;
    L.page_count = file.page_count();
    std::set<std::uint32_t> lval;
    for (const jet::TableInfo& t : db->tables()) {
        if (!t.local()) continue;
        jet::TableDef def = db->table_def(*t.entry);
        if (t.name == "MSysObjects") {
            L.catalog_pages = jet::usage_map_pages(file, def.used_pages, def.name);
        }
        if (t.kind != jet::TableKind::kTable) continue;
        TableLayout tl;
        tl.name = t.name;
        tl.tdef_page = def.tdef_page;
        tl.tdef_pages = def.pages;
        tl.usage_map = def.used_pages;
        for (const jet::RealIndex& ix : def.real_indexes)
            if (ix.first_page != 0 && ix.first_page < L.page_count) tl.index_roots.push_back(ix.first_page);
        for (std::uint32_t pg : jet::usage_map_pages(file, def.used_pages, def.name)) {
            jet::PageRef p = file.page(pg);
            if (p->type() != 1 || jet::data_page_owner(p->span(), fmt) != def.tdef_page) continue;
            tl.data_pages.push_back(pg);
            auto slots = jet::decode_row_slots(p->span(), fmt, {}, pg);
            for (std::size_t i = 0; i < slots.size(); ++i) {
                if (!slots[i].deleted() && slots[i].overflow())
                    tl.overflow_slots.push_back({pg, static_cast<std::uint8_t>(i)});
            }
        }
        std::vector<jet::RawField> fields;
        jet::scan_table_bytes(file, def, [&](const jet::RowId& id, std::uint32_t holder,
                                             std::span<const std::uint8_t> bytes) {
            SoundRow r;
            r.table = def.name;
            r.pages = {id.page, holder};
            jet::split_row(def, bytes, holder, fields);
            jet::Row row;
            for (std::size_t k = 0; k < def.columns.size(); ++k) {
                if (is_long_value(def.columns[k]) && fields[k].kind == jet::RawField::Kind::kVariable)
                    long_value_pages(file, fields[k].bytes, r.lv_pages, &L.lv_chain_pointers);
                row.push_back(jet::decode_field(file, def, def.columns[k], fields[k], holder));
            }
            lval.insert(r.lv_pages.begin(), r.lv_pages.end());
            r.key = row_key(def, row);
            L.rows.push_back(std::move(r));
            return true;
        });
        L.tables.push_back(std::move(tl));
    }
    L.lval_pages.assign(lval.begin(), lval.end());
    return L;
}

// One damaged copy.
struct Variant {
    std::string kind;  // header, catalog, tdef, usage_map, data_page, long_value,
                       // row_pointers, cycle, huge_count, truncation, bit_flips, index
    std::string name;  // kind and what was hit
    std::string bytes;
    std::set<std::uint32_t> damaged;      // pages whose rows a repair may lose
    std::set<std::string> lost_tables;    // tables whose definition was hit
    std::uint32_t cut = 0xFFFFFFFFu;      // truncation: first page gone
    bool may_alter = false;               // bit flips inside row data can't be told apart
};

// Whether a row of the sound file must come back whole from `v`.
inline bool must_survive(const Variant& v, const SoundRow& r) {
    if (v.lost_tables.count(r.table)) return false;
    for (std::uint32_t p : r.pages)
        if (v.damaged.count(p) || p >= v.cut) return false;
    return true;
}

inline void put16(std::string& b, std::size_t at, std::uint16_t v) { std::memcpy(&b[at], &v, 2); }
inline void put32(std::string& b, std::size_t at, std::uint32_t v) { std::memcpy(&b[at], &v, 4); }
inline std::uint32_t get32(const std::string& b, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, &b[at], 4);
    return v;
}

inline void fill_random(std::string& b, std::size_t from, std::size_t n, Rng& rng) {
    for (std::size_t i = 0; i < n && from + i < b.size(); ++i) b[from + i] = static_cast<char>(rng.next());
}

// The copies of one sound file: a few of each kind, chosen by `seed`.
inline std::vector<Variant> make_variants(const std::string& sound, const Layout& L,
                                          std::uint64_t seed = 1) {
    std::vector<Variant> out;
    Rng rng(seed);
    const std::size_t ps = L.page_size;
    const jet::FormatInfo& fmt = jet::format_info(L.format);
    auto base = [&](std::string kind, std::string what) {
        Variant v;
        v.kind = std::move(kind);
        v.name = v.kind + " " + what;
        v.bytes = sound;
        return v;
    };
    // Header page zeroed.
    {
        Variant v = base("header", "page 0 zeroed");
        std::fill(v.bytes.begin(), v.bytes.begin() + static_cast<std::ptrdiff_t>(ps), '\0');
        out.push_back(std::move(v));
    }
    // Catalog: each data page of MSysObjects overwritten with garbage.
    for (std::uint32_t pg : L.catalog_pages) {
        Variant v = base("catalog", "page " + std::to_string(pg));
        fill_random(v.bytes, pg * ps + 8, ps - 8, rng);
        out.push_back(std::move(v));
    }
    // Catalog: the catalog's own definition overwritten, so that no table
    // keeps its name and every one has to be found by its definition.
    {
        Variant v = base("catalog", "definition page 2");
        fill_random(v.bytes, 2 * ps + 8, ps - 8, rng);
        out.push_back(std::move(v));
    }
    for (const TableLayout& t : L.tables) {
        // Index: the root page of the table's first index overwritten. A
        // copy never reads an index, so every row comes back.
        if (!t.index_roots.empty()) {
            const std::uint32_t pg = t.index_roots.front();
            Variant v = base("index", t.name + " page " + std::to_string(pg));
            fill_random(v.bytes, pg * ps + 8, ps - 8, rng);
            out.push_back(std::move(v));
        }
        // Table definition: its first page's body overwritten.
        {
            Variant v = base("tdef", t.name + " page " + std::to_string(t.tdef_page));
            fill_random(v.bytes, t.tdef_page * ps + 8, ps - 8, rng);
            v.damaged.insert(t.tdef_page);
            v.lost_tables.insert(t.name);
            out.push_back(std::move(v));
        }
        // Usage map: its row zeroed (type 0, nothing marked).
        {
            const jet::RowId id = jet::decode_row_pointer(t.usage_map);
            Variant v = base("usage_map", t.name + " page " + std::to_string(id.page));
            std::string page = sound.substr(id.page * ps, ps);
            auto slots = jet::decode_row_slots(
                std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(page.data()), ps),
                fmt, {}, id.page);
            if (id.row < slots.size()) {
                for (std::size_t k = slots[id.row].start; k < slots[id.row].end; ++k)
                    v.bytes[id.page * ps + k] = 0;
                out.push_back(std::move(v));
            }
        }
        if (t.data_pages.empty()) continue;
        const std::uint32_t pg = t.data_pages[rng.below(t.data_pages.size())];
        // Data page: everything after the owner field overwritten.
        {
            Variant v = base("data_page", t.name + " page " + std::to_string(pg));
            fill_random(v.bytes, pg * ps + fmt.data_tdef_offset + 4, ps - fmt.data_tdef_offset - 4, rng);
            v.damaged.insert(pg);
            out.push_back(std::move(v));
        }
        // Row pointers: the slot table of one page scrambled.
        {
            Variant v = base("row_pointers", t.name + " page " + std::to_string(pg));
            std::uint16_t n;
            std::memcpy(&n, &sound[pg * ps + fmt.data_row_count_offset], 2);
            fill_random(v.bytes, pg * ps + fmt.data_first_offset, 2u * n, rng);
            v.damaged.insert(pg);
            out.push_back(std::move(v));
        }
        // Huge count: the page's row count at its maximum.
        {
            Variant v = base("huge_count", t.name + " page " + std::to_string(pg));
            put16(v.bytes, pg * ps + fmt.data_row_count_offset, 0xFFFF);
            v.damaged.insert(pg);
            out.push_back(std::move(v));
        }
        // Bit flips: eight bits of the page.
        {
            Variant v = base("bit_flips", t.name + " page " + std::to_string(pg));
            for (int k = 0; k < 8; ++k) {
                const std::size_t at = pg * ps + 8 + rng.below(ps - 8);
                v.bytes[at] = static_cast<char>(v.bytes[at] ^ (1u << rng.below(8)));
            }
            v.damaged.insert(pg);
            v.may_alter = true;
            out.push_back(std::move(v));
        }
        // Cycle: an overflow pointer that points at its own slot.
        if (!t.overflow_slots.empty()) {
            const jet::RowId id = t.overflow_slots.front();
            Variant v = base("cycle", t.name + " overflow row " + std::to_string(id.page) + ":" +
                                          std::to_string(id.row));
            std::uint16_t off;
            std::memcpy(&off, &sound[id.page * ps + fmt.data_first_offset + 2 * id.row], 2);
            put32(v.bytes, id.page * ps + (off & jet::kRowOffsetMask), (id.page << 8) | id.row);
            v.damaged.insert(id.page);  // the slot's own row is lost, no other
            v.may_alter = false;
            out.push_back(std::move(v));
        }
    }
    // Long values: one long-value page overwritten.
    if (!L.lval_pages.empty()) {
        const std::uint32_t pg = L.lval_pages[rng.below(L.lval_pages.size())];
        Variant v = base("long_value", "page " + std::to_string(pg));
        fill_random(v.bytes, pg * ps + 8, ps - 8, rng);
        out.push_back(std::move(v));
    }
    // Cycle: a multi-page value whose chain points back at its start.
    if (!L.lv_chain_pointers.empty()) {
        const std::uint32_t first = L.lv_chain_pointers.front();
        const jet::RowId id = jet::decode_row_pointer(first);
        Variant v = base("cycle", "long-value chain at page " + std::to_string(id.page));
        std::uint16_t off;
        std::memcpy(&off, &sound[id.page * ps + fmt.data_first_offset + 2 * id.row], 2);
        put32(v.bytes, id.page * ps + (off & jet::kRowOffsetMask), first);
        out.push_back(std::move(v));
    }
    // Truncation: the last tenth of the pages cut off.
    {
        const std::uint32_t keep = L.page_count - std::max<std::uint32_t>(1, L.page_count / 10);
        Variant v = base("truncation", "to " + std::to_string(keep) + " pages");
        v.bytes.resize(keep * ps);
        v.cut = keep;
        // A table whose definition lay past the cut is gone whole.
        for (const TableLayout& t : L.tables)
            for (std::uint32_t pg : t.tdef_pages)
                if (pg >= keep) v.lost_tables.insert(t.name);
        out.push_back(std::move(v));
    }
    return out;
}

}  // namespace damage
