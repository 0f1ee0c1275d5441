// Encoding a whole database file with a database key, or taking the
// encoding off: the file-level form of "Encrypt Database".
#pragma once

#include <cstdint>
#include <string>

namespace jet {

// Rewrites the Jet 3 or Jet 4 file at `path` in place so that its pages are
// RC4-encoded with `database_key` (0 = plain): every page but the header is
// decoded with the key the header names and encoded with the new one, then
// the header's key field is set. Nobody may have the file open meanwhile.
// Throws jet::Error when the file is no database or cannot be written; a
// file interrupted halfway is mixed and must be thrown away, so callers
// use it on files of their own (a new target, a test copy).
void set_database_key(const std::string& path, std::uint32_t database_key);

}  // namespace jet
