// The write lock of a database file: one writing connection at a time.
//
// A connection that is about to change a database takes an exclusive flock
// on the database file itself and keeps it until its transaction ends.
// flock locks belong to an open file description, so two connections of
// one process exclude each other just as two processes do, and the kernel
// drops the lock of a process that dies. Commit replaces the file by a new
// one (rename), so a waiter that finally gets the lock checks that its
// descriptor still names the file at the path and starts over when it does
// not. Readers take no lock: the file at the path is never changed in place.
#pragma once

#include <chrono>
#include <string>

namespace jet {

class WriteLock {
public:
    WriteLock() = default;
    // Waits up to `timeout` for the lock. Throws jet::Error: "The database
    // '<path>' is locked: another connection is writing to it. ..." when the
    // wait runs out, or when the file cannot be opened.
    static WriteLock acquire(const std::string& path, std::chrono::milliseconds timeout);
    WriteLock(WriteLock&& other) noexcept;
    WriteLock& operator=(WriteLock&& other) noexcept;
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;
    ~WriteLock();

    bool held() const { return fd_ >= 0; }
    // The descriptor of the locked file (its permissions are copied to the
    // file that replaces it).
    int fd() const { return fd_; }
    void release();

private:
    int fd_ = -1;
};

// The text of the error a connection gets while another one writes.
std::string locked_message(const std::string& path);

}  // namespace jet
