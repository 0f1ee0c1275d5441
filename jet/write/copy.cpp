// Table copy between databases (see write_copy.h).
#include "jet/write/copy.h"

#include <algorithm>

#include "jet/base/error.h"
#include "jet/base/text.h"
#include "jet/page/format.h"

namespace jet {

namespace {

// Long values up to this size are read whole into a buffer kept between
// rows; larger ones stream from the source's pages to the target's.
constexpr std::uint32_t kStreamAbove = 64 * 1024;

// Turns the rows of a Jet 4 table into the writer's fields without decoding
// them: fixed columns and binary data keep their bytes, texts stay UTF-16
// (the writer only decides on compression), memo and OLE values are passed
// on in pieces. Buffers are kept from row to row.
class Jet4RowCopier {
public:
    Jet4RowCopier(PageFile& file, const TableDef& def, SalvageCounts* salvage = nullptr)
        : file_(file), def_(def), salvage_(salvage), inputs_(def.columns.size()),
          buffers_(def.columns.size()), values_(def.columns.size()) {}

    const std::vector<FieldInput>& fields(std::span<const std::uint8_t> row, std::uint32_t page) {
        split_row(def_, row, page, raw_);
        for (std::size_t i = 0; i < raw_.size(); ++i) convert(i, page);
        return inputs_;
    }

private:
    using Kind = FieldInput::Kind;

    void convert(std::size_t i, std::uint32_t page) {
        const Column& col = def_.columns[i];
        const RawField& f = raw_[i];
        FieldInput& in = inputs_[i];
        in.bytes = {};
        in.value = nullptr;
        in.flag = false;
        // A calculated column's field is its result in a wrapper: the
        // bytes inside go as stored (an empty result included, which
        // readers show otherwise than a null), and the writer wraps them
        // again.
        if (col.is_calculated() && f.kind == RawField::Kind::kVariable) {
            values_[i] = calculated_data(col, f.bytes, page, buffers_[i]);
            in.kind = Kind::kValue;
            in.value = &values_[i];
            return;
        }
        switch (f.kind) {
            case RawField::Kind::kNull: in.kind = Kind::kNull; return;
            case RawField::Kind::kBoolean:
                in.kind = Kind::kBoolean;
                in.flag = f.flag;
                return;
            case RawField::Kind::kFixed:
                if (fixed_type_size(col.column_type()) == f.bytes.size()) {
                    in.kind = Kind::kStored;
                    in.bytes = f.bytes;
                    return;
                }
                break;
            case RawField::Kind::kVariable: {
                Bytes& buf = buffers_[i];
                switch (col.column_type()) {
                    case ColumnType::kText:
                        buf.clear();
                        append_jet4_units(f.bytes, buf);
                        in.kind = Kind::kUnits;
                        in.bytes = buf;
                        return;
                    case ColumnType::kBinary:
                        in.kind = Kind::kStored;
                        in.bytes = f.bytes;
                        return;
                    case ColumnType::kMemo:
                    case ColumnType::kOle: {
                        const bool memo = col.column_type() == ColumnType::kMemo;
                        if (salvage_) {
                            // A value must read whole before any of it goes
                            // out: a stream cannot be taken back halfway.
                            try {
                                if (long_value_length(f.bytes) > kStreamAbove) {
                                    read_long_value_chunks(file_, def_, f.bytes, page,
                                                           [](std::span<const std::uint8_t>) {});
                                } else {
                                    read_whole(f.bytes, page, memo, buf);
                                    in.kind = memo ? Kind::kUnits : Kind::kStored;
                                    in.bytes = buf;
                                    return;
                                }
                            } catch (const Error&) {
                                ++salvage_->values_nulled;
                                in.kind = Kind::kNull;
                                return;
                            }
                        }
                        if (long_value_length(f.bytes) > kStreamAbove) {
                            in.kind = Kind::kStream;
                            in.stream = [this, field = f.bytes, page, memo](const FieldInput::Sink& sink) {
                                stream_long_value(field, page, memo, sink);
                            };
                            return;
                        }
                        read_whole(f.bytes, page, memo, buf);
                        in.kind = memo ? Kind::kUnits : Kind::kStored;
                        in.bytes = buf;
                        return;
                    }
                    default:
                        break;
                }
                break;
            }
        }
        // Anything unusual (a fixed type stored as variable data) goes the
        // way of insert_row, with the same checks.
        values_[i] = decode_field(file_, def_, col, f, page);
        in.kind = Kind::kValue;
        in.value = &values_[i];
    }

    // The wrapper: 16 zero bytes, int32 length n, the n bytes of the
    // result, 3 zero bytes; a long value holding it for Memo results (and
    // Text results of no definition length).
    Bytes calculated_data(const Column& col, std::span<const std::uint8_t> field, std::uint32_t page,
                          Bytes& buf) {
        const auto result = static_cast<ColumnType>(col.calc_result_type != 0 ? col.calc_result_type : col.type);
        const bool long_value = col.is_long_value() || result == ColumnType::kMemo ||
                                (col.column_type() == ColumnType::kText && col.length == 0);
        std::span<const std::uint8_t> wrapped = field;
        if (long_value) {
            buf.clear();
            read_long_value_chunks(file_, def_, field, page, [&](std::span<const std::uint8_t> piece) {
                buf.insert(buf.end(), piece.begin(), piece.end());
            });
            wrapped = buf;
        }
        ByteReader r{wrapped, def_.name, page};
        const auto data = r.sub(20, r.u32(16));
        return Bytes(data.begin(), data.end());
    }

    void read_whole(std::span<const std::uint8_t> field, std::uint32_t page, bool memo, Bytes& buf) {
        buf.clear();
        if (memo) {
            Jet4TextUnits units;
            read_long_value_chunks(file_, def_, field, page,
                                   [&](std::span<const std::uint8_t> piece) { units.feed(piece, buf); });
            units.finish(buf);
        } else {
            read_long_value_chunks(file_, def_, field, page, [&](std::span<const std::uint8_t> piece) {
                buf.insert(buf.end(), piece.begin(), piece.end());
            });
        }
    }

    void stream_long_value(std::span<const std::uint8_t> field, std::uint32_t page, bool memo,
                           const FieldInput::Sink& sink) {
        if (!memo) {
            read_long_value_chunks(file_, def_, field, page, sink);
            return;
        }
        Jet4TextUnits units;
        Bytes& out = stream_buffer_;
        read_long_value_chunks(file_, def_, field, page, [&](std::span<const std::uint8_t> piece) {
            out.clear();
            units.feed(piece, out);
            if (!out.empty()) sink(out);
        });
        out.clear();
        units.finish(out);
        if (!out.empty()) sink(out);
    }

    PageFile& file_;
    const TableDef& def_;
    SalvageCounts* salvage_;
    std::vector<RawField> raw_;
    std::vector<FieldInput> inputs_;
    std::vector<Bytes> buffers_;  // per column: texts as UTF-16, long values read whole
    std::vector<Value> values_;   // per column: values decoded the slow way
    Bytes stream_buffer_;
};

}  // namespace

ColumnSpec column_spec(const Column& c, Format format, ColumnDesign design, std::string_view table,
                       FileVersion version) {
    // The types only ACE files have are the writer's to refuse for a file
    // that cannot hold them.
    const bool ace_type = c.type == static_cast<std::uint8_t>(ColumnType::kComplex) ||
                          c.type == static_cast<std::uint8_t>(ColumnType::kBigInt) ||
                          c.type == static_cast<std::uint8_t>(ColumnType::kDateTimeExt);
    if (!is_known_column_type(c.type) && !ace_type) {
        throw Error("Table '" + std::string(table) + "': column '" + c.name + "' has a data type (" +
                    column_type_name(c.type) + ") that cannot be copied.");
    }
    ColumnSpec s;
    s.name = c.name;
    s.type = c.column_type();
    switch (s.type) {
        case ColumnType::kText:
            s.size = static_cast<std::uint16_t>(c.display_size(format).value_or(255));
            if (s.size == 0 || s.size > 255) s.size = 255;
            break;
        case ColumnType::kBinary: {
            // An ACE file holds Binary columns of up to 510 bytes in any
            // table (Access's MSysCompactError.ErrorRecid); a Jet 4 one 255.
            const std::uint32_t most = is_ace(version) ? 510 : 255;
            const std::uint32_t size = c.display_size(format).value_or(255);
            s.size = static_cast<std::uint16_t>(size == 0 ? 255 : std::min(size, most));
            break;
        }
        case ColumnType::kNumeric:
            s.precision = c.precision ? c.precision : 18;
            s.scale = c.scale;
            break;
        default:
            break;
    }
    // Jet 4 compresses what it writes; a Jet 3 source had no such flag.
    s.compressed = format == Format::Jet3 || (c.misc_flags & 0x01) != 0;
    s.hyperlink = (c.flags & kColumnHyperlink) != 0 && s.type == ColumnType::kMemo;
    // What only ACE files have is part of the column itself, whatever the
    // design: a complex column's id (its values stay in the flat table the
    // id names), a calculated column's wrapper, result type and definition,
    // a fixed-size type kept in the variable area, the text sort order, the
    // other bits of the descriptor's extra flags.
    if (is_ace(version)) set_ace_design(s, c);
    if (design == ColumnDesign::kMakeTable) return s;

    // Jet 3 has no Replication ID autonumber: its 0x40 bit on other types
    // means something else and is not carried into a Jet 4 file.
    s.autonumber = (s.type == ColumnType::kLong && (c.flags & kColumnAutoLong)) ||
                   (s.type == ColumnType::kGuid && (c.flags & kColumnAutoGuid));
    s.required = (c.flags & kColumnNullable) == 0;
    s.fixed_length = s.type == ColumnType::kText && c.is_fixed();
    if (format == Format::Jet4) {
        s.extra_flags = static_cast<std::uint8_t>(
            c.flags & ~(kColumnFixed | kColumnNullable | kColumnAutoLong | kColumnAutoGuid |
                        kColumnHyperlink));
    }
    return s;
}

TableSpec make_table_spec(const TableDef& source, std::string_view target_name, FileVersion version) {
    TableSpec layout;
    layout.name = std::string(target_name);
    for (const Column& c : source.columns) {
        layout.columns.push_back(column_spec(c, source.format, ColumnDesign::kMakeTable, source.name, version));
    }
    // Complex value ids stay as the rows hold them; new ones continue after
    // the source's.
    layout.complex_autonumber = source.complex_autonumber;
    return layout;
}

TableHandle copy_table(Database& source, std::string_view source_table, DatabaseWriter& target,
                       std::string_view target_name) {
    TableDef def = source.table_def(source_table);
    // The new file's version decides what ACE design the columns keep.
    const FileVersion version =
        def.format == Format::Jet4 && is_ace(target.version()) ? target.version() : FileVersion::kJet4;
    TableHandle t = target.create_table(make_table_spec(def, target_name, version));
    copy_rows(source, def, target, t);
    return t;
}

std::uint64_t copy_rows(Database& source, const TableDef& def, DatabaseWriter& target,
                        TableHandle t, const std::function<void()>& after_row,
                        SalvageCounts* salvage) {
    std::uint64_t n = 0;
    auto failed = [&](const Error& e) {
        return Error("Copying row " + std::to_string(n + 1) + " of table '" + def.name + "': " +
                     e.what());
    };
    auto walk = [&](const RawRowVisitor& visit) {
        if (salvage) {
            salvage_table_bytes(source.file(), def, *salvage, visit);
        } else {
            scan_table_bytes(source.file(), def, visit);
        }
    };
    auto insert = [&](auto&& put) {
        try {
            put();
        } catch (const Error& e) {
            throw failed(e);
        }
        ++n;
        if (salvage) salvage->rows_copied = n;
        if (after_row) after_row();
    };
    if (salvage) salvage->rows_declared = def.row_count;
    if (def.format == Format::Jet4) {
        // Jet 4 to Jet 4: fields pass in their stored form.
        Jet4RowCopier copier(source.file(), def, salvage);
        walk([&](const RowId&, std::uint32_t page, std::span<const std::uint8_t> row) {
            const std::vector<FieldInput>* fields = nullptr;
            if (salvage) {
                try {
                    fields = &copier.fields(row, page);
                } catch (const Error&) {
                    ++salvage->rows_skipped;
                    return true;
                }
            } else {
                fields = &copier.fields(row, page);
            }
            insert([&] { target.insert_fields(t, *fields); });
            return true;
        });
        return n;
    }
    // Jet 3 texts are in a code page: they go through the decoded values.
    if (!salvage) {
        source.scan(def, [&](const RowId&, const Row& row) {
            insert([&] { target.insert_row(t, row); });
            return true;
        });
        return n;
    }
    std::vector<RawField> fields;
    Row values;
    walk([&](const RowId&, std::uint32_t page, std::span<const std::uint8_t> row) {
        values.clear();
        try {
            split_row(def, row, page, fields);
            for (std::size_t k = 0; k < def.columns.size(); ++k) {
                const Column& col = def.columns[k];
                const bool long_value = col.column_type() == ColumnType::kMemo ||
                                        col.column_type() == ColumnType::kOle;
                if (!long_value) {
                    values.push_back(decode_field(source.file(), def, col, fields[k], page));
                    continue;
                }
                try {
                    values.push_back(decode_field(source.file(), def, col, fields[k], page));
                } catch (const Error&) {
                    ++salvage->values_nulled;
                    values.push_back(Null{});
                }
            }
        } catch (const Error&) {
            ++salvage->rows_skipped;
            return true;
        }
        insert([&] { target.insert_row(t, values); });
        return true;
    });
    return n;
}

}  // namespace jet
