// The writer's rows: encoding fixed and variable fields, placing a row on
// a data page, and inserting, updating and deleting rows.
#include "jet/write/writer_internal.h"

namespace jet {

using namespace writer_detail;

// ---- rows -----------------------------------------------------------------------

void DatabaseWriter::encode_fixed_value(const Table& t, std::size_t column, const Value& v,
                                        Bytes& out) {
    const ColumnSpec& c = t.layout.columns[column];
    out.clear();
    std::int64_t i = 0;
    double d = 0;
    auto need_int = [&](std::int64_t lo, std::int64_t hi) {
        if (!integral_value(v, i)) throw Error(type_mismatch(c));
        if (i < lo || i > hi) {
            throw Error("Overflow: the value " + std::to_string(i) + " does not fit field '" +
                        c.name + "'.");
        }
    };
    switch (c.type) {
        case ColumnType::kByte:
            need_int(0, 255);
            out.push_back(static_cast<std::uint8_t>(i));
            break;
        case ColumnType::kInteger:
            need_int(-32768, 32767);
            write::append_u16(out, static_cast<std::uint16_t>(i));
            break;
        case ColumnType::kLong:
            need_int(std::numeric_limits<std::int32_t>::min(),
                     std::numeric_limits<std::int32_t>::max());
            write::append_u32(out, static_cast<std::uint32_t>(i));
            break;
        case ColumnType::kComplex:
            need_int(std::numeric_limits<std::int32_t>::min(),
                     std::numeric_limits<std::int32_t>::max());
            write::append_u32(out, static_cast<std::uint32_t>(i));
            break;
        case ColumnType::kBigInt:
            need_int(std::numeric_limits<std::int64_t>::min(),
                     std::numeric_limits<std::int64_t>::max());
            write::append_u64(out, static_cast<std::uint64_t>(i));
            break;
        case ColumnType::kDateTimeExt: {
            // The stored text form; Bytes of its width are a field that is
            // not in that form, kept as it was read.
            if (auto p = get_if_value<DateTimeExt>(v)) {
                if (p->days < 0 || p->seconds < 0 || p->seconds >= 86400 || p->fraction > 9999999) {
                    throw Error("The value does not fit field '" + c.name + "' (Date/Time Extended).");
                }
                auto stored = encode_datetime_ext(*p);
                out.assign(stored.begin(), stored.end());
            } else if (auto b = get_if_value<Bytes>(v); b && b->size() == kDateTimeExtSize) {
                out.assign(b->begin(), b->end());
            } else {
                throw Error(type_mismatch(c));
            }
            break;
        }
        case ColumnType::kCurrency: {
            std::int64_t scaled = 0;
            if (auto p = get_if_value<Currency>(v)) {
                scaled = p->scaled;
            } else if (integral_value(v, i)) {
                scaled = i * 10000;
            } else {
                throw Error(type_mismatch(c));
            }
            write::append_u64(out, static_cast<std::uint64_t>(scaled));
            break;
        }
        case ColumnType::kSingle:
            if (!real_value(v, d)) throw Error(type_mismatch(c));
            write::append_u32(out, std::bit_cast<std::uint32_t>(static_cast<float>(d)));
            break;
        case ColumnType::kDouble:
        case ColumnType::kDateTime:
            if (!real_value(v, d)) throw Error(type_mismatch(c));
            write::append_f64(out, d);
            break;
        case ColumnType::kGuid: {
            auto p = get_if_value<Guid>(v);
            if (!p) throw Error(type_mismatch(c));
            out.assign(p->bytes.begin(), p->bytes.end());
            break;
        }
        case ColumnType::kNumeric: {
            auto p = get_if_value<Decimal>(v);
            if (!p) throw Error(type_mismatch(c));
            out.push_back(p->negative ? 0x80 : 0x00);
            // Four 32-bit words, most significant first, each little-endian.
            for (int w = 0; w < 4; ++w) {
                for (int k = 3; k >= 0; --k) out.push_back(p->magnitude[w * 4 + k]);
            }
            break;
        }
        case ColumnType::kText: {
            auto p = get_if_value<std::string>(v);
            if (!p) throw Error(type_mismatch(c));
            write::append_utf16le(*p, out);
            pad_fixed_text(out, t.columns[column].length);
            break;
        }
        default: {
            // A fixed column of a type the engine does not interpret (the
            // 0x11 column of Access's object table): its bytes as stored.
            auto p = get_if_value<Bytes>(v);
            const std::uint16_t width = t.columns[column].length;
            if (!p || is_known_column_type(static_cast<std::uint8_t>(c.type)) || p->size() > width) {
                throw Error(type_mismatch(c));
            }
            out.assign(p->begin(), p->end());
            out.resize(width, 0);
            break;
        }
    }
}

// A calculated column's field: the value of its result type (or the bytes
// inside the wrapper, given as Bytes) in the wrapper; a stored field is the
// whole wrapper as a source row holds it.
void DatabaseWriter::encode_calculated(const Table& t, std::size_t column, const FieldInput& f,
                                       Bytes& out) {
    const ColumnSpec& c = t.layout.columns[column];
    out.clear();
    if (f.kind == FieldInput::Kind::kStored) {
        out.assign(f.bytes.begin(), f.bytes.end());
        return;
    }
    if (f.kind != FieldInput::Kind::kValue || !f.value) throw Error(type_mismatch(c));
    const Value& v = *f.value;
    const ColumnType type = c.result_type != ColumnType{} ? c.result_type : c.type;
    Bytes data;
    if (auto b = get_if_value<Bytes>(v)) {
        data = *b;
    } else {
        switch (type) {
            case ColumnType::kText:
            case ColumnType::kMemo: {
                auto p = get_if_value<std::string>(v);
                if (!p) throw Error(type_mismatch(c));
                // A Text result is compressed as a Text column's value is; a
                // Memo result stays UCS-2 (as Access stores them).
                write::append_text(*p, type == ColumnType::kText, data);
                break;
            }
            case ColumnType::kBoolean: {
                std::int64_t x = 0;
                if (!integral_value(v, x)) throw Error(type_mismatch(c));
                data.push_back(x != 0 ? 0xFF : 0x00);
                break;
            }
            case ColumnType::kNumeric: {
                // Precision byte (written 0), a zero byte, scale, sign, then
                // the magnitude's bits 64..95 and 0..63, little-endian each.
                auto p = get_if_value<Decimal>(v);
                if (!p) throw Error(type_mismatch(c));
                for (int k = 0; k < 4; ++k) {
                    if (p->magnitude[k] != 0) {
                        throw Error("Overflow: the value does not fit field '" + c.name + "'.");
                    }
                }
                data = {0x00, 0x00, p->scale, static_cast<std::uint8_t>(p->negative ? 0x80 : 0x00)};
                for (int k = 7; k >= 4; --k) data.push_back(p->magnitude[k]);
                for (int k = 15; k >= 8; --k) data.push_back(p->magnitude[k]);
                break;
            }
            default: {
                ColumnSpec as = c;
                as.type = type;
                as.calculated = false;
                Table probe_table;
                probe_table.layout.columns = {as};
                write::TdefColumn w;
                w.length = fixed_length(type);
                probe_table.columns = {w};
                if (!is_fixed_type(type) || type == ColumnType::kBoolean) throw Error(type_mismatch(c));
                encode_fixed_value(probe_table, 0, v, data);
                break;
            }
        }
    }
    out.assign(16, 0);
    write::append_u32(out, static_cast<std::uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    out.resize(out.size() + kCalculatedTail, 0);
}

// A fixed-length text fills its whole width: UTF-16 units padded with
// blanks, as Jet pads such a column; a longer text does not fit.
void DatabaseWriter::pad_fixed_text(Bytes& units, std::size_t width) {
    if (units.size() > width) throw Error(std::string(kFieldTooSmallMessage));
    while (units.size() + 2 <= width) {
        units.push_back(0x20);
        units.push_back(0x00);
    }
    units.resize(width, 0);
}

Bytes DatabaseWriter::encode_row(Table& t, std::span<const Value> values) {
    if (!scratch_) scratch_ = std::make_unique<RowScratch>();
    auto& inputs = scratch_->inputs;
    inputs.resize(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        inputs[i].kind = FieldInput::Kind::kValue;
        inputs[i].value = &values[i];
    }
    return encode_fields(t, inputs);
}

namespace {

// A Boolean column's value: it lives in the null mask, not in the row's data.
bool boolean_field(const ColumnSpec& c, const FieldInput& f) {
    using Kind = FieldInput::Kind;
    const Value* v = f.kind == Kind::kValue ? f.value : nullptr;
    if (f.kind == Kind::kBoolean) return f.flag;
    if (v && !is_null(*v)) {
        if (auto p = get_if_value<bool>(*v)) return *p;
        std::int64_t x = 0;
        if (!integral_value(*v, x)) throw Error(type_mismatch(c));
        return x != 0;
    }
    if (f.kind != Kind::kNull && !v) throw Error(type_mismatch(c));
    return false;
}

}  // namespace

// A row in Jet's layout: the column count, the fixed area, the variable
// fields, their offsets backwards, the variable count and the null mask.
// Memo and OLE values go inline or onto long-value pages (smallest inline
// first, while the row has room).
Bytes DatabaseWriter::encode_fields(Table& t, std::span<const FieldInput> fields) {
    using Kind = FieldInput::Kind;
    if (!scratch_) scratch_ = std::make_unique<RowScratch>();
    RowScratch& s = *scratch_;
    const std::size_t n = t.layout.columns.size();
    s.mask.assign((n + 7) / 8, 0);
    s.fixed.assign(t.fixed_size, 0);
    if (s.var.size() < t.var_count) s.var.resize(t.var_count);
    for (std::size_t k = 0; k < t.var_count; ++k) s.var[k].clear();
    s.longs.clear();
    s.streams.clear();

    // Every field in column order (so that the first bad value is the one
    // reported); long values are held in memory to decide which stay inline.
    for (std::size_t i = 0; i < n; ++i) {
        const ColumnSpec& c = t.layout.columns[i];
        const write::TdefColumn& w = t.columns[i];
        const FieldInput& f = fields[i];
        const auto set_bit = [&] { s.mask[w.number / 8] |= static_cast<std::uint8_t>(1u << (w.number % 8)); };
        if (c.type == ColumnType::kBoolean) {
            if (boolean_field(c, f)) set_bit();
            continue;
        }
        if (f.kind == Kind::kNull || (f.kind == Kind::kValue && f.value && is_null(*f.value))) continue;
        set_bit();
        if (w.flags & kColumnFixed) {
            encode_fixed_field(t, i, f, s);
        } else {
            encode_variable_field(t, i, f, s);
        }
    }
    const std::size_t size = store_long_values(t, fields, s);
    return assemble_row(t, s, size);
}

void DatabaseWriter::encode_fixed_field(const Table& t, std::size_t i, const FieldInput& f,
                                        RowScratch& s) {
    using Kind = FieldInput::Kind;
    const ColumnSpec& c = t.layout.columns[i];
    const write::TdefColumn& w = t.columns[i];
    if (f.kind == Kind::kValue && f.value) {
        encode_fixed_value(t, i, *f.value, s.value);
        std::copy(s.value.begin(), s.value.end(), s.fixed.begin() + w.fixed_offset);
    } else if (f.kind == Kind::kStored && f.bytes.size() == w.length) {
        std::copy(f.bytes.begin(), f.bytes.end(), s.fixed.begin() + w.fixed_offset);
    } else if (f.kind == Kind::kUnits && c.type == ColumnType::kText) {
        s.value.assign(f.bytes.begin(), f.bytes.end());
        pad_fixed_text(s.value, w.length);
        std::copy(s.value.begin(), s.value.end(), s.fixed.begin() + w.fixed_offset);
    } else {
        throw Error(type_mismatch(c));
    }
}

// A field of the variable area: its bytes go to the row's variable slot, or
// for a memo or OLE column to the held long values (a streamed one is only
// noted: it is read when it is stored).
void DatabaseWriter::encode_variable_field(const Table& t, std::size_t i, const FieldInput& f,
                                           RowScratch& s) {
    using Kind = FieldInput::Kind;
    const ColumnSpec& c = t.layout.columns[i];
    const write::TdefColumn& w = t.columns[i];
    const Value* v = f.kind == Kind::kValue ? f.value : nullptr;
    if (c.calculated && f.kind != Kind::kValue && f.kind != Kind::kStored) {
        // Units or a stream would be a decoded text, not the wrapper.
        throw Error("Field '" + c.name + "' is calculated: it takes a value or its stored bytes.");
    }
    const bool long_value = t.long_of_column[i] >= 0;
    if (long_value && f.kind == Kind::kStream) {
        s.streams.push_back(i);
        return;
    }
    Bytes* data = &s.var[w.var_index];
    if (long_value) {
        const std::size_t slot = s.longs.size();
        if (s.long_data.size() <= slot) s.long_data.emplace_back();
        data = &s.long_data[slot];
        data->clear();
        s.longs.emplace_back(i, slot);
    }
    if (c.calculated) {
        encode_calculated(t, i, f, *data);
        return;
    }
    switch (c.type) {
        case ColumnType::kText:
        case ColumnType::kMemo: {
            const bool compress = w.misc_flags & 0x01;
            std::span<const std::uint8_t> units;
            if (v) {
                auto p = get_if_value<std::string>(*v);
                if (!p) throw Error(type_mismatch(c));
                s.value.clear();
                write::append_utf16le(*p, s.value);
                units = s.value;
            } else if (f.kind == Kind::kUnits) {
                units = f.bytes;
            } else {
                throw Error(type_mismatch(c));
            }
            if (c.type == ColumnType::kText && units.size() / 2 * 2 > w.length) {
                throw Error(std::string(kFieldTooSmallMessage));
            }
            write::append_ucs2_text(units, compress, *data);
            break;
        }
        case ColumnType::kBinary:
        case ColumnType::kOle: {
            if (v) {
                if (auto p = get_if_value<Bytes>(*v)) {
                    data->assign(p->begin(), p->end());
                } else if (auto str = get_if_value<std::string>(*v)) {
                    data->assign(str->begin(), str->end());
                } else {
                    throw Error(type_mismatch(c));
                }
            } else if (f.kind == Kind::kStored) {
                data->assign(f.bytes.begin(), f.bytes.end());
            } else {
                throw Error(type_mismatch(c));
            }
            if (c.type == ColumnType::kBinary && data->size() > w.length) {
                throw Error(std::string(kFieldTooSmallMessage));
            }
            break;
        }
        default:
            // A fixed-width type kept as a variable column.
            if (!is_fixed_type(c.type)) throw Error(type_mismatch(c));
            if (v) {
                encode_fixed_value(t, i, *v, *data);
            } else if (f.kind == Kind::kStored) {
                data->assign(f.bytes.begin(), f.bytes.end());
            } else {
                throw Error(type_mismatch(c));
            }
            break;
    }
}

// Stores the held and streamed long values of a row, the smallest inline
// first while the row has room, the rest on long-value pages, and returns
// the row's size. A row too large even with every long value on its own
// pages is refused before anything is stored.
std::size_t DatabaseWriter::store_long_values(Table& t, std::span<const FieldInput> fields,
                                              RowScratch& s) {
    std::size_t base = 2 + s.fixed.size() + s.mask.size();
    if (t.var_count) base += 2 * (t.var_count + 1) + 2;
    for (std::size_t k = 0; k < t.var_count; ++k) base += s.var[k].size();
    base += (s.longs.size() + s.streams.size()) * kLongValueHeaderSize;
    if (base > write::kMaxRowSize) throw Error(std::string(kRecordTooLargeMessage));
    const std::size_t nl = s.longs.size();
    auto long_size = [&](std::size_t k) { return s.long_data[s.longs[k].second].size(); };
    s.by_size.resize(nl);
    for (std::size_t k = 0; k < nl; ++k) s.by_size[k] = k;
    std::sort(s.by_size.begin(), s.by_size.end(),
              [&](std::size_t a, std::size_t b) { return long_size(a) < long_size(b); });
    s.inline_ok.assign(nl, false);
    std::size_t size = base;
    for (std::size_t k : s.by_size) {
        std::size_t len = long_size(k);
        if (len <= kInlineLongValueMax && size + len <= write::kMaxRowSize) {
            s.inline_ok[k] = true;
            size += len;
        }
    }
    for (std::size_t k = 0; k < nl; ++k) {
        std::size_t i = s.longs[k].first;
        s.var[t.columns[i].var_index] =
            store_long_value(t, i, s.long_data[s.longs[k].second], s.inline_ok[k]);
    }
    for (std::size_t i : s.streams) {
        s.var[t.columns[i].var_index] = store_long_value_stream(t, i, fields[i].stream);
    }
    return size;
}

Bytes DatabaseWriter::assemble_row(const Table& t, RowScratch& s, std::size_t size) {
    Bytes row;
    row.reserve(size);
    write::append_u16(row, static_cast<std::uint16_t>(t.layout.columns.size()));
    row.insert(row.end(), s.fixed.begin(), s.fixed.end());
    s.offsets.resize(t.var_count + 1);
    for (std::size_t k = 0; k < t.var_count; ++k) {
        s.offsets[k] = static_cast<std::uint16_t>(row.size());
        row.insert(row.end(), s.var[k].begin(), s.var[k].end());
    }
    s.offsets[t.var_count] = static_cast<std::uint16_t>(row.size());  // end of the data
    if (t.var_count) {
        for (std::size_t k = t.var_count + 1; k-- > 0;) write::append_u16(row, s.offsets[k]);
        write::append_u16(row, t.var_count);
    }
    row.insert(row.end(), s.mask.begin(), s.mask.end());
    if (row.size() > write::kMaxRowSize) throw Error(std::string(kRecordTooLargeMessage));
    return row;
}

RowId DatabaseWriter::place_row(Table& t, Bytes row) {
    if (t.current == 0 || t.current_rows.size() >= write::kMaxRowsPerPage ||
        write::row_page_free(t.current_rows) < row.size() + 2) {
        if (t.current) pager_.write(t.current, write::encode_row_page(t.tdef_page, false, t.current_rows));
        t.current = allocate_page();
        t.data_pages.push_back(t.current);
        t.current_rows.clear();
    }
    t.current_rows.push_back(RowSlotImage{std::move(row), false});
    return RowId{t.current, static_cast<std::uint8_t>(t.current_rows.size() - 1)};
}

std::vector<RowSlotImage> DatabaseWriter::load_page(Table& t, std::uint32_t page) {
    if (page == t.current && page != 0) return t.current_rows;
    if (std::find(t.data_pages.begin(), t.data_pages.end(), page) == t.data_pages.end()) {
        throw Error("Row on page " + std::to_string(page) + " is not in table '" + t.layout.name + "'.");
    }
    return write::decode_row_page(pager_.read(page));
}

void DatabaseWriter::store_page(Table& t, std::uint32_t page, const std::vector<RowSlotImage>& rows) {
    if (page == t.current) {
        t.current_rows = rows;
    } else {
        pager_.write(page, write::encode_row_page(t.tdef_page, false, rows));
    }
}

RowId DatabaseWriter::insert_row(TableHandle table, std::span<const Value> in) {
    if (closed_) throw Error("The database is closed.");
    dropped_trees_.clear();  // dropped trees name rows as they were
    Table& t = *tables_.at(table);
    if (in.size() != t.layout.columns.size()) {
        throw Error("Number of query values and destination fields are not the same.");
    }
    // The values are copied only when an autonumber is filled in.
    std::vector<Value> numbered;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (t.layout.columns[i].autonumber && is_null(in[i])) {
            numbered.assign(in.begin(), in.end());
            break;
        }
    }
    std::uint32_t autonumber = t.autonumber;
    std::uint32_t complex_counter = t.layout.complex_autonumber;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const ColumnSpec& c = t.layout.columns[i];
        if (c.type == ColumnType::kComplex) {
            std::int64_t v = 0;
            if (integral_value(in[i], v) && v > 0 && v > complex_counter && v <= 0x7FFFFFFF) {
                complex_counter = static_cast<std::uint32_t>(v);
            }
            continue;
        }
        if (!c.autonumber) continue;
        if (c.type == ColumnType::kLong) {
            std::int64_t v = 0;
            if (is_null(in[i])) {
                numbered[i] = static_cast<std::int32_t>(++autonumber);
            } else if (integral_value(in[i], v) && v > 0 && v > autonumber) {
                autonumber = static_cast<std::uint32_t>(v);
            }
        } else if (c.type == ColumnType::kGuid && is_null(in[i])) {
            static thread_local std::mt19937_64 rng{std::random_device{}()};
            Guid g;
            for (auto& b : g.bytes) b = static_cast<std::uint8_t>(rng());
            g.bytes[7] = static_cast<std::uint8_t>((g.bytes[7] & 0x0F) | 0x40);  // version 4
            g.bytes[8] = static_cast<std::uint8_t>((g.bytes[8] & 0x3F) | 0x80);
            numbered[i] = g;
        }
    }
    const std::span<const Value> values = numbered.empty() ? in : std::span<const Value>(numbered);
    for (const auto& ix : t.indexes) {
        if (!(ix->flags & kIndexRequired)) continue;
        for (auto [pos, desc] : ix->columns) {
            if (is_null(values[pos])) {
                throw Error("Index or primary key cannot contain a Null value.");
            }
        }
    }
    check_unique(t, values, nullptr);
    Bytes row = encode_row(t, values);
    RowId id = place_row(t, std::move(row));
    t.autonumber = autonumber;
    t.layout.complex_autonumber = complex_counter;
    add_index_entries(t, values, id);
    ++t.rows;
    t.dirty = true;
    return id;
}

RowId DatabaseWriter::insert_fields(TableHandle table, std::span<const FieldInput> fields) {
    if (closed_) throw Error("The database is closed.");
    dropped_trees_.clear();  // dropped trees name rows as they were
    Table& t = *tables_.at(table);
    if (fields.size() != t.layout.columns.size()) {
        throw Error("Number of query values and destination fields are not the same.");
    }
    if (!t.indexes.empty()) throw Error("Internal error: a table with indexes takes rows as values");
    for (const ColumnSpec& c : t.layout.columns) {
        if (c.autonumber) throw Error("Internal error: a table with an autonumber takes rows as values");
    }
    RowId id = place_row(t, encode_fields(t, fields));
    ++t.rows;
    t.dirty = true;
    return id;
}

RowId DatabaseWriter::update_row(TableHandle table, RowId id, std::span<const Value> values) {
    if (closed_) throw Error("The database is closed.");
    dropped_trees_.clear();  // dropped trees name rows as they were
    Table& t = *tables_.at(table);
    if (values.size() != t.layout.columns.size()) {
        throw Error("Number of query values and destination fields are not the same.");
    }
    auto rows = load_page(t, id.page);
    if (id.row >= rows.size() || rows[id.row].deleted) {
        throw Error("Record is deleted.");
    }
    for (const auto& ix : t.indexes) {
        if (!(ix->flags & kIndexRequired)) continue;
        for (auto [pos, desc] : ix->columns) {
            if (is_null(values[pos])) throw Error("Index or primary key cannot contain a Null value.");
        }
    }
    check_unique(t, values, &id);
    Bytes row = encode_row(t, values);
    RowId where = id;
    std::size_t free = write::row_page_free(rows) + rows[id.row].bytes.size();
    remove_index_entries(t, id);
    if (row.size() <= free) {
        rows[id.row].bytes = std::move(row);
        store_page(t, id.page, rows);
    } else {
        rows[id.row].bytes.clear();
        rows[id.row].deleted = true;
        store_page(t, id.page, rows);
        where = place_row(t, row);
    }
    add_index_entries(t, values, where);
    t.dirty = true;
    return where;
}

void DatabaseWriter::delete_row(TableHandle table, RowId id) {
    if (closed_) throw Error("The database is closed.");
    dropped_trees_.clear();  // dropped trees name rows as they were
    Table& t = *tables_.at(table);
    auto rows = load_page(t, id.page);
    if (id.row >= rows.size() || rows[id.row].deleted) throw Error("Record is deleted.");
    rows[id.row].bytes.clear();
    rows[id.row].deleted = true;
    store_page(t, id.page, rows);
    remove_index_entries(t, id);
    --t.rows;
    t.dirty = true;
}

}  // namespace jet
