// The database writer (see write_database.h).
//
// Layout decisions that readers depend on:
// - rows of a page are contiguous from the page end; a deleted row keeps its
//   slot (flags 0xC000) with no bytes, so every later row still ends where
//   the previous one starts;
// - a table's usage map lists only its data pages; the long-value pages of a
//   memo/OLE column are listed in that column's own map (the list at the end
//   of the TDEF), because readers check the owner of every page in the
//   table's map;
// - index B-trees are rebuilt from the sorted entries at every flush, so
//   they hold no half-split pages and no shared prefixes.
#include "jet/write/writer.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <limits>
#include <random>

#include "jet/table/database.h"
#include "jet/base/error.h"
#include "jet/index/key.h"
#include "jet/index/page.h"
#include "jet/page/format.h"
#include "jet/base/sort_general.h"
#include "jet/write/index_build.h"

namespace jet {

using write::Bytes;
using write::RowSlotImage;

namespace {

constexpr std::string_view kDuplicateKeyMessage =
    "The changes you requested to the table were not successful because they would create "
    "duplicate values in the index, primary key, or relationship. Change the data in the field "
    "or fields that contain duplicate data, remove the index, or redefine the index to permit "
    "duplicate entries and try again.";
constexpr std::string_view kFieldTooSmallMessage =
    "The field is too small to accept the amount of data you attempted to add. Try inserting or "
    "pasting less data.";
constexpr std::string_view kRecordTooLargeMessage = "Record is too large.";

// Inline long values up to this size, when the row has room.
constexpr std::size_t kInlineLongValueMax = 1024;
// Bytes of one long-value chunk in a chained value (row = next pointer + chunk).
constexpr std::size_t kLongValueChunk = write::kMaxRowSize - 4;

std::string lower_ascii(std::string_view s) {
    std::string out(s);
    for (auto& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool same_name(std::string_view a, std::string_view b) { return lower_ascii(a) == lower_ascii(b); }

std::size_t utf8_length(std::string_view s) {
    return utf8_to_utf16(s).size();
}

void check_object_name(std::string_view name, std::string_view what) {
    std::size_t n = utf8_length(name);
    if (n == 0 || n > 64) {
        throw Error("The " + std::string(what) + " name '" + std::string(name) +
                    "' is not valid: it must have 1 to 64 characters.");
    }
    if (name.find_first_of(".!`[]") != std::string_view::npos || name.front() == ' ') {
        throw Error("The " + std::string(what) + " name '" + std::string(name) +
                    "' is not valid: it contains a character Jet does not allow.");
    }
}

template <class T>
const T* get_if_value(const Value& v) {
    return std::get_if<T>(&v);
}

// Integral view of a value for the integer column types.
bool integral_value(const Value& v, std::int64_t& out) {
    if (auto p = std::get_if<std::uint8_t>(&v)) return out = *p, true;
    if (auto p = std::get_if<std::int16_t>(&v)) return out = *p, true;
    if (auto p = std::get_if<std::int32_t>(&v)) return out = *p, true;
    if (auto p = std::get_if<bool>(&v)) return out = *p ? 1 : 0, true;
    return false;
}

bool real_value(const Value& v, double& out) {
    std::int64_t i = 0;
    if (integral_value(v, i)) return out = static_cast<double>(i), true;
    if (auto p = std::get_if<float>(&v)) return out = *p, true;
    if (auto p = std::get_if<double>(&v)) return out = *p, true;
    if (auto p = std::get_if<DateTime>(&v)) return out = p->days, true;
    if (auto p = std::get_if<Currency>(&v)) return out = static_cast<double>(p->scaled) / 10000.0, true;
    return false;
}

std::uint16_t fixed_length(ColumnType type) {
    switch (type) {
        case ColumnType::kBoolean: return 1;
        case ColumnType::kByte: return 1;
        case ColumnType::kInteger: return 2;
        case ColumnType::kLong: return 4;
        case ColumnType::kCurrency: return 8;
        case ColumnType::kSingle: return 4;
        case ColumnType::kDouble: return 8;
        case ColumnType::kDateTime: return 8;
        case ColumnType::kGuid: return 16;
        case ColumnType::kNumeric: return 17;
        default: return 0;
    }
}

bool is_fixed_type(ColumnType type) { return fixed_length(type) != 0; }

bool is_long_type(ColumnType type) { return type == ColumnType::kMemo || type == ColumnType::kOle; }

bool is_text_type(ColumnType type) { return type == ColumnType::kText || type == ColumnType::kMemo; }

std::string type_mismatch(const ColumnSpec& c) {
    return "Data type mismatch in column '" + c.name + "' (" +
           column_type_name(static_cast<std::uint8_t>(c.type)) + ").";
}

}  // namespace

// ---- internal state ----------------------------------------------------------

struct DatabaseWriter::MapRef {
    std::uint32_t page = 0;  // owner-0 page holding the map row
    std::uint8_t row = 0;
    std::vector<std::uint32_t> reference_pages;  // type-5 pages of a type-1 map
    std::uint32_t pointer() const { return write::row_pointer(page, row); }
};

struct DatabaseWriter::LongColumn {
    std::size_t column = 0;
    MapRef used, free;
    std::vector<std::uint32_t> pages;
    std::uint32_t current = 0;  // LVAL page being filled (0 = none)
    std::vector<RowSlotImage> rows;
};

struct DatabaseWriter::IndexState {
    IndexSpec layout;
    std::vector<std::pair<std::size_t, bool>> columns;  // position, descending
    std::uint8_t flags = 0;
    std::uint8_t index_type = 0;
    std::uint32_t number = 0;
    MapRef map;
    std::vector<std::uint32_t> pages;  // pages the B-tree occupies
    std::uint32_t first_page = 0;
    std::set<Bytes> entries;  // key + 4-byte row pointer, in index order
    // Where each row's entry is, to take it out again (set iterators stay valid).
    std::unordered_map<std::uint32_t, std::set<Bytes>::const_iterator> entry_of_row;
    bool dirty = true;
    // An index built over a table's rows lives on its pages only; its entries
    // are read back (load_index_entries) when a change of the table needs them.
    bool loaded = true;
    std::uint32_t stored_entries = 0;  // while !loaded
    std::uint32_t entry_count() const {
        return loaded ? static_cast<std::uint32_t>(entries.size()) : stored_entries;
    }
};

struct DatabaseWriter::Table {
    TableSpec layout;
    bool system = false;
    std::uint32_t tdef_page = 0;
    std::vector<std::uint32_t> tdef_pages;
    std::vector<write::TdefColumn> columns;  // parallel to layout.columns
    std::uint16_t fixed_size = 0;
    std::uint16_t var_count = 0;
    std::uint32_t rows = 0;
    std::uint32_t autonumber = 0;
    MapRef used, free;
    std::vector<std::uint32_t> data_pages;
    std::uint32_t current = 0;  // data page being filled (0 = none)
    std::vector<RowSlotImage> current_rows;
    std::vector<LongColumn> longs;
    std::vector<int> long_of_column;  // -1 or index into longs
    std::vector<std::unique_ptr<IndexState>> indexes;
    bool dirty = true;
};

struct DatabaseWriter::RowScratch {
    Bytes mask, fixed, chunk, value;
    std::vector<Bytes> var;                              // by variable index
    std::vector<Bytes> long_data;                        // memo/OLE data before it is stored
    std::vector<std::pair<std::size_t, std::size_t>> longs;  // column, slot in long_data
    std::vector<std::size_t> streams;                    // columns whose value streams
    std::vector<std::size_t> by_size;
    std::vector<bool> inline_ok;
    std::vector<std::uint16_t> offsets;
    std::vector<FieldInput> inputs;                      // encode_row's view of its values
};

// ---- construction -------------------------------------------------------------

DatabaseWriter::DatabaseWriter() = default;

DatabaseWriter::~DatabaseWriter() {
    try {
        close();
    } catch (...) {
        // A destructor must not throw; close() explicitly to see errors.
    }
}

std::uint32_t DatabaseWriter::allocate_page() {
    if (!free_pages_.empty()) {
        std::uint32_t p = free_pages_.back();
        free_pages_.pop_back();
        return p;
    }
    return pager_.allocate();
}

DatabaseWriter::MapRef DatabaseWriter::new_map() {
    Bytes empty = write::encode_inline_map(0, {});
    if (map_page_rows_.empty() || map_page_rows_.back().second.size() >= write::kMaxRowsPerPage ||
        write::row_page_free(map_page_rows_.back().second) < empty.size() + 2) {
        std::uint32_t page = allocate_page();
        map_page_rows_.emplace_back(page, std::vector<RowSlotImage>{});
    }
    auto& [page, rows] = map_page_rows_.back();
    MapRef ref;
    ref.page = page;
    ref.row = static_cast<std::uint8_t>(rows.size());
    rows.push_back(RowSlotImage{empty, false});
    return ref;
}

void DatabaseWriter::write_map(MapRef& map, std::vector<std::uint32_t> pages) {
    std::sort(pages.begin(), pages.end());
    Bytes row;
    std::uint32_t start = pages.empty() || pages.back() < write::kInlineMapPages ? 0 : pages.front() & ~7u;
    if (pages.empty() || pages.back() - start < write::kInlineMapPages) {
        row = write::encode_inline_map(start, pages);
    } else {
        std::size_t slots = pages.back() / write::kMapPageBits + 1;
        if (slots > (write::kUsageMapRowSize - 1) / 4) throw Error("The database is too large.");
        map.reference_pages.resize(std::max(map.reference_pages.size(), slots), 0);
        for (std::size_t s = 0; s < slots; ++s) {
            bool any = std::any_of(pages.begin(), pages.end(), [&](std::uint32_t p) {
                return p / write::kMapPageBits == s;
            });
            if (!any && map.reference_pages[s] == 0) continue;
            if (map.reference_pages[s] == 0) map.reference_pages[s] = allocate_page();
            pager_.write(map.reference_pages[s], write::encode_map_page(s, pages));
        }
        row = write::encode_reference_map(map.reference_pages);
    }
    for (auto& [page, rows] : map_page_rows_) {
        if (page == map.page) {
            rows.at(map.row).bytes = row;
            return;
        }
    }
    throw Error("Internal error: usage map row not found");
}

TableHandle DatabaseWriter::add_table(const TableSpec& layout, bool system, std::uint32_t tdef_page,
                                      bool with_maps) {
    if (layout.columns.empty()) throw Error("Table '" + layout.name + "' has no columns.");
    if (layout.columns.size() > 255) throw Error("Too many fields defined.");
    auto t = std::make_unique<Table>();
    t->layout = layout;
    t->system = system;
    t->tdef_page = tdef_page ? tdef_page : allocate_page();
    t->tdef_pages = {t->tdef_page};
    // Column ids, then fixed offsets and variable slots in id order.
    std::vector<std::size_t> order(layout.columns.size());
    for (std::size_t i = 0; i < layout.columns.size(); ++i) {
        order[i] = i;
        auto& c = t->layout.columns[i];
        if (c.number < 0) c.number = static_cast<int>(i);
        if (!system) check_object_name(c.name, "field");
        for (std::size_t k = 0; k < i; ++k) {
            if (same_name(layout.columns[k].name, c.name)) {
                throw Error("Field '" + c.name + "' is defined more than once.");
            }
        }
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return t->layout.columns[a].number < t->layout.columns[b].number;
    });
    t->columns.resize(layout.columns.size());
    t->long_of_column.assign(layout.columns.size(), -1);
    std::uint16_t fixed = 0, var = 0;
    for (std::size_t i : order) {
        const ColumnSpec& c = t->layout.columns[i];
        write::TdefColumn& w = t->columns[i];
        w.name = c.name;
        w.type = static_cast<std::uint8_t>(c.type);
        w.number = static_cast<std::uint16_t>(c.number);
        // A required column is recorded by leaving out the nullable flag (the
        // callers check nulls against it; a copy keeps what the source had).
        w.flags = static_cast<std::uint8_t>((c.required ? 0 : kColumnNullable) | c.extra_flags);
        if (is_fixed_type(c.type)) {
            w.flags |= kColumnFixed;
            w.length = fixed_length(c.type);
            w.var_index = var;
            if (c.type != ColumnType::kBoolean) {
                w.fixed_offset = fixed;
                fixed = static_cast<std::uint16_t>(fixed + w.length);
            }
        } else {
            w.var_index = var++;
            switch (c.type) {
                case ColumnType::kText: {
                    std::uint16_t chars = c.size ? c.size : 255;
                    if (chars > 255) throw Error("Text field '" + c.name + "' is longer than 255.");
                    w.length = static_cast<std::uint16_t>(chars * 2);
                    break;
                }
                case ColumnType::kBinary: {
                    std::uint16_t bytes = c.size ? c.size : 255;
                    if (bytes > 255 && !system) {
                        throw Error("Binary field '" + c.name + "' is longer than 255.");
                    }
                    w.length = bytes;
                    break;
                }
                case ColumnType::kMemo:
                case ColumnType::kOle:
                    w.length = 0;
                    break;
                default:
                    throw Error("Field '" + c.name + "' has an unknown data type.");
            }
        }
        if (c.autonumber) {
            if (c.type == ColumnType::kLong) {
                w.flags |= kColumnAutoLong;
            } else if (c.type == ColumnType::kGuid) {
                w.flags |= kColumnAutoGuid;
            } else {
                throw Error("Only Long Integer and Replication ID fields can be autonumbers.");
            }
        }
        if (c.hyperlink) w.flags |= kColumnHyperlink;
        if (is_text_type(c.type) && c.compressed && !system) w.misc_flags = 0x01;
        if (c.type == ColumnType::kNumeric) {
            if (c.precision < 1 || c.precision > 28 || c.scale > c.precision) {
                throw Error("Field '" + c.name + "' has a precision or scale out of range.");
            }
            w.misc = static_cast<std::uint16_t>(c.precision | (c.scale << 8));
        }
    }
    t->fixed_size = fixed;
    t->var_count = var;
    if (with_maps) {
        t->used = new_map();
        t->free = new_map();
    }
    for (std::size_t i : order) {
        if (is_long_type(t->layout.columns[i].type)) {
            LongColumn lc;
            lc.column = i;
            if (with_maps) {
                lc.used = new_map();
                lc.free = new_map();
            }
            t->long_of_column[i] = static_cast<int>(t->longs.size());
            t->longs.push_back(std::move(lc));
        }
    }
    tables_.push_back(std::move(t));
    return tables_.size() - 1;
}

// ---- tables ---------------------------------------------------------------------

TableHandle DatabaseWriter::create_table(const TableSpec& layout) {
    if (closed_) throw Error("The database is closed.");
    check_object_name(layout.name, "table");
    for (const auto& t : tables_) {
        if (same_name(t->layout.name, layout.name)) {
            throw Error("Table '" + layout.name + "' already exists.");
        }
    }
    TableHandle h = add_table(layout, false, 0);
    Table& t = *tables_[h];
    add_catalog_row(layout.name, static_cast<std::int32_t>(t.tdef_page), 0x0F000001, 1, 0,
                    Bytes{0x64, 0x8B});
    return h;
}

TableHandle DatabaseWriter::table(std::string_view name) const {
    for (std::size_t i = 0; i < tables_.size(); ++i) {
        if (same_name(tables_[i]->layout.name, name)) return i;
    }
    throw Error("The Microsoft Jet database engine cannot find the input table or query '" +
                std::string(name) + "'. Make sure it exists and that its name is spelled "
                                    "correctly.");
}

std::vector<std::string> DatabaseWriter::table_names() const {
    std::vector<std::string> out;
    for (const auto& t : tables_) {
        if (!t->system) out.push_back(t->layout.name);
    }
    return out;
}

const TableSpec& DatabaseWriter::table_spec(TableHandle table) const {
    return tables_.at(table)->layout;
}

std::uint32_t DatabaseWriter::row_count(TableHandle table) const { return tables_.at(table)->rows; }

void DatabaseWriter::add_catalog_row(const std::string& name, std::int32_t id, std::int32_t parent,
                                     std::int16_t type, std::int32_t flags, const Bytes& owner) {
    Table& cat = *tables_.at(0);
    std::vector<Value> values(cat.layout.columns.size(), Null{});
    double now = creation_date_;
    for (std::size_t i = 0; i < cat.layout.columns.size(); ++i) {
        const std::string& c = cat.layout.columns[i].name;
        if (c == "Id") values[i] = id;
        else if (c == "ParentId") values[i] = parent;
        else if (c == "Name") values[i] = name;
        else if (c == "Type") values[i] = type;
        else if (c == "DateCreate" || c == "DateUpdate") values[i] = DateTime{now};
        else if (c == "Owner") values[i] = owner;
        else if (c == "Flags") values[i] = flags;
    }
    insert_row(0, values);
}

// ---- rows -----------------------------------------------------------------------

void DatabaseWriter::encode_fixed_value(const Table& t, std::size_t column, const Value& v,
                                        Bytes& out) {
    const ColumnSpec& c = t.layout.columns[column];
    out.clear();
    std::int64_t i = 0;
    double d = 0;
    auto need_int = [&](std::int64_t lo, std::int64_t hi) {
        if (!integral_value(v, i)) throw Error(type_mismatch(c));
        if (i < lo || i > hi) {
            throw Error("Overflow: the value " + std::to_string(i) + " does not fit field '" +
                        c.name + "'.");
        }
    };
    switch (c.type) {
        case ColumnType::kByte:
            need_int(0, 255);
            out.push_back(static_cast<std::uint8_t>(i));
            break;
        case ColumnType::kInteger:
            need_int(-32768, 32767);
            write::append_u16(out, static_cast<std::uint16_t>(i));
            break;
        case ColumnType::kLong:
            need_int(std::numeric_limits<std::int32_t>::min(),
                     std::numeric_limits<std::int32_t>::max());
            write::append_u32(out, static_cast<std::uint32_t>(i));
            break;
        case ColumnType::kCurrency: {
            std::int64_t scaled = 0;
            if (auto p = get_if_value<Currency>(v)) {
                scaled = p->scaled;
            } else if (integral_value(v, i)) {
                scaled = i * 10000;
            } else {
                throw Error(type_mismatch(c));
            }
            write::append_u64(out, static_cast<std::uint64_t>(scaled));
            break;
        }
        case ColumnType::kSingle:
            if (!real_value(v, d)) throw Error(type_mismatch(c));
            write::append_u32(out, std::bit_cast<std::uint32_t>(static_cast<float>(d)));
            break;
        case ColumnType::kDouble:
        case ColumnType::kDateTime:
            if (!real_value(v, d)) throw Error(type_mismatch(c));
            write::append_f64(out, d);
            break;
        case ColumnType::kGuid: {
            auto p = get_if_value<Guid>(v);
            if (!p) throw Error(type_mismatch(c));
            out.assign(p->bytes.begin(), p->bytes.end());
            break;
        }
        case ColumnType::kNumeric: {
            auto p = get_if_value<Decimal>(v);
            if (!p) throw Error(type_mismatch(c));
            out.push_back(p->negative ? 0x80 : 0x00);
            // Four 32-bit words, most significant first, each little-endian.
            for (int w = 0; w < 4; ++w) {
                for (int k = 3; k >= 0; --k) out.push_back(p->magnitude[w * 4 + k]);
            }
            break;
        }
        default:
            throw Error("Internal error: not a fixed column");
    }
}

Bytes DatabaseWriter::store_long_value(Table& t, std::size_t column,
                                       std::span<const std::uint8_t> data, bool allow_inline) {
    LongColumn& lc = t.longs.at(static_cast<std::size_t>(t.long_of_column.at(column)));
    if (data.size() > kLongValueLengthMask) throw Error(std::string(kRecordTooLargeMessage));
    Bytes header;
    auto length = static_cast<std::uint32_t>(data.size());
    if (allow_inline) {
        write::append_u32(header, length | kLongValueInline);
        write::append_u32(header, 0);
        write::append_u32(header, 0);
        header.insert(header.end(), data.begin(), data.end());
        return header;
    }
    auto flush_current = [&] {
        if (lc.current) pager_.write(lc.current, write::encode_row_page(0, true, lc.rows));
    };
    auto new_page = [&] {
        flush_current();
        lc.current = allocate_page();
        lc.pages.push_back(lc.current);
        lc.rows.clear();
    };
    if (data.size() <= write::kMaxRowSize) {
        if (lc.current == 0 || lc.rows.size() >= write::kMaxRowsPerPage ||
            write::row_page_free(lc.rows) < data.size() + 2) {
            new_page();
        }
        auto row = static_cast<std::uint8_t>(lc.rows.size());
        lc.rows.push_back(RowSlotImage{Bytes(data.begin(), data.end()), false});
        write::append_u32(header, length | kLongValueSinglePage);
        write::append_u32(header, write::row_pointer(lc.current, row));
        write::append_u32(header, 0);
        return header;
    }
    // A chain: every full chunk alone on a page of its own, the remainder on
    // the page being filled. The remainder is placed first so that each
    // chunk can name the next one when it is written.
    std::size_t chunks = (data.size() + kLongValueChunk - 1) / kLongValueChunk;
    std::size_t last_from = (chunks - 1) * kLongValueChunk;
    RowSlotImage last;
    write::append_u32(last.bytes, 0);
    last.bytes.insert(last.bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(last_from), data.end());
    if (lc.current == 0 || lc.rows.size() >= write::kMaxRowsPerPage ||
        write::row_page_free(lc.rows) < last.bytes.size() + 2) {
        new_page();
    }
    std::uint32_t next = write::row_pointer(lc.current, static_cast<std::uint8_t>(lc.rows.size()));
    lc.rows.push_back(std::move(last));
    for (std::size_t k = chunks - 1; k-- > 0;) {
        std::uint32_t page = allocate_page();
        lc.pages.push_back(page);
        RowSlotImage r;
        write::append_u32(r.bytes, next);
        std::size_t from = k * kLongValueChunk;
        r.bytes.insert(r.bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
                       data.begin() + static_cast<std::ptrdiff_t>(from + kLongValueChunk));
        std::vector<RowSlotImage> one{std::move(r)};
        pager_.write(page, write::encode_row_page(0, true, one));
        next = write::row_pointer(page, 0);
    }
    write::append_u32(header, length);
    write::append_u32(header, next);
    write::append_u32(header, 0);
    return header;
}

Bytes DatabaseWriter::store_long_value_stream(
    Table& t, std::size_t column, const std::function<void(const FieldInput::Sink&)>& stream) {
    LongColumn& lc = t.longs.at(static_cast<std::size_t>(t.long_of_column.at(column)));
    // Chunks are written first to last, so each page is allocated before
    // the chunk that names it is written: a full chunk goes out only when
    // more bytes follow, and the last one is placed when the value ends.
    Bytes& pending = scratch_->chunk;
    pending.clear();
    std::uint32_t pending_page = 0;  // page of the chunk in `pending` (0 = none yet)
    std::uint32_t first = 0;
    std::uint64_t total = 0;
    stream([&](std::span<const std::uint8_t> piece) {
        total += piece.size();
        if (total > kLongValueLengthMask) throw Error(std::string(kRecordTooLargeMessage));
        while (!piece.empty()) {
            if (pending.size() == kLongValueChunk) {
                if (pending_page == 0) {
                    pending_page = allocate_page();
                    lc.pages.push_back(pending_page);
                    first = write::row_pointer(pending_page, 0);
                }
                const std::uint32_t next = allocate_page();
                lc.pages.push_back(next);
                std::vector<RowSlotImage> one(1);
                one[0].bytes.reserve(4 + pending.size());
                write::append_u32(one[0].bytes, write::row_pointer(next, 0));
                one[0].bytes.insert(one[0].bytes.end(), pending.begin(), pending.end());
                pager_.write(pending_page, write::encode_row_page(0, true, one));
                pending_page = next;
                pending.clear();
            }
            const std::size_t take = std::min(piece.size(), kLongValueChunk - pending.size());
            pending.insert(pending.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(take));
            piece = piece.subspan(take);
        }
    });
    if (pending_page == 0) return store_long_value(t, column, pending, false);
    // The last chunk opens the page the column fills next.
    RowSlotImage last;
    last.bytes.reserve(4 + pending.size());
    write::append_u32(last.bytes, 0);
    last.bytes.insert(last.bytes.end(), pending.begin(), pending.end());
    if (lc.current) pager_.write(lc.current, write::encode_row_page(0, true, lc.rows));
    lc.current = pending_page;
    lc.rows.clear();
    lc.rows.push_back(std::move(last));
    Bytes header;
    write::append_u32(header, static_cast<std::uint32_t>(total));
    write::append_u32(header, first);
    write::append_u32(header, 0);
    return header;
}

Bytes DatabaseWriter::encode_row(Table& t, std::span<const Value> values) {
    if (!scratch_) scratch_ = std::make_unique<RowScratch>();
    auto& inputs = scratch_->inputs;
    inputs.resize(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        inputs[i].kind = FieldInput::Kind::kValue;
        inputs[i].value = &values[i];
    }
    return encode_fields(t, inputs);
}

Bytes DatabaseWriter::encode_fields(Table& t, std::span<const FieldInput> fields) {
    using Kind = FieldInput::Kind;
    if (!scratch_) scratch_ = std::make_unique<RowScratch>();
    RowScratch& s = *scratch_;
    const auto& column_layouts = t.layout.columns;
    const std::size_t n = column_layouts.size();
    const std::size_t mask_size = (n + 7) / 8;
    s.mask.assign(mask_size, 0);
    s.fixed.assign(t.fixed_size, 0);
    if (s.var.size() < t.var_count) s.var.resize(t.var_count);
    for (std::size_t k = 0; k < t.var_count; ++k) s.var[k].clear();
    s.longs.clear();
    s.streams.clear();

    // Long values first in memory, to decide which stay inline.
    for (std::size_t i = 0; i < n; ++i) {
        const ColumnSpec& c = column_layouts[i];
        const write::TdefColumn& w = t.columns[i];
        const FieldInput& f = fields[i];
        const Value* v = f.kind == Kind::kValue ? f.value : nullptr;
        if (c.type == ColumnType::kBoolean) {
            bool b = false;
            if (f.kind == Kind::kBoolean) {
                b = f.flag;
            } else if (v && !is_null(*v)) {
                if (auto p = get_if_value<bool>(*v)) {
                    b = *p;
                } else {
                    std::int64_t x = 0;
                    if (!integral_value(*v, x)) throw Error(type_mismatch(c));
                    b = x != 0;
                }
            } else if (f.kind != Kind::kNull && !v) {
                throw Error(type_mismatch(c));
            }
            if (b) s.mask[w.number / 8] |= static_cast<std::uint8_t>(1u << (w.number % 8));
            continue;
        }
        if (f.kind == Kind::kNull || (v && is_null(*v))) continue;
        s.mask[w.number / 8] |= static_cast<std::uint8_t>(1u << (w.number % 8));
        if (w.flags & kColumnFixed) {
            if (v) {
                encode_fixed_value(t, i, *v, s.value);
                std::copy(s.value.begin(), s.value.end(), s.fixed.begin() + w.fixed_offset);
            } else if (f.kind == Kind::kStored && f.bytes.size() == w.length) {
                std::copy(f.bytes.begin(), f.bytes.end(), s.fixed.begin() + w.fixed_offset);
            } else {
                throw Error(type_mismatch(c));
            }
            continue;
        }
        const bool long_value = is_long_type(c.type);
        if (long_value && f.kind == Kind::kStream) {
            s.streams.push_back(i);
            continue;
        }
        Bytes* data = &s.var[w.var_index];
        if (long_value) {
            const std::size_t slot = s.longs.size();
            if (s.long_data.size() <= slot) s.long_data.emplace_back();
            data = &s.long_data[slot];
            data->clear();
            s.longs.emplace_back(i, slot);
        }
        switch (c.type) {
            case ColumnType::kText:
            case ColumnType::kMemo: {
                const bool compress = w.misc_flags & 0x01;
                std::span<const std::uint8_t> units;
                if (v) {
                    auto p = get_if_value<std::string>(*v);
                    if (!p) throw Error(type_mismatch(c));
                    s.value.clear();
                    write::append_utf16le(*p, s.value);
                    units = s.value;
                } else if (f.kind == Kind::kUnits) {
                    units = f.bytes;
                } else {
                    throw Error(type_mismatch(c));
                }
                if (c.type == ColumnType::kText && units.size() / 2 * 2 > w.length) {
                    throw Error(std::string(kFieldTooSmallMessage));
                }
                write::append_ucs2_text(units, compress, *data);
                break;
            }
            case ColumnType::kBinary:
            case ColumnType::kOle: {
                if (v) {
                    if (auto p = get_if_value<Bytes>(*v)) {
                        data->assign(p->begin(), p->end());
                    } else if (auto str = get_if_value<std::string>(*v)) {
                        data->assign(str->begin(), str->end());
                    } else {
                        throw Error(type_mismatch(c));
                    }
                } else if (f.kind == Kind::kStored) {
                    data->assign(f.bytes.begin(), f.bytes.end());
                } else {
                    throw Error(type_mismatch(c));
                }
                if (c.type == ColumnType::kBinary && data->size() > w.length) {
                    throw Error(std::string(kFieldTooSmallMessage));
                }
                break;
            }
            default:
                throw Error(type_mismatch(c));
        }
    }
    std::size_t base = 2 + s.fixed.size() + mask_size;
    if (t.var_count) base += 2 * (t.var_count + 1) + 2;
    for (std::size_t k = 0; k < t.var_count; ++k) base += s.var[k].size();
    base += (s.longs.size() + s.streams.size()) * kLongValueHeaderSize;
    if (base > write::kMaxRowSize) throw Error(std::string(kRecordTooLargeMessage));
    // Smallest long values inline first, while the row has room.
    const std::size_t nl = s.longs.size();
    auto long_size = [&](std::size_t k) { return s.long_data[s.longs[k].second].size(); };
    s.by_size.resize(nl);
    for (std::size_t k = 0; k < nl; ++k) s.by_size[k] = k;
    std::sort(s.by_size.begin(), s.by_size.end(),
              [&](std::size_t a, std::size_t b) { return long_size(a) < long_size(b); });
    s.inline_ok.assign(nl, false);
    std::size_t size = base;
    for (std::size_t k : s.by_size) {
        std::size_t len = long_size(k);
        if (len <= kInlineLongValueMax && size + len <= write::kMaxRowSize) {
            s.inline_ok[k] = true;
            size += len;
        }
    }
    for (std::size_t k = 0; k < nl; ++k) {
        std::size_t i = s.longs[k].first;
        s.var[t.columns[i].var_index] =
            store_long_value(t, i, s.long_data[s.longs[k].second], s.inline_ok[k]);
    }
    for (std::size_t i : s.streams) {
        s.var[t.columns[i].var_index] = store_long_value_stream(t, i, fields[i].stream);
    }

    Bytes row;
    row.reserve(size);
    write::append_u16(row, static_cast<std::uint16_t>(n));
    row.insert(row.end(), s.fixed.begin(), s.fixed.end());
    s.offsets.resize(t.var_count + 1);
    for (std::size_t k = 0; k < t.var_count; ++k) {
        s.offsets[k] = static_cast<std::uint16_t>(row.size());
        row.insert(row.end(), s.var[k].begin(), s.var[k].end());
    }
    s.offsets[t.var_count] = static_cast<std::uint16_t>(row.size());  // end of the data
    if (t.var_count) {
        for (std::size_t k = t.var_count + 1; k-- > 0;) write::append_u16(row, s.offsets[k]);
        write::append_u16(row, t.var_count);
    }
    row.insert(row.end(), s.mask.begin(), s.mask.end());
    if (row.size() > write::kMaxRowSize) throw Error(std::string(kRecordTooLargeMessage));
    return row;
}

RowId DatabaseWriter::place_row(Table& t, Bytes row) {
    if (t.current == 0 || t.current_rows.size() >= write::kMaxRowsPerPage ||
        write::row_page_free(t.current_rows) < row.size() + 2) {
        if (t.current) pager_.write(t.current, write::encode_row_page(t.tdef_page, false, t.current_rows));
        t.current = allocate_page();
        t.data_pages.push_back(t.current);
        t.current_rows.clear();
    }
    t.current_rows.push_back(RowSlotImage{std::move(row), false});
    return RowId{t.current, static_cast<std::uint8_t>(t.current_rows.size() - 1)};
}

std::vector<RowSlotImage> DatabaseWriter::load_page(Table& t, std::uint32_t page) {
    if (page == t.current && page != 0) return t.current_rows;
    if (std::find(t.data_pages.begin(), t.data_pages.end(), page) == t.data_pages.end()) {
        throw Error("Row on page " + std::to_string(page) + " is not in table '" + t.layout.name + "'.");
    }
    return write::decode_row_page(pager_.read(page));
}

void DatabaseWriter::store_page(Table& t, std::uint32_t page, const std::vector<RowSlotImage>& rows) {
    if (page == t.current) {
        t.current_rows = rows;
    } else {
        pager_.write(page, write::encode_row_page(t.tdef_page, false, rows));
    }
}

// ---- indexes ----------------------------------------------------------------------

Bytes DatabaseWriter::index_key(const Table& t, const IndexState& ix, std::span<const Value> values) {
    // One part after the other into the entry (as encode_index_key does),
    // with no list of parts or texts to allocate per key.
    Bytes out;
    out.reserve(32);
    for (auto [pos, desc] : ix.columns) {
        const ColumnSpec& c = t.layout.columns[pos];
        const Value& v = values[pos];
        KeyPart part{c.type, std::monostate{}, !desc};
        std::int64_t i = 0;
        double d = 0;
        if (is_null(v)) {
            // stays null
        } else if (auto s = get_if_value<std::string>(v)) {
            part.value = std::string_view(*s);
        } else if (auto b = get_if_value<bool>(v)) {
            part.value = *b;
        } else if (auto cur = get_if_value<Currency>(v)) {
            part.value = cur->scaled;
        } else if (c.type == ColumnType::kCurrency && integral_value(v, i)) {
            part.value = i * 10000;
        } else if (integral_value(v, i) && c.type != ColumnType::kSingle &&
                   c.type != ColumnType::kDouble && c.type != ColumnType::kDateTime) {
            part.value = i;
        } else if (auto g = get_if_value<Guid>(v)) {
            part.value = g->bytes;
        } else if (auto dec = get_if_value<Decimal>(v)) {
            part.value = KeyDecimal{dec->negative, dec->magnitude};
        } else if (auto bytes = get_if_value<Bytes>(v)) {
            part.value = std::span<const std::uint8_t>(*bytes);
        } else if (real_value(v, d)) {
            if (c.type == ColumnType::kSingle) d = static_cast<float>(d);
            part.value = d;
        }
        append_key_column(part.type, part.value, part.ascending, out);
    }
    return out;
}

void DatabaseWriter::check_unique(const Table& t, std::span<const Value> values, const RowId* ignore) {
    for (const auto& ix : t.indexes) {
        if (!(ix->flags & kIndexUnique)) continue;
        bool any_null = std::any_of(ix->columns.begin(), ix->columns.end(),
                                    [&](auto c) { return is_null(values[c.first]); });
        if (any_null && !ix->layout.primary_key) continue;  // Jet lets nulls repeat
        load_index_entries(t, *ix);
        Bytes key = index_key(t, *ix, values);
        auto it = ix->entries.lower_bound(key);
        if (it != ix->entries.end() && it->size() == key.size() + 4 &&
            std::equal(key.begin(), key.end(), it->begin())) {
            std::uint32_t ptr = (std::uint32_t{(*it)[key.size()]} << 24) |
                                (std::uint32_t{(*it)[key.size() + 1]} << 16) |
                                (std::uint32_t{(*it)[key.size() + 2]} << 8) | (*it)[key.size() + 3];
            if (!ignore || ptr != ((ignore->page << 8) | ignore->row)) {
                throw Error(std::string(kDuplicateKeyMessage));
            }
        }
    }
}

void DatabaseWriter::add_index_entries(Table& t, std::span<const Value> values, RowId id) {
    for (auto& ix : t.indexes) {
        load_index_entries(t, *ix);
        if (ix->flags & kIndexIgnoreNulls) {
            bool all_null = std::all_of(ix->columns.begin(), ix->columns.end(),
                                        [&](auto c) { return is_null(values[c.first]); });
            if (all_null) continue;
        }
        Bytes entry = index_key(t, *ix, values);
        write::append_index_row_pointer(entry, id.page, id.row);
        ix->entry_of_row[(id.page << 8) | id.row] = ix->entries.insert(std::move(entry)).first;
        ix->dirty = true;
    }
}

void DatabaseWriter::remove_index_entries(Table& t, RowId id) {
    std::uint32_t ptr = (id.page << 8) | id.row;
    for (auto& ix : t.indexes) {
        load_index_entries(t, *ix);
        auto it = ix->entry_of_row.find(ptr);
        if (it == ix->entry_of_row.end()) continue;
        ix->entries.erase(it->second);
        ix->entry_of_row.erase(it);
        ix->dirty = true;
    }
}

RowId DatabaseWriter::insert_row(TableHandle table, std::span<const Value> in) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    if (in.size() != t.layout.columns.size()) {
        throw Error("Number of query values and destination fields are not the same.");
    }
    // The values are copied only when an autonumber is filled in.
    std::vector<Value> numbered;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (t.layout.columns[i].autonumber && is_null(in[i])) {
            numbered.assign(in.begin(), in.end());
            break;
        }
    }
    std::uint32_t autonumber = t.autonumber;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const ColumnSpec& c = t.layout.columns[i];
        if (!c.autonumber) continue;
        if (c.type == ColumnType::kLong) {
            std::int64_t v = 0;
            if (is_null(in[i])) {
                numbered[i] = static_cast<std::int32_t>(++autonumber);
            } else if (integral_value(in[i], v) && v > 0 && v > autonumber) {
                autonumber = static_cast<std::uint32_t>(v);
            }
        } else if (c.type == ColumnType::kGuid && is_null(in[i])) {
            static thread_local std::mt19937_64 rng{std::random_device{}()};
            Guid g;
            for (auto& b : g.bytes) b = static_cast<std::uint8_t>(rng());
            g.bytes[7] = static_cast<std::uint8_t>((g.bytes[7] & 0x0F) | 0x40);  // version 4
            g.bytes[8] = static_cast<std::uint8_t>((g.bytes[8] & 0x3F) | 0x80);
            numbered[i] = g;
        }
    }
    const std::span<const Value> values = numbered.empty() ? in : std::span<const Value>(numbered);
    for (const auto& ix : t.indexes) {
        if (!(ix->flags & kIndexRequired)) continue;
        for (auto [pos, desc] : ix->columns) {
            if (is_null(values[pos])) {
                throw Error("Index or primary key cannot contain a Null value.");
            }
        }
    }
    check_unique(t, values, nullptr);
    Bytes row = encode_row(t, values);
    RowId id = place_row(t, std::move(row));
    t.autonumber = autonumber;
    add_index_entries(t, values, id);
    ++t.rows;
    t.dirty = true;
    return id;
}

RowId DatabaseWriter::insert_fields(TableHandle table, std::span<const FieldInput> fields) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    if (fields.size() != t.layout.columns.size()) {
        throw Error("Number of query values and destination fields are not the same.");
    }
    if (!t.indexes.empty()) throw Error("Internal error: a table with indexes takes rows as values");
    for (const ColumnSpec& c : t.layout.columns) {
        if (c.autonumber) throw Error("Internal error: a table with an autonumber takes rows as values");
    }
    RowId id = place_row(t, encode_fields(t, fields));
    ++t.rows;
    t.dirty = true;
    return id;
}

RowId DatabaseWriter::update_row(TableHandle table, RowId id, std::span<const Value> values) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    if (values.size() != t.layout.columns.size()) {
        throw Error("Number of query values and destination fields are not the same.");
    }
    auto rows = load_page(t, id.page);
    if (id.row >= rows.size() || rows[id.row].deleted) {
        throw Error("Record is deleted.");
    }
    for (const auto& ix : t.indexes) {
        if (!(ix->flags & kIndexRequired)) continue;
        for (auto [pos, desc] : ix->columns) {
            if (is_null(values[pos])) throw Error("Index or primary key cannot contain a Null value.");
        }
    }
    check_unique(t, values, &id);
    Bytes row = encode_row(t, values);
    RowId where = id;
    std::size_t free = write::row_page_free(rows) + rows[id.row].bytes.size();
    remove_index_entries(t, id);
    if (row.size() <= free) {
        rows[id.row].bytes = std::move(row);
        store_page(t, id.page, rows);
    } else {
        rows[id.row].bytes.clear();
        rows[id.row].deleted = true;
        store_page(t, id.page, rows);
        where = place_row(t, row);
    }
    add_index_entries(t, values, where);
    t.dirty = true;
    return where;
}

void DatabaseWriter::delete_row(TableHandle table, RowId id) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    auto rows = load_page(t, id.page);
    if (id.row >= rows.size() || rows[id.row].deleted) throw Error("Record is deleted.");
    rows[id.row].bytes.clear();
    rows[id.row].deleted = true;
    store_page(t, id.page, rows);
    remove_index_entries(t, id);
    --t.rows;
    t.dirty = true;
}

void DatabaseWriter::create_index(TableHandle table, const IndexSpec& layout) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    if (!t.system) check_object_name(layout.name, "index");
    for (const auto& ix : t.indexes) {
        if (same_name(ix->layout.name, layout.name)) {
            throw Error("Index '" + layout.name + "' already exists on table '" + t.layout.name + "'.");
        }
        if (layout.primary_key && ix->layout.primary_key) {
            throw Error("Table '" + t.layout.name + "' already has a primary key.");
        }
    }
    if (layout.columns.empty() || layout.columns.size() > 10) {
        throw Error("An index needs 1 to 10 fields.");
    }
    auto ix = std::make_unique<IndexState>();
    ix->layout = layout;
    for (const auto& ic : layout.columns) {
        std::size_t pos = t.layout.columns.size();
        for (std::size_t i = 0; i < t.layout.columns.size(); ++i) {
            if (same_name(t.layout.columns[i].name, ic.column)) pos = i;
        }
        if (pos == t.layout.columns.size()) {
            throw Error("Field '" + ic.column + "' is not in table '" + t.layout.name + "'.");
        }
        if (!is_indexable_type(t.layout.columns[pos].type)) {
            throw Error("Field '" + ic.column + "' cannot be indexed (OLE Object).");
        }
        ix->columns.emplace_back(pos, ic.descending);
    }
    bool unique = layout.unique || layout.primary_key;
    bool required = layout.required || (layout.primary_key && !t.system);
    ix->flags = static_cast<std::uint8_t>(0x80 | (unique ? kIndexUnique : 0) |
                                          (layout.ignore_nulls ? kIndexIgnoreNulls : 0) |
                                          (required ? kIndexRequired : 0));
    ix->index_type = layout.primary_key ? kIndexTypePrimaryKey : kIndexTypeNormal;
    ix->number = static_cast<std::uint32_t>(t.indexes.size());

    // Keys of the rows already there, read back through the reading half
    // from the file as the last flush left it, sorted in bounded memory and
    // written bottom-up as a B-tree at once; the index then lives on its
    // pages until a change of the table needs its entries.
    last_index_runs_ = 0;
    if (t.rows > 0) {
        std::string name = t.layout.name;
        flush();
        Table& tt = *tables_.at(table);
        IndexState& ixs = *ix;
        std::string folder = std::filesystem::path(pager_.path()).parent_path().string();
        write::IndexEntrySorter sorter(folder, index_sort_budget_);
        {
            auto db = Database::open(pager_.path(), password_);
            TableDef def = db->table_def(name);
            std::vector<std::size_t> position(def.columns.size(), 0);
            for (std::size_t k = 0; k < def.columns.size(); ++k) {
                for (std::size_t i = 0; i < tt.layout.columns.size(); ++i) {
                    if (tt.layout.columns[i].name == def.columns[k].name) position[k] = i;
                }
            }
            // Only the key columns are copied out of each row.
            std::vector<std::size_t> wanted;
            for (std::size_t k = 0; k < position.size(); ++k) {
                for (auto c : ixs.columns) {
                    if (c.first == position[k]) {
                        wanted.push_back(k);
                        break;
                    }
                }
            }
            std::vector<Value> values(tt.layout.columns.size());
            db->scan(def, [&](const RowId& id, const Row& row) {
                for (std::size_t k : wanted) {
                    if (k < row.size()) values[position[k]] = row[k];
                }
                bool all_null = std::all_of(ixs.columns.begin(), ixs.columns.end(),
                                            [&](auto c) { return is_null(values[c.first]); });
                bool any_null = std::any_of(ixs.columns.begin(), ixs.columns.end(),
                                            [&](auto c) { return is_null(values[c.first]); });
                if ((ixs.flags & kIndexRequired) && any_null) {
                    throw Error("Index or primary key cannot contain a Null value.");
                }
                if ((ixs.flags & kIndexIgnoreNulls) && all_null) return true;
                bool checked = (ixs.flags & kIndexUnique) && !(any_null && !layout.primary_key);
                sorter.add(index_key(tt, ixs, values), id.page, id.row, !checked);
                return true;
            });
        }
        // Equal keys of checked entries meet in the merged order (keys of one
        // index are prefix-free: every part has a fixed length or an end mark).
        std::vector<std::uint32_t> taken;
        try {
            write::IndexTreeWriter tree(
                tt.tdef_page,
                [&]() {
                    std::uint32_t p = allocate_page();
                    taken.push_back(p);
                    return p;
                },
                [&](std::uint32_t p, const Bytes& image) { pager_.write(p, image); });
            Bytes prev;
            sorter.merge([&](std::span<const std::uint8_t> e, bool may_repeat) {
                if (!may_repeat && prev.size() == e.size() &&
                    std::equal(e.begin(), e.end() - 4, prev.begin())) {
                    throw Error(std::string(kDuplicateKeyMessage));
                }
                prev.assign(e.begin(), e.end());
                tree.add(e);
            });
            ixs.first_page = tree.finish();
        } catch (...) {
            // Given back so that they are taken again in the same order.
            free_pages_.insert(free_pages_.end(), taken.rbegin(), taken.rend());
            throw;
        }
        last_index_runs_ = sorter.runs();
        ixs.pages = std::move(taken);
        ixs.stored_entries = static_cast<std::uint32_t>(sorter.size());
        ixs.loaded = false;
        ixs.dirty = false;
        ixs.map = new_map();
        write_map(ixs.map, ixs.pages);
        tt.indexes.push_back(std::move(ix));
        tt.dirty = true;
        return;
    }
    ix->map = new_map();
    ix->pages.push_back(allocate_page());  // its root, next to the table's other pages
    t.indexes.push_back(std::move(ix));
    t.dirty = true;
}

void DatabaseWriter::load_index_entries(const Table& t, IndexState& ix) {
    if (ix.loaded) return;
    Bytes buffer;
    auto read = [&](std::uint32_t page) -> std::span<const std::uint8_t> {
        buffer = pager_.read(page);
        return buffer;
    };
    std::vector<IndexEntry> stored =
        read_index_entries(read, Format::Jet4, ix.first_page, pager_.page_count(), t.layout.name);
    if (stored.size() != ix.stored_entries) {
        throw Error("Internal error: index '" + ix.layout.name + "' of table '" + t.layout.name +
                    "' does not hold the entries it was built with.");
    }
    for (IndexEntry& e : stored) {
        Bytes entry = std::move(e.key);
        write::append_index_row_pointer(entry, e.row.page, e.row.row);
        ix.entry_of_row[(e.row.page << 8) | e.row.row] = ix.entries.insert(std::move(entry)).first;
    }
    ix.loaded = true;
}

void DatabaseWriter::write_index(Table& t, IndexState& ix) {
    if (!ix.dirty && ix.first_page) return;
    load_index_entries(t, ix);
    // Reuse its pages smallest first, so the page order of a tree follows
    // from its set of pages alone (DatabaseWriter::open relies on that).
    std::vector<std::uint32_t> old = ix.pages;
    std::sort(old.begin(), old.end(), std::greater<>());
    ix.pages.clear();
    auto take = [&]() {
        std::uint32_t p;
        if (!old.empty()) {
            p = old.back();
            old.pop_back();
        } else {
            p = allocate_page();
        }
        ix.pages.push_back(p);
        return p;
    };
    write::IndexTreeWriter tree(
        t.tdef_page, take, [&](std::uint32_t p, const Bytes& image) { pager_.write(p, image); });
    for (const Bytes& e : ix.entries) tree.add(e);
    ix.first_page = tree.finish();
    for (std::uint32_t p : old) free_pages_.push_back(p);
    write_map(ix.map, ix.pages);
    ix.dirty = false;
}

// ---- flushing ------------------------------------------------------------------

void DatabaseWriter::write_tdef(Table& t) {
    write::TdefImage img;
    img.table_type = t.system ? 0x53 : 0x4E;
    img.row_count = t.rows;
    img.autonumber = t.autonumber;
    img.max_cols = static_cast<std::uint16_t>(t.columns.size());
    img.used_map = t.used.pointer();
    img.free_map = t.free.pointer();
    img.columns = t.columns;
    for (const auto& ix : t.indexes) {
        write::TdefRealIndex ri;
        for (auto [pos, desc] : ix->columns) ri.columns.emplace_back(t.columns[pos].number, desc);
        ri.used_map = ix->map.pointer();
        ri.first_page = ix->first_page;
        ri.flags = ix->flags;
        ri.row_count = ix->entry_count();
        img.real_indexes.push_back(std::move(ri));
    }
    std::vector<const IndexState*> by_name;
    for (const auto& ix : t.indexes) by_name.push_back(ix.get());
    std::stable_sort(by_name.begin(), by_name.end(), [](const IndexState* a, const IndexState* b) {
        return lower_ascii(a->layout.name) < lower_ascii(b->layout.name);
    });
    for (const IndexState* ix : by_name) {
        img.indexes.push_back(write::TdefLogicalIndex{ix->layout.name, ix->number, ix->number, ix->index_type});
    }
    std::vector<const LongColumn*> longs;
    for (const auto& lc : t.longs) longs.push_back(&lc);
    std::sort(longs.begin(), longs.end(), [&](const LongColumn* a, const LongColumn* b) {
        return t.columns[a->column].number < t.columns[b->column].number;
    });
    for (const LongColumn* lc : longs) {
        img.long_value_maps.push_back(write::TdefLongValueMap{t.columns[lc->column].number,
                                                              lc->used.pointer(), lc->free.pointer()});
    }
    Bytes buffer = write::encode_tdef(img);
    std::size_t need = write::tdef_page_count(buffer.size());
    while (t.tdef_pages.size() < need) t.tdef_pages.push_back(allocate_page());
    while (t.tdef_pages.size() > need) {
        free_pages_.push_back(t.tdef_pages.back());
        t.tdef_pages.pop_back();
    }
    auto pages = write::split_tdef(buffer, t.tdef_pages);
    for (std::size_t i = 0; i < pages.size(); ++i) pager_.write(t.tdef_pages[i], pages[i]);
}

void DatabaseWriter::flush_table(Table& t) {
    if (t.current) pager_.write(t.current, write::encode_row_page(t.tdef_page, false, t.current_rows));
    for (auto& lc : t.longs) {
        if (lc.current) pager_.write(lc.current, write::encode_row_page(0, true, lc.rows));
        write_map(lc.used, lc.pages);
        write_map(lc.free, lc.current ? std::vector<std::uint32_t>{lc.current}
                                      : std::vector<std::uint32_t>{});
    }
    for (auto& ix : t.indexes) write_index(t, *ix);
    write_map(t.used, t.data_pages);
    write_map(t.free, t.current ? std::vector<std::uint32_t>{t.current} : std::vector<std::uint32_t>{});
    write_tdef(t);
    t.dirty = false;
}

void DatabaseWriter::flush() {
    if (closed_) return;
    for (auto& t : tables_) flush_table(*t);
    for (const auto& [page, rows] : map_page_rows_) {
        pager_.write(page, write::encode_row_page(0, false, rows));
    }
    // Page 1: the database's own map of free pages (those given back, and
    // every page past the end of the file that an inline map can name).
    std::vector<std::uint32_t> free;
    for (std::uint32_t p : free_pages_) {
        if (p < write::kInlineMapPages) free.push_back(p);
    }
    for (std::uint32_t p = pager_.page_count(); p < write::kInlineMapPages; ++p) free.push_back(p);
    std::vector<RowSlotImage> global{RowSlotImage{write::encode_inline_map(0, free), false},
                                     RowSlotImage{write::encode_inline_map(0, {}), false}};
    pager_.write(1, write::encode_row_page(1, false, global));
    // Pages handed back and not reused yet hold an empty data page of no
    // table, so no reader mistakes them for live index or table pages.
    for (std::uint32_t p : free_pages_) pager_.write(p, write::encode_row_page(0, false, {}));
    pager_.sync();
}

void DatabaseWriter::close() {
    if (closed_) return;
    if (journal_) {
        roll_back();  // a transaction not committed does not survive its writer
        return;
    }
    flush();
    pager_.close();
    closed_ = true;
}


// ---- opening an existing file ------------------------------------------------------

namespace {

[[noreturn]] void refuse_open(const std::string& path, const std::string& why) {
    throw Error("Database '" + path + "' cannot be opened for writing in place: " + why + ".");
}

}  // namespace

DatabaseWriter::MapRef DatabaseWriter::load_map(std::uint32_t pointer,
                                                std::vector<std::uint32_t>& pages) {
    MapRef ref;
    ref.page = pointer >> 8;
    ref.row = static_cast<std::uint8_t>(pointer & 0xFF);
    if (ref.page < 2 || ref.page >= pager_.page_count()) {
        refuse_open(pager_.path(), "a usage map lies outside the file");
    }
    auto it = std::find_if(map_page_rows_.begin(), map_page_rows_.end(),
                           [&](const auto& e) { return e.first == ref.page; });
    if (it == map_page_rows_.end()) {
        map_page_rows_.emplace_back(ref.page, write::decode_row_page(pager_.read(ref.page)));
        it = std::prev(map_page_rows_.end());
    }
    if (ref.row >= it->second.size() || it->second[ref.row].deleted) {
        refuse_open(pager_.path(), "a usage map row is missing");
    }
    const FormatInfo& fmt = format_info(Format::Jet4);
    UsageMap m = decode_usage_map(it->second[ref.row].bytes, fmt, "", ref.page);
    pages.clear();
    if (m.map_type == 0) {
        pages = m.pages;
    } else {
        ref.reference_pages = m.map_pages;
        for (std::size_t slot = 0; slot < m.map_pages.size(); ++slot) {
            std::uint32_t mp = m.map_pages[slot];
            if (mp == 0) continue;
            if (mp >= pager_.page_count()) refuse_open(pager_.path(), "a usage map lies outside the file");
            add_map_page_bits(pager_.read(mp), slot, fmt, pages, "", mp);
        }
    }
    std::sort(pages.begin(), pages.end());
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
    for (std::uint32_t p : pages) {
        if (p < 2 || p >= pager_.page_count()) refuse_open(pager_.path(), "a usage map names a page outside the file");
    }
    return ref;
}

void DatabaseWriter::load_tables(const std::string& password) {
    const std::string& path = pager_.path();
    auto db = Database::open(path, password);
    const Header& h = db->header();
    if (h.format != Format::Jet4) refuse_open(path, "it is a Jet 3 file");
    if (h.sort_order != 1033 && h.sort_order != 0) {
        refuse_open(path, "its text is sorted in the sort order " + std::to_string(h.sort_order));
    }
    password_ = h.password;
    creation_date_ = h.creation_date;

    // MSysObjects first: catalog rows go to table 0.
    std::vector<const CatalogEntry*> entries;
    for (const auto& e : db->catalog()) {
        if (e.type == 1) entries.push_back(&e);
    }
    std::stable_partition(entries.begin(), entries.end(),
                          [](const CatalogEntry* e) { return e->name == "MSysObjects"; });
    if (entries.empty() || entries.front()->name != "MSysObjects") {
        refuse_open(path, "it has no MSysObjects table");
    }
    const FormatInfo& fmt = format_info(Format::Jet4);
    for (const CatalogEntry* e : entries) {
        TableDef def = db->table_def(*e);
        // The joined definition: the reader sorts columns by number, the
        // writer keeps them in the order the definition lists them.
        Bytes buffer;
        for (std::size_t k = 0; k < def.pages.size(); ++k) {
            Bytes page = pager_.read(def.pages[k]);
            buffer.insert(buffer.end(), page.begin() + (k == 0 ? 0 : 8), page.end());
        }
        auto u16 = [&](std::size_t at) -> std::uint32_t {
            if (at + 2 > buffer.size()) refuse_open(path, "table '" + e->name + "' has a damaged definition");
            return static_cast<std::uint32_t>(buffer[at] | (buffer[at + 1] << 8));
        };
        auto u32 = [&](std::size_t at) { return u16(at) | (u16(at + 2) << 16); };
        std::vector<std::size_t> order;  // TDEF position -> position in def.columns
        {
            std::size_t pos = fmt.tdef_block_end + def.real_indexes.size() * fmt.real_idx_count_entry_size;
            for (std::size_t k = 0; k < def.columns.size(); ++k) {
                std::uint32_t number = u16(pos + fmt.col_num_offset);
                std::size_t at = def.columns.size();
                for (std::size_t i = 0; i < def.columns.size(); ++i) {
                    if (def.columns[i].number == number) at = i;
                }
                if (at == def.columns.size()) refuse_open(path, "table '" + e->name + "' has a damaged definition");
                order.push_back(at);
                pos += fmt.column_entry_size;
            }
        }
        std::vector<std::size_t> spec_position(def.columns.size());
        for (std::size_t k = 0; k < order.size(); ++k) spec_position[order[k]] = k;
        TableSpec layout;
        layout.name = e->name;
        for (std::size_t k : order) {
            const Column& c = def.columns[k];
            ColumnSpec cs;
            cs.name = c.name;
            cs.type = c.column_type();
            if (cs.type == ColumnType::kText) cs.size = static_cast<std::uint16_t>(c.length / 2);
            if (cs.type == ColumnType::kBinary) cs.size = c.length;
            cs.precision = c.precision;
            cs.scale = c.scale;
            cs.autonumber = c.is_autonumber();
            cs.compressed = c.misc_flags & 0x01;
            cs.hyperlink = c.flags & kColumnHyperlink;
            cs.required = !(c.flags & kColumnNullable);
            cs.number = c.number;
            cs.extra_flags = static_cast<std::uint8_t>(
                c.flags & ~(kColumnFixed | kColumnNullable | kColumnAutoLong | kColumnAutoGuid |
                            kColumnHyperlink));
            layout.columns.push_back(std::move(cs));
        }
        bool system = def.table_type == 0x53;
        TableHandle th;
        try {
            th = add_table(layout, system, def.tdef_page, false);
        } catch (const Error& err) {
            refuse_open(path, "table '" + e->name + "': " + err.what());
        }
        Table& t = *tables_[th];
        t.tdef_pages = def.pages;
        for (std::size_t i = 0; i < def.columns.size(); ++i) {
            const Column& c = def.columns[order[i]];
            write::TdefColumn& w = t.columns[i];
            w.flags = c.flags;
            w.misc_flags = c.misc_flags;
            w.length = c.length;
            w.fixed_offset = c.fixed_offset;
            w.var_index = c.var_index;
            if (c.is_fixed() && c.column_type() != ColumnType::kBoolean) {
                t.fixed_size = std::max<std::uint16_t>(t.fixed_size,
                                                       static_cast<std::uint16_t>(c.fixed_offset + c.length));
            }
        }
        if (def.num_var_cols != t.var_count) refuse_open(path, "table '" + e->name + "' has a layout this engine does not write");
        t.rows = def.row_count;
        t.autonumber = def.next_autonumber;
        t.used = load_map(def.used_pages, t.data_pages);
        std::vector<std::uint32_t> free;
        t.free = load_map(def.free_pages, free);
        if (free.size() > 1 || (free.size() == 1 &&
                                !std::binary_search(t.data_pages.begin(), t.data_pages.end(), free[0]))) {
            refuse_open(path, "table '" + e->name + "' has free-space pages this engine does not keep");
        }
        if (!free.empty()) {
            t.current = free[0];
            t.current_rows = write::decode_row_page(pager_.read(t.current));
        }
        if (!t.longs.empty()) {
            // The long-value maps close the definition: column number, used
            // and free map, ten bytes each, before the 0xFFFF end mark.
            std::size_t end = u32(8);
            std::size_t n = t.longs.size();
            if (end > buffer.size() || end < 2 + 10 * n + fmt.tdef_block_end) {
                refuse_open(path, "table '" + e->name + "' has a definition this engine does not read");
            }
            for (std::size_t k = 0; k < n; ++k) {
                std::size_t at = end - 2 - 10 * (n - k);
                std::uint16_t number = static_cast<std::uint16_t>(u16(at));
                LongColumn* lc = nullptr;
                for (auto& l : t.longs) {
                    if (t.columns[l.column].number == number) lc = &l;
                }
                if (!lc) refuse_open(path, "table '" + e->name + "' has long-value maps this engine does not read");
                lc->used = load_map(u32(at + 2), lc->pages);
                std::vector<std::uint32_t> lfree;
                lc->free = load_map(u32(at + 6), lfree);
                if (lfree.size() > 1) refuse_open(path, "table '" + e->name + "' has long-value pages this engine does not keep");
                if (!lfree.empty()) {
                    lc->current = lfree[0];
                    lc->rows = write::decode_row_page(pager_.read(lc->current));
                }
            }
        }
        for (std::size_t r = 0; r < def.real_indexes.size(); ++r) {
            const RealIndex& ri = def.real_indexes[r];
            const Index* li = nullptr;
            int names = 0;
            for (const Index& x : def.indexes) {
                if (x.real_index == r) {
                    li = &x;
                    ++names;
                }
            }
            if (names != 1 || li->foreign_key()) {
                refuse_open(path, "table '" + e->name + "' has shared or relationship indexes");
            }
            auto ix = std::make_unique<IndexState>();
            ix->layout.name = li->name;
            for (const IndexColumn& ic : ri.columns) {
                if (ic.column >= def.columns.size()) refuse_open(path, "an index names a missing column");
                ix->layout.columns.push_back(IndexColumnSpec{def.columns[ic.column].name, ic.descending});
                ix->columns.emplace_back(spec_position[ic.column], ic.descending);
            }
            ix->layout.primary_key = li->primary_key();
            ix->layout.unique = ri.flags & kIndexUnique;
            ix->layout.ignore_nulls = ri.flags & kIndexIgnoreNulls;
            ix->layout.required = ri.flags & kIndexRequired;
            ix->flags = ri.flags;
            ix->index_type = li->index_type;
            ix->number = static_cast<std::uint32_t>(r);
            ix->map = load_map(ri.used_pages, ix->pages);
            ix->first_page = ri.first_page;
            t.indexes.push_back(std::move(ix));
        }
        if (!t.indexes.empty()) {
            // The keys of the rows, sorted in bounded memory, must give back
            // each index's B-tree on its own pages, proven now in compare mode
            // (the dry run of open() then skips the tree). The entries are
            // read from those pages only when a change of the table needs them.
            std::string folder = std::filesystem::path(path).parent_path().string();
            std::vector<std::unique_ptr<write::IndexEntrySorter>> sorters;
            for (std::size_t k = 0; k < t.indexes.size(); ++k) {
                sorters.push_back(std::make_unique<write::IndexEntrySorter>(
                    folder, index_sort_budget_ / t.indexes.size()));
            }
            std::vector<std::size_t> wanted;  // the key columns, copied out of each row
            for (std::size_t i = 0; i < spec_position.size(); ++i) {
                for (const auto& ix : t.indexes) {
                    for (auto c : ix->columns) {
                        if (c.first == spec_position[i] &&
                            std::find(wanted.begin(), wanted.end(), i) == wanted.end()) {
                            wanted.push_back(i);
                        }
                    }
                }
            }
            Row row(t.layout.columns.size());
            db->scan(def, [&](const RowId& id, const Row& read) {
                if (read.size() != row.size()) return true;
                for (std::size_t i : wanted) row[spec_position[i]] = read[i];
                for (std::size_t k = 0; k < t.indexes.size(); ++k) {
                    IndexState& ix = *t.indexes[k];
                    bool all_null = std::all_of(ix.columns.begin(), ix.columns.end(),
                                                [&](auto c) { return is_null(row[c.first]); });
                    if ((ix.flags & kIndexIgnoreNulls) && all_null) continue;
                    sorters[k]->add(index_key(t, ix, row), id.page, id.row, true);
                }
                return true;
            });
            for (std::size_t k = 0; k < t.indexes.size(); ++k) {
                IndexState& ix = *t.indexes[k];
                const std::vector<std::uint32_t>& pages = ix.pages;  // ascending
                std::size_t used = 0;
                std::uint32_t root = 0;
                std::vector<std::uint32_t> differing;
                pager_.begin_compare();
                try {
                    write::IndexTreeWriter tree(
                        t.tdef_page,
                        [&]() {
                            if (used == pages.size()) throw Error("an index needs more pages");
                            return pages[used++];
                        },
                        [&](std::uint32_t p, const Bytes& image) { pager_.write(p, image); });
                    sorters[k]->merge([&](std::span<const std::uint8_t> e, bool) { tree.add(e); });
                    root = tree.finish();
                    write_map(ix.map, ix.pages);
                    differing = pager_.end_compare();
                } catch (const Error&) {
                    pager_.end_compare();
                    differing.push_back(0);
                }
                if (!differing.empty() || used != pages.size() || root != ix.first_page) {
                    refuse_open(path, "the index '" + ix.layout.name + "' of table '" + e->name +
                                          "' is not laid out as this engine writes it");
                }
                ix.stored_entries = static_cast<std::uint32_t>(sorters[k]->size());
                ix.loaded = false;
                ix.dirty = false;
                sorters[k].reset();
            }
        }
        t.dirty = false;
    }
    std::sort(map_page_rows_.begin(), map_page_rows_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    // Page 1: the free pages of the database.
    auto global = write::decode_row_page(pager_.read(1));
    if (global.empty()) refuse_open(path, "its free-page map is missing");
    UsageMap m = decode_usage_map(global[0].bytes, fmt, "", 1);
    if (m.map_type != 0) refuse_open(path, "its free-page map is not one this engine writes");
    for (std::uint32_t p : m.pages) {
        if (p >= 2 && p < pager_.page_count()) free_pages_.push_back(p);
    }
    std::sort(free_pages_.rbegin(), free_pages_.rend());
}

std::unique_ptr<DatabaseWriter> DatabaseWriter::open(const std::string& path,
                                                     std::string_view password) {
    RollbackJournal::recover(path);
    std::unique_ptr<DatabaseWriter> w(new DatabaseWriter());
    w->pager_ = PageWriter::open(path, write::kPageSize);
    try {
        w->load_tables(std::string(password));
        // The proof: a flush now must write every page it touches as it is.
        w->pager_.begin_compare();
        std::vector<std::uint32_t> differing;
        try {
            w->flush();
            differing = w->pager_.end_compare();
        } catch (const Error&) {
            w->pager_.end_compare();
            refuse_open(path, "it holds structures this engine does not write");
        }
        if (!differing.empty()) {
            refuse_open(path, "it holds structures this engine does not write (page " +
                                  std::to_string(differing.front()) + " would change)");
        }
    } catch (...) {
        w->closed_ = true;
        w->pager_ = PageWriter{};
        throw;
    }
    return w;
}

void DatabaseWriter::drop_index(TableHandle table, std::string_view index_name) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    auto it = std::find_if(t.indexes.begin(), t.indexes.end(),
                           [&](const auto& ix) { return same_name(ix->layout.name, index_name); });
    if (it == t.indexes.end()) {
        throw Error("Index '" + std::string(index_name) + "' does not exist on table '" +
                    t.layout.name + "'.");
    }
    IndexState& ix = **it;
    for (std::uint32_t p : ix.pages) free_pages_.push_back(p);
    for (std::uint32_t p : ix.map.reference_pages) {
        if (p) free_pages_.push_back(p);
    }
    ix.map.reference_pages.clear();
    write_map(ix.map, {});  // the row stays, naming no page
    t.indexes.erase(it);
    for (std::size_t k = 0; k < t.indexes.size(); ++k) t.indexes[k]->number = static_cast<std::uint32_t>(k);
    t.dirty = true;
}

void DatabaseWriter::drop_table(TableHandle table) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    if (t.system || table == 0) throw Error("System table '" + t.layout.name + "' cannot be deleted.");
    // The catalog row, found through MSysObjects' index on Id.
    Table& cat = *tables_.at(0);
    IndexState* by_id = nullptr;
    for (auto& ix : cat.indexes) {
        if (ix->columns.size() == 1 && cat.layout.columns[ix->columns[0].first].name == "Id") by_id = ix.get();
    }
    if (!by_id) throw Error("Internal error: MSysObjects has no index on Id.");
    std::vector<Value> values(cat.layout.columns.size(), Null{});
    values[by_id->columns[0].first] = static_cast<std::int32_t>(t.tdef_page);
    load_index_entries(cat, *by_id);
    Bytes key = index_key(cat, *by_id, values);
    auto e = by_id->entries.lower_bound(key);
    if (e == by_id->entries.end() || e->size() != key.size() + 4 ||
        !std::equal(key.begin(), key.end(), e->begin())) {
        throw Error("Internal error: table '" + t.layout.name + "' has no catalog row.");
    }
    const Bytes& entry = *e;
    std::size_t n = entry.size();
    RowId row{(static_cast<std::uint32_t>(entry[n - 4]) << 16) | (entry[n - 3] << 8) | entry[n - 2],
              entry[n - 1]};
    delete_row(0, row);
    // Its pages become free pages; its map rows stay, naming no page.
    auto give = [&](const std::vector<std::uint32_t>& pages) {
        for (std::uint32_t p : pages) free_pages_.push_back(p);
    };
    auto drop_map = [&](MapRef& map) {
        for (std::uint32_t p : map.reference_pages) {
            if (p) free_pages_.push_back(p);
        }
        map.reference_pages.clear();
        write_map(map, {});
    };
    give(t.tdef_pages);
    give(t.data_pages);
    drop_map(t.used);
    drop_map(t.free);
    for (auto& lc : t.longs) {
        give(lc.pages);
        drop_map(lc.used);
        drop_map(lc.free);
    }
    for (auto& ix : t.indexes) {
        give(ix->pages);
        drop_map(ix->map);
    }
    tables_.erase(tables_.begin() + static_cast<std::ptrdiff_t>(table));
}

// ---- transactions in place ----------------------------------------------------------

void DatabaseWriter::begin() {
    if (closed_) throw Error("The database is closed.");
    if (journal_) throw Error("A transaction is already running.");
    flush();
    journal_ = std::make_unique<RollbackJournal>(RollbackJournal::begin(
        pager_.path(), pager_.page_size(),
        static_cast<std::uint64_t>(pager_.page_count()) * pager_.page_size()));
    RollbackJournal* j = journal_.get();
    pager_.set_before_overwrite([j](std::uint32_t page, std::span<const std::uint8_t> image) {
        j->save(page, image);
    });
}

void DatabaseWriter::commit() {
    if (!journal_) throw Error("No transaction is running.");
    flush();
    journal_->commit();
    pager_.set_before_overwrite({});
    journal_.reset();
}

void DatabaseWriter::roll_back() {
    if (!journal_) throw Error("No transaction is running.");
    pager_.set_before_overwrite({});
    closed_ = true;
    pager_ = PageWriter{};  // no flush: nothing more of the transaction reaches the file
    journal_->roll_back();
    journal_.reset();
}

}  // namespace jet
