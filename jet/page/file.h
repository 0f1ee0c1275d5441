// The page file: a .mdb opened read-only and seen as numbered fixed-size pages.
//
// Owns the file descriptor, reads pages with pread into a bounded LRU cache,
// and decodes the header page once at open: format, code page, sort order,
// creation date and the database password (checked against the caller's).
// Nothing above this layer touches the file itself.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "jet/base/format.h"

namespace jet {

class OfficeCrypt;  // jet/page/office_crypt.h

// What the header page says about the database.
struct Header {
    Format format = Format::Jet4;        // page layout (ACE files: Jet4)
    FileVersion version = FileVersion::kJet4;  // the version byte
    std::uint32_t page_size = kJet4PageSize;
    std::uint16_t code_page = 0;    // as recorded; 0 when none
    std::uint32_t sort_order = 0;   // 1033 = General
    std::uint8_t sort_order_version = 0;  // Jet 4 layout: 0 General legacy, 1 General
    double creation_date = 0;       // Jet 4 only (0 on Jet 3)
    std::uint32_t database_key = 0;  // non-zero: pages are RC4-encoded (rc4_page)
    std::string password;           // UTF-8, empty when the file has none
    std::vector<std::uint8_t> raw;  // the header page with its masked area unmasked
};

// Decodes a header page (pure; no password check). Throws jet::Error naming
// `path` when the page is not a Jet 3/4 or ACE header or is damaged, and
// when an ACE file's pages are encrypted (kOfficeEncryptedMessage).
Header decode_header(std::span<const std::uint8_t> page, std::string_view path);

// RC4 over `data` in place (the header mask and encoded pages).
void rc4_apply(std::span<const std::uint8_t> key, std::span<std::uint8_t> data);

// A database whose header holds a non-zero database key has every page but
// the header RC4-encoded, each with its own four-byte key: the database key
// XOR the page number, little-endian. Encoding and decoding are the same
// operation; a key of 0 leaves the page as it is.
void rc4_page(std::uint32_t database_key, std::uint32_t page, std::span<std::uint8_t> data);

// One page image. Shared so a caller may hold it while the cache moves on.
struct Page {
    std::uint32_t number = 0;
    std::vector<std::uint8_t> bytes;
    std::span<const std::uint8_t> span() const { return bytes; }
    std::uint8_t type() const { return bytes.empty() ? 0xFF : bytes[0]; }
};
using PageRef = std::shared_ptr<const Page>;

class PageFile {
public:
    // Opens `path` read-only and checks `password` (empty = none given).
    // Errors: "Could not find file '<path>'.", "Unrecognized database format
    // '<path>'.", "The database header of '<path>' is damaged: ...",
    // "Not a valid password.". An ACE file with Office encryption is
    // unlocked with `password` and its pages decrypted as they are read
    // (its own errors: jet/page/office_crypt.h).
    static std::unique_ptr<PageFile> open(const std::string& path, std::string_view password = {},
                                          std::size_t cache_pages = 256);
    // The same for a repair's reading of a file that may be damaged: when
    // the header page does not decode, what the readers need of it is
    // rebuilt from the rest of the file (the format and page size from
    // where the first table definition lies, code page and sort order
    // from the defaults) and header_rebuilt() is true. The password the
    // caller gives is then taken as is.
    static std::unique_ptr<PageFile> open_salvage(const std::string& path,
                                                  std::string_view password = {});
    bool header_rebuilt() const { return header_rebuilt_; }

    ~PageFile();
    PageFile(const PageFile&) = delete;
    PageFile& operator=(const PageFile&) = delete;

    const Header& header() const { return header_; }
    const FormatInfo& format() const { return *info_; }
    std::uint32_t page_size() const { return header_.page_size; }
    std::uint32_t page_count() const { return page_count_; }
    const std::string& path() const { return path_; }

    // Page `number`; throws jet::Error when it lies outside the file
    // (naming `table` when one is given, for the message).
    PageRef page(std::uint32_t number, std::string_view table = {});

    // Calls `visit(number, head)` for every page after the header, in page
    // order, with the first 8 bytes of the page (its type and chain
    // fields). The file is read in runs of many pages past the cache, so
    // a look at every page of a large file costs one sequential read and
    // no cache churn. Pages that cannot be read are left out.
    void for_each_page_head(
        const std::function<void(std::uint32_t, std::span<const std::uint8_t>)>& visit);

private:
    PageFile() = default;
    std::string path_;
    int fd_ = -1;
    Header header_;
    const FormatInfo* info_ = nullptr;
    std::uint32_t page_count_ = 0;
    bool header_rebuilt_ = false;
    // Set for an Office-encrypted ACE file: its pages are decrypted as read.
    std::unique_ptr<OfficeCrypt> crypt_;
    std::size_t cache_limit_ = 256;
    std::list<PageRef> lru_;  // front = most recent
    // Pages read ahead of the one asked for, at most (see page()).
    static constexpr std::size_t kReadAhead = 16;
    std::vector<std::uint8_t> read_buffer_;
    std::vector<std::shared_ptr<Page>> spare_;  // evicted pages no caller held
    std::unordered_map<std::uint32_t, std::list<PageRef>::iterator> cache_;
};

}  // namespace jet
