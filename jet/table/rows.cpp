// Rows: cracking a row into column values (Jet 3 and Jet 4 layouts), long
// values from long-value pages, usage maps and table scans.
#include "jet/table/rows.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "jet/base/error.h"
#include "jet/page/file.h"
#include "jet/page/format.h"
#include "jet/base/text.h"

namespace jet {

namespace {

constexpr int kMaxOverflowHops = 8;

template <typename T>
T load(std::span<const std::uint8_t> b) {
    T v;
    std::memcpy(&v, b.data(), sizeof v);
    return v;
}

// The row of a long-value page that `pointer` names.
std::span<const std::uint8_t> long_value_row(PageFile& file, const TableDef& table,
                                             std::uint32_t pointer, PageRef& hold) {
    const RowId id = decode_row_pointer(pointer);
    hold = file.page(id.page, table.name);
    ByteReader r{hold->span(), table.name, id.page};
    if (hold->type() != static_cast<std::uint8_t>(PageType::kData) ||
        std::memcmp(hold->bytes.data() + 4, "LVAL", 4) != 0) {
        r.fail("Damaged long value: page is not a long-value page");
    }
    auto slots = decode_row_slots(hold->span(), file.format(), table.name, id.page);
    if (id.row >= slots.size()) {
        r.fail("Damaged long value: row " + std::to_string(id.row) + " does not exist");
    }
    const RowSlot& s = slots[id.row];
    return hold->span().subspan(s.start, s.end - s.start);
}

std::string decode_text(PageFile& file, const TableDef& table, const Column& col,
                        std::span<const std::uint8_t> bytes) {
    if (table.format == Format::Jet4) return decode_jet4_text(bytes);
    unsigned cp = file.header().code_page;
    if (cp == 0) cp = col.code_page;
    return decode_codepage_text(bytes, cp);
}

Value decode_fixed(const Column& col, std::span<const std::uint8_t> b) {
    switch (col.column_type()) {
        case ColumnType::kByte: return b[0];
        case ColumnType::kInteger: return load<std::int16_t>(b);
        case ColumnType::kLong: return load<std::int32_t>(b);
        case ColumnType::kCurrency: return Currency{load<std::int64_t>(b)};
        case ColumnType::kSingle: return load<float>(b);
        case ColumnType::kDouble: return load<double>(b);
        case ColumnType::kDateTime: return DateTime{load<double>(b)};
        case ColumnType::kGuid: {
            Guid g;
            std::memcpy(g.bytes.data(), b.data(), 16);
            return g;
        }
        case ColumnType::kNumeric: {
            // Sign byte, then four little-endian 32-bit words, most significant first.
            Decimal d;
            d.negative = (b[0] & 0x80) != 0;
            d.precision = col.precision;
            d.scale = col.scale;
            for (int w = 0; w < 4; ++w)
                for (int k = 0; k < 4; ++k) d.magnitude[4 * w + k] = b[1 + 4 * w + (3 - k)];
            return d;
        }
        case ColumnType::kComplex: return load<std::int32_t>(b);
        case ColumnType::kBigInt: return load<std::int64_t>(b);
        case ColumnType::kDateTimeExt:
            if (auto v = decode_datetime_ext(b)) return *v;
            return Bytes(b.begin(), b.end());  // not the stored form: kept as it is
        default: return Bytes(b.begin(), b.end());
    }
}

// A calculated column's result, stored whatever its type as: 16 bytes
// (zero), int32 length n, the n bytes of the value, 3 bytes (zero).
// Memo results come as a long value holding the same wrapper.
constexpr std::size_t kCalcHeader = 20;

Value decode_calculated(PageFile& file, const TableDef& table, const Column& col, const RawField& f,
                        std::uint32_t page) {
    const ColumnType type =
        static_cast<ColumnType>(col.calc_result_type != 0 ? col.calc_result_type : col.type);
    Bytes whole;
    std::span<const std::uint8_t> wrapped = f.bytes;
    const bool long_value = col.is_long_value() || type == ColumnType::kMemo ||
                            (col.column_type() == ColumnType::kText && col.length == 0);
    if (f.kind == RawField::Kind::kVariable && long_value) {
        whole = read_long_value(file, table, f.bytes, page);
        wrapped = whole;
    }
    ByteReader r{wrapped, table.name, page};
    const std::uint32_t n = r.u32(16);
    const auto data = r.sub(kCalcHeader, n);
    if (data.empty()) return Null{};
    switch (type) {
        case ColumnType::kText:
        case ColumnType::kMemo: return decode_jet4_text(data);
        case ColumnType::kBoolean: return data[0] != 0;
        case ColumnType::kNumeric: {
            // Precision, a byte, scale, sign (0x80 negative), then the
            // magnitude: its high 32 bits, then its low 64 bits, each little-endian.
            if (data.size() < 16) return Bytes(data.begin(), data.end());
            Decimal d;
            d.precision = col.precision;
            d.scale = data[2];
            d.negative = (data[3] & 0x80) != 0;
            for (int k = 0; k < 4; ++k) d.magnitude[4 + k] = data[4 + (3 - k)];
            for (int k = 0; k < 8; ++k) d.magnitude[8 + k] = data[8 + (7 - k)];
            return d;
        }
        case ColumnType::kBinary:
        case ColumnType::kOle: return Bytes(data.begin(), data.end());
        default: {
            const std::size_t width = fixed_type_size(type);
            if (width == 0 || data.size() < width) return Bytes(data.begin(), data.end());
            Column as = col;
            as.type = static_cast<std::uint8_t>(type);
            return decode_fixed(as, data.first(width));
        }
    }
}

}  // namespace

std::uint32_t long_value_length(std::span<const std::uint8_t> field) {
    if (field.size() < 4) return 0;
    return load<std::uint32_t>(field) & kLongValueLengthMask;
}

void read_long_value_chunks(PageFile& file, const TableDef& table,
                            std::span<const std::uint8_t> field, std::uint32_t page,
                            const LongValueChunk& chunk) {
    ByteReader r{field, table.name, page};
    const std::uint32_t head = r.u32(0);
    const std::uint32_t length = head & kLongValueLengthMask;
    if (head & kLongValueInline) {
        chunk(r.sub(kLongValueHeaderSize, length));
        return;
    }
    const std::uint32_t pointer = r.u32(4);
    if (length == 0) return;
    PageRef hold;
    if (head & kLongValueSinglePage) {
        auto row = long_value_row(file, table, pointer, hold);
        if (row.size() < length) {
            r.fail("Damaged long value: its page holds " + std::to_string(row.size()) +
                   " of " + std::to_string(length) + " bytes");
        }
        chunk(row.first(length));
        return;
    }
    std::size_t done = 0;
    std::set<std::uint32_t> seen;
    std::uint32_t next = pointer;
    while (next != 0 && done < length) {
        if (!seen.insert(next).second) r.fail("Damaged long value: its page chain loops");
        auto row = long_value_row(file, table, next, hold);
        ByteReader rr{row, table.name, hold->number};
        next = rr.u32(0);
        auto data = row.subspan(4, std::min<std::size_t>(row.size() - 4, length - done));
        done += data.size();
        if (!data.empty()) chunk(data);
    }
    if (done < length) {
        r.fail("Damaged long value: its page chain holds " + std::to_string(done) + " of " +
               std::to_string(length) + " bytes");
    }
}

Bytes read_long_value(PageFile& file, const TableDef& table, std::span<const std::uint8_t> field,
                      std::uint32_t page) {
    Bytes out;
    out.reserve(long_value_length(field));
    read_long_value_chunks(file, table, field, page, [&](std::span<const std::uint8_t> piece) {
        out.insert(out.end(), piece.begin(), piece.end());
    });
    return out;
}

void split_row(const TableDef& table, std::span<const std::uint8_t> row, std::uint32_t page,
               std::vector<RawField>& out) {
    const FormatInfo& fmt = format_info(table.format);
    ByteReader r{row, table.name, page};
    const std::size_t size = row.size();
    const std::size_t prefix = fmt.row_count_size;
    const std::size_t ncols = prefix == 2 ? r.u16(0) : r.u8(0);
    const std::size_t mask_bytes = (ncols + 7) / 8;
    if (prefix + mask_bytes > size) r.fail("Damaged row: its null mask does not fit the row");
    const std::size_t mask_pos = size - mask_bytes;
    auto present = [&](std::uint16_t number) {
        return number < ncols && (row[mask_pos + number / 8] >> (number % 8)) & 1;
    };

    bool has_var = table.num_var_cols > 0;
    for (const auto& c : table.columns) has_var = has_var || !c.is_fixed();

    // var_len + 1 entries, the last is the end of data; kept between rows.
    static thread_local std::vector<std::size_t> offsets;
    offsets.clear();
    std::size_t data_end = mask_pos;   // where column data must stop
    if (has_var) {
        if (table.format == Format::Jet4) {
            if (mask_pos < prefix + 2) r.fail("Damaged row: no room for its variable-column count");
            const std::size_t var_len = r.u16(mask_pos - 2);
            const std::size_t need = 2 * (var_len + 1);
            if (mask_pos - 2 < prefix + need) r.fail("Damaged row: its variable-column table does not fit the row");
            data_end = mask_pos - 2 - need;
            offsets.resize(var_len + 1);
            for (std::size_t i = 0; i <= var_len; ++i) offsets[i] = r.u16(mask_pos - 2 - 2 * (i + 1));
        } else {
            if (mask_pos < prefix + 1) r.fail("Damaged row: no room for its variable-column count");
            const std::size_t var_len = r.u8(mask_pos - 1);
            std::size_t jumps = (size - 1) / 256;
            // Entries run down from just below the jump table.
            if (mask_pos < 1 + jumps + var_len + 1 + prefix) r.fail("Damaged row: its variable-column table does not fit the row");
            const std::size_t first_entry = mask_pos - 1 - jumps - 1;
            // A trailing jump entry past the data is a placeholder.
            if ((first_entry - var_len) / 256 < jumps) --jumps;
            data_end = first_entry - var_len;
            offsets.resize(var_len + 1);
            std::size_t used = 0;
            for (std::size_t i = 0; i <= var_len; ++i) {
                while (used < jumps && row[mask_pos - 2 - used] == i) ++used;
                offsets[i] = row[first_entry - i] + 256 * used;
            }
        }
    }

    out.resize(table.columns.size());
    for (std::size_t k = 0; k < table.columns.size(); ++k) {
        const Column& col = table.columns[k];
        RawField& f = out[k];
        f.bytes = {};
        f.flag = false;
        if (col.column_type() == ColumnType::kBoolean) {
            f.kind = RawField::Kind::kBoolean;
            f.flag = present(col.number);
            continue;
        }
        f.kind = RawField::Kind::kNull;
        if (!present(col.number)) continue;
        if (col.is_fixed()) {
            std::size_t width = fixed_type_size(col.column_type());
            if (width == 0) width = col.length;
            const std::size_t start = prefix + col.fixed_offset;
            if (start + width > data_end) {
                r.fail("Damaged row: fixed column '" + col.name + "' lies outside the row");
            }
            f.kind = RawField::Kind::kFixed;
            f.bytes = row.subspan(start, width);
            continue;
        }
        if (std::size_t{col.var_index} + 1 >= offsets.size()) continue;  // added after the row
        const std::size_t start = offsets[col.var_index];
        const std::size_t end = offsets[col.var_index + 1];
        if (start < prefix || start > end || end > data_end) {
            r.fail("Damaged row: variable column '" + col.name + "' lies outside the row");
        }
        f.kind = RawField::Kind::kVariable;
        f.bytes = row.subspan(start, end - start);
    }
}

Value decode_field(PageFile& file, const TableDef& table, const Column& col, const RawField& f,
                   std::uint32_t page) {
    if (col.is_calculated() && f.kind != RawField::Kind::kNull && f.kind != RawField::Kind::kBoolean &&
        table.format == Format::Jet4) {
        return decode_calculated(file, table, col, f, page);
    }
    switch (f.kind) {
        case RawField::Kind::kNull: return Null{};
        case RawField::Kind::kBoolean: return f.flag;
        case RawField::Kind::kFixed:
            // A fixed-length Text column keeps its blank-padded text in the
            // fixed area; it decodes as any other text.
            if (col.column_type() == ColumnType::kText) return decode_text(file, table, col, f.bytes);
            return decode_fixed(col, f.bytes);
        case RawField::Kind::kVariable: break;
    }
    const auto bytes = f.bytes;
    switch (col.column_type()) {
        case ColumnType::kText: return decode_text(file, table, col, bytes);
        case ColumnType::kMemo: return decode_text(file, table, col, read_long_value(file, table, bytes, page));
        case ColumnType::kOle: return read_long_value(file, table, bytes, page);
        case ColumnType::kBinary: return Bytes(bytes.begin(), bytes.end());
        default: {
            // A fixed type stored as variable data: decode it when it is whole.
            const std::size_t width = fixed_type_size(col.column_type());
            if (width && bytes.size() >= width) return decode_fixed(col, bytes.first(width));
            return Bytes(bytes.begin(), bytes.end());
        }
    }
}

Row decode_row(PageFile& file, const TableDef& table, std::span<const std::uint8_t> row,
               std::uint32_t page) {
    static thread_local std::vector<RawField> fields;
    split_row(table, row, page, fields);
    Row values;
    values.reserve(table.columns.size());
    for (std::size_t k = 0; k < table.columns.size(); ++k) {
        values.push_back(decode_field(file, table, table.columns[k], fields[k], page));
    }
    return values;
}

std::vector<std::uint32_t> usage_map_pages(PageFile& file, std::uint32_t map_pointer,
                                           std::string_view table) {
    const RowId id = decode_row_pointer(map_pointer);
    PageRef p = file.page(id.page, table);
    ByteReader r{p->span(), table, id.page};
    if (p->type() != static_cast<std::uint8_t>(PageType::kData)) {
        r.fail("Damaged usage map: the page holding it is not a data page");
    }
    auto slots = decode_row_slots(p->span(), file.format(), table, id.page);
    if (id.row >= slots.size()) r.fail("Damaged usage map: row " + std::to_string(id.row) + " does not exist");
    const RowSlot& s = slots[id.row];
    UsageMap map = decode_usage_map(p->span().subspan(s.start, s.end - s.start), file.format(),
                                    table, id.page);
    std::vector<std::uint32_t> pages = std::move(map.pages);
    for (std::size_t k = 0; k < map.map_pages.size(); ++k) {
        if (map.map_pages[k] == 0) continue;
        PageRef mp = file.page(map.map_pages[k], table);
        add_map_page_bits(mp->span(), k, file.format(), pages, table, mp->number);
    }
    std::sort(pages.begin(), pages.end());
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
    return pages;
}

namespace {

// Visits each live slot of the table's data pages: (id, page holding the
// row's bytes, the bytes).
template <typename F>
void for_each_row_bytes(PageFile& file, const TableDef& table, F&& f) {
    const FormatInfo& fmt = file.format();
    for (std::uint32_t pg : usage_map_pages(file, table.used_pages, table.name)) {
        PageRef p = file.page(pg, table.name);
        if (p->type() != static_cast<std::uint8_t>(PageType::kData)) continue;
        if (data_page_owner(p->span(), fmt) != table.tdef_page) continue;
        auto slots = decode_row_slots(p->span(), fmt, table.name, pg);
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const RowSlot& s = slots[i];
            if (s.deleted()) continue;  // also the moved copy an overflow slot points at
            RowId id{pg, static_cast<std::uint8_t>(i)};
            PageRef holder = p;
            RowSlot cur = s;
            int hops = 0;
            while (cur.overflow() && !cur.deleted()) {
                ByteReader r{holder->span(), table.name, holder->number};
                if (++hops > kMaxOverflowHops) r.fail("Damaged row: overflow pointers loop");
                if (cur.end - cur.start < 4) r.fail("Damaged row: overflow pointer cut short");
                const RowId to = decode_row_pointer(r.u32(cur.start));
                holder = file.page(to.page, table.name);
                ByteReader tr{holder->span(), table.name, to.page};
                if (holder->type() != static_cast<std::uint8_t>(PageType::kData) ||
                    data_page_owner(holder->span(), fmt) != table.tdef_page) {
                    tr.fail("Damaged row: overflow pointer leads to a page of another table");
                }
                auto tslots = decode_row_slots(holder->span(), fmt, table.name, to.page);
                if (to.row >= tslots.size()) tr.fail("Damaged row: overflow pointer leads to a missing row");
                cur = tslots[to.row];
            }
            if (!f(id, *holder, holder->span().subspan(cur.start, cur.end - cur.start))) return;
        }
    }
}

}  // namespace

void scan_table(PageFile& file, const TableDef& table, const RowVisitor& visit) {
    for_each_row_bytes(file, table,
                       [&](const RowId& id, const Page& holder, std::span<const std::uint8_t> b) {
                           return visit(id, decode_row(file, table, b, holder.number));
                       });
}

void scan_table_bytes(PageFile& file, const TableDef& table, const RawRowVisitor& visit) {
    for_each_row_bytes(file, table,
                       [&](const RowId& id, const Page& holder, std::span<const std::uint8_t> b) {
                           return visit(id, holder.number, b);
                       });
}

std::uint64_t count_rows(PageFile& file, const TableDef& table) {
    std::uint64_t n = 0;
    for_each_row_bytes(file, table, [&](const RowId&, const Page&, std::span<const std::uint8_t>) {
        ++n;
        return true;
    });
    return n;
}

}  // namespace jet
