// Rowsets (see rowset.h).
#include "jet/sql/rowset.h"

#include "jet/base/error.h"
#include "jet/base/text.h"
#include "jet/sql/connection.h"
#include "jet/sql/eval.h"

namespace jet {

Rowset::Rowset(std::vector<Field> fields, std::vector<Row> rows)
    : fields_(std::move(fields)), rows_(std::move(rows)) {}

int Rowset::field_index(std::string_view name) const {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (same_name(fields_[i].name, name)) return static_cast<int>(i);
    }
    return -1;
}

const Row& Rowset::row() {
    load();
    if (cursor_ >= rows_.size()) {
        throw Error("Either BOF or EOF is True: the rowset has no current record.");
    }
    return rows_[cursor_];
}

const Value& Rowset::value(std::size_t field) {
    const Row& r = row();
    if (field >= r.size()) {
        throw Error("The rowset has no field number " + std::to_string(field) + " (it has " +
                    std::to_string(fields_.size()) + ").");
    }
    return r[field];
}

const Value& Rowset::value(std::string_view field) {
    int i = field_index(field);
    if (i < 0) throw Error("The rowset has no field named '" + std::string(field) + "'.");
    return value(static_cast<std::size_t>(i));
}

std::string Rowset::text(std::size_t field) { return sql::value_text(value(field)); }

UpdatableRowset::UpdatableRowset(Connection& connection, std::weak_ptr<int> alive,
                                 std::string table, std::vector<Field> fields,
                                 std::vector<std::string> columns,
                                 std::function<std::vector<Row>()> fetch)
    : connection_(&connection),
      alive_(std::move(alive)),
      table_(std::move(table)),
      columns_(std::move(columns)),
      fetch_(std::move(fetch)) {
    fields_ = std::move(fields);
}

Connection& UpdatableRowset::connection() const {
    if (alive_.expired()) {
        throw Error("The connection of the rowset over '" + table_ + "' is closed.");
    }
    return *connection_;
}

void UpdatableRowset::load() {
    if (loaded_) return;
    connection();
    rows_ = fetch_();
    loaded_ = true;
    cursor_ = 0;
}

void UpdatableRowset::add_new() {
    connection();
    if (pending_) update();
    values_.assign(fields_.size(), Null{});
    set_.assign(fields_.size(), false);
    pending_ = true;
}

void UpdatableRowset::set(std::string_view field, const Value& value) {
    if (!pending_) throw Error("No record is being added: call add_new() before setting fields.");
    int i = field_index(field);
    if (i < 0) {
        throw Error("The table '" + table_ + "' has no field named '" + std::string(field) + "'.");
    }
    const Field& f = fields_[static_cast<std::size_t>(i)];
    sql::ColumnTarget target{table_ + "." + f.name, f.type, f.precision, f.scale};
    values_[static_cast<std::size_t>(i)] = sql::coerce_to_column(value, target);
    set_[static_cast<std::size_t>(i)] = true;
}

void UpdatableRowset::update() {
    if (!pending_) return;
    std::vector<std::string> cols;
    std::vector<Value> vals;
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (!set_[i]) continue;
        cols.push_back(columns_[i]);
        vals.push_back(values_[i]);
    }
    connection().insert_record(table_, cols, vals);
    pending_ = false;
    if (loaded_) {
        loaded_ = false;  // the new record shows on the next read
    }
}

}  // namespace jet
