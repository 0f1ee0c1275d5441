// The storage under a SQL connection: the committed file, the transaction's
// changes, and the atomic switch from one to the other.
//
// A transaction that writes builds a shadow copy of the committed database
// (the file beside it, named "<path>.txn") through the database writer,
// copying every table with its rows and indexes, and changes only that copy.
// Commit writes the copy completely, syncs it, renames it over the database
// and syncs the folder: the rename is the single instant at which the change
// happens, so a process killed at any point leaves either the old file or
// the new one, never a mix, and the next open sees that file. Roll-back
// deletes the copy. Readers of the committed file are never disturbed: the
// file at the path is never written in place.
//
// This is the adapter the SQL layer writes through while the writer cannot
// open an existing file; everything that depends on that lives in this one
// unit (see docs/jet-sql.md).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jet/database.h"
#include "jet/txn_lock.h"
#include "jet/write_database.h"

namespace jet::sql {

struct StoreOptions {
    // How long a connection that wants to write waits for another writer.
    std::chrono::milliseconds lock_timeout{10000};
    // Test hook: called at named points of writing and committing (the crash
    // test kills the process inside it).
    std::function<void(std::string_view point)> crash_point;
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
    // (reopened when another connection committed since), or the shadow with
    // this transaction's changes.
    Database& db();

    // True while this transaction has changed something.
    bool writing() const { return writer_ != nullptr; }

    // The writer of the shadow copy; the first call takes the write lock and
    // builds the copy. Call changed() after writing through it.
    DatabaseWriter& writer();
    void changed() { dirty_ = true; }

    // Copies the shadow again, leaving out one table, or one index of a
    // table when `index` is given (DROP TABLE, DROP INDEX, and undoing a
    // failed make-table).
    void rebuild_without(std::string_view table, std::string_view index = {});

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
    std::unique_ptr<DatabaseWriter> copy_into(Database& from, const std::string& shadow,
                                              std::string_view skip_table,
                                              std::string_view skip_index);
    void discard_shadow();

    std::string path_;
    std::string password_;
    StoreOptions options_;
    std::unique_ptr<Database> committed_;
    std::uint64_t committed_dev_ = 0, committed_ino_ = 0;
    WriteLock lock_;
    std::string shadow_path_;
    std::unique_ptr<DatabaseWriter> writer_;
    std::unique_ptr<Database> shadow_view_;
    bool dirty_ = false;
};

}  // namespace jet::sql
