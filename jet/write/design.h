// A copied table's design, given back from its source.
//
// A make-table copy (copy.h) gives each column its name, type and size and
// no index; rebuilding indexes by statement gives uniqueness only. What an
// application relies on besides lives in the source's table definition: the
// autonumber (its flag and the table's counter, so the next row gets the
// number the source would have given), required columns, Unicode
// compression, hyperlink memos, fixed-length Text, primary keys, descending
// key columns, ignore-nulls and required indexes. restore_design compares a
// target table with its source's definition and changes what differs:
// flags in place, indexes remade, and a table whose rows must be laid out
// anew (fixed-length Text) copied again from the source.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jet/table/database.h"
#include "jet/table/salvage.h"
#include "jet/write/writer.h"

namespace jet {

struct DesignChanges {
    std::size_t columns = 0;   // columns whose flags changed
    std::size_t indexes = 0;   // indexes made or remade
    bool autonumber = false;   // the counter was set
    bool rebuilt = false;      // the table was copied again (fixed-length Text)
};

// One index of a source definition as the writer makes it (columns by name,
// descending, primary key, unique, ignore-nulls, required). Throws
// jet::Error when it names a column the definition lacks.
IndexSpec index_layout(const TableDef& def, const Index& ix);

// Gives `table` of `target` the design of `source_table` (the definition of
// the table of `source` it was copied from, columns by name). Foreign-key
// indexes are left to the relationships that own them. Throws jet::Error when
// the design cannot be given (columns that differ in name or type, a
// primary key over nulls, ...); a table being copied again is then left as
// it was. `salvage` reads a damaged source as the copy did (copy_rows).
DesignChanges restore_design(Database& source, const TableDef& source_table,
                             DatabaseWriter& target, TableHandle table,
                             SalvageCounts* salvage = nullptr);

}  // namespace jet
