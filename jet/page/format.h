// Page formats: pure decoders over one page image or one definition buffer.
//
// No file access here: callers hand in bytes, a FormatInfo and names for the
// error messages. Every length, offset and count read from the bytes is
// checked against the span before use; a violation throws jet::Error naming
// the table and the page. The writer will add the matching encoders here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "jet/base/format.h"

namespace jet {

// Little-endian readers that check bounds (throw jet::Error with context).
struct ByteReader {
    std::span<const std::uint8_t> bytes;
    std::string_view table;
    std::uint32_t page = 0;
    void need(std::size_t offset, std::size_t length) const;
    std::uint8_t u8(std::size_t offset) const;
    std::uint16_t u16(std::size_t offset) const;
    std::uint32_t u32(std::size_t offset) const;
    std::span<const std::uint8_t> sub(std::size_t offset, std::size_t length) const;
    [[noreturn]] void fail(std::string_view what) const;
};

// One row slot of a data or long-value page.
struct RowSlot {
    std::uint16_t raw = 0;   // offset word as stored
    std::size_t start = 0;   // first byte of the row
    std::size_t end = 0;     // one past the last byte
    bool deleted() const { return raw & kRowDeletedFlag; }
    bool overflow() const { return raw & kRowOverflowFlag; }
};

// The row slots of a data (type 1) or long-value page, in slot order.
// Rows grow down from the end of the page: row i ends where row i-1 starts.
std::vector<RowSlot> decode_row_slots(std::span<const std::uint8_t> page, const FormatInfo& fmt,
                                      std::string_view table, std::uint32_t page_number);

// Owner TDEF page of a data page.
std::uint32_t data_page_owner(std::span<const std::uint8_t> page, const FormatInfo& fmt);

// A usage map row: either an inline bitmap (type 0) or a list of map pages
// (type 1) whose bitmaps the caller reads and passes to add_map_page_bits.
struct UsageMap {
    std::uint8_t map_type = 0;
    std::vector<std::uint32_t> pages;       // type 0: the pages set in the bitmap
    std::vector<std::uint32_t> map_pages;   // type 1: map page per slot (0 = none)
};
UsageMap decode_usage_map(std::span<const std::uint8_t> row, const FormatInfo& fmt,
                          std::string_view table, std::uint32_t page_number);
// The pages set in the bitmap of map page `map_page` (slot `slot` of a type-1 map).
void add_map_page_bits(std::span<const std::uint8_t> map_page, std::size_t slot,
                       const FormatInfo& fmt, std::vector<std::uint32_t>& out,
                       std::string_view table, std::uint32_t page_number);

}  // namespace jet
