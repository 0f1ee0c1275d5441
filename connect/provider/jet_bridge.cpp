// The session over the engine's connection.
#include "connect/provider/jet_bridge.h"

#include "connect/provider/provider.h"
#include "jet/base/error.h"
#include "jet/sql/rowset.h"
#include "jet/sql/connection.h"

namespace provider::bridge {
namespace {

template <typename F>
auto engine(F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const jet::Error& e) {
        throw provider::Error(e.what());
    }
}

}  // namespace

std::unique_ptr<Session> Session::open(const std::string& path, const std::string& password,
                                       bool salvage) {
    std::unique_ptr<Session> s(new Session());
    jet::ConnectionOptions options;
    options.salvage = salvage;
    s->conn_ = engine([&] { return jet::Connection::open(path, password, options); });
    return s;
}

std::uint64_t Session::catalog_rows_lost() {
    if (!conn_) return 0;
    return engine([&] { return conn_->database().catalog_rows_lost(); });
}

std::vector<std::pair<std::uint32_t, std::string>> Session::recovered_tables() {
    std::vector<std::pair<std::uint32_t, std::string>> out;
    if (!conn_) return out;
    engine([&] {
        for (const auto& t : conn_->database().recovered_tables()) out.emplace_back(t.tdef_page, t.name);
    });
    return out;
}

bool Session::header_rebuilt() {
    if (!conn_) return false;
    return engine([&] { return conn_->database().file().header_rebuilt(); });
}

Session::~Session() {
    try {
        close();
    } catch (...) {
        // Nothing to report to from a destructor.
    }
}

void Session::close() {
    if (!conn_) return;
    std::unique_ptr<jet::Connection> c = std::move(conn_);
    if (c->in_transaction()) engine([&] { c->roll_back(); });
}

jet::Database& Session::database() {
    if (!conn_) throw provider::Error(std::string(kMsgObjectClosed));
    return engine([&]() -> jet::Database& { return conn_->database(); });
}

int Session::begin() {
    if (!conn_) throw provider::Error(std::string(kMsgObjectClosed));
    engine([&] { conn_->begin_transaction(); });
    return 1;
}

void Session::commit() {
    if (!conn_) throw provider::Error(std::string(kMsgObjectClosed));
    if (!conn_->in_transaction()) throw provider::Error(std::string(kMsgNoTransaction));
    engine([&] { conn_->commit(); });
}

void Session::rollback() {
    if (!conn_) throw provider::Error(std::string(kMsgObjectClosed));
    if (!conn_->in_transaction()) throw provider::Error(std::string(kMsgNoTransaction));
    engine([&] { conn_->roll_back(); });
}

int Session::depth() const { return conn_ && conn_->in_transaction() ? 1 : 0; }

void Session::execute(std::string_view sql) {
    if (!conn_) throw provider::Error(std::string(kMsgObjectClosed));
    engine([&] { (void)conn_->execute(sql); });
}

std::vector<std::exception_ptr> Session::execute_each(const std::vector<std::string>& sql) {
    if (!conn_) throw provider::Error(std::string(kMsgObjectClosed));
    std::vector<std::exception_ptr> out = engine([&] { return conn_->execute_each(sql); });
    for (auto& e : out) {
        if (!e) continue;
        try {
            std::rethrow_exception(e);
        } catch (const jet::Error& error) {
            e = std::make_exception_ptr(provider::Error(error.what()));
        } catch (...) {
        }
    }
    return out;
}

void Session::restore_design(const std::string& source, const std::string& source_password,
                             std::string_view table) {
    if (!conn_) throw provider::Error(std::string(kMsgObjectClosed));
    engine([&] { (void)conn_->restore_design(source, source_password, table); });
}

void Session::set_salvage(bool on) {
    if (conn_) conn_->set_salvage(on);
}

CopyLosses Session::last_losses() const {
    CopyLosses out;
    if (!conn_) return out;
    const jet::SalvageCounts& c = conn_->last_salvage();
    out.rows_declared = c.rows_declared;
    out.rows_copied = c.rows_copied;
    out.rows_skipped = c.rows_skipped;
    out.values_nulled = c.values_nulled;
    out.pages_skipped = c.pages_skipped;
    out.pages_by_owner = c.pages_by_owner;
    return out;
}

std::unique_ptr<jet::Rowset> Session::open_rowset(std::string_view sql) {
    if (!conn_) throw provider::Error(std::string(kMsgObjectClosed));
    return engine([&]() -> std::unique_ptr<jet::Rowset> {
        // The engine takes new records only through a rowset of one table;
        // any other query is opened as a plain rowset.
        try {
            return conn_->open_updatable(sql);
        } catch (const jet::Error&) {
            return conn_->query(sql);
        }
    });
}

}  // namespace provider::bridge
