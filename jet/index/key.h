// Index keys: the bytes Jet 4 writes for a row's values in an index entry.
//
// An index entry is the concatenation of one part per key column, followed
// (in the page) by the row pointer. Every part begins with a flag byte: 0x7F
// for a value in an ascending column, 0x80 in a descending one, 0x00 / 0xFF
// for a null (which then has no further bytes). The value bytes are chosen so
// that plain byte comparison of whole entries gives the index order; a
// descending column inverts them. The encoder works on plain values so the
// writer can build keys from whatever it holds, without a decoded row.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "jet/base/sort_general.h"
#include "jet/base/value.h"

namespace jet {

inline constexpr std::uint8_t kKeyAscendingFlag = 0x7F;
inline constexpr std::uint8_t kKeyDescendingFlag = 0x80;
inline constexpr std::uint8_t kKeyAscendingNull = 0x00;
inline constexpr std::uint8_t kKeyDescendingNull = 0xFF;

// A GUID as Jet stores it in a row: the first three groups little-endian.
using GuidBytes = std::array<std::uint8_t, 16>;

// A scaled decimal (Numeric column): sign and the unscaled magnitude as a
// 128-bit big-endian unsigned number.
struct KeyDecimal {
    bool negative = false;
    std::array<std::uint8_t, 16> magnitude{};
};

// One column's value, by kind rather than by column type:
//   std::monostate       null
//   bool                 Boolean
//   std::int64_t         Byte, Integer, Long, Currency (value * 10000),
//                        Large Number, Complex (the complex value id)
//   double               Single, Double, DateTime (days since 1899-12-30)
//   std::u16string_view  Text, Memo (UTF-16)
//   std::string_view     Text, Memo (UTF-8)
//   std::span<const std::uint8_t>  Binary; Date/Time Extended (its 42 stored bytes)
//   GuidBytes            Replication ID
//   KeyDecimal           Numeric
// Views must stay valid while the key is built.
using KeyValue =
    std::variant<std::monostate, bool, std::int64_t, double, std::u16string_view, std::string_view,
                 std::span<const std::uint8_t>, GuidBytes, KeyDecimal>;

// How a Numeric column's key is laid out. Jet 4 files keep the sign byte
// (0xFF positive, 0x00 negative) when a descending column inverts the
// magnitude, so their descending keys do not order negative below positive
// values; ACE files (Access 2007 and later) invert the whole key, sign byte
// included.
enum class NumericKeyOrder : std::uint8_t { kJet4, kAce };

// True for the column types Jet can index (everything but OLE).
bool is_indexable_type(ColumnType type);

// Appends the key part of one column: flag byte and value bytes. Throws
// jet::Error when the value's kind does not fit the column type, when a
// number is out of the type's range, or for an OLE column. A Boolean is never
// null in Jet: a null Boolean is encoded as false.
// Text keys follow the "General" order of `sort_version` (the column's).
// Numeric keys follow `numeric_order` (the file's).
void append_key_column(ColumnType type, const KeyValue& value, bool ascending,
                       std::vector<std::uint8_t>& out,
                       SortOrderVersion sort_version = SortOrderVersion::kGeneralLegacy,
                       NumericKeyOrder numeric_order = NumericKeyOrder::kJet4);

// One key column with its value, for encode_index_key.
struct KeyPart {
    ColumnType type;
    KeyValue value;
    bool ascending = true;
    SortOrderVersion sort_version = SortOrderVersion::kGeneralLegacy;
    NumericKeyOrder numeric_order = NumericKeyOrder::kJet4;
};

// The entry bytes of a whole key (without the row pointer).
std::vector<std::uint8_t> encode_index_key(std::span<const KeyPart> parts);

}  // namespace jet
