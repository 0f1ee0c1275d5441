// The session over the reading engine (see jet_bridge.h for what stands in
// until the statement layer is linked in).
#include "connect/provider/jet_bridge.h"

#include <algorithm>
#include <cctype>

#include "connect/provider/provider.h"
#include "jet/database.h"
#include "jet/error.h"

namespace provider::bridge {
namespace {

constexpr int kMaxTransactionDepth = 5;

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// A cursor over statement text for the one query form answered here.
class Scanner {
public:
    explicit Scanner(std::string_view s) : s_(s) {}
    void skip_blanks() {
        while (p_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[p_]))) ++p_;
    }
    bool keyword(std::string_view word) {
        skip_blanks();
        if (s_.size() - p_ < word.size() || !iequals(s_.substr(p_, word.size()), word)) return false;
        const std::size_t end = p_ + word.size();
        if (end < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[end])) || s_[end] == '_'))
            return false;
        p_ = end;
        return true;
    }
    bool symbol(char c) {
        skip_blanks();
        if (p_ < s_.size() && s_[p_] == c) {
            ++p_;
            return true;
        }
        return false;
    }
    // A plain or [bracketed] name; empty when there is none.
    std::string name() {
        skip_blanks();
        if (p_ < s_.size() && s_[p_] == '[') {
            const std::size_t close = s_.find(']', p_ + 1);
            if (close == std::string_view::npos) return {};
            std::string n(s_.substr(p_ + 1, close - p_ - 1));
            p_ = close + 1;
            return n;
        }
        const std::size_t start = p_;
        while (p_ < s_.size() &&
               (std::isalnum(static_cast<unsigned char>(s_[p_])) || s_[p_] == '_' ||
                static_cast<unsigned char>(s_[p_]) >= 0x80))
            ++p_;
        return std::string(s_.substr(start, p_ - start));
    }
    bool at_end() {
        skip_blanks();
        if (p_ < s_.size() && s_[p_] == ';') ++p_;
        skip_blanks();
        return p_ == s_.size();
    }

private:
    std::string_view s_;
    std::size_t p_ = 0;
};

struct SimpleSelect {
    bool all = false;
    std::vector<std::string> columns;
    std::string table;
};

// `select * from t` or `select a, b from t`; nullopt for anything else.
std::optional<SimpleSelect> parse_simple_select(std::string_view sql) {
    Scanner sc(sql);
    if (!sc.keyword("select")) return std::nullopt;
    SimpleSelect q;
    if (sc.symbol('*')) {
        q.all = true;
    } else {
        do {
            std::string n = sc.name();
            if (n.empty()) return std::nullopt;
            q.columns.push_back(std::move(n));
        } while (sc.symbol(','));
    }
    if (!sc.keyword("from")) return std::nullopt;
    q.table = sc.name();
    if (q.table.empty() || !sc.at_end()) return std::nullopt;
    return q;
}

[[noreturn]] void rethrow(const jet::Error& e) { throw provider::Error(e.what()); }

}  // namespace

std::unique_ptr<Session> Session::open(const std::string& path, const std::string& password) {
    std::unique_ptr<Session> s(new Session());
    try {
        s->db_ = jet::Database::open(path, password);
    } catch (const jet::Error& e) {
        rethrow(e);
    }
    s->path_ = path;
    s->password_ = password;
    return s;
}

Session::~Session() = default;

bool Session::statements_available() { return false; }

void Session::close() {
    db_.reset();
    depth_ = 0;
}

jet::Database& Session::database() {
    if (!db_) throw provider::Error(std::string(kMsgObjectClosed));
    return *db_;
}

int Session::begin() {
    if (depth_ >= kMaxTransactionDepth)
        throw provider::Error("Transactions cannot be nested more than five levels deep.");
    return ++depth_;
}

void Session::commit() {
    if (depth_ == 0) throw provider::Error(std::string(kMsgNoTransaction));
    --depth_;
}

void Session::rollback() {
    if (depth_ == 0) throw provider::Error(std::string(kMsgNoTransaction));
    --depth_;
}

void Session::execute(std::string_view sql) {
    // A query run as a command: its rows are dropped.
    if (parse_simple_select(sql)) {
        (void)query(sql);
        return;
    }
    throw provider::Error(std::string(kMsgNoStatements));
}

QueryResult Session::query(std::string_view sql) {
    const std::optional<SimpleSelect> q = parse_simple_select(sql);
    if (!q) throw provider::Error(std::string(kMsgNoStatements));
    jet::Database& db = database();
    const jet::CatalogEntry* entry = db.find_table(q->table);
    if (entry == nullptr)
        throw provider::Error("The database engine cannot find the input table or query '" + q->table +
                              "'. Make sure it exists and that its name is spelled correctly.");
    QueryResult result;
    try {
        const jet::TableDef def = db.table_def(*entry);
        std::vector<std::size_t> pick;
        if (q->all) {
            for (std::size_t i = 0; i < def.columns.size(); ++i) pick.push_back(i);
        } else {
            for (const std::string& name : q->columns) {
                const jet::Column* c = def.find_column(name);
                if (c == nullptr) throw provider::Error("No value given for one or more required parameters.");
                pick.push_back(static_cast<std::size_t>(c - def.columns.data()));
            }
        }
        for (std::size_t i : pick) result.columns.push_back({def.columns[i].name, def.columns[i].type});
        db.scan(def, [&](const jet::RowId&, const jet::Row& row) {
            std::vector<jet::Value> out;
            out.reserve(pick.size());
            for (std::size_t i : pick) out.push_back(i < row.size() ? row[i] : jet::Value{jet::Null{}});
            result.rows.push_back(std::move(out));
            return true;
        });
        result.base_table = entry->name;
    } catch (const jet::Error& e) {
        rethrow(e);
    }
    return result;
}

void Session::insert(const std::string&, const std::vector<std::string>&, const std::vector<jet::Value>&) {
    throw provider::Error(std::string(kMsgNoStatements));
}

}  // namespace provider::bridge
