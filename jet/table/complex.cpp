// Complex columns: MSysComplexColumns, the flat tables, attachment data.
#include "jet/table/complex.h"

#include <zlib.h>

#include <cstring>
#include <limits>

#include "jet/base/error.h"
#include "jet/base/text.h"

namespace jet {
namespace {

std::optional<std::size_t> column_index(const TableDef& def, std::string_view name) {
    for (std::size_t i = 0; i < def.columns.size(); ++i)
        if (same_name(def.columns[i].name, name)) return i;
    return std::nullopt;
}

const CatalogEntry* entry_by_id(Database& db, std::int32_t id) {
    for (const CatalogEntry& e : db.catalog())
        if (e.id == id) return &e;
    return nullptr;
}

std::uint32_t u32_at(std::span<const std::uint8_t> b, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

}  // namespace

std::vector<ComplexColumnInfo> complex_columns(Database& db, std::string_view table) {
    std::vector<ComplexColumnInfo> out;
    const CatalogEntry* cc = db.find_table("MSysComplexColumns");
    if (!cc) return out;
    const TableDef def = db.table_def(*cc);
    const auto name = column_index(def, "ColumnName"), type = column_index(def, "ComplexTypeObjectID"),
               flat = column_index(def, "FlatTableID"), owner = column_index(def, "ConceptualTableID"),
               id = column_index(def, "ComplexID");
    if (!name || !type || !flat || !owner || !id) {
        throw_damaged("Damaged catalog: MSysComplexColumns lacks one of its columns", "MSysComplexColumns",
                      def.tdef_page);
    }
    for (const Row& row : db.read_all(def)) {
        ComplexColumnInfo c;
        c.column = text_or_empty(row[*name]);
        c.complex_id = static_cast<std::int32_t>(integer_or_zero(row[*id]));
        c.table_id = static_cast<std::int32_t>(integer_or_zero(row[*owner]));
        c.type_table_id = static_cast<std::int32_t>(integer_or_zero(row[*type]));
        c.flat_table_id = static_cast<std::int32_t>(integer_or_zero(row[*flat]));
        const CatalogEntry* t = entry_by_id(db, c.table_id);
        const CatalogEntry* tt = entry_by_id(db, c.type_table_id);
        const CatalogEntry* ft = entry_by_id(db, c.flat_table_id);
        if (!t || !tt || !ft) {
            throw_damaged("Damaged catalog: the complex column '" + c.column +
                              "' names a table the catalog does not have",
                          "MSysComplexColumns", def.tdef_page);
        }
        c.table = t->name;
        if (!table.empty() && !same_name(c.table, table)) continue;
        c.type_table = tt->name;
        c.flat_table = ft->name;
        if (same_name(c.type_table, "MSysComplexType_Attachment")) c.kind = ComplexKind::kAttachment;
        else if (c.type_table.starts_with("MSysComplexTypeVH_")) c.kind = ComplexKind::kVersionHistory;
        else c.kind = ComplexKind::kMultiValue;
        c.value_id_column = "_" + c.column;
        for (const Column& col : db.table_def(*tt).columns) c.value_columns.push_back(col.name);
        out.push_back(std::move(c));
    }
    return out;
}

std::vector<Row> read_complex_values(Database& db, const ComplexColumnInfo& column, std::int32_t value_id) {
    const TableDef flat = db.table_def(column.flat_table);
    const auto fk = column_index(flat, column.value_id_column);
    if (!fk) {
        throw_damaged("Damaged complex column: its flat table lacks the column '" + column.value_id_column + "'",
                      column.flat_table, flat.tdef_page);
    }
    std::vector<std::size_t> picks;
    for (const std::string& n : column.value_columns) {
        const auto k = column_index(flat, n);
        if (!k) {
            throw_damaged("Damaged complex column: its flat table lacks the value column '" + n + "'",
                          column.flat_table, flat.tdef_page);
        }
        picks.push_back(*k);
    }
    std::vector<Row> out;
    db.scan(flat, [&](const RowId&, const Row& row) {
        if (static_cast<std::int32_t>(integer_or_zero(row[*fk])) != value_id || is_null(row[*fk])) return true;
        Row values;
        for (std::size_t k : picks) values.push_back(row[k]);
        out.push_back(std::move(values));
        return true;
    });
    return out;
}

Bytes decode_attachment_data(std::span<const std::uint8_t> stored, std::string_view where, bool* compressed) {
    auto fail = [&](const std::string& what) -> Bytes {
        throw Error("Damaged attachment '" + std::string(where) + "': " + what);
    };
    if (stored.empty()) return {};
    if (stored.size() < 8) return fail("its data is shorter than its header");
    const std::uint32_t kind = u32_at(stored, 0);
    const std::uint32_t length = u32_at(stored, 4);
    if (kind > 1) return fail("unknown storage kind " + std::to_string(kind));
    // A decoded length no stored value reaches would only be a damaged field.
    if (length > (1u << 30)) return fail("implausible decoded length");
    Bytes content;
    const auto body = stored.subspan(8);
    if (kind == 1) {
        content.resize(length);
        z_stream z{};
        if (inflateInit(&z) != Z_OK) return fail("the decompressor did not start");
        z.next_in = const_cast<Bytef*>(body.data());
        z.avail_in = static_cast<uInt>(body.size());
        z.next_out = content.data();
        z.avail_out = static_cast<uInt>(content.size());
        const int rc = inflate(&z, Z_FINISH);
        const std::size_t produced = content.size() - z.avail_out;
        inflateEnd(&z);
        if (rc != Z_STREAM_END || produced != length) return fail("its compressed data does not decode");
    } else {
        if (body.size() < length) return fail("its data is shorter than its length");
        content.assign(body.begin(), body.begin() + length);
    }
    if (compressed) *compressed = kind == 1;
    if (content.size() < 12) return fail("its content is shorter than its header");
    const std::uint32_t header = u32_at(content, 0);
    if (header < 12 || header > content.size()) return fail("its header length lies outside its content");
    return Bytes(content.begin() + header, content.end());
}

std::vector<Attachment> read_attachments(Database& db, const ComplexColumnInfo& column, std::int32_t value_id) {
    std::vector<Attachment> out;
    auto at = [&](std::string_view n) -> std::size_t {
        for (std::size_t i = 0; i < column.value_columns.size(); ++i)
            if (same_name(column.value_columns[i], n)) return i;
        return column.value_columns.size();
    };
    const std::size_t url = at("FileURL"), name = at("FileName"), type = at("FileType"), data = at("FileData"),
                      stamp = at("FileTimeStamp"), flags = at("FileFlags");
    for (const Row& row : read_complex_values(db, column, value_id)) {
        Attachment a;
        auto cell = [&](std::size_t k) -> const Value* { return k < row.size() ? &row[k] : nullptr; };
        if (auto v = cell(url)) a.url = text_or_empty(*v);
        if (auto v = cell(name)) a.name = text_or_empty(*v);
        if (auto v = cell(type)) a.type = text_or_empty(*v);
        if (auto v = cell(stamp); v && std::holds_alternative<DateTime>(*v)) a.time_stamp = std::get<DateTime>(*v);
        if (auto v = cell(flags)) a.flags = static_cast<std::int32_t>(integer_or_zero(*v));
        if (auto v = cell(data); v && std::holds_alternative<Bytes>(*v))
            a.data = decode_attachment_data(std::get<Bytes>(*v), a.name, &a.compressed);
        out.push_back(std::move(a));
    }
    return out;
}

}  // namespace jet
