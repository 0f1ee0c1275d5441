// The statement executor and the connection (see sql_connection.h).
//
// Reads go through the database as the store shows it (committed, or this
// transaction's shadow); writes go through the shadow's writer and use its
// table layouts, so a run of inserts never forces the shadow to be written
// out. A statement that changes several rows keeps an undo list and, when
// one row fails, takes back the rows it already changed, so a failed
// statement leaves the transaction as it found it.
#include "jet/sql/connection.h"

#include <algorithm>
#include <map>
#include <set>
#include <sys/stat.h>

#include "jet/base/error.h"
#include "jet/base/progress.h"
#include "jet/base/text.h"
#include "jet/index/key.h"
#include "jet/index/page.h"
#include "jet/page/format.h"
#include "jet/base/sort_general.h"
#include "jet/sql/eval.h"
#include "jet/sql/parser.h"
#include "jet/sql/store.h"
#include "jet/write/copy.h"

namespace jet {

RowProgressFn row_progress = nullptr;

using namespace sql;

namespace {

// True when `s` starts with the keyword `kw` (given in small letters), in
// any case. Keywords are ASCII; names compare with same_name.
bool starts_with_keyword(std::string_view s, std::string_view kw) {
    if (s.size() < kw.size()) return false;
    for (std::size_t i = 0; i < kw.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kw[i]) return false;
    }
    return true;
}

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

[[noreturn]] void no_table(std::string_view name) {
    throw Error("The table " + quoted(name) + " does not exist.");
}

// The checks of a new index against the table's indexes (its own and
// `made`, those made since it was read), then its columns, resolved to the
// table's spelling of their names.
void check_new_index(const TableDef& def, IndexSpec& index, std::span<const IndexSpec* const> made = {}) {
    auto clash = [&](const std::string& name, bool primary_key) {
        if (same_name(name, index.name)) {
            throw Error("The index " + quoted(index.name) + " already exists on the table " +
                        quoted(def.name) + ".");
        }
        if (index.primary_key && primary_key) {
            throw Error("The table " + quoted(def.name) + " already has a primary key (" + quoted(name) + ").");
        }
    };
    for (const Index& ix : def.indexes) clash(ix.name, ix.primary_key());
    for (const IndexSpec* m : made) clash(m->name, m->primary_key);
    for (auto& ic : index.columns) {
        const Column* c = def.find_column(ic.column);
        if (!c) {
            throw Error("No such column " + quoted(ic.column) + " in the table " + quoted(def.name) + ".");
        }
        ic.column = c->name;
        if (c->column_type() == ColumnType::kOle) {
            throw Error("The column " + quoted(c->name) + " is an OLE Object and cannot be indexed.");
        }
    }
}

Field field_of(const Column& c, Format format) {
    Field f;
    f.name = c.name;
    f.type = c.column_type();
    if (auto s = c.display_size(format)) {
        f.size = *s;
    } else {
        f.size = static_cast<std::uint32_t>(fixed_type_size(f.type));
    }
    f.precision = c.precision;
    f.scale = c.scale;
    return f;
}

// ---- binding ----

void bind_columns(Expr& e, const TableDef& def, std::string_view sql) {
    if (e.kind == ExprKind::kColumn) {
        for (std::size_t i = 0; i < def.columns.size(); ++i) {
            if (same_name(def.columns[i].name, e.name)) {
                e.column = static_cast<int>(i);
                return;
            }
        }
        throw Error("No such column " + quoted(e.name) + " in the table " + quoted(def.name) +
                    " (character " + std::to_string(character_position(sql, e.pos)) + ").");
    }
    for (auto& a : e.args) bind_columns(*a, def, sql);
}

void forbid_columns(const Expr& e, std::string_view sql, std::string_view where) {
    if (e.kind == ExprKind::kColumn) {
        throw Error("The column name " + quoted(e.name) + " cannot stand in " + std::string(where) +
                    " (character " + std::to_string(character_position(sql, e.pos)) +
                    "); write a value there.");
    }
    if (e.kind == ExprKind::kAggregate) {
        throw Error("An aggregate cannot stand in " + std::string(where) + ".");
    }
    for (const auto& a : e.args) forbid_columns(*a, sql, where);
}

// ---- reading rows ----

std::optional<Row> read_row_at(PageFile& file, const TableDef& def, RowId id) {
    const FormatInfo& fmt = file.format();
    if (id.page == 0 || id.page >= file.page_count()) return std::nullopt;
    PageRef holder = file.page(id.page, def.name);
    if (holder->type() != static_cast<std::uint8_t>(PageType::kData) ||
        data_page_owner(holder->span(), fmt) != def.tdef_page) {
        return std::nullopt;
    }
    auto slots = decode_row_slots(holder->span(), fmt, def.name, id.page);
    if (id.row >= slots.size() || slots[id.row].deleted()) return std::nullopt;
    RowSlot cur = slots[id.row];
    for (int hops = 0; cur.overflow() && !cur.deleted(); ++hops) {
        ByteReader r{holder->span(), def.name, holder->number};
        if (hops > 8) r.fail("Damaged row: overflow pointers loop");
        if (cur.end - cur.start < 4) r.fail("Damaged row: overflow pointer cut short");
        RowId to = decode_row_pointer(r.u32(cur.start));
        holder = file.page(to.page, def.name);
        if (holder->type() != static_cast<std::uint8_t>(PageType::kData) ||
            data_page_owner(holder->span(), fmt) != def.tdef_page) {
            r.fail("Damaged row: overflow pointer leads to a page of another table");
        }
        auto ts = decode_row_slots(holder->span(), fmt, def.name, to.page);
        if (to.row >= ts.size()) r.fail("Damaged row: overflow pointer leads to a missing row");
        cur = ts[to.row];
    }
    return decode_row(file, def, holder->span().subspan(cur.start, cur.end - cur.start),
                      holder->number);
}

// The key bytes of one column value, as the index stores them.
bool key_part(const Column& c, const Value& v, bool ascending, std::vector<std::uint8_t>& out) {
    KeyValue kv;
    if (auto p = std::get_if<bool>(&v)) kv = *p;
    else if (auto p = std::get_if<std::uint8_t>(&v)) kv = static_cast<std::int64_t>(*p);
    else if (auto p = std::get_if<std::int16_t>(&v)) kv = static_cast<std::int64_t>(*p);
    else if (auto p = std::get_if<std::int32_t>(&v)) kv = static_cast<std::int64_t>(*p);
    else if (auto p = std::get_if<Currency>(&v)) kv = static_cast<std::int64_t>(p->scaled);
    else if (auto p = std::get_if<float>(&v)) kv = static_cast<double>(*p);
    else if (auto p = std::get_if<double>(&v)) kv = *p;
    else if (auto p = std::get_if<DateTime>(&v)) kv = p->days;
    else if (auto p = std::get_if<std::string>(&v)) kv = std::string_view(*p);
    else if (auto p = std::get_if<Bytes>(&v)) kv = std::span<const std::uint8_t>(*p);
    else if (auto p = std::get_if<Guid>(&v)) kv = p->bytes;
    else if (auto p = std::get_if<Decimal>(&v)) kv = KeyDecimal{p->negative, p->magnitude};
    else return false;
    try {
        append_key_column(c.column_type(), kv, ascending, out);
    } catch (const Error&) {
        return false;
    }
    return true;
}

bool starts_with(const std::vector<std::uint8_t>& key, const std::vector<std::uint8_t>& prefix) {
    return key.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), key.begin());
}

// Row pointers of the entries whose key begins with `prefix`: down the
// B-tree to the first candidate leaf, then along the leaf chain.
std::vector<RowId> index_lookup(PageFile& file, const TableDef& def, std::uint32_t root,
                                const std::vector<std::uint8_t>& prefix) {
    std::vector<RowId> out;
    std::uint32_t page = root;
    std::uint32_t budget = file.page_count() + 1;
    auto load = [&](std::uint32_t n) {
        if (budget-- == 0) throw_damaged("Damaged index: its pages form a loop", def.name, n);
        PageRef p = file.page(n, def.name);
        return decode_index_page(p->span(), n, def.format, def.name);
    };
    IndexPage p = load(page);
    while (!p.leaf) {
        std::uint32_t child = p.tail;
        for (const IndexEntry& e : p.entries) {
            if (!(e.key < prefix) || starts_with(e.key, prefix)) {
                child = e.child;
                break;
            }
        }
        if (child == 0) return out;
        p = load(child);
    }
    while (true) {
        for (const IndexEntry& e : p.entries) {
            if (starts_with(e.key, prefix)) {
                out.push_back(e.row);
            } else if (prefix < e.key) {
                return out;
            }
        }
        if (p.next == 0) return out;
        p = load(p.next);
    }
}

// `col = literal` among the AND-ed conditions of a WHERE.
void equalities(const Expr& e, std::vector<std::pair<int, const Value*>>& out) {
    if (e.kind == ExprKind::kBinary && e.op == "AND") {
        equalities(*e.args[0], out);
        equalities(*e.args[1], out);
        return;
    }
    if (e.kind == ExprKind::kBinary && e.op == "=") {
        const Expr& a = *e.args[0];
        const Expr& b = *e.args[1];
        if (a.kind == ExprKind::kColumn && b.kind == ExprKind::kLiteral && !is_null(b.literal)) {
            out.emplace_back(a.column, &b.literal);
        } else if (b.kind == ExprKind::kColumn && a.kind == ExprKind::kLiteral &&
                   !is_null(a.literal)) {
            out.emplace_back(b.column, &a.literal);
        }
    }
}

// Candidate row ids from an index, or nullopt when no index serves the WHERE.
std::optional<std::vector<RowId>> index_candidates(Database& db, const TableDef& def,
                                                   const Expr* where) {
    if (!where || def.format != Format::Jet4) return std::nullopt;
    std::vector<std::pair<int, const Value*>> eqs;
    equalities(*where, eqs);
    for (const auto& [col, literal] : eqs) {
        const Column& c = def.columns[static_cast<std::size_t>(col)];
        if (c.type == static_cast<std::uint8_t>(ColumnType::kText) ||
            c.type == static_cast<std::uint8_t>(ColumnType::kMemo)) {
            bool general = c.sort_order == 1033 || (c.sort_order == 0 && db.header().sort_order == 1033);
            if (!general) continue;
        }
        for (const Index& ix : def.indexes) {
            if (ix.columns.empty() || ix.columns[0].column != static_cast<std::size_t>(col) ||
                ix.first_page == 0) {
                continue;
            }
            Value v;
            try {
                v = coerce_to_column(*literal, ColumnTarget{c.name, c.column_type(), c.precision, c.scale});
            } catch (const Error&) {
                return std::nullopt;  // the scan reports the mismatch
            }
            std::vector<std::uint8_t> prefix;
            if (!key_part(c, v, !ix.columns[0].descending, prefix)) continue;
            return index_lookup(db.file(), def, ix.first_page, prefix);
        }
    }
    return std::nullopt;
}

struct Matched {
    RowId id;
    Row row;
};

// Every row of `def` for which `where` is true, through an index when one serves.
void for_each_match(Database& db, const TableDef& def, const Expr* where, bool* used_index,
                    const std::function<bool(const RowId&, const Row&)>& visit) {
    auto accept = [&](const Row& row) {
        if (!where) return true;
        auto t = truth(evaluate(*where, row));
        return t.value_or(false);
    };
    if (auto ids = index_candidates(db, def, where)) {
        if (used_index) *used_index = true;
        std::sort(ids->begin(), ids->end(), [](const RowId& a, const RowId& b) {
            return a.page != b.page ? a.page < b.page : a.row < b.row;
        });
        for (const RowId& id : *ids) {
            auto row = read_row_at(db.file(), def, id);
            if (row && accept(*row) && !visit(id, *row)) return;
        }
        return;
    }
    db.scan(def, [&](const RowId& id, const Row& row) {
        if (!accept(row)) return true;
        return visit(id, row);
    });
}

// A key for DISTINCT: equal when Jet calls the values equal.
std::string distinct_key(const Row& row) {
    std::string key;
    for (const Value& v : row) {
        if (is_null(v)) {
            key += "0|";
        } else if (auto s = std::get_if<std::string>(&v)) {
            std::vector<std::uint8_t> k;
            append_general_text_key(utf8_to_utf16(*s), true, k);
            key += "T";
            key.append(k.begin(), k.end());
            key += "|";
        } else {
            ColumnType t = value_type(v);
            bool numeric = t == ColumnType::kByte || t == ColumnType::kInteger ||
                           t == ColumnType::kLong || t == ColumnType::kSingle ||
                           t == ColumnType::kDouble || t == ColumnType::kCurrency ||
                           t == ColumnType::kBoolean || t == ColumnType::kNumeric;
            key += numeric ? "N" : "X";
            key += value_text(v) + "|";
        }
    }
    return key;
}

struct QueryResult {
    std::vector<Field> fields;
    std::vector<Row> rows;
};

// The fields of a query's result: a table's columns for '*', a column's own
// field, or ExprN for anything computed (its type settled from the values).
std::vector<Field> query_fields(const TableDef& def, const SelectStmt& s, bool aggregate) {
    std::vector<Field> fields;
    int expr_number = 1000;
    for (const auto& item : s.items) {
        if (item.star) {
            if (aggregate) throw Error("'*' cannot stand beside an aggregate in the field list.");
            for (const Column& c : def.columns) fields.push_back(field_of(c, def.format));
            continue;
        }
        Field f;
        if (item.expr->kind == ExprKind::kColumn) {
            f = field_of(def.columns[static_cast<std::size_t>(item.expr->column)], def.format);
        } else {
            f.name = "Expr" + std::to_string(expr_number++);
            f.type = ColumnType::kText;  // settled from the values below
            f.size = 0;
        }
        if (!item.alias.empty()) f.name = item.alias;
        fields.push_back(f);
    }
    return fields;
}

// The one row of a query whose fields hold aggregates.
Row aggregate_row(Database& db, const TableDef& def, const SelectStmt& s, bool* used_index) {
    std::vector<const Expr*> aggs;
    std::function<void(const Expr&)> collect = [&](const Expr& e) {
        if (e.kind == ExprKind::kAggregate) {
            aggs.push_back(&e);
            return;
        }
        for (const auto& a : e.args) collect(*a);
    };
    for (const auto& item : s.items) collect(*item.expr);
    std::vector<Aggregator> acc;
    for (const Expr* a : aggs) acc.emplace_back(*a);
    for_each_match(db, def, s.where.get(), used_index, [&](const RowId&, const Row& row) {
        for (auto& a : acc) a.add(row);
        return true;
    });
    std::vector<Value> results;
    for (const auto& a : acc) results.push_back(a.result());
    Row r;
    std::size_t next = 0;
    for (const auto& item : s.items) r.push_back(evaluate_with_aggregates(*item.expr, results, next));
    return r;
}

// The matching rows projected onto the query's fields, in the ORDER BY's
// order (nulls first, ties as the table has them), without repeats under
// DISTINCT.
std::vector<Row> projected_rows(Database& db, const TableDef& def, const SelectStmt& s, bool* used_index) {
    auto project = [&](const Row& row) {
        Row r;
        for (const auto& item : s.items) {
            if (item.star) {
                r.insert(r.end(), row.begin(), row.end());
            } else {
                r.push_back(evaluate(*item.expr, row));
            }
        }
        return r;
    };
    std::vector<std::pair<Row, Row>> rows;  // (sort keys, projected)
    for_each_match(db, def, s.where.get(), used_index, [&](const RowId&, const Row& row) {
        Row keys;
        for (const auto& o : s.order) keys.push_back(evaluate(*o.expr, row));
        rows.emplace_back(std::move(keys), project(row));
        return true;
    });
    if (!s.order.empty()) {
        std::stable_sort(rows.begin(), rows.end(), [&](const auto& a, const auto& b) {
            for (std::size_t i = 0; i < s.order.size(); ++i) {
                const Value& x = a.first[i];
                const Value& y = b.first[i];
                int c;
                if (is_null(x) || is_null(y)) {
                    c = is_null(x) == is_null(y) ? 0 : (is_null(x) ? -1 : 1);
                } else {
                    c = *compare_values(x, y);
                }
                if (s.order[i].descending) c = -c;
                if (c != 0) return c < 0;
            }
            return false;
        });
    }
    std::vector<Row> out;
    std::set<std::string> seen;
    for (auto& [keys, row] : rows) {
        if (s.distinct && !seen.insert(distinct_key(row)).second) continue;
        out.push_back(std::move(row));
    }
    return out;
}

QueryResult run_query(Database& db, const TableDef& def, SelectStmt& s, std::string_view sql,
                      bool* used_index) {
    if (s.where) bind_columns(*s.where, def, sql);
    if (s.where && has_aggregate(*s.where)) {
        throw Error("An aggregate cannot stand in the WHERE clause.");
    }
    for (auto& item : s.items) {
        if (item.expr) bind_columns(*item.expr, def, sql);
    }
    for (auto& o : s.order) bind_columns(*o.expr, def, sql);

    QueryResult out;
    bool aggregate = false;
    for (const auto& item : s.items) aggregate = aggregate || (item.expr && has_aggregate(*item.expr));
    out.fields = query_fields(def, s, aggregate);
    if (aggregate) {
        out.rows.push_back(aggregate_row(db, def, s, used_index));
    } else {
        out.rows = projected_rows(db, def, s, used_index);
    }
    // Computed fields take the type of their first non-null value.
    for (std::size_t i = 0; i < out.fields.size(); ++i) {
        Field& f = out.fields[i];
        if (!f.name.empty() && f.size == 0 && f.type == ColumnType::kText) {
            for (const Row& r : out.rows) {
                if (i < r.size() && !is_null(r[i])) {
                    f.type = value_type(r[i]);
                    f.size = f.type == ColumnType::kText ? 255
                                                         : static_cast<std::uint32_t>(fixed_type_size(f.type));
                    break;
                }
            }
        }
    }
    return out;
}

// A table to read from: this connection's database or another file.
struct Source {
    ReadLock lock;  // of the external file, while it is read
    std::unique_ptr<Database> external;
    Database* db = nullptr;
    TableDef def;
};

Source open_source(Store& store, const TableRef& ref, bool salvage = false) {
    Source src;
    if (ref.external) {
        std::string path = ref.external_path;
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0 && path.find('\\') != std::string::npos) {
            std::replace(path.begin(), path.end(), '\\', '/');
        }
        try {
            src.external = Store::open_committed_file(path, ref.external_password,
                                                      store.lock_timeout(), src.lock, nullptr, salvage);
        } catch (const Error& e) {
            std::string why = e.what();
            if (why == kBadPasswordMessage) {
                why = "Not a valid password for the external database '" + ref.external_path + "'.";
            }
            throw Error("Cannot open the external database '" + ref.external_path + "': " + why);
        }
        src.db = src.external.get();
    } else {
        src.db = &store.db();
    }
    const CatalogEntry* entry = src.db->find_table(ref.name);
    if (!entry) {
        if (ref.external) {
            throw Error("The table " + quoted(ref.name) + " does not exist in the external database '" +
                        ref.external_path + "'.");
        }
        no_table(ref.name);
    }
    src.def = src.db->table_def(*entry);
    return src;
}

// The writer's view of a user table.
struct WriteTarget {
    TableHandle handle = 0;
    const TableSpec* layout = nullptr;
};

WriteTarget write_target(DatabaseWriter& w, std::string_view name) {
    for (const std::string& n : w.table_names()) {
        if (same_name(n, name)) {
            WriteTarget t;
            t.handle = w.table(n);
            t.layout = &w.table_spec(t.handle);
            return t;
        }
    }
    no_table(name);
}

int spec_column(const TableSpec& layout, std::string_view name) {
    for (std::size_t i = 0; i < layout.columns.size(); ++i) {
        if (same_name(layout.columns[i].name, name)) return static_cast<int>(i);
    }
    throw Error("No such column " + quoted(name) + " in the table " + quoted(layout.name) + ".");
}

ColumnTarget target_of(const TableSpec& layout, std::size_t i) {
    const ColumnSpec& c = layout.columns[i];
    return ColumnTarget{layout.name + "." + c.name, c.type, c.precision, c.scale};
}

void check_required(const TableSpec& layout, const Row& row) {
    for (std::size_t i = 0; i < layout.columns.size(); ++i) {
        const ColumnSpec& c = layout.columns[i];
        if (c.required && !c.autonumber && is_null(row[i])) {
            throw Error("The field '" + layout.name + "." + c.name +
                        "' cannot contain a Null value because the Required property for this "
                        "field is set to True. Enter a value in this field.");
        }
    }
}

std::string with_index_name(const Error& e, std::string_view index, std::string_view table) {
    std::string m = e.what();
    if (m.find("duplicate values") != std::string::npos) {
        return "Duplicate key in the unique index " + quoted(index) + " of the table " +
               quoted(table) + ": " + m;
    }
    return m;
}

// After the writer refused a row for a duplicate key: the unique index it
// collides with, found by looking the row's key up in each unique index of
// the table (`self` is the row's own place for an update, which does not count).
std::string colliding_index(Store& store, const std::string& table, const Row& row,
                            const RowId* self) {
    try {
        Database& db = store.db();
        const CatalogEntry* entry = db.find_table(table);
        if (!entry) return {};
        TableDef def = db.table_def(*entry);
        if (def.columns.size() != row.size()) return {};
        for (const Index& ix : def.indexes) {
            if (!ix.unique() || ix.first_page == 0) continue;
            std::vector<std::uint8_t> key;
            bool ok = true;
            bool any_null = false;
            for (const IndexColumn& ic : ix.columns) {
                const Value& v = row[ic.column];
                if (is_null(v)) {
                    any_null = true;
                    key.push_back(ic.descending ? kKeyDescendingNull : kKeyAscendingNull);
                    continue;
                }
                ok = ok && key_part(def.columns[ic.column], v, !ic.descending, key);
            }
            if (!ok || (any_null && ix.ignore_nulls())) continue;
            for (const RowId& id : index_lookup(db.file(), def, ix.first_page, key)) {
                if (!self || !(id == *self)) return ix.name;
            }
        }
    } catch (const std::exception&) {
        // Naming the index is a courtesy; the writer's own message stands.
    }
    return {};
}

// Rethrows a duplicate-key error of the writer with the index named.
[[noreturn]] void rethrow_duplicate(const Error& e, Store& store, const std::string& table,
                                    const Row& row, const RowId* self) {
    std::string m = e.what();
    if (m.find("duplicate values") != std::string::npos) {
        std::string ix = colliding_index(store, table, row, self);
        if (!ix.empty()) throw Error(with_index_name(e, ix, table));
    }
    throw;
}

}  // namespace

// ---- Connection ----

Connection::Connection(std::unique_ptr<Store> store) : store_(std::move(store)) {}

Connection::~Connection() = default;

std::unique_ptr<Connection> Connection::open(const std::string& path, std::string_view password,
                                             ConnectionOptions options) {
    StoreOptions so;
    so.lock_timeout = options.lock_timeout;
    so.crash_point = std::move(options.crash_point);
    so.salvage = options.salvage;
    auto store = std::make_unique<Store>(path, password, std::move(so));
    std::unique_ptr<Connection> c(new Connection(std::move(store)));
    c->salvage_ = options.salvage;
    return c;
}

const std::string& Connection::path() const { return store_->path(); }

Database& Connection::database() { return store_->db(); }

void Connection::begin_transaction() {
    if (in_transaction_) {
        throw Error("A transaction is already open on this connection; commit or roll it back first.");
    }
    in_transaction_ = true;
}

void Connection::commit() {
    if (!in_transaction_) throw Error("There is no open transaction to commit.");
    in_transaction_ = false;
    store_->commit();
}

void Connection::roll_back() {
    if (!in_transaction_) throw Error("There is no open transaction to roll back.");
    in_transaction_ = false;
    store_->rollback();
}

template <typename F>
auto Connection::in_statement(F&& body) -> decltype(body()) {
    try {
        auto r = body();
        if (!in_transaction_) store_->commit();
        return r;
    } catch (...) {
        if (!in_transaction_) store_->rollback();
        throw;
    }
}

ExecuteResult Connection::execute(std::string_view sql) {
    last_salvage_ = {};
    try {
        return run(sql);
    } catch (const Error& e) {
        std::string m = e.what();
        if (m.find("Statement: ") != std::string::npos) throw;
        throw Error(m + " Statement: " + std::string(sql));
    }
}

std::unique_ptr<Rowset> Connection::query(std::string_view sql) {
    ExecuteResult r = execute(sql);
    if (!r.rowset) {
        throw Error("The statement is not a query and returns no records. Statement: " +
                    std::string(sql));
    }
    return std::move(r.rowset);
}

void Connection::insert_record(const std::string& table, const std::vector<std::string>& columns,
                               const std::vector<Value>& values) {
    in_statement([&] {
        DatabaseWriter& w = store_->writer();
        WriteTarget t = write_target(w, table);
        Row row(t.layout->columns.size(), Null{});
        for (std::size_t i = 0; i < columns.size(); ++i) {
            int c = spec_column(*t.layout, columns[i]);
            row[static_cast<std::size_t>(c)] =
                coerce_to_column(values[i], target_of(*t.layout, static_cast<std::size_t>(c)));
        }
        check_required(*t.layout, row);
        try {
            w.insert_row(t.handle, row);
        } catch (const Error& e) {
            rethrow_duplicate(e, *store_, t.layout->name, row, nullptr);
        }
        store_->changed();
        store_->crash_point("insert:row");
        return 0;
    });
}

DesignChanges Connection::restore_design(const std::string& source_path,
                                         std::string_view source_password,
                                         std::string_view table) {
    last_salvage_ = {};
    Store& store = *store_;
    return in_statement([&] {
        DatabaseWriter& w = store.writer();
        TableHandle h = w.table(table);
        TableRef ref;
        ref.name = std::string(table);
        ref.external = true;
        ref.external_path = source_path;
        ref.external_password = std::string(source_password);
        Source src = open_source(store, ref, salvage_);
        DesignChanges d =
            jet::restore_design(*src.db, src.def, w, h, salvage_ ? &last_salvage_ : nullptr);
        store.changed();
        return d;
    });
}

std::unique_ptr<UpdatableRowset> Connection::open_updatable(std::string_view sql) {
    std::string text(sql);
    std::size_t first = text.find_first_not_of(" \t\r\n");
    bool bare = first != std::string::npos &&
                !starts_with_keyword(std::string_view(text).substr(first), "select");
    if (bare) text = "SELECT * FROM " + text;
    Statement st;
    try {
        st = parse_statement(text);
    } catch (const Error&) {
        throw;
    }
    auto* s = std::get_if<SelectStmt>(&st);
    if (!s || !s->into.empty() || s->from.external || s->distinct || s->where || !s->order.empty()) {
        throw Error("An updatable rowset needs a plain \"SELECT fields FROM table\". Statement: " + text);
    }
    Database& db = store_->db();
    const CatalogEntry* entry = db.find_table(s->from.name);
    if (!entry) {
        throw Error("The table " + quoted(s->from.name) + " does not exist. Statement: " + text);
    }
    TableDef def = db.table_def(*entry);
    std::vector<Field> fields;
    std::vector<std::string> columns;
    for (const auto& item : s->items) {
        if (item.star) {
            for (const Column& c : def.columns) {
                fields.push_back(field_of(c, def.format));
                columns.push_back(c.name);
            }
            continue;
        }
        if (item.expr->kind != ExprKind::kColumn) {
            throw Error("An updatable rowset can only hold columns of its table. Statement: " + text);
        }
        const Column* c = def.find_column(item.expr->name);
        if (!c) {
            throw Error("No such column " + quoted(item.expr->name) + " in the table " +
                        quoted(def.name) + ". Statement: " + text);
        }
        Field f = field_of(*c, def.format);
        if (!item.alias.empty()) f.name = item.alias;
        fields.push_back(f);
        columns.push_back(c->name);
    }
    std::string table = def.name;
    auto fetch = [this, text]() {
        auto rs = query(text);
        std::vector<Row> rows;
        for (rs->move_first(); !rs->eof(); rs->move_next()) rows.push_back(rs->row());
        return rows;
    };
    return std::unique_ptr<UpdatableRowset>(
        new UpdatableRowset(*this, alive_, table, std::move(fields), std::move(columns), fetch));
}

// The parser gives the statement; each kind has its own routine below.
ExecuteResult Connection::run(std::string_view sql) {
    Statement st = parse_statement(sql);
    used_index_ = false;
    if (auto* s = std::get_if<TransactionStmt>(&st)) return run_transaction(*s);
    if (auto* s = std::get_if<SelectStmt>(&st)) return run_select(*s, sql);
    if (auto* s = std::get_if<CreateTableStmt>(&st)) return run_create_table(*s);
    if (auto* s = std::get_if<DropTableStmt>(&st)) return run_drop_table(*s);
    if (auto* s = std::get_if<CreateIndexStmt>(&st)) return run_create_index(*s);
    if (auto* s = std::get_if<DropIndexStmt>(&st)) return run_drop_index(*s);
    if (auto* s = std::get_if<InsertStmt>(&st)) return run_insert(*s, sql);
    if (auto* s = std::get_if<UpdateStmt>(&st)) return run_update(*s, sql);
    if (auto* s = std::get_if<DeleteStmt>(&st)) return run_delete(*s, sql);
    throw Error("This statement is not supported.");
}

ExecuteResult Connection::run_transaction(TransactionStmt& s) {
    switch (s.kind) {
        case TransactionStmt::Kind::kBegin: begin_transaction(); break;
        case TransactionStmt::Kind::kCommit: commit(); break;
        case TransactionStmt::Kind::kRollback: roll_back(); break;
    }
    return {};
}

ExecuteResult Connection::run_select(SelectStmt& s, std::string_view sql) {
    Store& store = *store_;
    if (s.into.empty()) {
        Source src = open_source(store, s.from);
        QueryResult q = run_query(*src.db, src.def, s, sql, &used_index_);
        ExecuteResult r;
        r.rowset = std::make_unique<Rowset>(std::move(q.fields), std::move(q.rows));
        return r;
    }
    return run_make_table(s, sql);
}

// Make-table: a new table with the source's columns and the matching rows.
ExecuteResult Connection::run_make_table(SelectStmt& s, std::string_view sql) {
    Store& store = *store_;
    return in_statement([&] {
        DatabaseWriter& w = store.writer();
        for (const std::string& n : w.table_names()) {
            if (same_name(n, s.into)) throw Error("Table " + quoted(s.into) + " already exists.");
        }
        Source src = open_source(store, s.from, salvage_);
        const TableDef& def = src.def;
        if (s.where) bind_columns(*s.where, def, sql);
        TableSpec layout;
        layout.name = s.into;
        // Columns of the Jet 4 layout keep what is ACE's own when the new
        // table is in an ACE file: the target says it, for a source whose
        // header had to be rebuilt no longer does.
        const FileVersion design_version =
            def.format == Format::Jet4 && is_ace(w.version()) ? w.version() : FileVersion::kJet4;
        std::vector<int> picks;  // source column per target column; -1 = all (star)
        for (auto& item : s.items) {
            if (item.star) {
                for (std::size_t i = 0; i < def.columns.size(); ++i) {
                    layout.columns.push_back(column_spec(def.columns[i], def.format, ColumnDesign::kMakeTable,
                                                         def.name, design_version));
                    picks.push_back(static_cast<int>(i));
                }
                continue;
            }
            bind_columns(*item.expr, def, sql);
            if (item.expr->kind != ExprKind::kColumn) {
                throw Error("A make-table query can only copy columns; computed fields are not supported.");
            }
            ColumnSpec c = column_spec(def.columns[static_cast<std::size_t>(item.expr->column)], def.format,
                                       ColumnDesign::kMakeTable, def.name, design_version);
            if (!item.alias.empty()) c.name = item.alias;
            layout.columns.push_back(c);
            picks.push_back(item.expr->column);
        }
        // Complex value ids are copied as the rows hold them: new ones
        // continue after the source's.
        layout.complex_autonumber = def.complex_autonumber;
        TableHandle h = w.create_table(layout);
        std::uint64_t n = 0;
        try {
            auto report = [&n] {
                if (row_progress != nullptr && n % kProgressRows == 0) row_progress(n);
            };
            auto insert = [&](const Row& row) {
                Row out;
                out.reserve(picks.size());
                for (int p : picks) out.push_back(row[static_cast<std::size_t>(p)]);
                w.insert_row(h, out);
                ++n;
                report();
                store.crash_point("make-table:row");
            };
            const bool whole = s.items.size() == 1 && s.items[0].star;
            if (src.external && whole && !s.where && s.order.empty() && !s.distinct) {
                // Every column of every row: the copy's fast path, fields
                // in their stored form and long values in pieces.
                std::uint64_t copied = 0;
                n = copy_rows(*src.db, def, w, h, [&] {
                    ++copied;
                    if (row_progress != nullptr && copied % kProgressRows == 0) row_progress(copied);
                    store.crash_point("make-table:row");
                }, salvage_ ? &last_salvage_ : nullptr);
            } else if (src.external && s.order.empty() && !s.distinct) {
                // Streams: one row at a time from the source's pages to ours.
                for_each_match(*src.db, def, s.where.get(), nullptr,
                               [&](const RowId&, const Row& row) {
                                   insert(row);
                                   return true;
                               });
            } else {
                std::vector<Row> rows;
                for_each_match(*src.db, def, s.where.get(), nullptr,
                               [&](const RowId&, const Row& row) {
                                   rows.push_back(row);
                                   return true;
                               });
                for (const Row& row : rows) insert(row);
            }
        } catch (...) {
            store.rebuild_without(layout.name);
            throw;
        }
        store.changed();
        ExecuteResult r;
        r.rows_affected = n;
        return r;
    });
}

ExecuteResult Connection::run_create_table(CreateTableStmt& s) {
    Store& store = *store_;
    return in_statement([&] {
        DatabaseWriter& w = store.writer();
        for (const std::string& n : w.table_names()) {
            if (same_name(n, s.name)) throw Error("Table " + quoted(s.name) + " already exists.");
        }
        TableSpec layout;
        layout.name = s.name;
        IndexSpec pk;
        pk.name = "PrimaryKey";
        pk.primary_key = pk.unique = pk.required = true;
        std::vector<IndexSpec> indexes;
        for (const auto& c : s.columns) {
            for (const auto& other : layout.columns) {
                if (same_name(other.name, c.layout.name)) {
                    throw Error("The field " + quoted(c.layout.name) + " is defined more than once.");
                }
            }
            layout.columns.push_back(c.layout);
            if (c.primary_key) pk.columns.push_back({c.layout.name, false});
            if (c.unique) {
                IndexSpec u;
                u.name = c.layout.name;
                u.unique = true;
                u.columns.push_back({c.layout.name, false});
                indexes.push_back(u);
            }
        }
        if (!pk.columns.empty()) indexes.insert(indexes.begin(), pk);
        for (const auto& ix : s.constraints) indexes.push_back(ix);
        for (const auto& ix : indexes) {
            for (const auto& ic : ix.columns) spec_column(layout, ic.column);
            if (ix.primary_key) {
                for (auto& c : layout.columns) {
                    for (const auto& ic : ix.columns) {
                        if (same_name(c.name, ic.column)) c.required = true;
                    }
                }
            }
        }
        TableHandle h = w.create_table(layout);
        try {
            for (const auto& ix : indexes) w.create_index(h, ix);
        } catch (...) {
            store.rebuild_without(layout.name);
            throw;
        }
        store.changed();
        return ExecuteResult{};
    });
}

ExecuteResult Connection::run_drop_table(DropTableStmt& s) {
    Store& store = *store_;
    return in_statement([&] {
        DatabaseWriter& w = store.writer();
        WriteTarget t = write_target(w, s.name);
        store.rebuild_without(t.layout->name);
        return ExecuteResult{};
    });
}

ExecuteResult Connection::run_create_index(CreateIndexStmt& s) {
    Store& store = *store_;
    return in_statement([&] {
        store.writer();
        Database& db = store.db();
        const CatalogEntry* entry = db.find_table(s.table);
        if (!entry || table_kind(*entry) != TableKind::kTable) no_table(s.table);
        TableDef def = db.table_def(*entry);
        check_new_index(def, s.index);
        DatabaseWriter& w = store.writer();
        WriteTarget t = write_target(w, def.name);
        try {
            w.create_index(t.handle, s.index);
        } catch (const Error& e) {
            throw Error(with_index_name(e, s.index.name, def.name));
        }
        store.changed();
        return ExecuteResult{};
    });
}

void Connection::run_create_indexes(std::vector<CreateIndexStmt>& group, std::span<const std::string> sql,
                                    std::span<std::exception_ptr> out) {
    Store& store = *store_;
    std::vector<bool> checks_failed(group.size(), false);
    std::vector<std::exception_ptr> errors(group.size());
    std::string table;
    try {
        in_statement([&] {
            store.writer();
            Database& db = store.db();
            const CatalogEntry* entry = db.find_table(group[0].table);
            if (!entry || table_kind(*entry) != TableKind::kTable) no_table(group[0].table);
            TableDef def = db.table_def(*entry);
            table = def.name;
            std::vector<IndexSpec> layouts;
            for (const auto& s : group) layouts.push_back(s.index);
            // The checks of run_create_index, against the table as it was
            // before the first statement and the indexes made since.
            auto before = [&](std::size_t k, const std::vector<std::exception_ptr>& done) {
                IndexSpec& index = layouts[k];
                try {
                    std::vector<const IndexSpec*> made;
                    for (std::size_t j = 0; j < k; ++j) {
                        if (!done[j]) made.push_back(&layouts[j]);
                    }
                    check_new_index(def, index, made);
                } catch (...) {
                    checks_failed[k] = true;
                    throw;
                }
            };
            DatabaseWriter& w = store.writer();
            WriteTarget t = write_target(w, def.name);
            errors = w.create_indexes(t.handle, layouts, before);
            if (std::any_of(errors.begin(), errors.end(), [](const auto& e) { return !e; })) store.changed();
            return 0;
        });
    } catch (...) {
        // Nothing was made: every statement fails as the first would have.
        for (auto& e : errors) e = std::current_exception();
        std::fill(checks_failed.begin(), checks_failed.end(), true);
    }
    for (std::size_t k = 0; k < group.size(); ++k) {
        if (!errors[k]) continue;
        try {
            try {
                std::rethrow_exception(errors[k]);
            } catch (const Error& e) {
                if (checks_failed[k]) throw;
                throw Error(with_index_name(e, group[k].index.name, table));
            }
        } catch (const Error& e) {
            std::string m = e.what();
            out[k] = m.find("Statement: ") != std::string::npos
                         ? std::current_exception()
                         : std::make_exception_ptr(Error(m + " Statement: " + sql[k]));
        } catch (...) {
            out[k] = std::current_exception();
        }
    }
}

std::vector<std::exception_ptr> Connection::execute_each(std::span<const std::string> sql) {
    std::vector<std::exception_ptr> out(sql.size());
    std::size_t i = 0;
    while (i < sql.size()) {
        std::vector<CreateIndexStmt> group;
        if (in_transaction_) {
            for (std::size_t j = i; j < sql.size(); ++j) {
                Statement st;
                try {
                    st = parse_statement(sql[j]);
                } catch (const Error&) {
                    break;
                }
                auto* s = std::get_if<CreateIndexStmt>(&st);
                if (!s || (!group.empty() && !same_name(s->table, group[0].table))) break;
                group.push_back(std::move(*s));
            }
        }
        if (group.size() < 2) {
            try {
                execute(sql[i]);
            } catch (...) {
                out[i] = std::current_exception();
            }
            ++i;
            continue;
        }
        last_salvage_ = {};
        used_index_ = false;
        run_create_indexes(group, sql.subspan(i, group.size()), std::span(out).subspan(i, group.size()));
        i += group.size();
    }
    return out;
}

ExecuteResult Connection::run_drop_index(DropIndexStmt& s) {
    Store& store = *store_;
    return in_statement([&] {
        store.writer();
        Database& db = store.db();
        const CatalogEntry* entry = db.find_table(s.table);
        if (!entry || table_kind(*entry) != TableKind::kTable) no_table(s.table);
        TableDef def = db.table_def(*entry);
        bool found = false;
        for (const Index& ix : def.indexes) found = found || same_name(ix.name, s.name);
        if (!found) {
            throw Error("The index " + quoted(s.name) + " does not exist on the table " +
                        quoted(def.name) + ".");
        }
        store.rebuild_without(def.name, s.name);
        return ExecuteResult{};
    });
}

ExecuteResult Connection::run_insert(InsertStmt& s, std::string_view sql) {
    Store& store = *store_;
    return in_statement([&] {
        DatabaseWriter& w = store.writer();
        WriteTarget t = write_target(w, s.table);
        const TableSpec& layout = *t.layout;
        std::vector<std::size_t> cols;
        if (s.columns.empty()) {
            for (std::size_t i = 0; i < layout.columns.size(); ++i) cols.push_back(i);
        } else {
            for (const auto& c : s.columns) {
                auto i = static_cast<std::size_t>(spec_column(layout, c));
                if (std::find(cols.begin(), cols.end(), i) != cols.end()) {
                    throw Error("The column " + quoted(c) + " is named twice in the column list.");
                }
                cols.push_back(i);
            }
        }
        std::vector<Row> sources;
        if (s.select) {
            Source src = open_source(store, s.select->from);
            if (!src.external && same_name(src.def.name, layout.name)) {
                // Reading and writing the same table: read everything first.
            }
            QueryResult q = run_query(*src.db, src.def, *s.select, sql, nullptr);
            if (!q.rows.empty() && q.fields.size() != cols.size()) {
                throw Error("The query gives " + std::to_string(q.fields.size()) +
                            " fields for " + std::to_string(cols.size()) + " columns.");
            }
            if (q.rows.empty() && q.fields.size() != cols.size()) {
                throw Error("The query gives " + std::to_string(q.fields.size()) +
                            " fields for " + std::to_string(cols.size()) + " columns.");
            }
            sources = std::move(q.rows);
        } else {
            if (s.values.size() != cols.size()) {
                throw Error("The statement gives " + std::to_string(s.values.size()) +
                            " values for " + std::to_string(cols.size()) + " columns.");
            }
            Row r;
            for (auto& e : s.values) {
                forbid_columns(*e, sql, "the VALUES list");
                r.push_back(evaluate(*e, {}));
            }
            sources.push_back(std::move(r));
        }
        std::vector<RowId> done;
        try {
            for (const Row& in : sources) {
                Row row(layout.columns.size(), Null{});
                for (std::size_t k = 0; k < cols.size(); ++k) {
                    row[cols[k]] = coerce_to_column(in[k], target_of(layout, cols[k]));
                }
                check_required(layout, row);
                try {
                    done.push_back(w.insert_row(t.handle, row));
                } catch (const Error& e) {
                    rethrow_duplicate(e, store, layout.name, row, nullptr);
                }
                store.changed();
                store.crash_point("insert:row");
            }
        } catch (...) {
            store.changed();
            try {
                for (auto it = done.rbegin(); it != done.rend(); ++it) w.delete_row(t.handle, *it);
            } catch (const std::exception& e) {
                store.rollback();
                in_transaction_ = false;
                throw Error(std::string("Undoing a failed INSERT failed (") + e.what() +
                            "); the transaction was rolled back.");
            }
            throw;
        }
        ExecuteResult r;
        r.rows_affected = done.size();
        return r;
    });
}

ExecuteResult Connection::run_update(UpdateStmt& s, std::string_view sql) {
    Store& store = *store_;
    return in_statement([&] {
        DatabaseWriter& w = store.writer();
        WriteTarget t = write_target(w, s.table);
        Database& db = store.db();
        TableDef def = db.table_def(*db.find_table(t.layout->name));
        if (def.columns.size() != t.layout->columns.size()) {
            throw Error("The layout of the table " + quoted(def.name) + " changed unexpectedly.");
        }
        if (s.where) bind_columns(*s.where, def, sql);
        std::vector<std::pair<std::size_t, const Expr*>> sets;
        for (auto& a : s.assignments) {
            auto i = static_cast<std::size_t>(spec_column(*t.layout, a.column));
            if (t.layout->columns[i].autonumber) {
                throw Error("Cannot update " + quoted(t.layout->columns[i].name) +
                            "; field not updateable (it is an autonumber).");
            }
            bind_columns(*a.value, def, sql);
            if (has_aggregate(*a.value)) throw Error("An aggregate cannot stand in SET.");
            sets.emplace_back(i, a.value.get());
        }
        std::vector<Matched> matches;
        for_each_match(db, def, s.where.get(), &used_index_, [&](const RowId& id, const Row& row) {
            matches.push_back({id, row});
            return true;
        });
        // Compute every new row before changing any.
        std::vector<Row> fresh;
        for (const Matched& m : matches) {
            Row row = m.row;
            for (const auto& [i, e] : sets) {
                row[i] = coerce_to_column(evaluate(*e, m.row), target_of(*t.layout, i));
            }
            check_required(*t.layout, row);
            fresh.push_back(std::move(row));
        }
        std::vector<std::pair<RowId, const Row*>> done;
        try {
            for (std::size_t k = 0; k < matches.size(); ++k) {
                RowId now;
                try {
                    now = w.update_row(t.handle, matches[k].id, fresh[k]);
                } catch (const Error& e) {
                    rethrow_duplicate(e, store, t.layout->name, fresh[k], &matches[k].id);
                }
                done.emplace_back(now, &matches[k].row);
                store.changed();
                store.crash_point("update:row");
            }
        } catch (...) {
            store.changed();
            try {
                for (auto it = done.rbegin(); it != done.rend(); ++it) {
                    w.update_row(t.handle, it->first, *it->second);
                }
            } catch (const std::exception& e) {
                store.rollback();
                in_transaction_ = false;
                throw Error(std::string("Undoing a failed UPDATE failed (") + e.what() +
                            "); the transaction was rolled back.");
            }
            throw;
        }
        ExecuteResult r;
        r.rows_affected = matches.size();
        return r;
    });
}

ExecuteResult Connection::run_delete(DeleteStmt& s, std::string_view sql) {
    Store& store = *store_;
    return in_statement([&] {
        DatabaseWriter& w = store.writer();
        WriteTarget t = write_target(w, s.table);
        Database& db = store.db();
        TableDef def = db.table_def(*db.find_table(t.layout->name));
        if (s.where) bind_columns(*s.where, def, sql);
        std::vector<Matched> matches;
        for_each_match(db, def, s.where.get(), &used_index_, [&](const RowId& id, const Row& row) {
            matches.push_back({id, row});
            return true;
        });
        std::size_t k = 0;
        try {
            for (; k < matches.size(); ++k) {
                w.delete_row(t.handle, matches[k].id);
                store.changed();
                store.crash_point("delete:row");
            }
        } catch (...) {
            store.changed();
            try {
                while (k-- > 0) w.insert_row(t.handle, matches[k].row);
            } catch (const std::exception& e) {
                store.rollback();
                in_transaction_ = false;
                throw Error(std::string("Undoing a failed DELETE failed (") + e.what() +
                            "); the transaction was rolled back.");
            }
            throw;
        }
        ExecuteResult r;
        r.rows_affected = matches.size();
        return r;
    });
}

}  // namespace jet
