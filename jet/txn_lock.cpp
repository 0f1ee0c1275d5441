// The database write lock (see txn_lock.h).
#include "jet/txn_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "jet/error.h"

namespace jet {

std::string locked_message(const std::string& path) {
    return "The database '" + path +
           "' is locked: another connection is writing to it. Try again when that connection "
           "has committed or rolled back its transaction.";
}

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
        struct stat held{}, now{};
        if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &now) == 0 &&
            held.st_dev == now.st_dev && held.st_ino == now.st_ino) {
            WriteLock lock;
            lock.fd_ = fd;
            return lock;
        }
        ::close(fd);
        if (std::chrono::steady_clock::now() >= deadline) throw Error(locked_message(path));
    }
}

WriteLock::WriteLock(WriteLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

WriteLock& WriteLock::operator=(WriteLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

WriteLock::~WriteLock() { release(); }

void WriteLock::release() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace jet
