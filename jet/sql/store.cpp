// The storage under a SQL connection (see sql_store.h).
#include "jet/sql/store.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "jet/write/copy.h"
#include "jet/write/create_database.h"
#include "jet/write/design.h"
#include "jet/base/error.h"
#include "jet/base/text.h"
#include "jet/page/sync.h"
#include "jet/txn/journal.h"

namespace jet::sql {

namespace {

bool file_identity(const std::string& path, std::uint64_t& dev, std::uint64_t& ino) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return false;
    dev = st.st_dev;
    ino = st.st_ino;
    return true;
}

void sync_folder_of(const std::string& path) {
    std::string dir = path.substr(0, path.find_last_of('/') + 1);
    if (dir.empty()) dir = ".";
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::string absolute_path(const std::string& path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf)) return buf;
    return path;
}

const char* const kWriterSystemTables[] = {"MSysObjects", "MSysACEs", "MSysQueries",
                                           "MSysRelationships"};

[[noreturn]] void refuse_rewrite(const std::string& path, const std::string& what) {
    throw Error("The database '" + path + "' cannot be changed by this engine yet: it holds " +
                what + ", which the engine would lose. It can still be read.");
}

}  // namespace

Store::Store(const std::string& path, std::string_view password, StoreOptions options)
    : path_(absolute_path(path)), password_(password), options_(std::move(options)) {
    shadow_path_ = path_ + ".txn";
    open_committed();
}

Store::~Store() {
    try {
        rollback();
    } catch (...) {
        // Nothing of the transaction reached the database: a shadow may stay
        // behind (removed by the next writer), a journal is played back by
        // the next connection that opens the file.
    }
}

std::unique_ptr<Database> Store::open_committed_file(const std::string& path,
                                                     std::string_view password,
                                                     std::chrono::milliseconds timeout,
                                                     ReadLock& lock, WriteLock* held_write_lock,
                                                     bool salvage) {
    for (int attempt = 0;; ++attempt) {
        lock = ReadLock::acquire(path, timeout);
        // Holding the reader lock, no connection writes in place: a journal
        // is one a crash left. Put the file back before anyone reads it.
        struct stat st{};
        if (::stat(RollbackJournal::path_for(path).c_str(), &st) == 0) {
            if (held_write_lock && held_write_lock->held()) {
                RollbackJournal::recover(path);
            } else {
                WriteLock w = WriteLock::acquire(path, timeout);
                RollbackJournal::recover(path);
            }
        }
        std::uint64_t d1 = 0, i1 = 0, d2 = 0, i2 = 0;
        bool before = false;
        if (lock.held()) {
            struct stat held{};
            before = ::fstat(lock.fd(), &held) == 0;
            d1 = held.st_dev;
            i1 = held.st_ino;
        } else {
            before = file_identity(path, d1, i1);
        }
        auto db = Database::open(path, password, salvage);
        bool after = file_identity(path, d2, i2);
        // The path named the locked file before and after the open, so the
        // open read that file (a replaced file never comes back).
        if ((before && after && d1 == d2 && i1 == i2) || attempt >= 5) return db;
    }
}

void Store::open_committed() {
    committed_.reset();
    read_lock_.release();
    committed_ = open_committed_file(path_, password_, options_.lock_timeout, read_lock_, &lock_,
                                     options_.salvage);
    file_identity(path_, committed_dev_, committed_ino_);
}

Database& Store::db() {
    if (writer_) {
        if (dirty_ || !view_) {
            view_.reset();
            writer_->flush();
            view_ = Database::open(in_place_ ? path_ : shadow_path_, password_);
            dirty_ = false;
        }
        return *view_;
    }
    std::uint64_t dev = 0, ino = 0;
    if (!committed_ || !file_identity(path_, dev, ino) || dev != committed_dev_ ||
        ino != committed_ino_) {
        open_committed();
    }
    return *committed_;
}

void Store::check_rewritable(Database& db) {
    auto refuse = [&](const std::string& what) { refuse_rewrite(db.file().path(), what); };
    if (db.format() != Format::Jet4) {
        throw Error("The database '" + db.file().path() +
                    "' cannot be changed by this engine yet: it is in the Jet 3 (Access 97) "
                    "format, which the engine reads but does not write. Repair it into a Jet 4 "
                    "file first.");
    }
    // The writer encodes text keys in the General sort order only.
    if (db.header().sort_order != 1033 && db.header().sort_order != 0) {
        refuse("text sorted in the sort order " + std::to_string(db.header().sort_order) +
               " (the engine writes the General order only)");
    }
    for (const CatalogEntry& e : db.catalog()) {
        switch (e.type) {
            case kObjectTable: {
                auto kind = table_kind(e);
                if (kind && *kind != TableKind::kTable) {
                    bool known = false;
                    for (const char* n : kWriterSystemTables) known = known || e.name == n;
                    if (!known) refuse("the system table '" + e.name + "'");
                }
                break;
            }
            case 2:
            case 3:
                break;  // the database object and the containers
            case kObjectQuery:
                refuse("the stored query '" + e.name + "'");
                break;
            case kObjectLinkedJet:
            case kObjectLinkedOdbc:
                refuse("the linked table '" + e.name + "'");
                break;
            default:
                refuse("the object '" + e.name + "' (type " + std::to_string(e.type) + ")");
        }
    }
    for (const char* n : {"MSysRelationships", "MSysQueries"}) {
        if (const CatalogEntry* e = db.find_table(n)) {
            if (count_rows(db.file(), db.table_def(*e)) != 0) {
                refuse(std::string("rows in ") + n);
            }
        }
    }
}

std::unique_ptr<DatabaseWriter> Store::copy_into(Database& from, const std::string& shadow,
                                                 std::string_view skip_table,
                                                 std::string_view skip_index) {
    check_rewritable(from);
    CreateOptions options;
    options.password = from.header().password;
    options.creation_date = from.header().creation_date;
    options.database_key = from.header().database_key;  // an encoded file stays encoded
    if (is_ace(from.header().version)) {
        // An ACE file stays one of its version and sort order; the writer
        // opens no encrypted ACE file, so this one has no key.
        options.version = from.header().version;
        options.sort_order = static_cast<std::uint16_t>(from.header().sort_order);
        options.sort_order_version = static_cast<SortOrderVersion>(from.header().sort_order_version);
        options.database_key = 0;
    }
    ::unlink(shadow.c_str());
    auto w = create_database(shadow, options);
    try {
        for (const TableInfo& t : from.tables()) {
            if (t.kind != TableKind::kTable) continue;
            bool drop_whole = skip_index.empty() && same_name(t.name, skip_table);
            if (drop_whole) continue;
            TableDef def = from.table_def(*t.entry);
            TableSpec layout;
            layout.name = def.name;
            layout.complex_autonumber = def.complex_autonumber;
            for (const Column& c : def.columns) {
                layout.columns.push_back(
                    column_spec(c, def.format, ColumnDesign::kWhole, def.name, from.header().version));
            }
            TableHandle h = w->create_table(layout);
            from.scan(def, [&](const RowId&, const Row& row) {
                w->insert_row(h, row);
                crash_point("copy:row");
                return true;
            });
            // The counter as stored: numbers of deleted last rows are not
            // handed out again.
            if (def.next_autonumber > w->autonumber(h)) w->set_autonumber(h, def.next_autonumber);
            for (const Index& ix : def.indexes) {
                if (ix.foreign_key()) continue;
                if (!skip_index.empty() && same_name(t.name, skip_table) &&
                    same_name(ix.name, skip_index)) {
                    continue;
                }
                w->create_index(h, index_layout(def, ix));
            }
            crash_point("copy:table");
        }
    } catch (...) {
        w.reset();
        ::unlink(shadow.c_str());
        throw;
    }
    return w;
}

// Under the write lock: opens the database itself for this transaction
// when no other connection reads it and the writer can write it back byte
// for byte. False (and the committed file open again) otherwise.
bool Store::start_in_place() {
    std::uint64_t dev = 0, ino = 0;
    {
        struct stat st{};
        if (::fstat(lock_.fd(), &st) != 0) return false;
        dev = st.st_dev;
        ino = st.st_ino;
    }
    if (dev == refused_dev_ && ino == refused_ino_) return false;
    // Our own view of the committed file holds the reader lock too.
    committed_.reset();
    read_lock_.release();
    if (!lock_.exclude_readers()) {
        open_committed();
        return false;
    }
    try {
        crash_point("in-place:begin");
        auto w = DatabaseWriter::open(path_, password_);
        if (options_.crash_point) {
            w->set_write_observer([this](std::uint32_t, bool done) {
                crash_point(done ? "page:written" : "page:write");
            });
        }
        w->begin();
        writer_ = std::move(w);
    } catch (const Error&) {
        // Refused (or the journal could not be started): the file is as it
        // was; the shadow copy does the transaction.
        refused_dev_ = dev;
        refused_ino_ = ino;
        lock_.admit_readers();
        open_committed();
        return false;
    }
    in_place_ = true;
    dirty_ = true;
    crash_point("in-place:ready");
    return true;
}

DatabaseWriter& Store::writer() {
    if (writer_) return *writer_;
    lock_ = WriteLock::acquire(path_, options_.lock_timeout);
    try {
        // Under the lock, the committed file is the one we locked, put back
        // first if an in-place commit died on it.
        bool recovered = RollbackJournal::recover(path_) >= 0;
        if (start_in_place()) return *writer_;
        struct stat st{};
        if (recovered || !committed_ || ::fstat(lock_.fd(), &st) != 0 ||
            st.st_dev != committed_dev_ || st.st_ino != committed_ino_) {
            open_committed();
        }
        // A shadow left by a crashed writer holds nothing committed.
        ::unlink((path_ + ".txn").c_str());
        ::unlink((path_ + ".txn~").c_str());
        shadow_path_ = path_ + ".txn";
        crash_point("shadow:begin");
        writer_ = copy_into(*committed_, shadow_path_, {}, {});
        dirty_ = true;
        crash_point("shadow:ready");
    } catch (...) {
        if (in_place_) {
            end_in_place_quietly();
        } else {
            writer_.reset();
            ::unlink(shadow_path_.c_str());
        }
        lock_.release();
        throw;
    }
    return *writer_;
}

void Store::rebuild_without(std::string_view table, std::string_view index) {
    writer();
    if (in_place_) {
        view_.reset();
        TableHandle h = writer_->table(table);
        if (index.empty()) {
            writer_->drop_table(h);
        } else {
            writer_->drop_index(h, index);
        }
        dirty_ = true;
        return;
    }
    Database& current = db();
    std::string other = shadow_path_ == path_ + ".txn" ? path_ + ".txn~" : path_ + ".txn";
    auto fresh = copy_into(current, other, table, index);
    view_.reset();
    discard_shadow();
    writer_ = std::move(fresh);
    shadow_path_ = other;
    dirty_ = true;
}

void Store::discard_shadow() {
    view_.reset();
    if (writer_) {
        ::unlink(shadow_path_.c_str());
        writer_.reset();  // closes the unlinked copy
    }
}

// Rolls the in-place transaction back. When even that fails the journal
// stays, and the next connection that opens the file plays it back.
void Store::end_in_place_quietly() {
    view_.reset();
    try {
        if (writer_ && writer_->in_transaction()) writer_->roll_back();
    } catch (...) {
    }
    writer_.reset();
    in_place_ = false;
}

void Store::commit() {
    if (!writer_) {
        lock_.release();
        return;
    }
    crash_point("commit:begin");
    view_.reset();
    if (in_place_) {
        try {
            writer_->commit();
        } catch (const std::exception& e) {
            end_in_place_quietly();
            lock_.release();
            throw Error(std::string("The transaction could not be committed: ") + e.what() +
                        " The database is unchanged.");
        }
        crash_point("commit:written");
        try {
            writer_->close();  // writes the committed state once more, unchanged
        } catch (...) {
        }
        writer_.reset();
        in_place_ = false;
        lock_.release();
        crash_point("commit:synced");
        committed_.reset();  // opened again when next read
        return;
    }
    try {
        writer_->close();
    } catch (const std::exception& e) {
        discard_shadow();
        lock_.release();
        throw Error(std::string("The transaction could not be committed: ") + e.what() +
                    " The database is unchanged.");
    }
    writer_.reset();
    crash_point("commit:written");
    struct stat st{};
    if (::fstat(lock_.fd(), &st) == 0) ::chmod(shadow_path_.c_str(), st.st_mode & 07777);
    if (::rename(shadow_path_.c_str(), path_.c_str()) != 0) {
        int e = errno;
        ::unlink(shadow_path_.c_str());
        lock_.release();
        throw Error("The transaction could not be committed: replacing '" + path_ + "' failed: " +
                    std::strerror(e) + ". The database is unchanged.");
    }
    crash_point("commit:renamed");
    if (sync_needed(path_)) sync_folder_of(path_);
    crash_point("commit:synced");
    lock_.release();
    committed_.reset();
    read_lock_.release();
}

void Store::rollback() {
    if (in_place_) {
        end_in_place_quietly();
    } else {
        discard_shadow();
    }
    dirty_ = false;
    lock_.release();
}

}  // namespace jet::sql
