// Rowsets: what a query hands back to the provider, and the updatable
// rowset through which the provider appends records to a table.
//
// A Rowset is a query's result: named, typed fields and its records, read
// one at a time with a cursor (move_first, move_next, eof). An
// UpdatableRowset stands over one table: it adds a record, takes values for
// its fields by name and saves it through the connection that opened it, so
// the record belongs to that connection's transaction.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jet/table/rows.h"
#include "jet/base/value.h"

namespace jet {

class Connection;

// A field of a rowset. `size`: characters for Text, bytes for Binary and the
// fixed types, 0 for Memo and OLE.
struct Field {
    std::string name;
    ColumnType type = ColumnType::kText;
    std::uint32_t size = 0;
    std::uint8_t precision = 0;  // Numeric
    std::uint8_t scale = 0;      // Numeric
};

class Rowset {
public:
    Rowset() = default;
    Rowset(std::vector<Field> fields, std::vector<Row> rows);
    virtual ~Rowset() = default;

    const std::vector<Field>& fields() const { return fields_; }
    std::size_t field_count() const { return fields_.size(); }
    // Position of a field by name (case-insensitive), or -1.
    int field_index(std::string_view name) const;

    std::size_t record_count() { load(); return rows_.size(); }
    bool eof() { load(); return cursor_ >= rows_.size(); }
    void move_first() { load(); cursor_ = 0; }
    void move_next() { load(); if (cursor_ < rows_.size()) ++cursor_; }

    // Values of the current record; throw jet::Error at the end of the rowset
    // or for a field that does not exist.
    const Value& value(std::size_t field);
    const Value& value(std::string_view field);
    // The value as text: "" for null (see sql::value_text for the forms).
    std::string text(std::size_t field);
    const Row& row();

protected:
    // Rowsets that fetch their records late override this.
    virtual void load() {}
    std::vector<Field> fields_;
    std::vector<Row> rows_;
    std::size_t cursor_ = 0;
};

// An updatable rowset over one table ("SELECT a, b FROM t" or "t").
// Records are read when the cursor is first used, so a rowset opened only to
// append reads nothing.
class UpdatableRowset : public Rowset {
public:
    // Begins a new record (saving a pending one first). Its fields are null
    // until set; an autonumber field takes its number when the record is saved.
    void add_new();
    // Sets a field of the pending record by name; the value is converted to
    // the column's type (a text "12" into a Long Integer is 12). Throws
    // jet::Error for an unknown field, a value that does not convert, or when
    // no record is pending.
    void set(std::string_view field, const Value& value);
    // Saves the pending record into the table (nothing when none is pending).
    // Throws jet::Error (duplicate key, required field, ...) and then keeps
    // the record pending.
    void update();
    // Drops the pending record.
    void cancel_update() { pending_ = false; }
    bool editing() const { return pending_; }
    const std::string& table() const { return table_; }

private:
    friend class Connection;
    UpdatableRowset(Connection& connection, std::weak_ptr<int> alive, std::string table,
                    std::vector<Field> fields, std::vector<std::string> columns,
                    std::function<std::vector<Row>()> fetch);
    void load() override;
    Connection& connection() const;

    Connection* connection_ = nullptr;
    std::weak_ptr<int> alive_;
    std::string table_;
    std::vector<std::string> columns_;  // the table's columns behind the fields
    std::function<std::vector<Row>()> fetch_;
    bool loaded_ = false;
    bool pending_ = false;
    std::vector<Value> values_;
    std::vector<bool> set_;
};

}  // namespace jet
