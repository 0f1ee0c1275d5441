// Table definitions: the columns and indexes a TDEF describes.
//
// A TDEF may continue over several pages (next-page pointer in each page
// header); read_table_def joins them and parse_table_def decodes the joined
// buffer. Columns keep both their TDEF order and their column number (ids
// have gaps where columns were deleted). Indexes come in two lists: the real
// (physical) indexes, each with its own B-tree, and the logical indexes the
// user sees, several of which may share one real index.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "jet/base/format.h"
#include "jet/base/value.h"

namespace jet {

class PageFile;

struct Column {
    std::string name;
    std::uint8_t type = 0;       // ColumnType value (unknown types kept as read)
    std::uint16_t number = 0;    // column id: null-mask bit, stable across deletes
    std::uint16_t var_index = 0; // slot in a row's variable offset table
    std::uint16_t fixed_offset = 0;  // offset in a row's fixed area
    std::uint16_t length = 0;    // bytes (Text: bytes as stored, 2 per char in Jet 4)
    std::uint8_t flags = 0;      // kColumnFixed, kColumnAutoLong, ...
    std::uint8_t misc_flags = 0; // Jet 4: 0x01 compressed unicode, 0xC0 calculated (ACE)
    std::uint8_t precision = 0;  // Numeric
    std::uint8_t scale = 0;      // Numeric
    std::uint16_t sort_order = 0;  // Text/Memo collation id (1033 General)
    std::uint16_t code_page = 0;   // Jet 3 Text/Memo
    std::uint8_t sort_order_version = 0;  // Jet 4 layout Text/Memo: 0 General legacy, 1 General
    std::uint32_t complex_id = 0;  // ACE complex column: its ComplexID in MSysComplexColumns
    // A calculated column (ACE): the type of the stored result, from the
    // column's ResultType property; 0 when unknown (the TDEF type is used).
    std::uint8_t calc_result_type = 0;

    ColumnType column_type() const { return static_cast<ColumnType>(type); }
    bool is_fixed() const { return flags & kColumnFixed; }
    bool is_autonumber() const { return flags & (kColumnAutoLong | kColumnAutoGuid); }
    bool is_calculated() const { return (misc_flags & kColumnCalculated) != 0; }
    bool is_long_value() const {
        return type == static_cast<std::uint8_t>(ColumnType::kMemo) ||
               type == static_cast<std::uint8_t>(ColumnType::kOle);
    }
    // Text: characters; Binary: bytes; other types: nullopt.
    std::optional<std::uint32_t> display_size(Format format) const;
};

struct IndexColumn {
    std::uint16_t column_number = 0;  // Column::number
    std::size_t column = 0;           // position in TableDef::columns
    bool descending = false;
};

// A physical index: one B-tree.
struct RealIndex {
    std::uint32_t number = 0;
    std::vector<IndexColumn> columns;  // key order
    std::uint8_t flags = 0;            // kIndexUnique, kIndexIgnoreNulls, kIndexRequired
    std::uint32_t used_pages = 0;      // row pointer of its usage map
    std::uint32_t first_page = 0;      // root of the B-tree
    std::uint32_t row_count = 0;       // count stored beside the TDEF block
};

// A logical index: a name on top of a real index.
struct Index {
    std::string name;
    std::uint32_t index_number = 0;  // logical number
    std::uint32_t real_index = 0;    // position in TableDef::real_indexes
    std::uint8_t index_type = 0;     // kIndexTypeNormal / PrimaryKey / ForeignKey
    std::uint8_t rel_table_type = 0;
    std::int32_t rel_index_number = -1;
    std::uint32_t rel_table_page = 0;
    bool cascade_updates = false;
    bool cascade_deletes = false;
    // Copied from the real index for convenience.
    std::vector<IndexColumn> columns;
    std::uint8_t flags = 0;
    std::uint32_t first_page = 0;

    bool unique() const { return flags & kIndexUnique; }
    bool ignore_nulls() const { return flags & kIndexIgnoreNulls; }
    bool required() const { return flags & kIndexRequired; }
    bool primary_key() const { return index_type == kIndexTypePrimaryKey; }
    bool foreign_key() const { return index_type == kIndexTypeForeignKey; }
};

struct TableDef {
    std::string name;
    Format format = Format::Jet4;
    std::uint32_t tdef_page = 0;
    std::vector<std::uint32_t> pages;  // the TDEF's pages in order
    std::uint32_t row_count = 0;       // as stored; may be stale
    std::uint32_t next_autonumber = 0;
    std::uint32_t complex_autonumber = 0;  // ACE: next complex value id, shared by the table's complex columns
    std::uint8_t table_type = 0;  // 0x4E user, 0x53 system
    std::uint16_t max_cols = 0;
    std::uint16_t num_var_cols = 0;
    std::uint32_t used_pages = 0;  // row pointer of the table's usage map
    std::uint32_t free_pages = 0;
    std::vector<Column> columns;  // TDEF order (= column number order in practice)
    std::vector<RealIndex> real_indexes;
    std::vector<Index> indexes;  // logical indexes in TDEF order

    const Column* find_column(std::string_view name) const;
    const Column* column_by_number(std::uint16_t number) const;
};

// Decodes a joined TDEF buffer (page 1 whole, later pages without their
// 8-byte header). `table` and `first_page` name the table in errors.
// `code_page` decodes Jet 3 names (0 = 1252).
TableDef parse_table_def(std::span<const std::uint8_t> tdef, Format format, std::string_view table,
                         std::uint32_t first_page, unsigned code_page = 0);

// Reads the TDEF chain starting at `tdef_page` and decodes it.
TableDef read_table_def(PageFile& file, std::uint32_t tdef_page, std::string_view table);

}  // namespace jet
