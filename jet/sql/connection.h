// A connection to one database file: statements, transactions and rowsets.
//
// This is the engine's door for the provider. A connection opens a Jet
// database (path and password), runs Jet SQL statement texts, and keeps one
// transaction at a time: without begin_transaction() every statement commits
// on its own; after it, statements (data definition included) change nothing
// others can see until commit(), and roll_back() makes them vanish. A
// statement that fails changes nothing and leaves the connection and its
// transaction usable.
//
// One writing connection per file at a time, in one process or several: a
// connection's first change in a transaction takes the file's write lock and
// keeps it until the transaction ends; a second writer waits for it up to
// ConnectionOptions::lock_timeout and then fails with a "locked" error.
// Readers never wait and see committed data.
//
// Errors are jet::Error with a message that names what failed and repeats
// the statement.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "jet/table/database.h"
#include "jet/table/salvage.h"
#include "jet/sql/rowset.h"
#include "jet/write/design.h"

namespace jet {

namespace sql {
class Store;
struct SelectStmt;
struct CreateTableStmt;
struct DropTableStmt;
struct CreateIndexStmt;
struct DropIndexStmt;
struct InsertStmt;
struct UpdateStmt;
struct DeleteStmt;
struct TransactionStmt;
}  // namespace sql

struct ConnectionOptions {
    std::chrono::milliseconds lock_timeout{10000};
    // Test hook, see sql::StoreOptions::crash_point.
    std::function<void(std::string_view point)> crash_point;
    // Salvage mode from the start (see set_salvage); the database itself is
    // opened with a damaged header rebuilt.
    bool salvage = false;
};

struct ExecuteResult {
    std::uint64_t rows_affected = 0;   // INSERT, UPDATE, DELETE, SELECT INTO
    std::unique_ptr<Rowset> rowset;    // SELECT without INTO
};

class Connection {
public:
    // Opens an existing database. Errors as Database::open: "Could not find
    // file '<path>'.", "Not a valid password.", ...
    static std::unique_ptr<Connection> open(const std::string& path,
                                            std::string_view password = {},
                                            ConnectionOptions options = {});
    ~Connection();  // rolls back an open transaction
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const std::string& path() const;

    void begin_transaction();  // fails when one is open
    void commit();             // fails when none is open
    void roll_back();          // fails when none is open
    bool in_transaction() const { return in_transaction_; }

    // Runs one statement. SELECT gives a rowset; the other forms the number
    // of rows they changed.
    ExecuteResult execute(std::string_view sql);
    // Runs statements in order, each as execute() runs it, and gives one
    // slot per statement: empty when it ran, else the error execute() would
    // have thrown (nothing of that statement stays). One that fails does
    // not stop the next. In a transaction, `create index` statements that
    // follow one another on one table read its rows once for all of them.
    std::vector<std::exception_ptr> execute_each(std::span<const std::string> sql);
    // Runs a SELECT and returns its rowset.
    std::unique_ptr<Rowset> query(std::string_view sql);
    // Opens an updatable rowset: "SELECT * FROM t", "SELECT a, b FROM t" or
    // a bare table name. Used after the connection is gone, it throws.
    std::unique_ptr<UpdatableRowset> open_updatable(std::string_view sql);

    // Salvage mode: a make-table copy of every row from an external file
    // (the copy of a repair) keeps what still reads of a damaged source
    // and counts what it left out, instead of failing. Off by default.
    void set_salvage(bool on) { salvage_ = on; }
    // What the last statement's salvage copy left out (all zero otherwise).
    const SalvageCounts& last_salvage() const { return last_salvage_; }

    // True when the last statement found its rows through an index.
    bool last_statement_used_index() const { return used_index_; }

    // Gives the user table `table` of this database the design of the table
    // of the same name in the database at `source_path` that it was copied
    // from (see jet/write/design.h), as one statement: in the transaction
    // when one is open, committed on its own otherwise. Reads the source in
    // salvage mode when the connection is in it.
    DesignChanges restore_design(const std::string& source_path,
                                 std::string_view source_password, std::string_view table);

    // The database as this connection sees it (its own uncommitted changes
    // included). Valid until the next statement.
    Database& database();

private:
    friend class UpdatableRowset;
    explicit Connection(std::unique_ptr<sql::Store> store);

    ExecuteResult run(std::string_view sql);
    // One routine per statement kind; run() parses and picks one.
    ExecuteResult run_transaction(sql::TransactionStmt& s);
    ExecuteResult run_select(sql::SelectStmt& s, std::string_view sql);
    ExecuteResult run_make_table(sql::SelectStmt& s, std::string_view sql);
    ExecuteResult run_create_table(sql::CreateTableStmt& s);
    ExecuteResult run_drop_table(sql::DropTableStmt& s);
    ExecuteResult run_create_index(sql::CreateIndexStmt& s);
    // `create index` statements on one table (texts in `sql`), errors into `out`.
    void run_create_indexes(std::vector<sql::CreateIndexStmt>& group, std::span<const std::string> sql,
                            std::span<std::exception_ptr> out);
    ExecuteResult run_drop_index(sql::DropIndexStmt& s);
    ExecuteResult run_insert(sql::InsertStmt& s, std::string_view sql);
    ExecuteResult run_update(sql::UpdateStmt& s, std::string_view sql);
    ExecuteResult run_delete(sql::DeleteStmt& s, std::string_view sql);
    // Inserts one record of an updatable rowset.
    void insert_record(const std::string& table, const std::vector<std::string>& columns,
                       const std::vector<Value>& values);
    template <typename F>
    auto in_statement(F&& body) -> decltype(body());

    std::unique_ptr<sql::Store> store_;
    // Rowsets hold a weak reference: one that outlives its connection fails
    // cleanly instead of reaching a closed engine.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    bool in_transaction_ = false;
    bool used_index_ = false;
    bool salvage_ = false;
    SalvageCounts last_salvage_;
};

}  // namespace jet
