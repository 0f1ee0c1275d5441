// Rows: decoding one row of a data page into Values, long values (memo and
// OLE) from long-value pages, and the scan of a table's data pages through
// its usage map.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "jet/base/format.h"
#include "jet/table/table_def.h"
#include "jet/base/value.h"

namespace jet {

class PageFile;

// One decoded row: values in TableDef::columns order.
using Row = std::vector<Value>;

// Decodes the row bytes `row` (as cut from a data page by its slot) of
// `table`. Long values are fetched through `file`. `page` names the page
// in errors.
Row decode_row(PageFile& file, const TableDef& table, std::span<const std::uint8_t> row,
               std::uint32_t page);

// The bytes of a memo/OLE field (its 12-byte header plus any inline data),
// followed through long-value pages.
Bytes read_long_value(PageFile& file, const TableDef& table, std::span<const std::uint8_t> field,
                      std::uint32_t page);

// The same bytes piece by piece: `chunk` is called with each piece in order
// (the inline data, the row of a single page, or one row of the page chain
// after another), so a value of any size passes through without being held
// whole. A piece is valid only during its call. A damaged chain throws
// jet::Error, possibly after some pieces were delivered.
using LongValueChunk = std::function<void(std::span<const std::uint8_t>)>;
void read_long_value_chunks(PageFile& file, const TableDef& table,
                            std::span<const std::uint8_t> field, std::uint32_t page,
                            const LongValueChunk& chunk);
// The length a memo/OLE field's header records (0 when the field is too short).
std::uint32_t long_value_length(std::span<const std::uint8_t> field);

// One field of a row before it is decoded: where its bytes lie in the row.
struct RawField {
    enum class Kind : std::uint8_t { kNull, kBoolean, kFixed, kVariable };
    Kind kind = Kind::kNull;
    bool flag = false;                    // kBoolean: the value
    std::span<const std::uint8_t> bytes;  // kFixed/kVariable: as stored (a memo/OLE
                                          // field: its 12-byte header and inline data)
};
// Cuts the row bytes `row` of `table` into fields in TableDef::columns order,
// reusing `out`, with the checks decode_row makes. decode_row is this plus
// decode_field for each column.
void split_row(const TableDef& table, std::span<const std::uint8_t> row, std::uint32_t page,
               std::vector<RawField>& out);
Value decode_field(PageFile& file, const TableDef& table, const Column& column,
                   const RawField& field, std::uint32_t page);

// The pages a usage map row (pointer as stored in the TDEF) marks, ascending.
std::vector<std::uint32_t> usage_map_pages(PageFile& file, std::uint32_t map_pointer,
                                           std::string_view table);

// Calls `visit(id, row)` for every live row of `table` in page order, slot
// order within a page. `id` is where the row's slot is (the place indexes
// point at); a row moved to an overflow page is read from there but keeps
// the id of its original slot, and the moved copy itself is not visited
// twice. Return false from `visit` to stop.
using RowVisitor = std::function<bool(const RowId& id, const Row& row)>;
void scan_table(PageFile& file, const TableDef& table, const RowVisitor& visit);

// The same walk without decoding: `visit(id, page, row)` gets the row bytes
// and the page holding them (valid only during the call).
using RawRowVisitor = std::function<bool(const RowId& id, std::uint32_t page,
                                         std::span<const std::uint8_t> row)>;
void scan_table_bytes(PageFile& file, const TableDef& table, const RawRowVisitor& visit);

// Number of live rows (a full scan; the TDEF count can be stale).
std::uint64_t count_rows(PageFile& file, const TableDef& table);

}  // namespace jet
