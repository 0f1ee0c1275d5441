// The provider's one door into the Jet engine. Everything the object model
// needs from the engine (opening a file with its password, the catalog and
// table definitions, transactions, statements, rowsets and new records)
// passes through Session, and every engine error leaves it as a
// provider::Error with the engine's message text.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>
#include <string_view>

#include "connect/provider/provider.h"

namespace jet {
class Connection;
class Database;
class Rowset;
}  // namespace jet

namespace provider::bridge {

class Session {
  public:
    // Opens the database file; throws provider::Error with the engine's text
    // ("Not a valid password.", "Could not find file '...'.", ...).
    // With `salvage`, a damaged header is rebuilt (header_rebuilt()) and the
    // make-table copies run in the engine's salvage mode.
    static std::unique_ptr<Session> open(const std::string& path, const std::string& password,
                                         bool salvage = false);
    bool header_rebuilt();
    std::uint64_t catalog_rows_lost();
    // Tables found by their definitions under a given name (see
    // jet::Database::recovered_tables): (definition page, name).
    std::vector<std::pair<std::uint32_t, std::string>> recovered_tables();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool is_open() const { return conn_ != nullptr; }
    // Rolls back an open transaction and closes the file.
    void close();

    // The file as this session sees it now, its own uncommitted changes
    // included (schema rowsets read from here).
    jet::Database& database();

    // One transaction at a time: begin inside one, or commit or roll back
    // outside one, throws provider::Error.
    int begin();
    void commit();
    void rollback();
    int depth() const;

    // Runs a statement; a query's rows are dropped.
    void execute(std::string_view sql);
    // Runs statements in order, one slot per statement: empty, or its
    // provider::Error.
    std::vector<std::exception_ptr> execute_each(const std::vector<std::string>& sql);
    // Salvage mode of the engine's make-table copy, and what the last
    // statement left out under it.
    void set_salvage(bool on);
    CopyLosses last_losses() const;
    // Gives a copied table the design of its source's table of the same
    // name (jet::Connection::restore_design).
    void restore_design(const std::string& source, const std::string& source_password,
                        std::string_view table);
    // The rowset of a query. A query of one table ("select * from t",
    // "select a, b from t") gives a rowset that takes new records.
    std::unique_ptr<jet::Rowset> open_rowset(std::string_view sql);

  private:
    Session() = default;
    std::unique_ptr<jet::Connection> conn_;
};

}  // namespace provider::bridge
