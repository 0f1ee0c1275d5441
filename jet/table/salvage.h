// Salvage: the table walk of a repair's copy from a file that may be
// damaged. It visits what still decodes and counts what it has to drop,
// instead of failing the whole table at the first bad byte as the strict
// scan (scan_table_bytes) does. On a sound file both visit the same rows
// in the same order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "jet/table/rows.h"
#include "jet/table/table_def.h"

namespace jet {

class PageFile;

// What a tolerant walk and copy had to leave behind, per table.
struct SalvageCounts {
    std::uint64_t rows_declared = 0;  // the TDEF's row count (may be stale)
    std::uint64_t rows_copied = 0;
    std::uint64_t rows_skipped = 0;   // live slots whose row did not decode
    std::uint64_t values_nulled = 0;  // memo/OLE values whose chain did not read
    std::uint64_t pages_skipped = 0;  // pages of the table that could not be read at all
    bool pages_by_owner = false;      // the usage map failed: pages found by their owner field
    bool any_loss() const { return rows_skipped || values_nulled || pages_skipped; }
};

// The checks a row must pass before it is trusted as one the table wrote
// (on top of split_row's): its column count is one the table can have and
// its variable-column offsets run forward. A page of garbage that happens
// to name the table as its owner rarely passes them.
bool plausible_row(const TableDef& table, std::span<const std::uint8_t> row);

// Walks the table like scan_table_bytes, but a page that cannot be read or
// whose slot table is damaged is skipped (pages_skipped), a row whose
// overflow pointer leads nowhere or whose bytes fail plausible_row is
// skipped (rows_skipped). When the usage map cannot be read or lists pages
// that are not this table's, the table's pages are found instead by
// scanning the whole file for data pages that name it as their owner.
// Every chain is bounded. `visit` may throw jet::Error for a row it cannot
// take; such errors pass through.
void salvage_table_bytes(PageFile& file, const TableDef& table, SalvageCounts& counts,
                         const RawRowVisitor& visit);

// A table definition found by its pages rather than through the catalog.
struct FoundTableDef {
    std::uint32_t tdef_page = 0;
    // A table of the engine (its definition says so) or of Access itself
    // (recognised by the layout Access gives it): never user data.
    bool system = false;
};

// The tables of a file whose catalog is damaged, found by their
// definitions: the first page of every chain of table-definition pages
// that is not the continuation of another chain, is not on the file's
// free-page list (a dropped table's definition may still sit there), and
// reads and decodes whole. In page order. One sequential pass over the
// file plus one definition read per candidate: bounded by the file.
std::vector<FoundTableDef> find_table_defs(PageFile& file);

// Whether a definition has the layout of one of the tables Access keeps
// for itself (navigation pane, modules, saved import layouts, ...). Their
// catalog rows carry the system flag; without the catalog, the columns
// (names, types and text sizes Access always gives them) tell.
bool access_internal_layout(const TableDef& table);

}  // namespace jet
