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
#include "jet/base/value.h"

namespace jet {
class Rowset;
class UpdatableRowset;
}  // namespace jet

namespace provider {

class Connection;
namespace bridge {
class Session;
}

struct FieldInfo {
    std::string name;
    DataType type = DataType::kEmpty;
};

// The text a value reads as, as the engine forms it: a null is the empty
// text, a boolean "True" or "False", numbers in their shortest decimal form,
// dates "YYYY-MM-DD", "HH:MM:SS" or both, a GUID in braces, binary as hex.
std::string value_text(const jet::Value& value);

// The field type of a column type byte of the engine.
DataType data_type_of(std::uint8_t column_type);

class Recordset {
  public:
    Recordset();
    // A read-only rowset over given rows (schema rowsets).
    Recordset(std::vector<FieldInfo> fields, std::vector<std::vector<jet::Value>> rows);
    ~Recordset();
    Recordset(Recordset&&) noexcept;
    Recordset& operator=(Recordset&&) noexcept;

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

    const jet::Value& value(int index);
    std::string text(int index) { return value_text(value(index)); }
    std::string text(std::string_view name) { return text(field_index(name)); }

    long record_count();
    void move_first();
    void move_next();
    bool eof();

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
    void require_engine() const;
    void load();
    void save_pending();

    bool open_ = false;
    std::vector<FieldInfo> fields_;
    // The records, read from the engine's rowset when the cursor is first
    // used (a rowset opened only to append reads nothing).
    std::vector<std::vector<jet::Value>> rows_;
    bool loaded_ = true;
    std::size_t pos_ = 0;
    std::shared_ptr<bridge::Session> session_;  // keeps the engine connection
    std::unique_ptr<jet::Rowset> source_;
    jet::UpdatableRowset* updatable_ = nullptr;  // source_ when it takes new records
    std::optional<std::vector<jet::Value>> pending_;
};

}  // namespace provider
