// Integrity check of a whole database (see check.h).
#include "jet/index/check.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "jet/base/error.h"
#include "jet/base/format.h"
#include "jet/base/value.h"
#include "jet/index/key.h"
#include "jet/index/page.h"
#include "jet/page/file.h"
#include "jet/page/format.h"
#include "jet/table/catalog.h"
#include "jet/table/rows.h"
#include "jet/table/salvage.h"
#include "jet/table/table_def.h"

namespace jet {

namespace {

// As the readers: a moved row is at most a few hops from its slot.
constexpr int kMaxOverflowHops = 8;
constexpr std::uint32_t kRowsPerPageLimit = 256;
constexpr std::uint8_t kSystemTableType = 0x53;  // a row pointer's slot is one byte

bool is_lval_page(const Page& p) { return p.bytes.size() >= 8 && std::memcmp(p.bytes.data() + 4, "LVAL", 4) == 0; }

bool is_data_page(const Page& p) { return p.type() == static_cast<std::uint8_t>(PageType::kData); }

// The engine's errors end in "(table 'T', page N)" or "(table 'T')"; a
// problem names both itself, so the tail is cut off, and the page it names
// (the one that was being read, perhaps a long-value or overflow page) is
// taken over.
void take_error(std::string text, CheckProblem& p) {
    const std::size_t at = text.rfind(" (table '");
    if (at != std::string::npos && !text.empty() && text.back() == ')') {
        const std::size_t pg = text.find("', page ", at);
        if (pg != std::string::npos) {
            try {
                p.page = static_cast<std::uint32_t>(std::stoul(text.substr(pg + 8)));
            } catch (const std::exception&) {
            }
        }
        text.erase(at);
    }
    if (!text.empty() && text.back() == '.') text.pop_back();
    p.text = std::move(text);
}

// A column's value as the key encoder takes it; nullopt for a value it
// cannot encode (the entry is then not compared).
std::optional<KeyValue> key_value(const Value& v) {
    if (std::holds_alternative<Null>(v)) return KeyValue{std::monostate{}};
    if (auto p = std::get_if<bool>(&v)) return KeyValue{*p};
    if (auto p = std::get_if<std::uint8_t>(&v)) return KeyValue{static_cast<std::int64_t>(*p)};
    if (auto p = std::get_if<std::int16_t>(&v)) return KeyValue{static_cast<std::int64_t>(*p)};
    if (auto p = std::get_if<std::int32_t>(&v)) return KeyValue{static_cast<std::int64_t>(*p)};
    if (auto p = std::get_if<Currency>(&v)) return KeyValue{static_cast<std::int64_t>(p->scaled)};
    if (auto p = std::get_if<float>(&v)) return KeyValue{static_cast<double>(*p)};
    if (auto p = std::get_if<double>(&v)) return KeyValue{*p};
    if (auto p = std::get_if<DateTime>(&v)) return KeyValue{p->days};
    if (auto p = std::get_if<std::string>(&v)) return KeyValue{std::string_view(*p)};
    if (auto p = std::get_if<Bytes>(&v)) return KeyValue{std::span<const std::uint8_t>(*p)};
    if (auto p = std::get_if<Guid>(&v)) return KeyValue{p->bytes};
    if (auto p = std::get_if<Decimal>(&v)) return KeyValue{KeyDecimal{p->negative, p->magnitude}};
    if (auto p = std::get_if<std::int64_t>(&v)) return KeyValue{*p};
    return std::nullopt;
}

// The pages a table's rows lie on, in ascending order, with a bit per slot:
// which rows an index has an entry for.
class RowMarks {
  public:
    explicit RowMarks(const std::vector<std::uint32_t>& pages) : pages_(pages), bits_(pages.size() * 4, 0) {}
    // False when the row's page is not one of the table's pages.
    bool mark(const RowId& id) {
        auto it = std::lower_bound(pages_.begin(), pages_.end(), id.page);
        if (it == pages_.end() || *it != id.page) return false;
        const std::size_t bit = static_cast<std::size_t>(it - pages_.begin()) * kRowsPerPageLimit + id.row;
        bits_[bit / 64] |= std::uint64_t{1} << (bit % 64);
        return true;
    }
    bool marked(const RowId& id) const {
        auto it = std::lower_bound(pages_.begin(), pages_.end(), id.page);
        if (it == pages_.end() || *it != id.page) return false;
        const std::size_t bit = static_cast<std::size_t>(it - pages_.begin()) * kRowsPerPageLimit + id.row;
        return bits_[bit / 64] >> (bit % 64) & 1;
    }

  private:
    const std::vector<std::uint32_t>& pages_;
    std::vector<std::uint64_t> bits_;
};

class Checker {
  public:
    Checker(PageFile& file, const CheckReport& report, CheckStats& stats)
        : file_(file), fmt_(file.format()), report_(report), stats_(stats) {}

    void problem(std::string_view table, std::uint32_t page, std::string text) {
        ++stats_.problems;
        if (report_) report_(CheckProblem{std::string(table), page, std::move(text)});
    }
    void problem(std::string_view table, std::uint32_t page, const Error& e) {
        CheckProblem p{std::string(table), page, {}};
        take_error(e.what(), p);
        ++stats_.problems;
        if (report_) report_(p);
    }

    // One pass over every page: its type, and which table each data page
    // names as its owner.
    void survey() {
        for (std::uint32_t pg = 1; pg < file_.page_count(); ++pg) {
            try {
                PageRef p = file_.page(pg);
                if (is_data_page(*p) && !is_lval_page(*p) && p->bytes.size() >= fmt_.data_tdef_offset + 4)
                    owned_.emplace_back(data_page_owner(p->span(), fmt_), pg);
            } catch (const Error& e) {
                problem({}, pg, e);
            }
        }
        std::sort(owned_.begin(), owned_.end());
    }

    std::vector<std::uint32_t> owned_pages(std::uint32_t tdef) const {
        std::vector<std::uint32_t> out;
        auto it = std::lower_bound(owned_.begin(), owned_.end(), std::make_pair(tdef, std::uint32_t{0}));
        for (; it != owned_.end() && it->first == tdef; ++it) out.push_back(it->second);
        return out;
    }

    void check_table(const TableDef& def);

  private:
    struct IndexCheck {
        const RealIndex* real = nullptr;
        std::string name;         // the first logical index on it
        bool compare_keys = true;  // false where the encoder does not make the file's keys
        std::uint64_t expected = 0;  // rows that must have an entry
        std::uint64_t matched = 0;   // entries that stand for such a row
    };

    std::vector<std::uint32_t> table_pages(const TableDef& def);
    // The bytes of the live row whose slot is `id`, following overflow
    // pointers; nullopt (after a problem when `why` is given) when there is
    // none. `holder` keeps the page alive.
    std::optional<std::span<const std::uint8_t>> row_bytes(const TableDef& def, const RowId& id,
                                                           const Page& slot_page, const RowSlot& slot,
                                                           PageRef& holder, std::string* why);
    bool check_row(const TableDef& def, const RowId& id, std::span<const std::uint8_t> bytes,
                   std::uint32_t page, std::vector<IndexCheck>& indexes);
    void check_index(const TableDef& def, IndexCheck& ix, const std::vector<std::uint32_t>& pages,
                     RowMarks& marks);
    // Index page N of the table, reached from page FROM; nullopt after a
    // problem when it is not one, or when BUDGET pages were loaded already
    // (the tree's pointers then form a loop).
    std::optional<IndexPage> load_index_page(const TableDef& def, const std::string& label,
                                             std::uint32_t n, std::uint32_t from, std::uint32_t& budget);
    // The bytes of the row an index entry stands for (`holder` keeps its
    // page alive, `holder_page` says which one it is), or nullopt with the
    // reason in `why`.
    std::optional<std::span<const std::uint8_t>> entry_row(const TableDef& def, const RowId& row,
                                                           const std::vector<std::uint32_t>& pages,
                                                           PageRef& holder, std::uint32_t& holder_page,
                                                           std::string& why);
    std::optional<std::vector<std::uint8_t>> row_key(const TableDef& def, const IndexCheck& ix,
                                                     std::span<const std::uint8_t> bytes,
                                                     std::uint32_t page, bool& all_null, bool& any_null);

    PageFile& file_;
    const FormatInfo& fmt_;
    const CheckReport& report_;
    CheckStats& stats_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> owned_;  // (owner TDEF, data page)
    std::vector<RawField> fields_;
};

std::vector<std::uint32_t> Checker::table_pages(const TableDef& def) {
    const std::uint32_t map_page = decode_row_pointer(def.used_pages).page;
    std::vector<std::uint32_t> owned = owned_pages(def.tdef_page);
    std::vector<std::uint32_t> listed;
    try {
        listed = usage_map_pages(file_, def.used_pages, def.name);
    } catch (const Error& e) {
        problem(def.name, map_page, e);
        // The rows are then looked for on the pages that name the table.
        return owned;
    }
    std::vector<std::uint32_t> walk;
    for (std::uint32_t pg : listed) {
        if (pg >= file_.page_count()) {
            problem(def.name, map_page,
                    "the usage map lists page " + std::to_string(pg) + ", beyond the end of the file (" +
                        std::to_string(file_.page_count()) + " pages)");
            continue;
        }
        PageRef p;
        try {
            p = file_.page(pg, def.name);
        } catch (const Error& e) {
            problem(def.name, pg, e);
            continue;
        }
        // A map may still list pages the table has given back: those are
        // free pages or pages of another kind now, never data pages of
        // another table.
        if (!is_data_page(*p) || is_lval_page(*p)) continue;
        const std::uint32_t owner = data_page_owner(p->span(), fmt_);
        if (owner != def.tdef_page) {
            problem(def.name, map_page,
                    "the usage map lists page " + std::to_string(pg) +
                        ", a data page of another table (its owner is page " + std::to_string(owner) + ")");
            continue;
        }
        walk.push_back(pg);
    }
    // Pages that name the table but are missing from its map: a reader
    // going by the map never sees their rows. An emptied page left behind
    // holds none and is harmless. (`walk` is in map order up to here; the
    // pages found below are appended after it.)
    const std::vector<std::uint32_t> mapped = walk;
    for (std::uint32_t pg : owned) {
        if (std::binary_search(mapped.begin(), mapped.end(), pg)) continue;
        std::size_t live = 0;
        try {
            PageRef p = file_.page(pg, def.name);
            for (const RowSlot& s : decode_row_slots(p->span(), fmt_, def.name, pg))
                if (!s.deleted()) ++live;
        } catch (const Error&) {
            live = 1;  // a page that does not decode cannot be told empty
        }
        if (live == 0) continue;
        problem(def.name, map_page,
                "the usage map does not list page " + std::to_string(pg) +
                    ", which names the table as its owner and holds rows");
        walk.push_back(pg);
    }
    std::sort(walk.begin(), walk.end());
    walk.erase(std::unique(walk.begin(), walk.end()), walk.end());
    return walk;
}

std::optional<std::span<const std::uint8_t>> Checker::row_bytes(const TableDef& def, const RowId& id,
                                                                const Page& slot_page, const RowSlot& slot,
                                                                PageRef& holder, std::string* why) {
    RowSlot cur = slot;
    const Page* at = &slot_page;
    try {
        int hops = 0;
        while (cur.overflow() && !cur.deleted()) {
            ByteReader r{at->span(), def.name, at->number};
            if (++hops > kMaxOverflowHops) r.fail("Damaged row: overflow pointers loop");
            if (cur.end - cur.start < 4) r.fail("Damaged row: overflow pointer cut short");
            const RowId to = decode_row_pointer(r.u32(cur.start));
            holder = file_.page(to.page, def.name);
            at = holder.get();
            ByteReader tr{at->span(), def.name, to.page};
            if (!is_data_page(*at) || is_lval_page(*at) || data_page_owner(at->span(), fmt_) != def.tdef_page)
                tr.fail("Damaged row: overflow pointer leads to a page of another table");
            auto ts = decode_row_slots(at->span(), fmt_, def.name, to.page);
            if (to.row >= ts.size()) tr.fail("Damaged row: overflow pointer leads to a missing row");
            cur = ts[to.row];
        }
    } catch (const Error& e) {
        if (why) {
            CheckProblem p{def.name, id.page, {}};
            take_error(e.what(), p);
            *why = "row " + std::to_string(id.row) + ": " + p.text;
        }
        return std::nullopt;
    }
    if (at == &slot_page) holder.reset();
    return at->span().subspan(cur.start, cur.end - cur.start);
}

std::optional<std::vector<std::uint8_t>> Checker::row_key(const TableDef& def, const IndexCheck& ix,
                                                          std::span<const std::uint8_t> bytes,
                                                          std::uint32_t page, bool& all_null,
                                                          bool& any_null) {
    split_row(def, bytes, page, fields_);
    std::vector<Value> values;
    values.reserve(ix.real->columns.size());
    all_null = true;
    any_null = false;
    for (const IndexColumn& ic : ix.real->columns) {
        if (ic.column >= def.columns.size()) return std::nullopt;
        values.push_back(decode_field(file_, def, def.columns[ic.column], fields_[ic.column], page));
        const bool null = std::holds_alternative<Null>(values.back());
        all_null = all_null && null;
        any_null = any_null || null;
    }
    if (!ix.compare_keys) return std::nullopt;
    std::vector<KeyPart> parts;
    // Date/Time Extended keys are made of the stored bytes; kept here while the key is built.
    std::vector<std::array<std::uint8_t, kDateTimeExtSize>> stored;
    stored.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const IndexColumn& ic = ix.real->columns[i];
        std::optional<KeyValue> kv;
        if (const auto* ext = std::get_if<DateTimeExt>(&values[i])) {
            stored.push_back(encode_datetime_ext(*ext));
            kv = KeyValue{std::span<const std::uint8_t>(stored.back())};
        } else {
            kv = key_value(values[i]);
        }
        if (!kv) return std::nullopt;
        const Column& col = def.columns[ic.column];
        parts.push_back({col.column_type(), *kv, !ic.descending,
                         static_cast<SortOrderVersion>(col.sort_order_version == 1 ? 1 : 0),
                         is_ace(file_.header().version) ? NumericKeyOrder::kAce : NumericKeyOrder::kJet4});
    }
    try {
        return encode_index_key(parts);
    } catch (const Error&) {
        return std::nullopt;
    }
}

bool Checker::check_row(const TableDef& def, const RowId& id, std::span<const std::uint8_t> bytes,
                        std::uint32_t page, std::vector<IndexCheck>& indexes) {
    const std::string where = "row " + std::to_string(id.row) + ": ";
    if (!plausible_row(def, bytes)) {
        problem(def.name, page, where + "its column count or variable-column offsets do not fit the table");
        return false;
    }
    try {
        split_row(def, bytes, page, fields_);
    } catch (const Error& e) {
        CheckProblem p{def.name, page, {}};
        take_error(e.what(), p);
        problem(def.name, p.page, where + p.text);
        return false;
    }
    bool ok = true;
    for (std::size_t c = 0; c < def.columns.size(); ++c) {
        const Column& col = def.columns[c];
        const RawField& f = fields_[c];
        try {
            if (col.is_long_value() && f.kind == RawField::Kind::kVariable) {
                // Read piece by piece: a value of any size passes in bounded memory.
                std::uint32_t head = 0;
                if (f.bytes.size() >= 4) std::memcpy(&head, f.bytes.data(), 4);
                if (f.bytes.size() >= 4 && !(head & kLongValueInline) && (head & kLongValueLengthMask) != 0)
                    ++stats_.long_values;
                read_long_value_chunks(file_, def, f.bytes, page, [](std::span<const std::uint8_t>) {});
            } else {
                (void)decode_field(file_, def, col, f, page);
            }
        } catch (const Error& e) {
            CheckProblem p{def.name, page, {}};
            take_error(e.what(), p);
            problem(def.name, p.page, where + "column " + col.name + ": " + p.text);
            ok = false;
        }
    }
    if (!ok) return false;
    for (IndexCheck& ix : indexes) {
        bool all_null = false, any_null = false;
        try {
            // Only the null test is needed here; the keys are compared from
            // the entries' side.
            split_row(def, bytes, page, fields_);
            all_null = true;
            for (const IndexColumn& ic : ix.real->columns) {
                if (ic.column >= def.columns.size()) continue;
                const bool null = fields_[ic.column].kind == RawField::Kind::kNull &&
                                  def.columns[ic.column].column_type() != ColumnType::kBoolean;
                all_null = all_null && null;
                any_null = any_null || null;
            }
        } catch (const Error&) {
            continue;
        }
        if ((ix.real->flags & kIndexIgnoreNulls) && all_null) continue;
        ++ix.expected;
    }
    return true;
}

void Checker::check_index(const TableDef& def, IndexCheck& ix, const std::vector<std::uint32_t>& pages,
                          RowMarks& marks) {
    const std::string label = "index " + ix.name + ": ";
    const std::uint32_t root = ix.real->first_page;
    if (root == 0 || root >= file_.page_count()) {
        problem(def.name, def.tdef_page, label + "its first page " + std::to_string(root) + " lies outside the file");
        return;
    }
    ++stats_.indexes;
    std::uint32_t budget = file_.page_count();
    auto load = [&](std::uint32_t n, std::uint32_t from) { return load_index_page(def, label, n, from, budget); };
    // Down the leftmost edge to the first leaf.
    std::optional<IndexPage> page = load(root, def.tdef_page);
    while (page && !page->leaf) {
        const std::uint32_t child = page->entries.empty() ? page->tail : page->entries.front().child;
        if (child == 0) return;  // an empty tree
        const std::uint32_t from = page->number;
        page = load(child, from);
    }
    std::vector<std::uint8_t> prev, prev_key;
    bool have_prev = false, prev_any_null = true;
    PageRef holder;
    while (page) {
        for (const IndexEntry& e : page->entries) {
            ++stats_.index_entries;
            std::vector<std::uint8_t> full = e.key;
            full.push_back(static_cast<std::uint8_t>(e.row.page >> 16));
            full.push_back(static_cast<std::uint8_t>(e.row.page >> 8));
            full.push_back(static_cast<std::uint8_t>(e.row.page));
            full.push_back(e.row.row);
            const std::string entry = label + "the entry for row " + std::to_string(e.row.page) + ":" +
                                      std::to_string(e.row.row);
            if (have_prev && full < prev) problem(def.name, page->number, entry + " is out of order");
            if (have_prev && full == prev) {
                problem(def.name, page->number, entry + " appears twice");
                continue;
            }
            const bool same_key = have_prev && e.key == prev_key;
            prev = std::move(full);
            prev_key = e.key;
            have_prev = true;
            std::uint32_t holder_page = e.row.page;
            std::string why;
            const auto bytes = entry_row(def, e.row, pages, holder, holder_page, why);
            if (!bytes) {
                // A slot table that lost the row is as likely as a damaged
                // entry: the line names the row's page when it is one of the
                // table's, and the entry's page in its text.
                const bool table_page = std::binary_search(pages.begin(), pages.end(), e.row.page);
                problem(def.name, table_page ? e.row.page : page->number,
                        entry + (table_page ? " (on index page " + std::to_string(page->number) + ")" : "") +
                            " points at no row (" + why + ")");
                prev_any_null = true;
                continue;
            }
            bool all_null = false, any_null = false;
            std::optional<std::vector<std::uint8_t>> key;
            try {
                key = row_key(def, ix, *bytes, holder_page, all_null, any_null);
            } catch (const Error&) {
                prev_any_null = true;
                continue;  // the row itself is reported by the row walk
            }
            if (key && *key != e.key) {
                problem(def.name, page->number, entry + " does not hold the row's key");
                prev_any_null = true;
                continue;
            }
            // Nulls never clash in a unique index.
            if (same_key && (ix.real->flags & kIndexUnique) && !any_null && !prev_any_null)
                problem(def.name, page->number, entry + " repeats the key of the entry before it in a unique index");
            prev_any_null = any_null;
            if ((ix.real->flags & kIndexIgnoreNulls) && all_null) continue;
            marks.mark(e.row);
            ++ix.matched;
        }
        if (page->next == 0) break;
        const std::uint32_t from = page->number;
        page = load(page->next, from);
        if (page && !page->leaf) {
            problem(def.name, from, label + "the next leaf " + std::to_string(page->number) + " is not a leaf");
            break;
        }
    }
}

std::optional<IndexPage> Checker::load_index_page(const TableDef& def, const std::string& label,
                                                  std::uint32_t n, std::uint32_t from,
                                                  std::uint32_t& budget) {
    if (budget-- == 0) {
        problem(def.name, from, label + "its pages form a loop");
        return std::nullopt;
    }
    try {
        PageRef p = file_.page(n, def.name);
        const std::uint8_t type = p->type();
        if (type != static_cast<std::uint8_t>(PageType::kIndexNode) &&
            type != static_cast<std::uint8_t>(PageType::kIndexLeaf)) {
            problem(def.name, from, label + "page " + std::to_string(n) + " is not an index page");
            return std::nullopt;
        }
        IndexPage ip = decode_index_page(p->span(), n, def.format, def.name);
        if (ip.owner != def.tdef_page) {
            problem(def.name, n, label + "the page belongs to the table of page " + std::to_string(ip.owner));
            return std::nullopt;
        }
        return ip;
    } catch (const Error& e) {
        CheckProblem p{def.name, n, {}};
        take_error(e.what(), p);
        problem(def.name, p.page, label + p.text);
        return std::nullopt;
    }
}

std::optional<std::span<const std::uint8_t>> Checker::entry_row(const TableDef& def, const RowId& row,
                                                                const std::vector<std::uint32_t>& pages,
                                                                PageRef& holder, std::uint32_t& holder_page,
                                                                std::string& why) {
    if (!std::binary_search(pages.begin(), pages.end(), row.page)) {
        why = "page " + std::to_string(row.page) + " holds no rows of the table";
        return std::nullopt;
    }
    try {
        PageRef rp = file_.page(row.page, def.name);
        auto slots = decode_row_slots(rp->span(), fmt_, def.name, row.page);
        if (row.row >= slots.size() || slots[row.row].deleted()) {
            why = "there is no such row";
            return std::nullopt;
        }
        PageRef moved;
        auto bytes = row_bytes(def, row, *rp, slots[row.row], moved, &why);
        holder = moved ? moved : rp;
        holder_page = holder->number;
        return bytes;
    } catch (const Error&) {
        why = "its page does not decode";
        return std::nullopt;
    }
}

void Checker::check_table(const TableDef& def) {
    ++stats_.tables;
    std::vector<IndexCheck> indexes;
    for (const RealIndex& ri : def.real_indexes) {
        IndexCheck ix;
        ix.real = &ri;
        ix.name = "#" + std::to_string(ri.number);
        for (const Index& li : def.indexes) {
            if (li.real_index < def.real_indexes.size() && &def.real_indexes[li.real_index] == &ri) {
                ix.name = li.name;
                break;
            }
        }
        // The text keys of Jet 3 files follow an older sort order, which
        // the encoder does not make: their entries are checked for order
        // and rows only.
        for (const IndexColumn& ic : ri.columns) {
            if (ic.column >= def.columns.size()) continue;
            const ColumnType t = def.columns[ic.column].column_type();
            if (def.format == Format::Jet3 && (t == ColumnType::kText || t == ColumnType::kMemo))
                ix.compare_keys = false;
        }
        indexes.push_back(std::move(ix));
    }

    const std::vector<std::uint32_t> pages = table_pages(def);
    std::uint64_t live = 0;
    bool all_read = true;
    for (std::uint32_t pg : pages) {
        PageRef p;
        std::vector<RowSlot> slots;
        try {
            p = file_.page(pg, def.name);
            slots = decode_row_slots(p->span(), fmt_, def.name, pg);
        } catch (const Error& e) {
            problem(def.name, pg, e);
            all_read = false;
            continue;
        }
        for (std::size_t i = 0; i < slots.size(); ++i) {
            if (slots[i].deleted()) continue;
            const RowId id{pg, static_cast<std::uint8_t>(i)};
            ++live;
            PageRef holder;
            std::string why;
            auto bytes = row_bytes(def, id, *p, slots[i], holder, &why);
            if (!bytes) {
                problem(def.name, pg, why);
                continue;
            }
            ++stats_.rows;
            check_row(def, id, *bytes, holder ? holder->number : pg, indexes);
        }
    }
    // Jet keeps the count of its own system tables loosely (files fresh
    // from Access differ by a few rows); a user table's count is what
    // readers and a repair's report go by.
    if (all_read && live != def.row_count && def.table_type != kSystemTableType) {
        problem(def.name, def.tdef_page,
                "the table definition counts " + std::to_string(def.row_count) + " rows, its pages hold " +
                    std::to_string(live));
    }

    for (IndexCheck& ix : indexes) {
        RowMarks marks(pages);
        check_index(def, ix, pages, marks);
        if (ix.matched == ix.expected) continue;
        // Some row has no entry: name them (a second, cheaper walk).
        std::uint64_t missing = 0;
        for (std::uint32_t pg : pages) {
            PageRef p;
            std::vector<RowSlot> slots;
            try {
                p = file_.page(pg, def.name);
                slots = decode_row_slots(p->span(), fmt_, def.name, pg);
            } catch (const Error&) {
                continue;
            }
            for (std::size_t i = 0; i < slots.size(); ++i) {
                if (slots[i].deleted()) continue;
                const RowId id{pg, static_cast<std::uint8_t>(i)};
                if (marks.marked(id)) continue;
                PageRef holder;
                auto bytes = row_bytes(def, id, *p, slots[i], holder, nullptr);
                if (!bytes || !plausible_row(def, *bytes)) continue;
                bool all_null = true;
                try {
                    split_row(def, *bytes, holder ? holder->number : pg, fields_);
                    for (const IndexColumn& ic : ix.real->columns) {
                        if (ic.column >= def.columns.size()) continue;
                        all_null = all_null && fields_[ic.column].kind == RawField::Kind::kNull &&
                                   def.columns[ic.column].column_type() != ColumnType::kBoolean;
                    }
                } catch (const Error&) {
                    continue;
                }
                if ((ix.real->flags & kIndexIgnoreNulls) && all_null) continue;
                ++missing;
                problem(def.name, pg, "index " + ix.name + ": row " + std::to_string(i) + " has no entry");
            }
        }
        if (missing == 0 && ix.matched < ix.expected) {
            problem(def.name, def.tdef_page,
                    "index " + ix.name + ": " + std::to_string(ix.expected - ix.matched) + " rows have no entry");
        }
    }
}

// The first bytes of an Access 2007 or later file: this engine does not
// read them, and saying their header is damaged would be wrong.
bool newer_format(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char head[0x15] = {};
    in.read(head, sizeof head);
    if (in.gcount() < static_cast<std::streamsize>(sizeof head)) return false;
    if (std::memcmp(head + 4, "Standard ACE DB", 15) == 0) return true;
    return std::memcmp(head + 4, "Standard Jet DB", 15) == 0 && head[kHeaderVersionOffset] >= 2 &&
           head[kHeaderVersionOffset] <= 4;
}

}  // namespace

CheckStats check_database(const std::string& path, std::string_view password, const CheckReport& report) {
    CheckStats stats;
    std::unique_ptr<PageFile> file;
    std::optional<Error> header_error;
    try {
        file = PageFile::open(path, password);
    } catch (const Error& e) {
        const std::string why = e.what();
        const bool header = why.find("Unrecognized database format") != std::string::npos ||
                            why.find("The database header of") != std::string::npos;
        if (!header || newer_format(path)) throw;
        try {
            file = PageFile::open_salvage(path, password);
        } catch (const Error&) {
            throw e;  // nothing in the file looks like a Jet database
        }
        header_error = e;
    }
    Checker check(*file, report, stats);
    if (header_error) {
        check.problem({}, 0, std::string(header_error->what()) + " (the rest of the file is checked as a repair reads it)");
    }
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (!ec && size % file->page_size() != 0) {
        check.problem({}, 0,
                      "the file ends inside page " + std::to_string(size / file->page_size()) + " (" +
                          std::to_string(size) + " bytes is not a whole number of " +
                          std::to_string(file->page_size()) + "-byte pages)");
    }
    check.survey();

    // The catalog's own table first: without it no other table is found.
    TableDef catalog_def;
    try {
        catalog_def = read_table_def(*file, kCatalogTdefPage, "MSysObjects");
    } catch (const Error& e) {
        check.problem("MSysObjects", kCatalogTdefPage, e);
        return stats;
    }
    std::vector<CatalogEntry> catalog;
    try {
        catalog = read_catalog(*file, true);
    } catch (const Error& e) {
        check.problem("MSysObjects", kCatalogTdefPage, e);
    }
    std::set<std::uint32_t> seen;
    bool catalog_checked = false;
    for (const CatalogEntry& entry : catalog) {
        if (entry.type != kObjectTable) continue;
        const std::uint32_t tdef = entry.tdef_page();
        if (!seen.insert(tdef).second) continue;
        if (tdef == kCatalogTdefPage) catalog_checked = true;
        TableDef def;
        try {
            if (tdef == 0 || tdef >= file->page_count()) {
                check.problem(entry.name, kCatalogTdefPage,
                              "the catalog places its definition on page " + std::to_string(tdef) +
                                  ", outside the file");
                continue;
            }
            if (file->page(tdef, entry.name)->type() != static_cast<std::uint8_t>(PageType::kTableDef)) {
                check.problem(entry.name, tdef, "the catalog places the table's definition here, but it is not a table definition page");
                continue;
            }
            def = tdef == kCatalogTdefPage ? catalog_def : read_table_def(*file, tdef, entry.name);
            def.name = entry.name;
        } catch (const Error& e) {
            check.problem(entry.name, tdef, e);
            continue;
        }
        check.check_table(def);
    }
    if (!catalog_checked) {
        catalog_def.name = "MSysObjects";
        check.check_table(catalog_def);
    }
    return stats;
}

}  // namespace jet
