// Integrity check: reads a whole database and reports every place where it
// does not hold together, without writing anything.
//
// What is checked, in this order: the header page (and whether the file
// ends on a page boundary), the catalog, every table's definition, its
// usage map against the data pages that name the table as their owner,
// every row and every memo/OLE value, and every index's entries against
// the rows: the leaf entries in B-tree order, one entry per row, unique
// keys unique, and each entry's key equal to the key of the row it points
// at. It lives beside the index code because the last check needs the key
// encoder.
//
// A problem names the table and the page where it was found. The check
// goes on after a problem wherever the rest can still be read. Every walk
// is bounded by the number of pages in the file and memory stays bounded
// by a few bits per page, whatever the file holds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace jet {

struct CheckProblem {
    std::string table;       // empty for the header page
    std::uint32_t page = 0;  // where the problem was found
    std::string text;        // what is wrong, for a person
};

// What the check went through.
struct CheckStats {
    std::uint64_t tables = 0;  // table definitions read (system tables included)
    std::uint64_t rows = 0;
    std::uint64_t long_values = 0;  // memo/OLE values kept on long-value pages
    std::uint64_t indexes = 0;      // B-trees walked
    std::uint64_t index_entries = 0;
    std::uint64_t problems = 0;
};

using CheckReport = std::function<void(const CheckProblem&)>;

// Checks the database at `path`. Each problem is handed to `report` as it
// is found. Throws jet::Error only when the file cannot be checked at all:
// it cannot be opened, it is not a Jet 3/Jet 4 database (Access 2007 and
// later files keep the message of PageFile::open) or the password is wrong.
// A header page that does not decode is itself a problem: the rest of the
// file is then checked as a repair would read it.
CheckStats check_database(const std::string& path, std::string_view password,
                          const CheckReport& report);

}  // namespace jet
