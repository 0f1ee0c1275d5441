// The connection object.
#include "connect/provider/connection.h"

#include <algorithm>
#include <cctype>

#include "connect/provider/jet_bridge.h"
#include "connect/provider/schema.h"

namespace provider {
namespace {

bool is_admin(std::string_view user) {
    if (user.empty()) return true;
    std::string l(user);
    std::transform(l.begin(), l.end(), l.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return l == "admin";
}

}  // namespace

Connection::Connection() = default;

Connection::~Connection() {
    try {
        close();
    } catch (...) {
        // A destructor has nobody to report to.
    }
}

void Connection::set_connection_string(std::string text) {
    if (is_open()) throw Error(std::string(kMsgObjectOpen));
    connection_string_ = std::move(text);
}

bool Connection::is_open() const { return session_ && session_->is_open(); }

void Connection::require_open() const {
    if (!is_open()) throw Error(std::string(kMsgObjectClosed));
}

void Connection::open() {
    if (is_open()) throw Error(std::string(kMsgObjectOpen));
    const ConnectionProperties props = parse_connection_string(connection_string_);
    props.require_jet_provider();
    // Without a workgroup file the only account is "admin" with no password.
    if (!is_admin(props.user_id) || !props.password.empty())
        throw Error(std::string(kMsgBadAccount));
    std::unique_ptr<bridge::Session> s =
        bridge::Session::open(props.data_source, props.database_password, salvage_);
    session_ = std::move(s);
}

void Connection::close() {
    if (!session_) return;
    std::shared_ptr<bridge::Session> s = std::move(session_);
    session_.reset();
    while (s->depth() > 0) s->rollback();
    s->close();
}

int Connection::begin_trans() {
    require_open();
    return session_->begin();
}

void Connection::commit_trans() {
    require_open();
    session_->commit();
}

void Connection::rollback_trans() {
    require_open();
    session_->rollback();
}

int Connection::transaction_level() const { return is_open() ? session_->depth() : 0; }

void Connection::execute(std::string_view command_text) {
    require_open();
    session_->execute(command_text);
}

std::vector<std::exception_ptr> Connection::execute_each(const std::vector<std::string>& commands) {
    require_open();
    return session_->execute_each(commands);
}

void Connection::restore_design(const std::string& source, const std::string& source_password,
                                std::string_view table) {
    require_open();
    session_->restore_design(source, source_password, table);
}

void Connection::set_salvage(bool on) {
    salvage_ = on;
    if (session_) session_->set_salvage(on);
}

std::uint64_t Connection::catalog_rows_lost() const {
    return session_ ? session_->catalog_rows_lost() : 0;
}

std::vector<std::pair<std::uint32_t, std::string>> Connection::recovered_tables() const {
    if (!session_) return {};
    return session_->recovered_tables();
}

bool Connection::header_rebuilt() const { return session_ && session_->header_rebuilt(); }

CopyLosses Connection::last_losses() const { return session_ ? session_->last_losses() : CopyLosses{}; }

Recordset Connection::open_schema(Schema schema) {
    require_open();
    switch (schema) {
        case Schema::kTables:
            return tables_rowset(session_->database());
        case Schema::kIndexes:
            return indexes_rowset(session_->database());
    }
    throw Error(std::string(kMsgBadSchema));
}

std::shared_ptr<bridge::Session> Connection::session() const {
    return is_open() ? session_ : nullptr;
}

}  // namespace provider
