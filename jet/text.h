// Text decoding: Jet 4 UCS-2 (plain or compressed) and Jet 3 code-page
// bytes, both to UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace jet {

// UCS-2 little-endian (or the FF FE compressed form) to UTF-8. Unpaired
// surrogates and a trailing odd byte become U+FFFD.
std::string decode_jet4_text(std::span<const std::uint8_t> bytes);
// Plain UCS-2 little-endian to UTF-8 (names in the TDEF).
std::string ucs2_to_utf8(std::span<const std::uint8_t> bytes);
// Bytes in Windows code page `code_page` (0 = 1252) to UTF-8 with iconv;
// bytes the code page leaves unmapped become U+FFFD.
std::string decode_codepage_text(std::span<const std::uint8_t> bytes, unsigned code_page);
// Appends code point `cp` as UTF-8.
void append_utf8(std::string& out, char32_t cp);

}  // namespace jet
