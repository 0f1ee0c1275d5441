// The database locks (see txn_lock.h).
#include "jet/txn/lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "jet/base/error.h"

namespace jet {

namespace {

// The byte the reader lock covers: past the end of any database file, so it
// never meets a lock another program puts on the file's contents.
constexpr off_t kReaderLockByte = off_t{1} << 40;

bool lock_readers(int fd, short type) {
    struct flock fl{};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = kReaderLockByte;
    fl.l_len = 1;
    while (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool same_file(int fd, const std::string& path) {
    struct stat held{}, now{};
    return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &now) == 0 &&
           held.st_dev == now.st_dev && held.st_ino == now.st_ino;
}

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

std::string locked_message(const std::string& path) {
    return "The database '" + path +
           "' is locked: another connection is writing to it. Try again when that connection "
           "has committed or rolled back its transaction.";
}

// ---- WriteLock ----

WriteLock WriteLock::acquire(const std::string& path, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            throw Error("Could not open the database '" + path + "' for writing: " +
                        std::strerror(errno) + ".");
        }
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                int e = errno;
                ::close(fd);
                throw Error("Could not lock the database '" + path + "': " + std::strerror(e) + ".");
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                ::close(fd);
                throw Error(locked_message(path));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // The writer before us may have replaced the file while we waited.
        if (same_file(fd, path)) {
            WriteLock lock;
            lock.fd_ = fd;
            lock.path_ = path;
            return lock;
        }
        ::close(fd);
        if (std::chrono::steady_clock::now() >= deadline) throw Error(locked_message(path));
    }
}

WriteLock::WriteLock(WriteLock&& other) noexcept
    : fd_(other.fd_), readers_fd_(other.readers_fd_), path_(std::move(other.path_)) {
    other.fd_ = -1;
    other.readers_fd_ = -1;
}

WriteLock& WriteLock::operator=(WriteLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        readers_fd_ = other.readers_fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
        other.readers_fd_ = -1;
    }
    return *this;
}

WriteLock::~WriteLock() { release(); }

bool WriteLock::exclude_readers() {
    if (fd_ < 0) return false;
    if (readers_fd_ >= 0) return true;
    // An exclusive byte-range lock needs a descriptor open for writing; under
    // the write lock the path names the locked file (checked below anyway).
    int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat a{}, b{};
    if (::fstat(fd, &a) != 0 || ::fstat(fd_, &b) != 0 || a.st_dev != b.st_dev ||
        a.st_ino != b.st_ino || !lock_readers(fd, F_WRLCK)) {
        ::close(fd);
        return false;
    }
    readers_fd_ = fd;
    return true;
}

void WriteLock::admit_readers() { close_fd(readers_fd_); }

void WriteLock::release() {
    close_fd(readers_fd_);
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        close_fd(fd_);
    }
}

// ---- ReadLock ----

ReadLock ReadLock::acquire(const std::string& path, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return ReadLock{};
        while (!lock_readers(fd, F_RDLCK)) {
            if (errno != EAGAIN && errno != EACCES) {
                // A file system without byte-range locks: nobody can write
                // in place there either (exclude_readers fails the same way).
                ::close(fd);
                return ReadLock{};
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                ::close(fd);
                throw Error(locked_message(path));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (same_file(fd, path)) {
            ReadLock lock;
            lock.fd_ = fd;
            return lock;
        }
        ::close(fd);  // replaced by a commit while we waited: lock the new file
        if (std::chrono::steady_clock::now() >= deadline) throw Error(locked_message(path));
    }
}

ReadLock::ReadLock(ReadLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

ReadLock& ReadLock::operator=(ReadLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

ReadLock::~ReadLock() { release(); }

void ReadLock::release() { close_fd(fd_); }

}  // namespace jet
