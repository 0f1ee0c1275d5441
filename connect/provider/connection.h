// The connection: a connection string, an object name, the login-prompt
// switch, open and close, transactions, statements and schema rowsets.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "connect/provider/provider.h"
#include "connect/provider/recordset.h"

namespace provider {

namespace bridge {
class Session;
}

class Connection {
  public:
    Connection();
    ~Connection();  // closes, rolling back an open transaction
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The object name (a label for diagnostics; the provider does not use it).
    void set_name(std::string name) { name_ = std::move(name); }
    const std::string& name() const { return name_; }

    // Settable while closed; throws Error(kMsgObjectOpen) while open.
    void set_connection_string(std::string text);
    const std::string& connection_string() const { return connection_string_; }

    // There is nobody to ask for a login: with the prompt on, a failing open
    // fails all the same.
    void set_login_prompt(bool on) { login_prompt_ = on; }
    bool login_prompt() const { return login_prompt_; }

    // Parses the connection string, checks the provider and the account and
    // opens the database. Throws Error with the provider's message text.
    void open();
    void open(std::string text) {
        set_connection_string(std::move(text));
        open();
    }
    // Rolls back what is still open and closes; closing a closed connection
    // does nothing.
    void close();
    bool is_open() const;

    // Returns the new nesting level (1 for the first).
    int begin_trans();
    void commit_trans();
    void rollback_trans();
    int transaction_level() const;

    // Runs a statement as command text; a query's rows are dropped.
    void execute(std::string_view command_text);
    // Runs statements in order as execute() would, one slot per statement:
    // empty when it ran, else its Error; one that fails does not stop the
    // next. Index statements on one table in a transaction read its rows
    // once for all of them.
    std::vector<std::exception_ptr> execute_each(const std::vector<std::string>& commands);

    // Gives the table `table`, copied by a make-table from the database at
    // `source`, the rest of its source's design: autonumber, column flags,
    // fixed-length text, primary keys and index flags. Throws Error with the
    // engine's text; in a transaction, what it changed stays until commit.
    void restore_design(const std::string& source, const std::string& source_password,
                        std::string_view table);

    // Salvage mode for a repair: a make-table copy from an external file
    // keeps every row that still reads from a damaged source instead of
    // failing; last_losses() says what the last statement left out. Kept
    // across open and close.
    void set_salvage(bool on);
    CopyLosses last_losses() const;
    // True when the file was opened in salvage mode with its header page
    // rebuilt from the rest of the file.
    bool header_rebuilt() const;
    // Opened in salvage mode: catalog rows that could not be read (the
    // tables they named are missing from the schema rowsets).
    std::uint64_t catalog_rows_lost() const;
    // Opened in salvage mode with the catalog damaged: the tables found by
    // their definitions, each as (definition page, the name given it).
    std::vector<std::pair<std::uint32_t, std::string>> recovered_tables() const;

    // The TABLES (20) or INDEXES (12) schema rowset, without restrictions.
    Recordset open_schema(Schema schema);
    Recordset open_schema(int schema) { return open_schema(static_cast<Schema>(schema)); }

    // The open session (Recordset::open reaches the engine through it).
    std::shared_ptr<bridge::Session> session() const;

  private:
    void require_open() const;

    std::string name_;
    std::string connection_string_;
    bool login_prompt_ = true;
    bool salvage_ = false;
    std::shared_ptr<bridge::Session> session_;
};

}  // namespace provider
