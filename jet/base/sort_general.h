// Text keys in the Jet 4 "General" sort order.
//
// Jet 4 does not store a text column's characters in an index entry: it
// stores a sequence of sort codes from which the order of the entries follows
// by plain byte comparison. This unit turns a text into that sequence exactly
// as Access writes it, so that indexes this engine writes are the ones Access
// expects to find.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace jet {

// Longest text, in UTF-16 code units, that takes part in a key; the rest of a
// longer text (a memo, say) is not indexed.
inline constexpr std::size_t kMaxIndexTextLength = 255;

// Which "General" order: version 0 ("General legacy", Jet 4 and some ACE
// files) or version 1 (the "General" of ACE14 and later). Both build keys
// the same way from their own code tables; the sort order version stands in
// the header (byte 0x71) and in each text column's descriptor.
enum class SortOrderVersion : std::uint8_t { kGeneralLegacy = 0, kGeneral = 1 };

// Most code bytes one table entry holds.
inline constexpr std::size_t kMaxSortCodeBytes = 8;

// Kind of a code unit in the sort order's code table.
enum class SortCharKind : char {
    kSimple = 'S',               // inline codes only
    kInternational = 'I',        // inline codes plus extra codes
    kUnprintable = 'U',          // no inline codes, an unprintable code
    kUnprintableModifier = 'P',  // no inline codes, modifies the previous extra code
    kInternationalFlag = 'Z',    // inline codes, optional extra codes, a flag
    kSignificant = 'G',          // inline codes only
    kIgnored = 'X',              // no part in the key
};

// The codes of one UTF-16 code unit. The byte arrays are only valid up to
// their lengths.
struct SortCharCodes {
    SortCharKind kind = SortCharKind::kIgnored;
    std::uint8_t inline_length = 0;  // inline codes, or the unprintable code for kUnprintable
    std::uint8_t extra_length = 0;
    std::uint8_t inline_codes[kMaxSortCodeBytes] = {};
    std::uint8_t extra_codes[kMaxSortCodeBytes] = {};
    std::uint8_t flag = 0;      // kInternationalFlag: 1 or 2
    std::uint8_t modifier = 0;  // kUnprintableModifier: added to the previous extra code
};

// The table entry of a code unit. Surrogate code units, which the tables do
// not cover, come back as kIgnored in the legacy order; version 1 gives
// each half of a pair computed codes.
SortCharCodes general_sort_codes(char16_t unit,
                                 SortOrderVersion version = SortOrderVersion::kGeneralLegacy);

// Appends the key bytes of a non-null text value (without the column's flag
// byte, which the caller writes): the inline codes, the end marker, then any
// extra, flag and unprintable sections, the closing marker; for a descending
// column every byte of the value is inverted and a final 0x00 follows.
// Trailing blanks are not part of the key, and only the first
// kMaxIndexTextLength code units are.
void append_general_text_key(std::u16string_view text, bool ascending,
                             std::vector<std::uint8_t>& out,
                             SortOrderVersion version = SortOrderVersion::kGeneralLegacy);

// UTF-8 to UTF-16; an invalid sequence becomes U+FFFD. Code points above
// U+FFFF become surrogate pairs.
std::u16string utf8_to_utf16(std::string_view utf8);

}  // namespace jet
