// Text decoding: Jet 4 UCS-2 (plain or compressed) and Jet 3 code-page
// bytes, both to UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace jet {

// UCS-2 little-endian (or the FF FE compressed form) to UTF-8. Unpaired
// surrogates and a trailing odd byte become U+FFFD.
std::string decode_jet4_text(std::span<const std::uint8_t> bytes);
// Plain UCS-2 little-endian to UTF-8 (names in the TDEF).
std::string ucs2_to_utf8(std::span<const std::uint8_t> bytes);
// Bytes in Windows code page `code_page` (0 = 1252; a number iconv does not
// know decodes as 1252) to UTF-8, as Windows converts them: iconv for the
// assigned characters, Windows' own rules for the rest (an unassigned byte
// 0x80-0x9F of a single-byte page is the C1 control of the same value,
// others and the user-defined areas of 932/936/949/950 are private-use
// characters). A byte of a double-byte page that forms no valid pair, or a
// pair assigned nowhere, becomes U+F850 + (byte - 0x80) per byte, so no byte
// of a text is lost.
std::string decode_codepage_text(std::span<const std::uint8_t> bytes, unsigned code_page);
// Appends code point `cp` as UTF-8.
void append_utf8(std::string& out, char32_t cp);

// A stored Jet 4 text (plain UCS-2 or the FF FE compressed form) to UTF-16
// little-endian code units, for copies that keep texts in UTF-16. The text
// may arrive in pieces (a memo read page by page); a trailing odd byte
// becomes U+FFFD as in decode_jet4_text, surrogates pass unchanged.
class Jet4TextUnits {
public:
    // Appends the units of the next piece to `out`.
    void feed(std::span<const std::uint8_t> piece, std::vector<std::uint8_t>& out);
    // Ends the text (appends U+FFFD for a byte left over).
    void finish(std::vector<std::uint8_t>& out);

private:
    enum class Mode : std::uint8_t { kStart, kPlain, kOneByte, kTwoByte };
    Mode mode_ = Mode::kStart;
    std::uint8_t held_[2] = {0, 0};
    std::size_t held_count_ = 0;
};
// The whole text at once; appends to `out`.
void append_jet4_units(std::span<const std::uint8_t> stored, std::vector<std::uint8_t>& out);

// Object names (tables, columns, indexes, fields) compare as Jet compares
// them: case-insensitively, letters beyond ASCII included. Each code point
// folds by its simple (one to one) case folding, so "\u00C4" equals "\u00E4"
// and Cyrillic and Greek capitals equal their small letters, while "\u00DF"
// stays one letter and never equals "SS". Covered: Latin (Basic, Latin-1,
// Extended-A/B, Extended Additional), Greek, Cyrillic, Armenian and the
// full-width Latin letters; scripts without case (CJK) compare as they are.
char32_t fold_case(char32_t cp);
// The UTF-8 name with every code point folded (bytes that are not UTF-8 stay
// as they are): equal for names that are the same name.
std::string fold_name(std::string_view name);
bool same_name(std::string_view a, std::string_view b);

}  // namespace jet
