// The page file: read-only file access, the page cache and the header page.
//
// Pages are read with pread so a later writer can share the descriptor
// model; the cache is a plain LRU bounded by a page count, so memory stays
// bounded whatever the size of the file.
#include "jet/page/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "jet/base/error.h"
#include "jet/base/text.h"
#include "jet/page/office_crypt.h"

namespace jet {

void rc4_apply(std::span<const std::uint8_t> key, std::span<std::uint8_t> data) {
    if (key.empty()) return;
    std::uint8_t s[256];
    for (int i = 0; i < 256; ++i) s[i] = static_cast<std::uint8_t>(i);
    std::uint8_t j = 0;
    for (int i = 0; i < 256; ++i) {
        j = static_cast<std::uint8_t>(j + s[i] + key[i % key.size()]);
        std::swap(s[i], s[j]);
    }
    std::uint8_t a = 0, b = 0;
    for (auto& byte : data) {
        a = static_cast<std::uint8_t>(a + 1);
        b = static_cast<std::uint8_t>(b + s[a]);
        std::swap(s[a], s[b]);
        byte ^= s[static_cast<std::uint8_t>(s[a] + s[b])];
    }
}

void rc4_page(std::uint32_t database_key, std::uint32_t page, std::span<std::uint8_t> data) {
    if (database_key == 0 || page == 0) return;
    const std::uint32_t k = database_key ^ page;
    const std::uint8_t key[4] = {static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(k >> 8),
                                 static_cast<std::uint8_t>(k >> 16), static_cast<std::uint8_t>(k >> 24)};
    rc4_apply(key, data);
}

namespace {

constexpr std::uint8_t kMagic[4] = {0x00, 0x01, 0x00, 0x00};
constexpr char kEngineName[] = "Standard Jet DB";
constexpr char kAceEngineName[] = "Standard ACE DB";

std::uint16_t rd16(std::span<const std::uint8_t> b, std::size_t o) {
    return static_cast<std::uint16_t>(b[o] | (b[o + 1] << 8));
}
std::uint32_t rd32(std::span<const std::uint8_t> b, std::size_t o) {
    return static_cast<std::uint32_t>(b[o]) | (static_cast<std::uint32_t>(b[o + 1]) << 8) |
           (static_cast<std::uint32_t>(b[o + 2]) << 16) |
           (static_cast<std::uint32_t>(b[o + 3]) << 24);
}

[[noreturn]] void damaged(std::string_view path, std::string_view what) {
    throw Error("The database header of '" + std::string(path) + "' is damaged: " +
                std::string(what) + ".");
}

}  // namespace

Header decode_header(std::span<const std::uint8_t> page, std::string_view path) {
    if (page.size() < 0x20 || std::memcmp(page.data(), kMagic, 4) != 0 ||
        (std::memcmp(page.data() + 4, kEngineName, sizeof kEngineName - 1) != 0 &&
         std::memcmp(page.data() + 4, kAceEngineName, sizeof kAceEngineName - 1) != 0)) {
        throw Error("Unrecognized database format '" + std::string(path) + "'.");
    }
    Header h;
    const std::uint8_t version = page[kHeaderVersionOffset];
    if (version > kLastFileVersion) damaged(path, "unknown version byte " + std::to_string(version));
    h.version = static_cast<FileVersion>(version);
    h.format = layout_of(h.version);
    const FormatInfo& fmt = format_info(h.format);
    h.page_size = fmt.page_size;
    if (page.size() < fmt.page_size) damaged(path, "the file is shorter than one page");

    h.raw.assign(page.begin(), page.begin() + fmt.page_size);
    std::span<std::uint8_t> masked(h.raw.data() + kHeaderMaskedOffset, fmt.header_masked_length);
    rc4_apply(kHeaderRc4Key, masked);
    std::span<const std::uint8_t> raw(h.raw);

    h.code_page = rd16(raw, kHeaderCodePageOffset);
    h.database_key = rd32(raw, kHeaderDbKeyOffset);
    h.sort_order = rd16(raw, fmt.header_sort_order_offset);
    if (h.format == Format::Jet4) h.sort_order_version = raw[kHeaderSortOrderVersionOffset];

    std::uint8_t pw[40] = {};
    std::memcpy(pw, raw.data() + kHeaderPasswordOffset, fmt.header_password_length);
    if (h.format == Format::Jet4) {
        double date;
        std::memcpy(&date, raw.data() + kHeaderCreationDateOffset, sizeof date);
        if (!std::isfinite(date) || std::fabs(date) > 2.0e9) {
            damaged(path, "the creation date is not a valid date");
        }
        h.creation_date = date;
        // Jet 4 masks the password once more with the creation date's whole days.
        std::int32_t days = static_cast<std::int32_t>(date);
        std::uint8_t mask[4];
        std::memcpy(mask, &days, 4);
        for (std::size_t i = 0; i < 40; ++i) pw[i] ^= mask[i % 4];
        std::size_t len = 0;
        while (len + 1 < 40 && (pw[len] | pw[len + 1])) len += 2;
        h.password = ucs2_to_utf8(std::span<const std::uint8_t>(pw, len));
    } else {
        std::size_t len = 0;
        while (len < 20 && pw[len]) ++len;
        h.password = decode_codepage_text(std::span<const std::uint8_t>(pw, len), h.code_page);
    }
    return h;
}

std::unique_ptr<PageFile> PageFile::open(const std::string& path, std::string_view password,
                                         std::size_t cache_pages) {
    std::unique_ptr<PageFile> f(new PageFile());
    f->path_ = path;
    f->cache_limit_ = cache_pages < 4 ? 4 : cache_pages;
    f->fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (f->fd_ < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            throw Error("Could not find file '" + path + "'.");
        }
        throw Error("Could not open file '" + path + "': " + std::strerror(errno) + ".");
    }
    struct stat st {};
    if (::fstat(f->fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        throw Error("Could not open file '" + path + "': not a regular file.");
    }
    std::vector<std::uint8_t> first(kJet4PageSize);
    ssize_t n = ::pread(f->fd_, first.data(), first.size(), 0);
    if (n < 0) throw Error("Could not read file '" + path + "': " + std::strerror(errno) + ".");
    first.resize(static_cast<std::size_t>(n));
    // An Office-encrypted ACE file: the password is checked by the
    // encryption record's verifier, and pages are decrypted as read.
    f->crypt_ = open_office_encryption(first, password, path);
    f->header_ = decode_header(first, path);
    if (!f->crypt_ && is_ace(f->header_.version) && f->header_.database_key != 0) {
        // An ACE file marked as encrypted without an encryption record the
        // engine reads: its pages would decode as garbage.
        throw Error("'" + path + "' " + std::string(kOfficeEncryptedMessage));
    }
    f->info_ = &format_info(f->header_.format);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t pages = size / f->header_.page_size;
    if (pages < 3) damaged(path, "the file holds fewer pages than a database needs");
    if (pages > 0xFFFFFFull) damaged(path, "the file is larger than the format allows");
    f->page_count_ = static_cast<std::uint32_t>(pages);
    // A database without a password opens whatever the caller passes, as Jet does.
    if (!f->crypt_ && !f->header_.password.empty() && f->header_.password != password) {
        throw Error(std::string(kBadPasswordMessage));
    }
    return f;
}

namespace {

// The header a damaged file would have had. The catalog's definition is
// always page 2; its page type byte (2) and the byte after it (1) sit at
// 2 * page size, which tells the two page sizes apart.
bool rebuild_header(int fd, std::uint64_t size, Header& h) {
    auto tdef_at = [&](std::uint64_t offset) {
        std::uint8_t b[2] = {};
        if (offset + 2 > size) return false;
        if (::pread(fd, b, 2, static_cast<off_t>(offset)) != 2) return false;
        return b[0] == static_cast<std::uint8_t>(PageType::kTableDef) && b[1] == 1;
    };
    // Jet 3 first: page 1 of a Jet 4 file (at the same offset) is never a
    // definition, but page 4 of a Jet 3 file (at Jet 4's offset) may be.
    if (tdef_at(2ull * format_info(Format::Jet3).page_size)) {
        h.format = Format::Jet3;
    } else if (tdef_at(2ull * kJet4PageSize)) {
        h.format = Format::Jet4;
    } else {
        return false;
    }
    h.version = h.format == Format::Jet3 ? FileVersion::kJet3 : FileVersion::kJet4;
    // An ACE file whose version byte survived keeps its version, so that a
    // repair still knows what it reads.
    std::uint8_t head[0x15] = {};
    if (h.format == Format::Jet4 && ::pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
        std::memcmp(head + 4, kAceEngineName, sizeof kAceEngineName - 1) == 0 &&
        head[kHeaderVersionOffset] >= 2 && head[kHeaderVersionOffset] <= kLastFileVersion) {
        h.version = static_cast<FileVersion>(head[kHeaderVersionOffset]);
    }
    h.page_size = format_info(h.format).page_size;
    h.code_page = h.format == Format::Jet3 ? 1252 : 0;
    h.sort_order = 1033;  // General
    h.raw.assign(h.page_size, 0);
    h.password.clear();
    return true;
}

}  // namespace

std::unique_ptr<PageFile> PageFile::open_salvage(const std::string& path, std::string_view password) {
    try {
        return open(path, password);
    } catch (const Error& e) {
        const std::string why = e.what();
        if (why.find("Unrecognized database format") == std::string::npos &&
            why.find("The database header of") == std::string::npos) {
            throw;
        }
        std::unique_ptr<PageFile> f(new PageFile());
        f->path_ = path;
        f->fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (f->fd_ < 0 || ::fstat(f->fd_, &st) != 0) throw;
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (!rebuild_header(f->fd_, size, f->header_)) throw;
        f->info_ = &format_info(f->header_.format);
        const std::uint64_t pages = size / f->header_.page_size;
        if (pages < 3 || pages > 0xFFFFFFull) throw;
        f->page_count_ = static_cast<std::uint32_t>(pages);
        f->header_rebuilt_ = true;
        return f;
    }
}

void PageFile::for_each_page_head(
    const std::function<void(std::uint32_t, std::span<const std::uint8_t>)>& visit) {
    constexpr std::uint32_t kRun = 64;  // pages per read
    constexpr std::size_t kHead = 8;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(kRun) * header_.page_size);
    for (std::uint32_t first = 1; first < page_count_; first += kRun) {
        const std::uint32_t n = std::min(kRun, page_count_ - first);
        const off_t offset = static_cast<off_t>(first) * header_.page_size;
        std::size_t want = static_cast<std::size_t>(n) * header_.page_size, done = 0;
        while (done < want) {
            ssize_t got = ::pread(fd_, buf.data() + done, want - done, offset + static_cast<off_t>(done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += static_cast<std::size_t>(got);
        }
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::size_t at = static_cast<std::size_t>(i) * header_.page_size;
            if (at + header_.page_size > done) break;
            std::span<std::uint8_t> head(buf.data() + at, kHead);
            if (crypt_) {
                // The first cipher block decrypts on its own (CBC from the
                // page's IV; RC4 from the start of the page's stream).
                std::uint8_t block[16];
                std::memcpy(block, buf.data() + at, sizeof block);
                crypt_->decrypt_page(first + i, block);
                std::memcpy(head.data(), block, kHead);
            } else if (header_.database_key != 0) {
                // As page() decodes it: the head is the start of the page's
                // RC4 stream, and a page all zeros on disk was never written.
                const auto whole = std::span<const std::uint8_t>(buf.data() + at, header_.page_size);
                if (std::any_of(whole.begin(), whole.end(), [](std::uint8_t b) { return b != 0; })) {
                    rc4_page(header_.database_key, first + i, head);
                }
            }
            visit(first + i, head);
        }
    }
}

PageFile::~PageFile() {
    if (fd_ >= 0) ::close(fd_);
}

PageRef PageFile::page(std::uint32_t number, std::string_view table) {
    auto it = cache_.find(number);
    if (it != cache_.end()) {
        lru_.splice(lru_.begin(), lru_, it->second);
        return *it->second;
    }
    if (number >= page_count_) {
        std::string msg = "Page " + std::to_string(number) + " lies outside the file (" +
                          std::to_string(page_count_) + " pages)";
        if (!table.empty()) msg += " (table '" + std::string(table) + "')";
        throw Error(msg);
    }
    // The pages after it that are not cached yet come along in the same
    // read: a table's rows and their long values are mostly walked upwards
    // through the file, and a system call per page was most of the time of
    // a copy from the page cache (reading a few pages too many costs less).
    const std::uint32_t size = header_.page_size;
    std::uint32_t end = number + 1;
    const std::uint32_t limit =
        number + static_cast<std::uint32_t>(std::min<std::size_t>(kReadAhead, cache_limit_ / 2 + 1));
    while (end < page_count_ && end < limit && !cache_.count(end)) ++end;
    read_buffer_.resize(static_cast<std::size_t>(end - number) * size);
    const off_t offset = static_cast<off_t>(number) * size;
    std::size_t done = 0;
    while (done < read_buffer_.size()) {
        ssize_t n = ::pread(fd_, read_buffer_.data() + done, read_buffer_.size() - done,
                            offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (done >= size) break;  // the pages after it are read when asked for
            throw Error("Could not read page " + std::to_string(number) + " of '" + path_ +
                        "'" + (n < 0 ? std::string(": ") + std::strerror(errno) : "") + ".");
        }
        done += static_cast<std::size_t>(n);
    }
    const std::uint32_t got = static_cast<std::uint32_t>(done / size);
    // Later pages first, so the asked-for page is the most recent.
    PageRef first;
    for (std::uint32_t k = got; k-- > 0;) {
        std::shared_ptr<Page> p;
        if (!spare_.empty()) {
            p = std::move(spare_.back());
            spare_.pop_back();
        } else {
            p = std::make_shared<Page>();
        }
        p->number = number + k;
        const auto from = read_buffer_.begin() + static_cast<std::ptrdiff_t>(k) * size;
        p->bytes.assign(from, from + size);
        if (p->number == 0) {
            p->bytes = header_.raw;  // callers see the unmasked header
        } else if (crypt_) {
            crypt_->decrypt_page(p->number, p->bytes);
        } else if (header_.database_key != 0) {
            // A page that is all zeros on disk was never written, in an
            // encoded file as in a plain one.
            bool written = false;
            for (std::uint8_t b : p->bytes) written = written || b != 0;
            if (written) rc4_page(header_.database_key, p->number, p->bytes);
        }
        lru_.push_front(p);
        cache_[p->number] = lru_.begin();
        if (k == 0) first = p;
    }
    while (lru_.size() > cache_limit_) {
        cache_.erase(lru_.back()->number);
        // A page nobody holds any more keeps its buffer for the next read.
        if (lru_.back().use_count() == 1 && spare_.size() < kReadAhead) {
            spare_.push_back(std::const_pointer_cast<Page>(std::move(lru_.back())));
        }
        lru_.pop_back();
    }
    return first;
}

}  // namespace jet
