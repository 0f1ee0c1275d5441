// Copying a table from another open database, as Jet's make-table query
// (SELECT * INTO target FROM [source].table) does it.
//
// The new table has the source's column names, types and sizes in the
// source's column order; an autonumber column arrives as a plain Long
// Integer (a Replication ID autonumber as a plain Replication ID) and no
// index is copied. Rows stream from the source's pages to the target's one
// at a time, and memo and OLE values larger than a buffer page by page, so
// memory grows neither with the table nor with its largest value. From a
// Jet 4 source the fields keep their stored form (texts stay UTF-16); a
// Jet 3 source's texts are converted from its code page.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "jet/table/database.h"
#include "jet/table/salvage.h"
#include "jet/write/writer.h"

namespace jet {

// How much of a source column's design a new column takes.
enum class ColumnDesign {
    // What a make-table keeps: name, type, size, precision and scale,
    // Unicode compression (always on for a Jet 3 source, which had none)
    // and the hyperlink flag of a memo.
    kMakeTable,
    // All of it: besides, the autonumber (Long counter or Replication ID),
    // required, a fixed-length Text and the column's other flag bits.
    kWhole,
};

// The new column for a source column of a table in `format`, for a new
// file of `version` (in an ACE file, a column keeps what is ACE's own:
// set_ace_design).
// Throws jet::Error for a type this engine cannot write.
ColumnSpec column_spec(const Column& source, Format format, ColumnDesign design,
                       std::string_view table = {}, FileVersion version = FileVersion::kJet4);

// The target table's definition for a source table (the make-table rule).
TableSpec make_table_spec(const TableDef& source, std::string_view target_name,
                          FileVersion version = FileVersion::kJet4);

// Copies every row of `source_table` into a new table `target_name` of
// `target`; returns the new table. Fails with jet::Error (naming the row)
// when a row cannot be written, for instance a Jet 3 row whose texts no
// longer fit a Jet 4 row.
TableHandle copy_table(Database& source, std::string_view source_table, DatabaseWriter& target,
                       std::string_view target_name);

// The rows of copy_table, into an existing table `target_table` whose
// columns are the source's, one to one in TableDef::columns order and of the
// same types, with no index and no autonumber (the new table of a make-table
// query). Calls `after_row` after each row; returns the number of rows.
//
// With `salvage`, the source is read as a repair of a damaged file needs
// it (salvage_table_bytes): a row that does not decode is left out and a
// memo or OLE value whose pages do not read becomes null, both counted in
// `*salvage`; rows that cannot be written still fail the copy.
std::uint64_t copy_rows(Database& source, const TableDef& source_table, DatabaseWriter& target,
                        TableHandle target_table, const std::function<void()>& after_row = {},
                        SalvageCounts* salvage = nullptr);

}  // namespace jet
