// The provider's one door into the Jet engine. Everything the object model
// needs from the engine (opening a file with its password, reading the
// catalog and table definitions, transactions, statements, queries and new
// rows) passes through Session, so that the engine's statement layer can
// replace the stand-ins here without touching the object model.
//
// Until the statement layer is linked in, a Session reads the file with the
// reading engine: transactions are counted (nothing can change inside them),
// a query of the form `select <* | columns> from <table>` is answered from
// the table's rows, and other statements and new rows fail with
// kMsgNoStatements.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jet/value.h"

namespace jet {
class Database;
}

namespace provider::bridge {

inline constexpr std::string_view kMsgNoStatements =
    "This statement cannot be run: the engine's statement layer is not available.";

struct QueryColumn {
    std::string name;
    std::uint8_t column_type = 0;  // jet::ColumnType byte
};

struct QueryResult {
    std::vector<QueryColumn> columns;
    std::vector<std::vector<jet::Value>> rows;
    std::string base_table;  // the one table the query reads; empty when not one
};

class Session {
public:
    // Opens the database file; throws provider::Error with the engine's text
    // ("Not a valid password.", "Could not find file '...'.", ...).
    static std::unique_ptr<Session> open(const std::string& path, const std::string& password);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // True when statements other than simple queries can run.
    static bool statements_available();

    bool is_open() const { return db_ != nullptr; }
    void close();

    // The file as the session sees it now (schema rowsets read from here).
    jet::Database& database();

    // Transactions; nesting up to five levels as Jet allows. Commit and
    // rollback without a transaction throw provider::Error(kMsgNoTransaction).
    int begin();
    void commit();
    void rollback();
    int depth() const { return depth_; }

    void execute(std::string_view sql);
    QueryResult query(std::string_view sql);
    // Appends one row; `values` pair with `columns` (names of the table's
    // columns), columns not named get null.
    void insert(const std::string& table, const std::vector<std::string>& columns,
                const std::vector<jet::Value>& values);

private:
    Session() = default;
    std::unique_ptr<jet::Database> db_;
    std::string path_;
    std::string password_;
    int depth_ = 0;
};

}  // namespace provider::bridge
