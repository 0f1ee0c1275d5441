// Index pages: the B-tree pages in which Jet keeps an index's entries.
//
// An index is a tree of intermediate pages (type 0x03) over leaf pages (type
// 0x04). Both kinds hold a list of entries packed back to back; a bitmask in
// the page header marks where each entry ends, and every entry after the
// first leaves out the bytes it shares with the first (the page's prefix).
// A leaf entry is the key followed by the row pointer (3-byte page, 1-byte
// row, both big-endian). An intermediate entry carries in addition the page
// of the child whose last entry it is; the last child is not listed and
// hangs off the page's tail pointer instead. Leaves of one index are chained
// by next/previous links, so the entries in order are the leftmost leaf's and
// those of every leaf after it.
//
// Everything here decodes byte spans; the caller supplies pages. Every offset
// and length read from a page is checked, and a violation is a jet::Error
// naming the table and page.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "jet/base/format.h"

namespace jet {

// Where the fields of an index page lie in each format.
struct IndexPageLayout {
    std::uint32_t page_size;
    std::size_t owner_offset;    // uint32: the table's TDEF page
    std::size_t prev_offset;     // uint32: previous page on this level
    std::size_t next_offset;     // uint32: next page on this level
    std::size_t tail_offset;     // uint32: last child (intermediate pages)
    std::size_t prefix_offset;   // length of the shared prefix
    std::size_t prefix_size;     // 2 bytes in Jet 4, 1 in Jet 3
    std::size_t mask_offset;     // entry-end bitmask
    std::size_t entries_offset;  // first entry; the mask ends here
};

const IndexPageLayout& index_page_layout(Format format);

struct IndexEntry {
    std::vector<std::uint8_t> key;  // the encoded key columns (see index_key.h)
    RowId row;                      // the row this entry stands for
    std::uint32_t child = 0;        // intermediate pages: the child page
};

struct IndexPage {
    std::uint32_t number = 0;
    bool leaf = true;
    std::uint32_t owner = 0;  // TDEF page of the table
    std::uint32_t prev = 0;
    std::uint32_t next = 0;
    std::uint32_t tail = 0;
    std::size_t prefix_length = 0;
    std::vector<IndexEntry> entries;
};

// Decodes one index page. `table` only names the table in error messages.
IndexPage decode_index_page(std::span<const std::uint8_t> page, std::uint32_t page_number,
                            Format format, std::string_view table = {});

// Hands out the bytes of a page; it throws for a page outside the file. The
// span has to stay valid until the reader is called again.
using IndexPageReader = std::function<std::span<const std::uint8_t>(std::uint32_t page)>;

// Every entry of an index in order, walking from its first (root) page down
// to the leftmost leaf and then along the leaf chain. `page_count` bounds the
// walk (a damaged chain with a loop is an error, not an endless walk). An
// index whose root page is empty yields no entries.
std::vector<IndexEntry> read_index_entries(const IndexPageReader& read_page, Format format,
                                           std::uint32_t first_page, std::uint32_t page_count,
                                           std::string_view table = {});

}  // namespace jet
