// Rowsets: cursor, text forms of values, new records.
#include "connect/provider/recordset.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "connect/provider/connection.h"
#include "connect/provider/jet_bridge.h"

namespace provider {
namespace {

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// "12.5000" -> "12.5", "3.000" -> "3".
std::string trim_fraction(std::string s) {
    if (s.find('.') == std::string::npos) return s;
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    if (s == "-0") s = "0";
    return s;
}

std::string float_text(double v, int digits) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-Infinity" : "Infinity";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    return buf;
}

std::string date_text(jet::DateTime d) {
    const std::string full = jet::datetime_text(d);  // "YYYY-MM-DD HH:MM:SS"
    const bool no_time = full.size() >= 19 && full.compare(11, 8, "00:00:00") == 0;
    const bool no_date = full.compare(0, 10, "1899-12-30") == 0;
    if (no_time) return full.substr(0, 10);
    if (no_date) return full.substr(11);
    return full;
}

}  // namespace

std::string value_text(const jet::Value& value) {
    struct Visitor {
        std::string operator()(const jet::Null&) const { return {}; }
        std::string operator()(bool b) const { return b ? "True" : "False"; }
        std::string operator()(std::uint8_t v) const { return std::to_string(v); }
        std::string operator()(std::int16_t v) const { return std::to_string(v); }
        std::string operator()(std::int32_t v) const { return std::to_string(v); }
        std::string operator()(jet::Currency c) const { return trim_fraction(jet::currency_text(c)); }
        std::string operator()(float v) const { return float_text(v, 7); }
        std::string operator()(double v) const { return float_text(v, 15); }
        std::string operator()(jet::DateTime d) const { return date_text(d); }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(const jet::Bytes& b) const { return std::string(b.begin(), b.end()); }
        std::string operator()(const jet::Guid& g) const { return jet::guid_text(g); }
        std::string operator()(const jet::Decimal& d) const { return trim_fraction(jet::decimal_text(d)); }
    };
    return std::visit(Visitor{}, value);
}

DataType data_type_of(std::uint8_t column_type) {
    switch (static_cast<jet::ColumnType>(column_type)) {
        case jet::ColumnType::kBoolean: return DataType::kBoolean;
        case jet::ColumnType::kByte: return DataType::kUnsignedTinyInt;
        case jet::ColumnType::kInteger: return DataType::kSmallInt;
        case jet::ColumnType::kLong: return DataType::kInteger;
        case jet::ColumnType::kCurrency: return DataType::kCurrency;
        case jet::ColumnType::kSingle: return DataType::kSingle;
        case jet::ColumnType::kDouble: return DataType::kDouble;
        case jet::ColumnType::kDateTime: return DataType::kDate;
        case jet::ColumnType::kBinary: return DataType::kVarBinary;
        case jet::ColumnType::kText: return DataType::kVarWChar;
        case jet::ColumnType::kOle: return DataType::kLongVarBinary;
        case jet::ColumnType::kMemo: return DataType::kLongVarWChar;
        case jet::ColumnType::kGuid: return DataType::kGuid;
        case jet::ColumnType::kNumeric: return DataType::kNumeric;
    }
    return DataType::kEmpty;
}

Recordset::Recordset(std::vector<FieldInfo> fields, std::vector<std::vector<jet::Value>> rows)
    : open_(true), fields_(std::move(fields)), rows_(std::move(rows)) {
    column_types_.assign(fields_.size(), 0);
}

void Recordset::open(std::string_view sql, Connection& connection) {
    if (open_) throw Error(std::string(kMsgObjectOpen));
    std::shared_ptr<bridge::Session> session = connection.session();
    if (!session) throw Error(std::string(kMsgObjectClosed));
    bridge::QueryResult result = session->query(sql);
    fields_.clear();
    column_types_.clear();
    for (const bridge::QueryColumn& c : result.columns) {
        fields_.push_back({c.name, data_type_of(c.column_type)});
        column_types_.push_back(c.column_type);
    }
    rows_ = std::move(result.rows);
    base_table_ = std::move(result.base_table);
    session_ = std::move(session);
    pos_ = 0;
    before_first_ = false;
    pending_.reset();
    open_ = true;
}

void Recordset::close() {
    open_ = false;
    fields_.clear();
    column_types_.clear();
    rows_.clear();
    base_table_.clear();
    session_.reset();
    pending_.reset();
    pos_ = 0;
}

void Recordset::require_open() const {
    if (!open_) throw Error(std::string(kMsgObjectClosed));
}

void Recordset::require_current() const {
    require_open();
    if (pending_) return;
    if (before_first_ || pos_ >= rows_.size()) throw Error(std::string(kMsgEof));
}

int Recordset::field_count() const {
    require_open();
    return static_cast<int>(fields_.size());
}

const std::string& Recordset::field_name(int index) const {
    require_open();
    if (index < 0 || static_cast<std::size_t>(index) >= fields_.size()) throw Error(std::string(kMsgNoField));
    return fields_[static_cast<std::size_t>(index)].name;
}

DataType Recordset::field_type(int index) const {
    require_open();
    if (index < 0 || static_cast<std::size_t>(index) >= fields_.size()) throw Error(std::string(kMsgNoField));
    return fields_[static_cast<std::size_t>(index)].type;
}

int Recordset::field_index(std::string_view name) const {
    require_open();
    for (std::size_t i = 0; i < fields_.size(); ++i)
        if (iequals(fields_[i].name, name)) return static_cast<int>(i);
    throw Error(std::string(kMsgNoField));
}

const jet::Value& Recordset::value(int index) const {
    require_current();
    if (index < 0 || static_cast<std::size_t>(index) >= fields_.size()) throw Error(std::string(kMsgNoField));
    const auto& row = pending_ ? *pending_ : rows_[pos_];
    return row[static_cast<std::size_t>(index)];
}

long Recordset::record_count() const {
    require_open();
    return static_cast<long>(rows_.size());
}

void Recordset::move_first() {
    require_open();
    save_pending();
    pos_ = 0;
    before_first_ = false;
}

void Recordset::move_next() {
    require_open();
    save_pending();
    if (before_first_) {
        before_first_ = false;
        pos_ = 0;
        return;
    }
    if (pos_ >= rows_.size()) throw Error(std::string(kMsgEof));
    ++pos_;
}

bool Recordset::eof() const {
    require_open();
    return !pending_ && !before_first_ && pos_ >= rows_.size();
}

bool Recordset::bof() const {
    require_open();
    return before_first_ || rows_.empty();
}

void Recordset::add_new() {
    require_open();
    if (base_table_.empty() || !session_) throw Error(std::string(kMsgReadOnly));
    save_pending();
    pending_.emplace(fields_.size(), jet::Value{jet::Null{}});
}

void Recordset::set_value(std::string_view name, jet::Value value) {
    const int index = field_index(name);
    if (!pending_) {
        // Changing a stored record needs an update statement; only new
        // records are written through a rowset.
        require_current();
        throw Error(std::string(kMsgReadOnly));
    }
    (*pending_)[static_cast<std::size_t>(index)] = std::move(value);
}

void Recordset::update() {
    require_open();
    save_pending();
}

void Recordset::save_pending() {
    if (!pending_) return;
    // A failing save keeps the record pending, as it was.
    std::vector<std::string> names;
    names.reserve(fields_.size());
    for (const FieldInfo& f : fields_) names.push_back(f.name);
    session_->insert(base_table_, names, *pending_);
    rows_.push_back(std::move(*pending_));
    pending_.reset();
    pos_ = rows_.size() - 1;
    before_first_ = false;
}

}  // namespace provider
