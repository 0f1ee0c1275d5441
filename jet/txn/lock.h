// The locks of a database file: one writing connection at a time, and no
// reader while a connection changes the file in place.
//
// Two independent locks, both owned by an open file description (so two
// connections of one process exclude each other just as two processes do,
// and the kernel drops the locks of a process that dies):
//
// - The write lock: an exclusive flock on the database file itself, held
//   by a connection from its first change until its transaction ends. A
//   commit through a shadow copy replaces the file (rename), so a waiter
//   that finally gets the lock checks that its descriptor still names the
//   file at the path and starts over when it does not.
// - The reader lock: a byte-range lock (open file description lock) on one
//   byte far past the end of the database file. A connection holds it
//   shared while it has the committed file open for reading; a writer that
//   wants to change the file in place takes it exclusively, without waiting,
//   for its whole transaction, and writes through a shadow copy when other
//   connections read. A connection that wants to read while an in-place
//   transaction runs waits for the reader lock and then fails with the
//   "locked" error. flock gives one lock per file and a lock file beside
//   the database would be left behind in the user's folder, hence the byte
//   range for the second lock.
//
// Waits: a reader waits for an in-place writer, a writer waits for another
// writer, both with a time limit; a writer never waits for readers. So no
// two connections wait for each other forever.
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
    // Takes the reader lock of the locked file exclusively, without waiting:
    // false when another connection reads the file (or it cannot be opened
    // for writing). Kept until admit_readers() or release().
    bool exclude_readers();
    bool excluding_readers() const { return readers_fd_ >= 0; }
    void admit_readers();
    void release();

private:
    int fd_ = -1;
    int readers_fd_ = -1;
    std::string path_;
};

// The shared reader lock of a database file (see above).
class ReadLock {
public:
    ReadLock() = default;
    // Waits up to `timeout` while another connection changes the file in
    // place, then throws jet::Error with locked_message(). A file that
    // cannot be opened gives a lock that holds nothing: the caller's open
    // of the database reports why.
    static ReadLock acquire(const std::string& path, std::chrono::milliseconds timeout);
    ReadLock(ReadLock&& other) noexcept;
    ReadLock& operator=(ReadLock&& other) noexcept;
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;
    ~ReadLock();

    bool held() const { return fd_ >= 0; }
    // The descriptor of the locked file.
    int fd() const { return fd_; }
    void release();

private:
    int fd_ = -1;
};

// The text of the error a connection gets while another one writes.
std::string locked_message(const std::string& path);

}  // namespace jet
