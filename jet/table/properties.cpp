// Decoding MSysObjects.LvProp: the property pool and the property sets.
#include "jet/table/properties.h"

#include <cstring>

#include "jet/base/error.h"
#include "jet/base/text.h"
#include "jet/page/file.h"
#include "jet/page/format.h"
#include "jet/table/rows.h"
#include "jet/table/table_def.h"
#include "jet/table/catalog.h"

namespace jet {

const Property* PropertySet::find(std::string_view name) const {
    for (const Property& p : properties)
        if (same_name(p.name, name)) return &p;
    return nullptr;
}

std::vector<PropertySet> parse_properties(std::span<const std::uint8_t> blob, Format format,
                                          std::string_view object) {
    std::vector<PropertySet> out;
    if (blob.empty()) return out;
    ByteReader r{blob, object, 0};
    const char* want = format == Format::Jet4 ? "MR2" : "KKD";
    if (blob.size() < 4 || std::memcmp(blob.data(), want, 4) != 0)
        r.fail("Damaged properties: the blob does not start with its signature");
    auto text = [&](std::span<const std::uint8_t> b) {
        return format == Format::Jet4 ? decode_jet4_text(b) : decode_codepage_text(b, 1252);
    };
    std::vector<std::string> names;
    std::size_t pos = 4;
    while (pos + 6 <= blob.size()) {
        const std::uint32_t length = r.u32(pos);
        const std::uint16_t kind = r.u16(pos + 4);
        if (length < 6 || length > blob.size() - pos) r.fail("Damaged properties: a block overruns the blob");
        const std::size_t end = pos + length;
        std::size_t p = pos + 6;
        if (kind == 0x80) {
            while (p + 2 <= end) {
                const std::uint16_t n = r.u16(p);
                if (p + 2 + n > end) r.fail("Damaged properties: a name overruns its block");
                names.push_back(text(r.sub(p + 2, n)));
                p += 2 + n;
            }
        } else if (kind <= 0x02) {
            PropertySet set;
            const std::uint32_t head = r.u32(p);
            if (head < 6 || p + head > end) r.fail("Damaged properties: a set's name overruns its block");
            const std::uint16_t n = r.u16(p + 4);
            if (6u + n > head) r.fail("Damaged properties: a set's name overruns its block");
            set.column = text(r.sub(p + 6, n));
            p += head;
            while (p + 8 <= end) {
                const std::uint16_t entry = r.u16(p);
                if (entry < 8 || p + entry > end) r.fail("Damaged properties: an entry overruns its block");
                Property prop;
                prop.type = r.u8(p + 3);
                const std::uint16_t index = r.u16(p + 4);
                const std::uint16_t size = r.u16(p + 6);
                if (8u + size > entry) r.fail("Damaged properties: a value overruns its entry");
                if (index < names.size()) prop.name = names[index];
                const auto v = r.sub(p + 8, size);
                prop.value.assign(v.begin(), v.end());
                set.properties.push_back(std::move(prop));
                p += entry;
            }
            out.push_back(std::move(set));
        }
        pos = end;
    }
    return out;
}

Bytes read_object_properties(PageFile& file, std::int32_t object_id) {
    const TableDef t = read_table_def(file, kCatalogTdefPage, "MSysObjects");
    const Column* id = t.find_column("Id");
    const Column* prop = t.find_column("LvProp");
    if (!id || !prop) return {};
    std::size_t id_at = 0, prop_at = 0;
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        if (&t.columns[i] == id) id_at = i;
        if (&t.columns[i] == prop) prop_at = i;
    }
    Bytes out;
    scan_table(file, t, [&](const RowId&, const Row& row) {
        const auto* v = std::get_if<std::int32_t>(&row[id_at]);
        if (!v || *v != object_id) return true;
        if (const auto* b = std::get_if<Bytes>(&row[prop_at])) out = *b;
        return false;
    });
    return out;
}

void apply_calculated_result_types(PageFile& file, std::int32_t object_id, TableDef& table) {
    bool any = false;
    for (const Column& c : table.columns) any = any || c.is_calculated();
    if (!any) return;
    // Properties that cannot be read (a damaged catalog, a damaged blob)
    // leave the TDEF types: the table's rows still read.
    std::vector<PropertySet> sets;
    try {
        sets = parse_properties(read_object_properties(file, object_id), table.format, table.name);
    } catch (const Error&) {
        return;
    }
    for (const PropertySet& set : sets) {
        if (set.column.empty()) continue;
        const Property* p = set.find("ResultType");
        if (!p || p->value.empty()) continue;
        for (Column& c : table.columns)
            if (c.is_calculated() && same_name(c.name, set.column)) c.calc_result_type = p->value[0];
    }
}

}  // namespace jet
