// The rollback journal (see txn_journal.h).
//
// Layout: a 32-byte header ("ZJRNL001", page size u32, zero u32, original
// length u64, checksum u32 of the 24 bytes before it, zero u32), then one
// record per saved page: page number u32, the page image, checksum u32 of the
// number and the image. All numbers little-endian.
#include "jet/txn/journal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "jet/base/error.h"
#include "jet/page/sync.h"

namespace jet {

namespace {

constexpr char kMagic[8] = {'Z', 'J', 'R', 'N', 'L', '0', '0', '1'};
constexpr std::size_t kHeaderSize = 32;

std::uint32_t fnv1a(std::span<const std::uint8_t> bytes, std::uint32_t h = 2166136261u) {
    for (std::uint8_t b : bytes) {
        h ^= b;
        h *= 16777619u;
    }
    return h;
}

void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t get32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t get64(const std::uint8_t* p) {
    return get32(p) | (static_cast<std::uint64_t>(get32(p + 4)) << 32);
}

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    throw Error(what + " '" + path + "': " + std::strerror(errno) + ".");
}

void write_all(int fd, const std::uint8_t* data, std::size_t n, std::uint64_t at,
               const std::string& path) {
    while (n > 0) {
        ssize_t w = ::pwrite(fd, data, n, static_cast<off_t>(at));
        if (w < 0) {
            if (errno == EINTR) continue;
            fail("Could not write the journal", path);
        }
        data += w;
        n -= static_cast<std::size_t>(w);
        at += static_cast<std::uint64_t>(w);
    }
}

void sync_folder(const std::string& path) {
    std::string dir = path.substr(0, path.find_last_of('/') + 1);
    if (dir.empty()) dir = ".";
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

RollbackJournal RollbackJournal::begin(const std::string& db_path, std::uint32_t page_size,
                                       std::uint64_t original_size) {
    RollbackJournal j;
    j.db_path_ = db_path;
    j.path_ = path_for(db_path);
    j.page_size_ = page_size;
    j.original_size_ = original_size;
    j.fd_ = ::open(j.path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (j.fd_ < 0) {
        if (errno == EEXIST) {
            throw Error("The database '" + db_path +
                        "' has a journal of an unfinished commit; open it again to recover it.");
        }
        fail("Could not create the journal", j.path_);
    }
    std::uint8_t h[kHeaderSize] = {};
    std::memcpy(h, kMagic, 8);
    put32(h + 8, page_size);
    put64(h + 16, original_size);
    put32(h + 24, fnv1a({h, 24}));
    write_all(j.fd_, h, kHeaderSize, 0, j.path_);
    j.end_ = kHeaderSize;
    // Header and folder entry are on disk before the database changes at all,
    // pages appended past its end included.
    if (sync_needed(j.path_)) {
        if (::fdatasync(j.fd_) != 0) fail("Could not sync the journal", j.path_);
        sync_folder(j.path_);
    }
    return j;
}

RollbackJournal::RollbackJournal(RollbackJournal&& o) noexcept
    : db_path_(std::move(o.db_path_)),
      path_(std::move(o.path_)),
      fd_(o.fd_),
      page_size_(o.page_size_),
      original_size_(o.original_size_),
      end_(o.end_),
      saved_(std::move(o.saved_)) {
    o.fd_ = -1;
}

RollbackJournal::~RollbackJournal() {
    if (fd_ >= 0) ::close(fd_);
}

void RollbackJournal::save(std::uint32_t page, std::span<const std::uint8_t> original) {
    if (fd_ < 0) throw Error("The journal of '" + db_path_ + "' is closed.");
    if (saved(page)) return;
    if (static_cast<std::uint64_t>(page) * page_size_ >= original_size_) return;
    if (original.size() != page_size_) {
        throw Error("A journal record needs a whole page (" + std::to_string(page_size_) + " bytes).");
    }
    std::vector<std::uint8_t> rec(4 + page_size_ + 4);
    put32(rec.data(), page);
    std::memcpy(rec.data() + 4, original.data(), page_size_);
    put32(rec.data() + 4 + page_size_, fnv1a({rec.data(), 4 + page_size_}));
    write_all(fd_, rec.data(), rec.size(), end_, path_);
    if (sync_needed(path_) && ::fdatasync(fd_) != 0) fail("Could not sync the journal", path_);
    end_ += rec.size();
    saved_.insert(page);
}

void RollbackJournal::commit() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    if (::unlink(path_.c_str()) != 0) fail("Could not delete the journal", path_);
    if (sync_needed(path_)) sync_folder(path_);
}

void RollbackJournal::roll_back() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    recover(db_path_);
}

int RollbackJournal::recover(const std::string& db_path) {
    std::string path = path_for(db_path);
    int jfd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (jfd < 0) return -1;
    struct stat st {};
    ::fstat(jfd, &st);
    std::vector<std::uint8_t> all(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < all.size()) {
        ssize_t r = ::pread(jfd, all.data() + got, all.size() - got, static_cast<off_t>(got));
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    ::close(jfd);
    all.resize(got);
    int restored = 0;
    bool valid = all.size() >= kHeaderSize && std::memcmp(all.data(), kMagic, 8) == 0 &&
                 get32(all.data() + 24) == fnv1a({all.data(), 24});
    if (valid) {
        std::uint32_t page_size = get32(all.data() + 8);
        std::uint64_t original_size = get64(all.data() + 16);
        int db = ::open(db_path.c_str(), O_RDWR | O_CLOEXEC);
        if (db < 0) fail("Could not open the database to recover it", db_path);
        std::size_t rec = 4 + static_cast<std::size_t>(page_size) + 4;
        for (std::size_t at = kHeaderSize; page_size > 0 && at + rec <= all.size(); at += rec) {
            const std::uint8_t* r = all.data() + at;
            if (get32(r + 4 + page_size) != fnv1a({r, 4 + static_cast<std::size_t>(page_size)})) {
                break;  // torn by the crash: its page was never touched
            }
            std::uint64_t offset = static_cast<std::uint64_t>(get32(r)) * page_size;
            try {
                write_all(db, r + 4, page_size, offset, db_path);
            } catch (...) {
                ::close(db);
                throw;
            }
            ++restored;
        }
        if (::ftruncate(db, static_cast<off_t>(original_size)) != 0 || ::fsync(db) != 0) {
            ::close(db);
            fail("Could not restore the database", db_path);
        }
        ::close(db);
    }
    // Without a whole header the database was not touched yet.
    if (::unlink(path.c_str()) != 0) fail("Could not delete the journal", path);
    sync_folder(path);
    return restored;
}

}  // namespace jet
