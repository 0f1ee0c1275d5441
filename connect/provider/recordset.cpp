// Rowsets: cursor, text forms of values, new records.
#include "connect/provider/recordset.h"

#include <algorithm>
#include <cctype>

#include "connect/provider/connection.h"
#include "connect/provider/jet_bridge.h"
#include "jet/base/error.h"
#include "jet/sql/rowset.h"
#include "jet/sql/eval.h"

namespace provider {
namespace {

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

template <typename F>
auto engine(F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const jet::Error& e) {
        throw Error(e.what());
    }
}

}  // namespace

std::string value_text(const jet::Value& value) { return jet::sql::value_text(value); }

DataType data_type_of(std::uint8_t column_type) {
    switch (static_cast<jet::ColumnType>(column_type)) {
        case jet::ColumnType::kBoolean:
            return DataType::kBoolean;
        case jet::ColumnType::kByte:
            return DataType::kUnsignedTinyInt;
        case jet::ColumnType::kInteger:
            return DataType::kSmallInt;
        case jet::ColumnType::kLong:
            return DataType::kInteger;
        case jet::ColumnType::kCurrency:
            return DataType::kCurrency;
        case jet::ColumnType::kSingle:
            return DataType::kSingle;
        case jet::ColumnType::kDouble:
            return DataType::kDouble;
        case jet::ColumnType::kDateTime:
            return DataType::kDate;
        case jet::ColumnType::kBinary:
            return DataType::kVarBinary;
        case jet::ColumnType::kText:
            return DataType::kVarWChar;
        case jet::ColumnType::kOle:
            return DataType::kLongVarBinary;
        case jet::ColumnType::kMemo:
            return DataType::kLongVarWChar;
        case jet::ColumnType::kGuid:
            return DataType::kGuid;
        case jet::ColumnType::kNumeric:
            return DataType::kNumeric;
        case jet::ColumnType::kComplex:  // the row's complex value id
            return DataType::kInteger;
        case jet::ColumnType::kBigInt:
        case jet::ColumnType::kDateTimeExt:
            break;  // no ADO type of this provider
    }
    return DataType::kEmpty;
}

Recordset::Recordset() = default;
Recordset::~Recordset() = default;
Recordset::Recordset(Recordset&&) noexcept = default;
Recordset& Recordset::operator=(Recordset&&) noexcept = default;

Recordset::Recordset(std::vector<FieldInfo> fields, std::vector<std::vector<jet::Value>> rows)
    : open_(true), fields_(std::move(fields)), rows_(std::move(rows)) {}

void Recordset::open(std::string_view sql, Connection& connection) {
    if (open_) throw Error(std::string(kMsgObjectOpen));
    std::shared_ptr<bridge::Session> session = connection.session();
    if (!session) throw Error(std::string(kMsgObjectClosed));
    std::unique_ptr<jet::Rowset> source = session->open_rowset(sql);
    fields_.clear();
    for (const jet::Field& f : source->fields())
        fields_.push_back({f.name, data_type_of(static_cast<std::uint8_t>(f.type))});
    updatable_ = dynamic_cast<jet::UpdatableRowset*>(source.get());
    source_ = std::move(source);
    session_ = std::move(session);
    rows_.clear();
    loaded_ = false;
    pos_ = 0;
    pending_.reset();
    open_ = true;
}

void Recordset::close() {
    open_ = false;
    fields_.clear();
    rows_.clear();
    loaded_ = true;
    pending_.reset();
    updatable_ = nullptr;
    source_.reset();
    session_.reset();
    pos_ = 0;
}

void Recordset::require_open() const {
    if (!open_) throw Error(std::string(kMsgObjectClosed));
}

// The engine's rowset lives as long as its connection is open.
void Recordset::require_engine() const {
    if (!session_ || !session_->is_open()) throw Error(std::string(kMsgObjectClosed));
}

void Recordset::load() {
    require_open();
    if (loaded_) return;
    require_engine();
    engine([&] {
        source_->move_first();
        while (!source_->eof()) {
            rows_.push_back(source_->row());
            source_->move_next();
        }
    });
    loaded_ = true;
}

int Recordset::field_count() const {
    require_open();
    return static_cast<int>(fields_.size());
}

const std::string& Recordset::field_name(int index) const {
    require_open();
    if (index < 0 || static_cast<std::size_t>(index) >= fields_.size())
        throw Error(std::string(kMsgNoField));
    return fields_[static_cast<std::size_t>(index)].name;
}

DataType Recordset::field_type(int index) const {
    require_open();
    if (index < 0 || static_cast<std::size_t>(index) >= fields_.size())
        throw Error(std::string(kMsgNoField));
    return fields_[static_cast<std::size_t>(index)].type;
}

int Recordset::field_index(std::string_view name) const {
    require_open();
    for (std::size_t i = 0; i < fields_.size(); ++i)
        if (iequals(fields_[i].name, name)) return static_cast<int>(i);
    throw Error(std::string(kMsgNoField));
}

const jet::Value& Recordset::value(int index) {
    require_open();
    if (index < 0 || static_cast<std::size_t>(index) >= fields_.size())
        throw Error(std::string(kMsgNoField));
    if (pending_) return (*pending_)[static_cast<std::size_t>(index)];
    load();
    if (pos_ >= rows_.size()) throw Error(std::string(kMsgEof));
    const auto& row = rows_[pos_];
    static const jet::Value null_value{jet::Null{}};
    return static_cast<std::size_t>(index) < row.size() ? row[static_cast<std::size_t>(index)]
                                                        : null_value;
}

long Recordset::record_count() {
    load();
    return static_cast<long>(rows_.size());
}

void Recordset::move_first() {
    require_open();
    save_pending();
    load();
    pos_ = 0;
}

void Recordset::move_next() {
    require_open();
    save_pending();
    load();
    if (pos_ >= rows_.size()) throw Error(std::string(kMsgEof));
    ++pos_;
}

bool Recordset::eof() {
    if (pending_) return false;
    load();
    return pos_ >= rows_.size();
}

void Recordset::add_new() {
    require_open();
    if (updatable_ == nullptr) throw Error(std::string(kMsgReadOnly));
    require_engine();
    save_pending();
    engine([&] { updatable_->add_new(); });
    pending_.emplace(fields_.size(), jet::Value{jet::Null{}});
}

void Recordset::set_value(std::string_view name, jet::Value value) {
    const int index = field_index(name);
    if (!pending_) {
        // Changing a stored record needs an update statement; only new
        // records are written through a rowset.
        throw Error(std::string(kMsgReadOnly));
    }
    require_engine();
    engine([&] { updatable_->set(fields_[static_cast<std::size_t>(index)].name, value); });
    (*pending_)[static_cast<std::size_t>(index)] = std::move(value);
}

void Recordset::update() {
    require_open();
    save_pending();
}

void Recordset::save_pending() {
    if (!pending_) return;
    require_engine();
    // A failing save keeps the record pending, as the engine does.
    engine([&] { updatable_->update(); });
    if (loaded_) {
        rows_.push_back(std::move(*pending_));
        pos_ = rows_.size() - 1;
    }
    pending_.reset();
}

}  // namespace provider
