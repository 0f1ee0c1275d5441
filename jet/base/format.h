// Page sizes, page types and the fixed offsets of the two Jet file formats.
//
// Everything that differs between Jet 3 (2 KB pages, 8-bit texts in a code
// page) and Jet 4 (4 KB pages, UCS-2 texts) is gathered here, so the decoders
// take a FormatInfo and never test the version themselves. The writer will
// use the same constants.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jet {

// The page layout: Jet 3 (2 KB pages, code-page texts) or Jet 4 (4 KB
// pages, UCS-2 texts). ACE files (Access 2007 and later) use the Jet 4
// layout throughout, so every decoder keyed on Format reads them as Jet 4;
// what is ACE's own is told by the file version below.
enum class Format : std::uint8_t { Jet3, Jet4 };

// The version byte of the header page (offset 0x14): which engine made the
// file. Values 2..6 are ACE files, all with the Jet 4 page layout.
enum class FileVersion : std::uint8_t {
    kJet3 = 0,
    kJet4 = 1,
    kAce12 = 2,  // Access 2007
    kAce14 = 3,  // Access 2010
    kAce15 = 4,  // Access 2013
    kAce16 = 5,  // Access 2016
    kAce17 = 6,  // Access 2019 and later
};

inline constexpr std::uint8_t kLastFileVersion = 6;

inline constexpr bool is_ace(FileVersion v) { return v >= FileVersion::kAce12; }
inline constexpr Format layout_of(FileVersion v) {
    return v == FileVersion::kJet3 ? Format::Jet3 : Format::Jet4;
}
// "Jet3", "Jet4", "ACE12", "ACE14", "ACE15", "ACE16", "ACE17".
const char* file_version_name(FileVersion v);

// First byte of every page.
enum class PageType : std::uint8_t {
    kHeader = 0x00,
    kData = 0x01,
    kTableDef = 0x02,
    kIndexNode = 0x03,
    kIndexLeaf = 0x04,
    kUsageMap = 0x05,
};

inline constexpr std::uint32_t kJet3PageSize = 2048;
inline constexpr std::uint32_t kJet4PageSize = 4096;

// Header page (page 0).
inline constexpr std::size_t kHeaderVersionOffset = 0x14;   // FileVersion
inline constexpr std::size_t kHeaderMaskedOffset = 0x18;    // start of the RC4-masked area
inline constexpr std::size_t kHeaderCodePageOffset = 0x3C;  // uint16
inline constexpr std::size_t kHeaderDbKeyOffset = 0x3E;     // uint32
inline constexpr std::size_t kHeaderPasswordOffset = 0x42;
inline constexpr std::size_t kHeaderCreationDateOffset = 0x72;  // double, Jet 4 only
// Jet 4 layout: the byte after the two-byte sort order id (0x6E) is the
// version of the sort order (0 = "General legacy", 1 = the newer "General"
// of ACE14 and later, which encodes text index keys differently).
inline constexpr std::size_t kHeaderSortOrderVersionOffset = 0x71;
inline constexpr std::uint8_t kHeaderRc4Key[4] = {0xC7, 0xDA, 0x39, 0x6B};

// A data or long-value page row offset: low 13 bits offset, flags above.
inline constexpr std::uint16_t kRowOffsetMask = 0x1FFF;
inline constexpr std::uint16_t kRowDeletedFlag = 0x8000;
inline constexpr std::uint16_t kRowOverflowFlag = 0x4000;

// Long-value (memo/OLE) field header inside a row.
inline constexpr std::size_t kLongValueHeaderSize = 12;
inline constexpr std::uint32_t kLongValueInline = 0x80000000u;
inline constexpr std::uint32_t kLongValueSinglePage = 0x40000000u;
inline constexpr std::uint32_t kLongValueLengthMask = 0x3FFFFFFFu;

// Column flag bits (TDEF column entry).
inline constexpr std::uint8_t kColumnFixed = 0x01;
inline constexpr std::uint8_t kColumnNullable = 0x02;
inline constexpr std::uint8_t kColumnAutoLong = 0x04;
inline constexpr std::uint8_t kColumnReplication = 0x10;
inline constexpr std::uint8_t kColumnAutoGuid = 0x40;
inline constexpr std::uint8_t kColumnHyperlink = 0x80;
// Extra flag bits (Jet 4 layout column entry, offset 16).
inline constexpr std::uint8_t kColumnCompressedUnicode = 0x01;
inline constexpr std::uint8_t kColumnCalculated = 0xC0;  // ACE14 and later
inline constexpr std::size_t kTdefComplexAutonumberOffset = 28;  // Jet 4 layout, ACE files

// Real-index flag bits.
inline constexpr std::uint8_t kIndexUnique = 0x01;
inline constexpr std::uint8_t kIndexIgnoreNulls = 0x02;
inline constexpr std::uint8_t kIndexRequired = 0x08;

// Logical index types.
inline constexpr std::uint8_t kIndexTypeNormal = 0;
inline constexpr std::uint8_t kIndexTypePrimaryKey = 1;
inline constexpr std::uint8_t kIndexTypeForeignKey = 2;
// The related-table byte of a relationship's logical index: which side of
// the relationship the table holding the index is.
inline constexpr std::uint8_t kRelationReferenced = 1;  // the side whose key is referenced
inline constexpr std::uint8_t kRelationForeign = 2;     // the side holding the foreign key

// Per-format layout. Offsets are from the start of the page (data pages) or
// from the start of the concatenated definition (TDEF).
struct FormatInfo {
    Format format;
    std::uint32_t page_size;
    // data and long-value pages
    std::size_t data_row_count_offset;  // uint16
    std::size_t data_first_offset;      // first row offset slot
    std::size_t data_tdef_offset;       // uint32 owner TDEF page
    // rows
    std::size_t row_count_size;  // width of num_cols / var_len / var offsets
    // table definition block
    std::size_t tdef_row_count_offset;
    std::size_t tdef_autonumber_offset;
    std::size_t tdef_table_type_offset;
    std::size_t tdef_max_cols_offset;
    std::size_t tdef_num_var_cols_offset;
    std::size_t tdef_num_cols_offset;
    std::size_t tdef_num_idx_offset;
    std::size_t tdef_num_real_idx_offset;
    std::size_t tdef_used_pages_offset;
    std::size_t tdef_free_pages_offset;
    std::size_t tdef_block_end;  // first real-index count entry
    std::size_t real_idx_count_entry_size;
    std::size_t column_entry_size;
    std::size_t col_type_offset;
    std::size_t col_num_offset;
    std::size_t col_var_offset;
    std::size_t col_misc_offset;  // precision, scale (or sort order for text)
    std::size_t col_flags_offset;
    std::size_t col_fixed_offset;
    std::size_t col_size_offset;
    std::size_t name_length_size;  // 1 (Jet 3) or 2 (Jet 4)
    std::size_t real_idx_entry_size;
    std::size_t real_idx_prefix;  // unknown bytes before the column list
    std::size_t real_idx_flags_offset;  // from the end of the prefix
    std::size_t logical_idx_entry_size;
    std::size_t logical_idx_prefix;
    // usage maps
    std::size_t usage_map_page_header;  // bytes before the bitmap of a type-5 page
    // header page
    std::size_t header_masked_length;
    std::size_t header_sort_order_offset;
    std::size_t header_sort_order_size;
    std::size_t header_password_length;
};

const FormatInfo& format_info(Format format);

// A row pointer as Jet stores it: the row number in the low byte, the page
// number in the upper three bytes.
struct RowId {
    std::uint32_t page = 0;
    std::uint8_t row = 0;
    friend bool operator==(const RowId&, const RowId&) = default;
};

inline RowId decode_row_pointer(std::uint32_t raw) {
    return RowId{raw >> 8, static_cast<std::uint8_t>(raw & 0xFF)};
}

}  // namespace jet
