// The rollback journal for commits that overwrite pages in place.
//
// Before a page of the database is overwritten, its original image is
// appended to "<path>-journal" and the journal is synced; pages past the
// file's original end need no image, the original length is in the journal's
// header. Once every new page is written and the database synced, deleting
// the journal is the commit point. A process killed before that leaves the
// journal behind, and the next writer (under the write lock) plays it back:
// the original images go back to their places and the file is cut to its old
// length, so the database is exactly as before the commit. Every record
// carries a checksum, so a record torn by the crash (which can only be the
// last one, written before its page was touched) is ignored.
//
// The writer's PageWriter is the one door for page writes; this journal is
// meant to sit behind it (see docs/jet-sql.md). The SQL layer's commit by
// rename does not need it, but every connection plays back a journal it
// finds, so a file left by an in-place commit is never read half-written.
#pragma once

#include <cstdint>
#include <set>
#include <span>
#include <string>

namespace jet {

class RollbackJournal {
public:
    static std::string path_for(const std::string& db_path) { return db_path + "-journal"; }

    // Starts the journal of `db_path`, a file of `original_size` bytes in
    // pages of `page_size`. Throws jet::Error when a journal exists already.
    static RollbackJournal begin(const std::string& db_path, std::uint32_t page_size,
                                 std::uint64_t original_size);
    RollbackJournal(RollbackJournal&& other) noexcept;
    RollbackJournal& operator=(RollbackJournal&& other) = delete;
    RollbackJournal(const RollbackJournal&) = delete;
    ~RollbackJournal();  // closes; a journal not committed stays for recovery

    // Saves the original image of `page` (once; later calls for the same page
    // and pages past the original end do nothing) and syncs the journal.
    // Call it before the page is overwritten.
    void save(std::uint32_t page, std::span<const std::uint8_t> original);
    bool saved(std::uint32_t page) const { return saved_.count(page) != 0; }

    // The commit point: call after the database is synced. Deletes the
    // journal and syncs the folder.
    void commit();
    // Puts the originals back, cuts the database to its old length, syncs it
    // and deletes the journal.
    void roll_back();

    // Plays back a journal left by a crash: returns the number of pages put
    // back, or -1 when `db_path` has no journal. The caller holds the write
    // lock. Throws jet::Error when the database cannot be written.
    static int recover(const std::string& db_path);

private:
    RollbackJournal() = default;
    std::string db_path_;
    std::string path_;
    int fd_ = -1;
    std::uint32_t page_size_ = 0;
    std::uint64_t original_size_ = 0;
    std::uint64_t end_ = 0;  // bytes written to the journal
    std::set<std::uint32_t> saved_;
};

}  // namespace jet
