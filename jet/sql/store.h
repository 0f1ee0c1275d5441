// The storage under a SQL connection: the committed file, the transaction's
// changes, and the atomic switch from one to the other.
//
// A transaction that writes changes the database file in place when it can:
// the database writer opens the file (DatabaseWriter::open) and runs the
// transaction under its rollback journal, which saves (and syncs) the image
// of every page before its first overwrite. Commit flushes and syncs the
// file and deletes the journal, the single instant at which the change
// happens; roll-back puts the saved pages back and cuts the file to its old
// length. A process killed in between leaves the journal, and the next
// connection that opens the file plays it back (under the write lock)
// before anything reads it. While the transaction runs, the writer holds the
// reader lock of the file exclusively (txn_lock.h), so no other connection
// reads pages of it.
//
// Otherwise (another connection has the file open for reading, or the writer
// refuses the file because it holds structures it would not write back byte
// for byte) the transaction builds a shadow copy of the committed database
// ("<path>.txn") through the writer, copying every table with its rows and
// indexes, and changes only that copy. Commit writes the copy completely,
// syncs it, renames it over the database and syncs the folder. Readers of
// the committed file are not disturbed: it is never written on that path.
//
// Everything that depends on how the writer reaches a file lives in this
// one unit (see docs/jet-sql.md).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jet/table/database.h"
#include "jet/txn/lock.h"
#include "jet/write/writer.h"

namespace jet::sql {

struct StoreOptions {
    // How long a connection waits for another writer (to write) or for an
    // in-place transaction of another connection (to read).
    std::chrono::milliseconds lock_timeout{10000};
    // Test hook: called at named points of writing and committing (the crash
    // test kills the process inside it).
    std::function<void(std::string_view point)> crash_point;
    // Open the committed file as Database::open's salvage mode does.
    bool salvage = false;
};

class Store {
public:
    // Opens the committed database (throws jet::Error as Database::open).
    Store(const std::string& path, std::string_view password, StoreOptions options = {});
    ~Store();  // rolls back
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const std::string& path() const { return path_; }
    const std::string& password() const { return password_; }

    // The database as this connection sees it now: the committed file
    // (reopened when another connection committed since), or the file with
    // this transaction's changes (the database itself or the shadow).
    Database& db();

    // True while this transaction has changed something.
    bool writing() const { return writer_ != nullptr; }
    // True while this transaction writes the database file in place.
    bool in_place() const { return writer_ != nullptr && in_place_; }

    // The writer of this transaction; the first call takes the write lock
    // and opens the file in place, or builds the shadow copy. Call changed()
    // after writing through it.
    DatabaseWriter& writer();
    void changed() { dirty_ = true; }

    // Removes one table, or one index of a table when `index` is given
    // (DROP TABLE, DROP INDEX, and undoing a failed make-table).
    void rebuild_without(std::string_view table, std::string_view index = {});

    std::chrono::milliseconds lock_timeout() const { return options_.lock_timeout; }

    // Opens a committed database for reading and takes its reader lock,
    // waiting up to `timeout` for an in-place transaction of another
    // connection; a journal left by a crash is played back first. Used for
    // the external source of a make-table too.
    static std::unique_ptr<Database> open_committed_file(const std::string& path,
                                                         std::string_view password,
                                                         std::chrono::milliseconds timeout,
                                                         ReadLock& lock,
                                                         WriteLock* held_write_lock = nullptr,
                                                         bool salvage = false);

    void commit();
    void rollback();

    void crash_point(std::string_view point) const {
        if (options_.crash_point) options_.crash_point(point);
    }

    // Throws jet::Error when the committed database holds something a
    // rewrite would lose (Jet 3 format, queries, relationships, links, forms).
    static void check_rewritable(Database& db);

private:
    void open_committed();
    bool start_in_place();
    std::unique_ptr<DatabaseWriter> copy_into(Database& from, const std::string& shadow,
                                              std::string_view skip_table,
                                              std::string_view skip_index);
    void discard_shadow();
    void end_in_place_quietly();

    std::string path_;
    std::string password_;
    StoreOptions options_;
    std::unique_ptr<Database> committed_;
    std::uint64_t committed_dev_ = 0, committed_ino_ = 0;
    ReadLock read_lock_;  // shared, while committed_ is open
    WriteLock lock_;
    std::string shadow_path_;
    std::unique_ptr<DatabaseWriter> writer_;
    bool in_place_ = false;
    // The file the writer refused to open in place (not tried again).
    std::uint64_t refused_dev_ = 0, refused_ino_ = 0;
    std::unique_ptr<Database> view_;  // the transaction's file as read back
    bool dirty_ = false;
};

}  // namespace jet::sql
