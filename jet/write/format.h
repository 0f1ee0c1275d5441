// Page encoders of the writing half: pure functions from values to bytes.
//
// Each function here builds one on-disk structure of a Jet 4 file (the
// header page, texts, rows, data and long-value pages, usage maps, table
// definitions, index pages) from plain descriptions, with no file access.
// The layouts are the ones the reading half decodes (jet/format.h); where
// Access leaves bytes it never reads uninitialised, we write zeros.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "jet/base/format.h"
#include "jet/base/value.h"

namespace jet::write {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t kPageSize = kJet4PageSize;
inline constexpr std::size_t kDataHeaderSize = 14;  // type, 01, free, owner, 4 unknown, row count
inline constexpr std::size_t kMaxRowSize = kPageSize - kDataHeaderSize - 2;
inline constexpr std::size_t kMaxRowsPerPage = 255;  // the row byte of a row pointer
inline constexpr std::size_t kUsageMapRowSize = 69;  // type byte + 64-byte bitmap / 17 pointers
inline constexpr std::size_t kInlineMapPages = 64 * 8;
inline constexpr std::size_t kMapPageBits = (kPageSize - 4) * 8;
inline constexpr std::size_t kIndexEntryStart = 0x1E0;
inline constexpr std::size_t kIndexMaskStart = 0x1B;
// The unknown word Access repeats in every TDEF, column and logical index of
// the files it makes; we write the same value.
inline constexpr std::uint32_t kTdefStamp = 0x0659;

// ---- little-endian helpers -------------------------------------------------
void put_u16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v);
void put_u32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v);
void append_u8(Bytes& b, std::uint8_t v);
void append_u16(Bytes& b, std::uint16_t v);
void append_u32(Bytes& b, std::uint32_t v);
void append_u64(Bytes& b, std::uint64_t v);
void append_f64(Bytes& b, double v);
inline std::uint32_t row_pointer(std::uint32_t page, std::uint8_t row) { return (page << 8) | row; }

// ---- texts -----------------------------------------------------------------
// UTF-8 to UCS-2 little-endian (code points above U+FFFF as surrogate pairs;
// invalid UTF-8 becomes U+FFFD).
Bytes utf8_to_ucs2(std::string_view utf8);
// The same appended to `out`.
void append_utf16le(std::string_view utf8, Bytes& out);
// A Jet 4 text as a Text/Memo column stores it. With `compress` the text is
// written in the FF FE compressed form when that is shorter, as Access does:
// runs of characters below U+0100 one byte each, others two bytes, a 00 byte
// switching between the modes. Texts holding U+0000 stay UCS-2.
Bytes encode_text(std::string_view utf8, bool compress);
// The same appended to `out`.
void append_text(std::string_view utf8, bool compress, Bytes& out);
// The same for a text given as UTF-16 little-endian code units (an odd last
// byte is ignored), appended to `out`: how a copy between Jet 4 files
// stores a text without passing through UTF-8.
void append_ucs2_text(std::span<const std::uint8_t> units, bool compress, Bytes& out);

// ---- the header page -------------------------------------------------------
struct HeaderFields {
    double creation_date = 0;       // days since 1899-12-30
    std::string password;           // UTF-8, at most 20 UCS-2 units; empty = none
    std::uint16_t code_page = 1252;
    std::uint32_t sort_order = 1033;  // General
    std::uint32_t database_key = 0;
    // ACE12 ... ACE17 write the ACE engine name, their version byte and the
    // sort order's version at 0x71 (0 General legacy, 1 General).
    FileVersion version = FileVersion::kJet4;
    std::uint8_t sort_order_version = 0;
};
Bytes encode_header_page(const HeaderFields& fields);

// ---- data and long-value pages ---------------------------------------------
struct RowSlotImage {
    Bytes bytes;
    bool deleted = false;
};
// A data page owned by TDEF `owner` (or a long-value page when `lval`).
Bytes encode_row_page(std::uint32_t owner, bool lval, std::span<const RowSlotImage> rows);
// Free bytes left on a page holding `rows` (header and offset words counted).
std::size_t row_page_free(std::span<const RowSlotImage> rows);
// Splits a page back into its slots (for pages this writer wrote).
std::vector<RowSlotImage> decode_row_page(std::span<const std::uint8_t> page);

// ---- usage maps --------------------------------------------------------------
// A type-0 map row over pages [start, start + 512).
Bytes encode_inline_map(std::uint32_t start, std::span<const std::uint32_t> pages);
// A type-1 map row: up to 17 type-5 map pages (0 = none).
Bytes encode_reference_map(std::span<const std::uint32_t> map_pages);
// A type-5 page holding the bitmap of pages [slot * kMapPageBits, ...).
Bytes encode_map_page(std::size_t slot, std::span<const std::uint32_t> pages);

// ---- table definitions -------------------------------------------------------
struct TdefColumn {
    std::string name;
    std::uint8_t type = 0;
    std::uint16_t number = 0;
    std::uint16_t var_index = 0;
    std::uint16_t fixed_offset = 0;
    std::uint16_t length = 0;
    std::uint8_t flags = 0;
    std::uint8_t misc_flags = 0;
    std::uint16_t misc = 0x0409;  // sort order, or precision | scale << 8
    std::uint8_t sort_order_version = 0;  // Text/Memo (byte 14): 1 = General (ACE)
    std::uint32_t complex_id = 0;         // Complex (0x12): bytes 11..14 hold the ComplexID
};
struct TdefRealIndex {
    std::vector<std::pair<std::uint16_t, bool>> columns;  // column number, descending
    std::uint32_t used_map = 0;   // row pointer of its usage map
    std::uint32_t first_page = 0;
    std::uint8_t flags = 0;
    std::uint32_t row_count = 0;
};
struct TdefLogicalIndex {
    std::string name;
    std::uint32_t number = 0;
    std::uint32_t real_index = 0;
    std::uint8_t index_type = 0;
    // A relationship's index: the side (kRelationReferenced/Foreign, 0 for
    // none), the other table's logical index and TDEF page, its cascades.
    std::uint8_t rel_table_type = 0;
    std::uint32_t rel_index = 0xFFFFFFFF;
    std::uint32_t rel_table_page = 0;
    bool cascade_updates = false;
    bool cascade_deletes = false;
};
struct TdefLongValueMap {
    std::uint16_t column_number = 0;
    std::uint32_t used_map = 0;
    std::uint32_t free_map = 0;
};
struct TdefImage {
    std::uint8_t table_type = 0x4E;
    std::uint32_t row_count = 0;
    std::uint32_t autonumber = 0;
    std::uint32_t complex_autonumber = 0;  // ACE: the last complex value id handed out
    std::uint16_t max_cols = 0;
    std::uint32_t used_map = 0;
    std::uint32_t free_map = 0;
    std::vector<TdefColumn> columns;  // in TDEF order
    std::vector<TdefRealIndex> real_indexes;
    std::vector<TdefLogicalIndex> indexes;  // in TDEF order
    std::vector<TdefLongValueMap> long_value_maps;
};
// The joined definition buffer (as if on one page, 8-byte page header first).
Bytes encode_tdef(const TdefImage& tdef);
// Number of pages the buffer needs.
std::size_t tdef_page_count(std::size_t buffer_size);
// The page images of the buffer over `pages` (size tdef_page_count()).
std::vector<Bytes> split_tdef(const Bytes& buffer, std::span<const std::uint32_t> pages);

// ---- index pages -------------------------------------------------------------
struct IndexPageImage {
    bool leaf = true;
    std::uint32_t owner = 0;  // TDEF page
    std::uint32_t prev = 0, next = 0, tail = 0;
    std::vector<Bytes> entries;  // whole entries (key, row pointer[, child page big-endian])
};
// Room for entries on one index page.
inline constexpr std::size_t kIndexEntrySpace = kPageSize - kIndexEntryStart;
Bytes encode_index_page(const IndexPageImage& page);
// The 4-byte row pointer of an index entry: page big-endian in 3 bytes, row.
void append_index_row_pointer(Bytes& b, std::uint32_t page, std::uint8_t row);

}  // namespace jet::write
