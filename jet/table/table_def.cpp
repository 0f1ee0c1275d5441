// Table definitions: joining the TDEF page chain and decoding columns, real
// indexes and logical indexes from it.
#include "jet/table/table_def.h"

#include <algorithm>
#include <set>

#include "jet/base/error.h"
#include "jet/page/file.h"
#include "jet/page/format.h"
#include "jet/base/text.h"

namespace jet {

std::optional<std::uint32_t> Column::display_size(Format format) const {
    switch (column_type()) {
        case ColumnType::kText: return format == Format::Jet4 ? length / 2u : length;
        case ColumnType::kBinary: return length;
        default: return std::nullopt;
    }
}

const Column* TableDef::find_column(std::string_view n) const {
    for (const auto& c : columns)
        if (c.name == n) return &c;
    return nullptr;
}

const Column* TableDef::column_by_number(std::uint16_t number) const {
    for (const auto& c : columns)
        if (c.number == number) return &c;
    return nullptr;
}

namespace {

// Upper bounds that no real file reaches; they keep a hostile count from
// turning into a huge allocation before the bounds checks catch it.
constexpr std::uint32_t kMaxColumns = 4096;
constexpr std::uint32_t kMaxIndexes = 1024;

// A column's descriptor at POS (its name comes later in the definition).
Column read_column(const ByteReader& r, const FormatInfo& fmt, Format format, std::size_t pos) {
    Column c;
    c.type = r.u8(pos + fmt.col_type_offset);
    c.number = r.u16(pos + fmt.col_num_offset);
    c.var_index = r.u16(pos + fmt.col_var_offset);
    c.flags = r.u8(pos + fmt.col_flags_offset);
    c.fixed_offset = r.u16(pos + fmt.col_fixed_offset);
    c.length = r.u16(pos + fmt.col_size_offset);
    const bool textual = c.type == static_cast<std::uint8_t>(ColumnType::kText) ||
                         c.type == static_cast<std::uint8_t>(ColumnType::kMemo);
    if (format == Format::Jet4) {
        c.misc_flags = r.u8(pos + 16);
        if (textual) {
            c.sort_order = r.u16(pos + fmt.col_misc_offset);
            c.sort_order_version = r.u8(pos + fmt.col_misc_offset + 3);
        } else if (c.type == static_cast<std::uint8_t>(ColumnType::kComplex)) {
            c.complex_id = r.u32(pos + fmt.col_misc_offset);
        } else {
            c.precision = r.u8(pos + fmt.col_misc_offset);
            c.scale = r.u8(pos + fmt.col_misc_offset + 1);
        }
    } else {
        if (textual) {
            c.sort_order = r.u16(pos + 7);
            c.code_page = r.u16(pos + fmt.col_misc_offset);
        } else {
            c.precision = r.u8(pos + fmt.col_misc_offset);
            c.scale = r.u8(pos + fmt.col_misc_offset + 1);
        }
    }
    return c;
}

// Real index NUMBER's entry at POS; its columns are resolved against the
// table's columns, sorted by number.
RealIndex read_real_index(const ByteReader& r, const FormatInfo& fmt, const std::vector<Column>& columns,
                          std::uint32_t number, std::size_t pos) {
    RealIndex ri;
    ri.number = number;
    const std::size_t base = pos + fmt.real_idx_prefix;
    for (int k = 0; k < 10; ++k) {
        const std::uint16_t num = r.u16(base + 3 * k);
        if (num == 0xFFFF) continue;
        const std::uint8_t order = r.u8(base + 3 * k + 2);
        std::optional<std::size_t> col;
        for (std::size_t i = 0; i < columns.size() && !col; ++i)
            if (columns[i].number == num) col = i;
        if (!col) {
            r.fail("Damaged table definition: index " + std::to_string(number) +
                   " names column number " + std::to_string(num) + ", which does not exist");
        }
        ri.columns.push_back(IndexColumn{num, *col, order != 0x01});
    }
    ri.used_pages = r.u32(base + 30);
    ri.first_page = r.u32(base + 34);
    ri.flags = r.u8(base + fmt.real_idx_flags_offset);
    return ri;
}

// Logical index NUMBER's entry at POS, with the columns and flags of the
// real index it uses.
Index read_logical_index(const ByteReader& r, const FormatInfo& fmt,
                         const std::vector<RealIndex>& real_indexes, std::uint32_t number,
                         std::size_t pos) {
    Index ix;
    const std::size_t base = pos + fmt.logical_idx_prefix;
    ix.index_number = r.u32(base);
    ix.real_index = r.u32(base + 4);
    ix.rel_table_type = r.u8(base + 8);
    ix.rel_index_number = static_cast<std::int32_t>(r.u32(base + 9));
    ix.rel_table_page = r.u32(base + 13);
    ix.cascade_updates = r.u8(base + 17) != 0;
    ix.cascade_deletes = r.u8(base + 18) != 0;
    ix.index_type = r.u8(base + 19);
    if (ix.real_index >= real_indexes.size()) {
        r.fail("Damaged table definition: logical index " + std::to_string(number) +
               " uses real index " + std::to_string(ix.real_index) + " of " +
               std::to_string(real_indexes.size()));
    }
    const RealIndex& ri = real_indexes[ix.real_index];
    ix.columns = ri.columns;
    ix.flags = ri.flags;
    ix.first_page = ri.first_page;
    return ix;
}

}  // namespace

TableDef parse_table_def(std::span<const std::uint8_t> tdef, Format format, std::string_view table,
                         std::uint32_t first_page, unsigned code_page) {
    const FormatInfo& fmt = format_info(format);
    ByteReader r{tdef, table, first_page};
    if (r.u8(0) != static_cast<std::uint8_t>(PageType::kTableDef)) {
        r.fail("Damaged table definition: page is not a table definition page");
    }
    TableDef t;
    t.name = std::string(table);
    t.format = format;
    t.tdef_page = first_page;
    t.row_count = r.u32(fmt.tdef_row_count_offset);
    t.next_autonumber = r.u32(fmt.tdef_autonumber_offset);
    if (format == Format::Jet4) t.complex_autonumber = r.u32(kTdefComplexAutonumberOffset);
    t.table_type = r.u8(fmt.tdef_table_type_offset);
    t.max_cols = r.u16(fmt.tdef_max_cols_offset);
    t.num_var_cols = r.u16(fmt.tdef_num_var_cols_offset);
    const std::uint32_t num_cols = r.u16(fmt.tdef_num_cols_offset);
    const std::uint32_t num_idx = r.u32(fmt.tdef_num_idx_offset);
    const std::uint32_t num_real_idx = r.u32(fmt.tdef_num_real_idx_offset);
    t.used_pages = r.u32(fmt.tdef_used_pages_offset);
    t.free_pages = r.u32(fmt.tdef_free_pages_offset);
    if (num_cols > kMaxColumns || num_idx > kMaxIndexes || num_real_idx > kMaxIndexes) {
        r.fail("Damaged table definition: implausible column or index count");
    }

    std::size_t pos = fmt.tdef_block_end;
    std::vector<std::uint32_t> real_counts(num_real_idx);
    for (std::uint32_t i = 0; i < num_real_idx; ++i) {
        real_counts[i] = r.u32(pos + 4);
        pos += fmt.real_idx_count_entry_size;
    }

    r.need(pos, std::size_t{num_cols} * fmt.column_entry_size);
    t.columns.reserve(num_cols);
    for (std::uint32_t i = 0; i < num_cols; ++i) {
        t.columns.push_back(read_column(r, fmt, format, pos));
        pos += fmt.column_entry_size;
    }

    auto read_name = [&](std::size_t& p) {
        std::size_t len = fmt.name_length_size == 2 ? r.u16(p) : r.u8(p);
        p += fmt.name_length_size;
        auto bytes = r.sub(p, len);
        p += len;
        return format == Format::Jet4 ? decode_jet4_text(bytes)
                                      : decode_codepage_text(bytes, code_page);
    };
    for (auto& c : t.columns) c.name = read_name(pos);
    // The TDEF lists columns in no useful order; rows and users see them by number.
    std::stable_sort(t.columns.begin(), t.columns.end(),
                     [](const Column& a, const Column& b) { return a.number < b.number; });

    r.need(pos, std::size_t{num_real_idx} * fmt.real_idx_entry_size);
    t.real_indexes.reserve(num_real_idx);
    for (std::uint32_t i = 0; i < num_real_idx; ++i) {
        t.real_indexes.push_back(read_real_index(r, fmt, t.columns, i, pos));
        t.real_indexes.back().row_count = real_counts[i];
        pos += fmt.real_idx_entry_size;
    }

    r.need(pos, std::size_t{num_idx} * fmt.logical_idx_entry_size);
    t.indexes.reserve(num_idx);
    for (std::uint32_t i = 0; i < num_idx; ++i) {
        t.indexes.push_back(read_logical_index(r, fmt, t.real_indexes, i, pos));
        pos += fmt.logical_idx_entry_size;
    }
    for (auto& ix : t.indexes) ix.name = read_name(pos);
    return t;
}

TableDef read_table_def(PageFile& file, std::uint32_t tdef_page, std::string_view table) {
    const FormatInfo& fmt = file.format();
    std::vector<std::uint8_t> joined;
    std::vector<std::uint32_t> pages;
    std::set<std::uint32_t> seen;
    std::uint32_t next = tdef_page;
    while (next != 0) {
        if (!seen.insert(next).second) {
            throw_damaged("Damaged table definition: its page chain loops back to page " +
                              std::to_string(next),
                          table, pages.empty() ? tdef_page : pages.back());
        }
        PageRef p = file.page(next, table);
        ByteReader r{p->span(), table, next};
        if (p->type() != static_cast<std::uint8_t>(PageType::kTableDef)) {
            r.fail("Damaged table definition: page is not a table definition page");
        }
        pages.push_back(next);
        if (joined.empty()) {
            joined.assign(p->bytes.begin(), p->bytes.end());
        } else {
            joined.insert(joined.end(), p->bytes.begin() + 8, p->bytes.end());
        }
        next = r.u32(4);
    }
    TableDef t = parse_table_def(joined, fmt.format, table, tdef_page, file.header().code_page);
    t.pages = std::move(pages);
    return t;
}

}  // namespace jet
