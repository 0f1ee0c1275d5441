// Rowsets: the result of a query or of a schema request, walked with a
// cursor, read as text, and (for a query on one table) extended with new
// records.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connect/provider/provider.h"
#include "jet/value.h"

namespace provider {

class Connection;
namespace bridge {
class Session;
}

struct FieldInfo {
    std::string name;
    DataType type = DataType::kEmpty;
};

// The text a value reads as: a null is the empty text, a boolean "True" or
// "False", numbers in their shortest decimal form, dates "YYYY-MM-DD",
// "HH:MM:SS" or both, a GUID in braces.
std::string value_text(const jet::Value& value);

// The field type of a column type byte of the engine.
DataType data_type_of(std::uint8_t column_type);

class Recordset {
public:
    Recordset() = default;
    // A read-only rowset over given rows (schema rowsets).
    Recordset(std::vector<FieldInfo> fields, std::vector<std::vector<jet::Value>> rows);

    // Runs the query on the open connection and keeps its rows; a query on
    // one table accepts new records. Throws Error.
    void open(std::string_view sql, Connection& connection);
    void close();
    bool is_open() const { return open_; }

    int field_count() const;
    const std::string& field_name(int index) const;
    DataType field_type(int index) const;
    // Position of the field named `name` (case-insensitive); throws
    // Error(kMsgNoField).
    int field_index(std::string_view name) const;

    const jet::Value& value(int index) const;
    std::string text(int index) const { return value_text(value(index)); }
    std::string text(std::string_view name) const { return text(field_index(name)); }

    long record_count() const;
    void move_first();
    void move_next();
    bool eof() const;
    bool bof() const;

    // Saves a pending new record, then starts a new one with every field
    // null. The new record is current until it is saved.
    void add_new();
    // Assigns a field of the current record (a new one or, for a read-only
    // rowset, an error).
    void set_value(std::string_view name, jet::Value value);
    // Saves the pending new record, if any.
    void update();
    bool editing() const { return pending_.has_value(); }

private:
    void require_open() const;
    void require_current() const;
    void save_pending();

    bool open_ = false;
    std::vector<FieldInfo> fields_;
    std::vector<std::uint8_t> column_types_;  // engine types of a query's fields (0: none)
    std::vector<std::vector<jet::Value>> rows_;
    std::size_t pos_ = 0;
    bool before_first_ = false;
    std::string base_table_;  // the one table of a query; empty: read-only
    std::shared_ptr<bridge::Session> session_;
    std::optional<std::vector<jet::Value>> pending_;
};

}  // namespace provider
