#include "jet/write/restore_objects.h"

#include <algorithm>
#include <map>
#include <optional>
#include <limits>
#include <set>

#include "jet/base/error.h"
#include "jet/base/text.h"
#include "jet/table/catalog.h"
#include "jet/table/database.h"
#include "jet/table/rows.h"
#include "jet/write/format.h"
#include "jet/write/writer.h"

namespace jet {

namespace {

constexpr std::int16_t kObjectRelationship = 8;
constexpr std::int32_t kContainerRoot = 0x0F000000;
// MSysRelationships.grbit: the relationship is not enforced (and so has no
// indexes in the tables' definitions).
constexpr std::int32_t kRelationNotEnforced = 0x00000002;

struct SourceRow {
    RowId id;
    Row values;
};

// A key for an object among its siblings.
std::pair<std::int32_t, std::string> sibling_key(std::int32_t parent, const std::string& name) {
    return {parent, fold_name(name)};
}

// The columns of Access's and ACE's own tables that hold catalog Ids:
// MSysComplexColumns names each complex column's table, template and flat
// table; the navigation pane lists objects by Id and puts them in groups.
std::vector<std::string_view> object_id_columns(std::string_view table) {
    if (same_name(table, "MSysComplexColumns")) return {"ConceptualTableID", "FlatTableID", "ComplexTypeObjectID"};
    if (same_name(table, "MSysNavPaneObjectIDs")) return {"Id"};
    if (same_name(table, "MSysNavPaneGroupToObjects") || same_name(table, "MSysNavPaneGroups")) return {"ObjectID"};
    return {};
}

bool is_access_table(const CatalogEntry& e) {
    const auto flags = static_cast<std::uint32_t>(e.flags);
    return e.type == kObjectTable && (flags & kFlagSystem) && !(flags & kFlagJetSystem);
}

std::string message_of(const std::exception& e) { return e.what(); }

std::uint32_t get_u32(std::span<const std::uint8_t> b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint16_t get_u16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
void put_u16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put_u32(Bytes& b, std::uint32_t v) {
    put_u16(b, static_cast<std::uint16_t>(v));
    put_u16(b, static_cast<std::uint16_t>(v >> 16));
}
void patch_u32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}
void patch_u16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

constexpr std::uint8_t kPropertyText = 0x0A;
constexpr std::uint8_t kPropertyMemo = 0x0C;
constexpr std::uint16_t kPropertyNames = 0x80;

// Code-page bytes as UTF-16 little-endian units.
Bytes widen(std::span<const std::uint8_t> bytes, unsigned code_page) {
    Bytes out;
    write::append_utf16le(decode_codepage_text(bytes, code_page), out);
    return out;
}

}  // namespace

// A document: a 4-byte mark ("KKD\0" in Jet 3, "MR2\0" in Jet 4), then
// chunks of a 32-bit length (itself included) and a 16-bit type. Chunk
// 0x80 lists the property names (16-bit length, bytes); chunks 0, 1 and 2
// hold the properties of one object or column: a 32-bit header length, the
// object's name (16-bit length, bytes), then entries of a 16-bit length
// (itself included), a flag byte, a data type, the name's number in the
// list and the data (16-bit length, bytes). Only names and the data of text
// properties change between the two forms; lengths follow them.
std::vector<std::uint8_t> jet3_properties_to_jet4(std::span<const std::uint8_t> doc,
                                                  unsigned code_page) {
    const Bytes unchanged(doc.begin(), doc.end());
    if (doc.size() < 4 || doc[0] != 'K' || doc[1] != 'K' || doc[2] != 'D' || doc[3] != 0) {
        return unchanged;
    }
    Bytes out{'M', 'R', '2', 0};
    std::size_t pos = 4;
    while (pos < doc.size()) {
        if (doc.size() - pos < 6) return unchanged;
        const std::uint32_t len = get_u32(doc, pos);
        const std::uint16_t type = get_u16(doc, pos + 4);
        if (len < 6 || len > doc.size() - pos) return unchanged;
        const std::span<const std::uint8_t> chunk = doc.subspan(pos, len);
        const std::size_t start = out.size();
        put_u32(out, 0);
        put_u16(out, type);
        if (type == kPropertyNames) {
            std::size_t p = 6;
            while (p < chunk.size()) {
                if (chunk.size() - p < 2) return unchanged;
                const std::uint16_t n = get_u16(chunk, p);
                if (n > chunk.size() - p - 2) return unchanged;
                Bytes name = widen(chunk.subspan(p + 2, n), code_page);
                put_u16(out, static_cast<std::uint16_t>(name.size()));
                out.insert(out.end(), name.begin(), name.end());
                p += 2 + n;
            }
        } else if (type <= 2) {
            if (chunk.size() < 12) return unchanged;
            const std::uint32_t header = get_u32(chunk, 6);
            const std::uint16_t n = get_u16(chunk, 10);
            if (header < 6 || header > chunk.size() - 6 || n > header - 6) return unchanged;
            Bytes name = widen(chunk.subspan(12, n), code_page);
            put_u32(out, static_cast<std::uint32_t>(6 + name.size()));
            put_u16(out, static_cast<std::uint16_t>(name.size()));
            out.insert(out.end(), name.begin(), name.end());
            std::size_t p = 6 + header;
            while (p < chunk.size()) {
                if (chunk.size() - p < 8) return unchanged;
                const std::uint16_t elen = get_u16(chunk, p);
                if (elen < 8 || elen > chunk.size() - p) return unchanged;
                const std::uint8_t data_type = chunk[p + 3];
                const std::uint16_t size = get_u16(chunk, p + 6);
                if (size > elen - 8) return unchanged;
                auto data = chunk.subspan(p + 8, size);
                Bytes value = data_type == kPropertyText || data_type == kPropertyMemo
                                  ? widen(data, code_page)
                                  : Bytes(data.begin(), data.end());
                const std::size_t at = out.size();
                put_u16(out, 0);
                out.push_back(chunk[p + 2]);
                out.push_back(data_type);
                put_u16(out, get_u16(chunk, p + 4));
                put_u16(out, static_cast<std::uint16_t>(value.size()));
                out.insert(out.end(), value.begin(), value.end());
                patch_u16(out, at, static_cast<std::uint16_t>(out.size() - at));
                p += elen;
            }
        } else {
            out.insert(out.end(), chunk.begin() + 6, chunk.end());
        }
        patch_u32(out, start, static_cast<std::uint32_t>(out.size() - start));
        pos += len;
    }
    return out;
}

namespace {
struct CarriedTable;
}  // namespace

struct ObjectRestorer::State {
    std::unique_ptr<Database> source;
    std::unique_ptr<Database> target_read;  // the target as the earlier steps left it
    std::unique_ptr<DatabaseWriter> writer;
    std::string target_path;

    std::vector<CatalogEntry> source_catalog;
    std::map<std::int32_t, Row> source_catalog_rows;  // by Id
    TableDef source_catalog_def;
    std::map<std::int32_t, RowId> target_catalog_rows;  // by Id, before this run
    std::map<std::int32_t, Row> target_catalog_values;
    TableDef target_catalog_def;

    // Source Id -> target Id of every object that is (or will be) in the
    // target; Ids not in the map stay as they are.
    std::map<std::int32_t, std::int32_t> id_map;
    std::set<std::int32_t> target_ids;     // Ids the target uses
    std::set<std::int32_t> matched;        // source Ids of objects the target had already
    std::set<std::int32_t> added;          // source Ids of objects this run added
    std::int32_t next_free_id = 0;

    // A source's property document as the target keeps it.
    void convert_properties(Value& v) const {
        if (source->format() != Format::Jet3) return;
        if (auto p = std::get_if<Bytes>(&v)) {
            unsigned cp = source->header().code_page;
            v = jet3_properties_to_jet4(*p, cp ? cp : 1252);
        }
    }

    // A table of the engine's own that only ACE files have (the target
    // has the catalog tables they share with Jet 4 already).
    bool ace_system_table(const CatalogEntry& e) const {
        // The new file's version: a source whose header was rebuilt says Jet 4.
        return writer && is_ace(writer->version()) && e.type == kObjectTable &&
               (static_cast<std::uint32_t>(e.flags) & kFlagJetSystem) != 0;
    }

    std::int32_t map_id(std::int32_t id) const {
        auto it = id_map.find(id);
        return it == id_map.end() ? id : it->second;
    }

    // Source rows of a table by name (empty when the source has none).
    std::pair<TableDef, std::vector<SourceRow>> source_rows(std::string_view name) {
        std::pair<TableDef, std::vector<SourceRow>> out;
        const CatalogEntry* e = source->find_table(name);
        if (!e) return out;
        out.first = source->table_def(*e);
        source->scan(out.first, [&](const RowId& id, const Row& row) {
            out.second.push_back(SourceRow{id, row});
            return true;
        });
        return out;
    }

    // A source row in the target table's column order, by column name;
    // `fix` adjusts a value by target column name.
    std::vector<Value> convert(const TableDef& from, const Row& row, const TableSpec& to,
                               const std::function<void(const std::string&, Value&)>& fix = {}) {
        std::vector<Value> out(to.columns.size(), Null{});
        for (std::size_t i = 0; i < to.columns.size(); ++i) {
            for (std::size_t k = 0; k < from.columns.size() && k < row.size(); ++k) {
                if (same_name(from.columns[k].name, to.columns[i].name)) out[i] = row[k];
            }
            if (fix) fix(to.columns[i].name, out[i]);
        }
        return out;
    }

    // Inserts a source catalog row into the target with its Id and ParentId
    // renumbered; the object is in the target from then on.
    void insert_catalog_row(const CatalogEntry& e) {
        auto it = source_catalog_rows.find(e.id);
        if (it == source_catalog_rows.end()) throw Error("its catalog row does not read");
        TableHandle cat = writer->table("MSysObjects");
        auto values = convert(source_catalog_def, it->second, writer->table_spec(cat),
                              [&](const std::string& c, Value& v) {
                                  if (c == "Id") v = map_id(e.id);
                                  else if (c == "ParentId") v = map_id(e.parent_id);
                                  else if (c == "LvProp") convert_properties(v);
                              });
        writer->insert_row(cat, values);
        added.insert(e.id);
        target_ids.insert(map_id(e.id));
    }

    bool parent_present(const CatalogEntry& e) const {
        const std::int32_t parent = map_id(e.parent_id);
        return target_ids.count(parent) != 0;
    }

    bool has_aces(std::int32_t source_id) const {
        for (const auto& r : source_aces) {
            for (std::size_t k = 0; k < source_aces_def.columns.size() && k < r.values.size(); ++k) {
                if (source_aces_def.columns[k].name != "ObjectId") continue;
                if (auto p = std::get_if<std::int32_t>(&r.values[k]); p && *p == source_id) return true;
            }
        }
        return false;
    }

    void copy_aces(std::int32_t source_id) {
        if (!source->find_table("MSysACEs")) return;
        const std::int32_t to = map_id(source_id);
        if (aces_of_target.count(to)) return;
        TableHandle h = writer->table("MSysACEs");
        for (const auto& r : source_aces) {
            std::int32_t object = 0;
            bool mine = false;
            for (std::size_t k = 0; k < source_aces_def.columns.size(); ++k) {
                if (source_aces_def.columns[k].name == "ObjectId") {
                    if (auto p = std::get_if<std::int32_t>(&r.values[k])) {
                        object = *p;
                        mine = object == source_id;
                    }
                }
            }
            if (!mine) continue;
            writer->insert_row(h, convert(source_aces_def, r.values, writer->table_spec(h),
                                          [&](const std::string& c, Value& v) {
                                              if (c == "ObjectId") v = to;
                                          }));
        }
        aces_of_target.insert(to);
    }

    void fill_carried(const CarriedTable& m);

    TableDef source_aces_def;
    std::vector<SourceRow> source_aces;
    std::set<std::int32_t> aces_of_target;
};

ObjectRestorer::ObjectRestorer(const std::string& source, std::string_view source_password,
                               const std::string& target, std::string_view target_password)
    : s_(std::make_unique<State>()) {
    State& s = *s_;
    // A source whose header had to be rebuilt still has its objects (an
    // ACE file's complex values among them): it is read as the copy read it.
    s.source = Database::open(source, source_password, true);
    s.target_read = Database::open(target, target_password);
    s.target_path = target;
    s.source_catalog = s.source->catalog();

    s.source_catalog_def = s.source->table_def("MSysObjects");
    auto id_column = [](const TableDef& def) {
        for (std::size_t k = 0; k < def.columns.size(); ++k) {
            if (def.columns[k].name == "Id") return k;
        }
        throw Error("MSysObjects has no Id column");
    };
    const std::size_t sid = id_column(s.source_catalog_def);
    s.source->scan(s.source_catalog_def, [&](const RowId&, const Row& row) {
        if (auto p = std::get_if<std::int32_t>(&row[sid])) s.source_catalog_rows[*p] = row;
        return true;
    });
    s.target_catalog_def = s.target_read->table_def("MSysObjects");
    const std::size_t tid = id_column(s.target_catalog_def);
    s.target_read->scan(s.target_catalog_def, [&](const RowId& at, const Row& row) {
        if (auto p = std::get_if<std::int32_t>(&row[tid])) {
            s.target_catalog_rows[*p] = at;
            s.target_catalog_values[*p] = row;
        }
        return true;
    });
    if (s.source->find_table("MSysACEs")) {
        auto def_and_rows = s.source_rows("MSysACEs");
        auto& def = def_and_rows.first;  // named, not bound: lambdas capture them
        auto& rows = def_and_rows.second;
        s.source_aces_def = std::move(def);
        s.source_aces = std::move(rows);
    }
    // The objects both files have: matched by parent and name, the tables
    // among them renumbered to the target's Ids.
    std::map<std::pair<std::int32_t, std::string>, const CatalogEntry*> in_target;
    for (const CatalogEntry& e : s.target_read->catalog()) {
        in_target[sibling_key(e.parent_id, e.name)] = &e;
        s.target_ids.insert(e.id);
    }
    // The root the containers hang from is no row of its own.
    s.target_ids.insert(kContainerRoot);
    // Parents before children: the catalog's own rows come first in both,
    // and an object's parent is a container, so two passes settle it.
    for (int pass = 0; pass < 2; ++pass) {
        for (const CatalogEntry& e : s.source_catalog) {
            auto it = in_target.find(sibling_key(s.map_id(e.parent_id), e.name));
            if (it == in_target.end() || it->second->type != e.type) continue;
            s.matched.insert(e.id);
            if (e.id != it->second->id) s.id_map[e.id] = it->second->id;
        }
    }
    // Objects to add keep their Id unless the target uses it for another.
    std::int32_t highest = std::numeric_limits<std::int32_t>::min();
    for (const CatalogEntry& e : s.source_catalog) {
        if (e.id < 0) highest = std::max(highest, e.id);
    }
    for (std::int32_t id : s.target_ids) {
        if (id < 0) highest = std::max(highest, id);
    }
    s.next_free_id = highest + 1;
    for (const CatalogEntry& e : s.source_catalog) {
        if (s.matched.count(e.id) || e.type == kObjectTable) continue;
        if (s.target_ids.count(e.id)) s.id_map[e.id] = s.next_free_id++;
    }

    // The reader above has read what the writer will change: the row
    // positions it found are those the writer starts from.
    s.writer = DatabaseWriter::open(target, target_password);
    {
        auto def = s.target_read->table_def("MSysACEs");
        std::size_t oc = def.columns.size();
        for (std::size_t k = 0; k < def.columns.size(); ++k) {
            if (def.columns[k].name == "ObjectId") oc = k;
        }
        std::vector<std::pair<std::int32_t, RowId>> rows;
        s.target_read->scan(def, [&](const RowId& id, const Row& row) {
            if (oc < row.size()) {
                if (auto p = std::get_if<std::int32_t>(&row[oc])) rows.emplace_back(*p, id);
            }
            return true;
        });
        // The rights a new file was created with give way to the source's
        // for the objects both have (the catalog tables, the containers),
        // where the source has rights of its own for them.
        std::set<std::int32_t> sourced;
        for (const CatalogEntry& e : s.source_catalog) {
            if (s.matched.count(e.id) && s.has_aces(e.id)) sourced.insert(s.map_id(e.id));
        }
        TableHandle h = s.writer->table("MSysACEs");
        for (const auto& [object, id] : rows) {
            if (sourced.count(object)) {
                s.writer->delete_row(h, id);
            } else {
                s.aces_of_target.insert(object);
            }
        }
    }
}

ObjectRestorer::~ObjectRestorer() = default;

std::int32_t ObjectRestorer::target_id(std::int32_t source_id) const { return s_->map_id(source_id); }

std::vector<RestoreFailure> ObjectRestorer::complex_data() {
    std::vector<RestoreFailure> failures;
    carry_tables(true, failures);
    return failures;
}

namespace {

// A table of Access's or ACE's made in the target, to be filled once every
// such table has its new Id.
struct CarriedTable {
    const CatalogEntry* entry;
    TableDef def;
    TableSpec table_layout;
    std::int32_t new_id;
};

// The layout of a source table of Access's or ACE's in the target.
TableSpec carried_layout(const std::string& name, const TableDef& def, bool ace_target) {
    TableSpec table_layout;
    table_layout.name = name;
    for (const Column& c : def.columns) {
        ColumnSpec cs;
        cs.name = c.name;
        cs.type = c.column_type();
        if (auto size = c.display_size(def.format)) cs.size = static_cast<std::uint16_t>(*size);
        if (!is_known_column_type(c.type) && c.is_fixed()) cs.size = c.length;
        cs.precision = c.precision ? c.precision : 18;
        cs.scale = c.scale;
        // A complex column has the counter bit too: its ids are numbered
        // by the table, not by the column.
        cs.autonumber = c.is_autonumber() && (cs.type == ColumnType::kLong || cs.type == ColumnType::kGuid);
        cs.compressed = def.format == Format::Jet4 ? (c.misc_flags & 0x01) != 0 : true;
        cs.hyperlink = c.flags & kColumnHyperlink;
        cs.required = !(c.flags & kColumnNullable);
        // ACE's tables: complex columns (MSysResources.Data) keep
        // their ids, flat-table columns their extra flags.
        if (def.format == Format::Jet4 && ace_target) set_ace_design(cs, c);
        table_layout.columns.push_back(std::move(cs));
    }
    table_layout.complex_autonumber = def.complex_autonumber;
    return table_layout;
}

// The indexes of such a table, one per real index; a relationship's index
// is not among Access's tables.
std::vector<IndexSpec> carried_indexes(const TableDef& def) {
    std::vector<IndexSpec> out;
    for (const Index& ix : def.indexes) {
        if (ix.foreign_key()) continue;
        if (ix.real_index >= def.real_indexes.size()) continue;
        bool first = true;
        for (const Index& other : def.indexes) {
            if (&other == &ix) break;
            if (other.real_index == ix.real_index && !other.foreign_key()) first = false;
        }
        if (!first) continue;
        IndexSpec is;
        is.name = ix.name;
        for (const IndexColumn& ic : ix.columns) {
            is.columns.push_back(IndexColumnSpec{def.columns[ic.column].name, ic.descending});
        }
        is.primary_key = ix.primary_key();
        is.unique = ix.unique();
        is.ignore_nulls = ix.ignore_nulls();
        is.required = ix.required();
        out.push_back(std::move(is));
    }
    return out;
}

}  // namespace

void ObjectRestorer::carry_tables(bool complex_only, std::vector<RestoreFailure>& failures) {
    State& s = *s_;
    // ACE's own tables (MSysComplexColumns, the MSysComplexType_* templates,
    // the flat tables of complex columns), and Access's tables, or of those
    // only the ones with complex columns (MSysResources).
    auto has_complex_column = [&](const CatalogEntry& e) {
        try {
            for (const Column& c : s.source->table_def(e).columns) {
                if (c.column_type() == ColumnType::kComplex) return true;
            }
        } catch (const std::exception&) {
        }
        return false;
    };
    std::vector<const CatalogEntry*> tables;
    for (const CatalogEntry& e : s.source_catalog) {
        if (s.matched.count(e.id) || s.added.count(e.id)) continue;
        const bool access = is_access_table(e) && (!complex_only || has_complex_column(e));
        if (access || s.ace_system_table(e)) tables.push_back(&e);
    }
    // Every table first, so that each has its new Id before any row that
    // names it is written (the navigation pane's tables name one another).
    std::vector<CarriedTable> created;
    auto drop = [&](const CatalogEntry& e) {
        // Half a table of Access's, under a catalog row that does not yet
        // say it is Access's, would pass for a user table.
        try {
            s.writer->drop_table(s.writer->table(e.name));
        } catch (const std::exception&) {
        }
        s.id_map.erase(e.id);
    };
    for (const CatalogEntry* table : tables) {
        const CatalogEntry& e = *table;
        bool made = false;
        try {
            TableDef def = s.source->table_def(e);
            TableSpec table_layout = carried_layout(e.name, def, is_ace(s.writer->version()));
            TableHandle h = s.writer->create_table(table_layout);
            made = true;
            const std::int32_t new_id = s.writer->table_id(h);
            s.id_map[e.id] = new_id;
            s.target_ids.insert(new_id);
            created.push_back(CarriedTable{&e, std::move(def), std::move(table_layout), new_id});
        } catch (const std::exception& err) {
            failures.push_back({e.name, message_of(err)});
            if (made) drop(e);
        }
    }
    for (const CarriedTable& m : created) {
        try {
            s.fill_carried(m);
        } catch (const std::exception& err) {
            failures.push_back({m.entry->name, message_of(err)});
            drop(*m.entry);
        }
    }
}

// A carried table's rows, its indexes (after the rows, built in one pass)
// and its catalog row as the source has it (flags, properties), under the
// Id of its new definition.
void ObjectRestorer::State::fill_carried(const CarriedTable& m) {
    const CatalogEntry& e = *m.entry;
    const TableDef& def = m.def;
    const std::vector<std::string_view> id_columns = object_id_columns(e.name);
    // Handles move when a table is dropped: by name.
    const TableHandle h = writer->table(e.name);
    // Table Ids are definition pages: the tables that name objects by Id
    // name them by their new Ids.
    auto renumber = [&](const std::string& c, Value& v) {
        if (std::find(id_columns.begin(), id_columns.end(), c) == id_columns.end()) return;
        if (auto p = std::get_if<std::int32_t>(&v)) v = map_id(*p);
    };
    source->scan(def, [&](const RowId&, const Row& row) {
        writer->insert_row(h, convert(def, row, m.table_layout, renumber));
        return true;
    });
    for (const IndexSpec& is : carried_indexes(def)) writer->create_index(h, is);
    if (writer->table_id(h) != m.new_id) throw Error("the new table changed its Id");
    auto at = writer->catalog_row(m.new_id);
    if (!at) throw Error("the new table has no catalog row");
    TableHandle cat = writer->table("MSysObjects");
    auto it = source_catalog_rows.find(e.id);
    if (it != source_catalog_rows.end()) {
        auto values = convert(source_catalog_def, it->second, writer->table_spec(cat),
                              [&](const std::string& c, Value& v) {
                                  if (c == "Id") v = m.new_id;
                                  else if (c == "ParentId") v = map_id(e.parent_id);
                                  else if (c == "LvProp") convert_properties(v);
                              });
        writer->update_row(cat, *at, values);
    }
    added.insert(e.id);
    copy_aces(e.id);
}

std::vector<RestoreFailure> ObjectRestorer::access_objects() {
    State& s = *s_;
    std::vector<RestoreFailure> failures;
    // Access's tables first: the documents' rows point into them.
    carry_tables(false, failures);
    // The objects both files have (the copied tables, the catalog tables,
    // the containers) get their source's access rights; those the source
    // has none for keep the new file's.
    for (const CatalogEntry& e : s.source_catalog) {
        if (!s.matched.count(e.id)) continue;
        try {
            s.copy_aces(e.id);
        } catch (const std::exception& err) {
            failures.push_back({e.name, message_of(err)});
        }
    }
    // Containers and documents: every other object that is neither a
    // table, a query, a link nor a relationship, parents first.
    bool progress = true;
    std::set<std::int32_t> tried;
    while (progress) {
        progress = false;
        for (const CatalogEntry& e : s.source_catalog) {
            if (s.matched.count(e.id) || s.added.count(e.id) || tried.count(e.id)) continue;
            if (e.type == kObjectTable || e.type == kObjectQuery || e.type == kObjectLinkedJet ||
                e.type == kObjectLinkedOdbc || e.type == kObjectRelationship) {
                continue;
            }
            if (!s.parent_present(e)) continue;
            tried.insert(e.id);
            progress = true;
            try {
                s.insert_catalog_row(e);
                s.copy_aces(e.id);
            } catch (const std::exception& err) {
                failures.push_back({e.name, message_of(err)});
            }
        }
    }
    for (const CatalogEntry& e : s.source_catalog) {
        if (s.matched.count(e.id) || s.added.count(e.id) || tried.count(e.id)) continue;
        if (e.type == kObjectTable || e.type == kObjectQuery || e.type == kObjectLinkedJet ||
            e.type == kObjectLinkedOdbc || e.type == kObjectRelationship) {
            continue;
        }
        failures.push_back({e.name, "its parent object is missing"});
    }
    return failures;
}

std::vector<RestoreFailure> ObjectRestorer::queries(const EachObject& each) {
    State& s = *s_;
    std::vector<RestoreFailure> failures;
    auto qdef_and_qrows = s.source_rows("MSysQueries");
    auto& qdef = qdef_and_qrows.first;  // named, not bound: lambdas capture them
    auto& qrows = qdef_and_qrows.second;
    std::size_t object_column = qdef.columns.size();
    for (std::size_t k = 0; k < qdef.columns.size(); ++k) {
        if (qdef.columns[k].name == "ObjectId") object_column = k;
    }
    TableHandle h = s.writer->table("MSysQueries");
    for (const CatalogEntry& e : s.source_catalog) {
        if (e.type != kObjectQuery || s.matched.count(e.id) || s.added.count(e.id)) continue;
        if (each) each(e.name);
        try {
            s.insert_catalog_row(e);
            const std::int32_t to = s.map_id(e.id);
            for (const SourceRow& r : qrows) {
                if (object_column >= r.values.size()) continue;
                auto p = std::get_if<std::int32_t>(&r.values[object_column]);
                if (!p || *p != e.id) continue;
                s.writer->insert_row(h, s.convert(qdef, r.values, s.writer->table_spec(h),
                                                  [&](const std::string& c, Value& v) {
                                                      if (c == "ObjectId") v = to;
                                                  }));
            }
            s.copy_aces(e.id);
        } catch (const std::exception& err) {
            failures.push_back({e.name, message_of(err)});
        }
    }
    return failures;
}

std::vector<RestoreFailure> ObjectRestorer::linked_tables(const EachObject& each) {
    State& s = *s_;
    std::vector<RestoreFailure> failures;
    for (const CatalogEntry& e : s.source_catalog) {
        if ((e.type != kObjectLinkedJet && e.type != kObjectLinkedOdbc) || s.matched.count(e.id) ||
            s.added.count(e.id)) {
            continue;
        }
        if (each) each(e.name);
        try {
            s.insert_catalog_row(e);
            s.copy_aces(e.id);
        } catch (const std::exception& err) {
            failures.push_back({e.name, message_of(err)});
        }
    }
    return failures;
}

namespace {

// A row's value of COLUMN as T, or T{} when it has none of that type.
template <typename T>
T value_of(const TableDef& def, const SourceRow& r, std::string_view column) {
    for (std::size_t k = 0; k < def.columns.size() && k < r.values.size(); ++k) {
        if (def.columns[k].name == column) {
            if (auto p = std::get_if<T>(&r.values[k])) return *p;
        }
    }
    return T{};
}

// One side of an enforced relationship as the writer adds it.
RelationshipIndexSpec relationship_side(const TableDef& def, const Index& ix, bool referenced_side,
                                        const std::string& other_table, const Index& other) {
    RelationshipIndexSpec r;
    r.name = ix.name;
    for (const IndexColumn& ic : ix.columns) {
        r.columns.push_back(IndexColumnSpec{def.columns[ic.column].name, ic.descending});
    }
    r.referenced_side = referenced_side;
    r.other_table = other_table;
    r.other_index = other.name;
    r.cascade_updates = ix.cascade_updates;
    r.cascade_deletes = ix.cascade_deletes;
    r.unique = ix.unique();
    r.ignore_nulls = ix.ignore_nulls();
    r.required = ix.required();
    return r;
}

// The logical index of each side of relationship NAME in the source's
// definitions (foreign side first): by the relationship's name on the
// foreign side, else the first one pointing at the referenced table, and
// by its link back on the referenced side.
std::pair<const Index*, const Index*> relationship_indexes(const TableDef& fdef, const TableDef& pdef,
                                                           const std::string& name,
                                                           const std::string& referenced) {
    const Index* fix = nullptr;
    for (const Index& ix : fdef.indexes) {
        if (ix.foreign_key() && ix.rel_table_type == kRelationForeign &&
            ix.rel_table_page == pdef.tdef_page && same_name(ix.name, name)) {
            fix = &ix;
        }
    }
    if (!fix) {
        for (const Index& ix : fdef.indexes) {
            if (ix.foreign_key() && ix.rel_table_type == kRelationForeign &&
                ix.rel_table_page == pdef.tdef_page && !fix) {
                fix = &ix;
            }
        }
    }
    if (!fix) throw Error("the source has no index for it");
    const Index* pix = nullptr;
    for (const Index& ix : pdef.indexes) {
        if (ix.foreign_key() && ix.rel_table_page == fdef.tdef_page &&
            ix.index_number == static_cast<std::uint32_t>(fix->rel_index_number)) {
            pix = &ix;
        }
    }
    if (!pix) throw Error("the source has no index for it on '" + referenced + "'");
    return {fix, pix};
}

}  // namespace

std::vector<RestoreFailure> ObjectRestorer::relationships() {
    State& s = *s_;
    std::vector<RestoreFailure> failures;
    auto rdef_and_rrows = s.source_rows("MSysRelationships");
    auto& rdef = rdef_and_rrows.first;  // named, not bound: lambdas capture them
    auto& rrows = rdef_and_rrows.second;
    auto text = [&](const SourceRow& r, std::string_view column) {
        return value_of<std::string>(rdef, r, column);
    };
    auto number = [&](const SourceRow& r, std::string_view column) {
        return value_of<std::int32_t>(rdef, r, column);
    };
    std::set<std::string> names;
    for (const SourceRow& r : rrows) names.insert(text(r, "szRelationship"));

    // Each relationship's logical indexes, as the source's definitions have
    // them: both sides name each other by table page and index number.
    std::map<std::uint32_t, TableDef> defs;
    for (const CatalogEntry& e : s.source_catalog) {
        if (e.type == kObjectTable && !(static_cast<std::uint32_t>(e.flags) & kFlagJetSystem)) {
            try {
                defs[e.tdef_page()] = s.source->table_def(e);
            } catch (const std::exception&) {
            }
        }
    }
    auto find_def = [&](const std::string& table) -> const TableDef* {
        for (const auto& [page, def] : defs) {
            if (same_name(def.name, table)) return &def;
        }
        return nullptr;
    };

    TableHandle rh = s.writer->table("MSysRelationships");
    for (const std::string& name : names) {
        std::vector<const SourceRow*> rows;
        for (const SourceRow& r : rrows) {
            if (text(r, "szRelationship") == name) rows.push_back(&r);
        }
        std::sort(rows.begin(), rows.end(), [&](const SourceRow* a, const SourceRow* b) {
            return number(*a, "icolumn") < number(*b, "icolumn");
        });
        const std::string foreign = text(*rows.front(), "szObject");
        const std::string referenced = text(*rows.front(), "szReferencedObject");
        const std::int32_t grbit = number(*rows.front(), "grbit");
        try {
            std::vector<std::string> names_in_target = s.writer->table_names();
            auto present = [&](const std::string& t) {
                return std::any_of(names_in_target.begin(), names_in_target.end(),
                                   [&](const std::string& n) { return same_name(n, t); });
            };
            if (!present(foreign) || !present(referenced)) {
                throw Error("table '" + (present(foreign) ? referenced : foreign) +
                            "' is not in the new database");
            }
            if (!(grbit & kRelationNotEnforced)) {
                const TableDef* fdef = find_def(foreign);
                const TableDef* pdef = find_def(referenced);
                if (!fdef || !pdef) throw Error("its tables' definitions do not read");
                const auto [fix, pix] = relationship_indexes(*fdef, *pdef, name, referenced);
                s.writer->add_relationship_index(s.writer->table(referenced),
                                                 relationship_side(*pdef, *pix, true, foreign, *fix));
                s.writer->add_relationship_index(s.writer->table(foreign),
                                                 relationship_side(*fdef, *fix, false, referenced, *pix));
            }
            for (const SourceRow* r : rows) {
                s.writer->insert_row(rh, s.convert(rdef, r->values, s.writer->table_spec(rh)));
            }
            for (const CatalogEntry& e : s.source_catalog) {
                if (e.type == kObjectRelationship && same_name(e.name, name) &&
                    !s.matched.count(e.id) && !s.added.count(e.id)) {
                    s.insert_catalog_row(e);
                    s.copy_aces(e.id);
                }
            }
        } catch (const std::exception& err) {
            failures.push_back({name, message_of(err)});
        }
    }
    return failures;
}

std::vector<RestoreFailure> ObjectRestorer::properties() {
    State& s = *s_;
    std::vector<RestoreFailure> failures;
    TableHandle cat = s.writer->table("MSysObjects");
    const TableSpec& catalog_layout = s.writer->table_spec(cat);
    std::size_t lv_source = s.source_catalog_def.columns.size();
    for (std::size_t k = 0; k < s.source_catalog_def.columns.size(); ++k) {
        if (s.source_catalog_def.columns[k].name == "LvProp") lv_source = k;
    }
    std::size_t lv_target = s.target_catalog_def.columns.size();
    for (std::size_t k = 0; k < s.target_catalog_def.columns.size(); ++k) {
        if (s.target_catalog_def.columns[k].name == "LvProp") lv_target = k;
    }
    if (lv_source == s.source_catalog_def.columns.size() ||
        lv_target == s.target_catalog_def.columns.size()) {
        return failures;
    }
    auto column_of = [](const TableDef& def, std::string_view name) {
        for (std::size_t k = 0; k < def.columns.size(); ++k) {
            if (def.columns[k].name == name) return k;
        }
        return def.columns.size();
    };
    const std::size_t flags_source = column_of(s.source_catalog_def, "Flags");
    const std::size_t flags_target = column_of(s.target_catalog_def, "Flags");
    const bool ace = is_ace(s.writer->version());
    for (const CatalogEntry& e : s.source_catalog) {
        if (!s.matched.count(e.id)) continue;  // added objects came with theirs
        auto src = s.source_catalog_rows.find(e.id);
        if (src == s.source_catalog_rows.end() || lv_source >= src->second.size()) continue;
        const Value& prop = src->second[lv_source];
        // An ACE user table's catalog flags say what Access makes of it
        // (0x40000: it has complex columns); the copy made them anew.
        const bool user_table = e.type == kObjectTable &&
                                !(static_cast<std::uint32_t>(e.flags) & (kFlagSystem | kFlagJetSystem));
        const bool flags_too = ace && user_table && e.flags != 0 &&
                               flags_source < src->second.size() &&
                               flags_target < s.target_catalog_def.columns.size();
        if (std::holds_alternative<Null>(prop) && !flags_too) continue;
        const std::int32_t to = s.map_id(e.id);
        try {
            auto at = s.target_catalog_rows.find(to);
            auto values = s.target_catalog_values.find(to);
            if (at == s.target_catalog_rows.end() || values == s.target_catalog_values.end()) {
                throw Error("the new database has no catalog row for it");
            }
            Row row = values->second;
            if (!std::holds_alternative<Null>(prop)) {
                row[lv_target] = prop;
                s.convert_properties(row[lv_target]);
            }
            if (flags_too && flags_target < row.size()) row[flags_target] = src->second[flags_source];
            auto out = s.convert(s.target_catalog_def, row, catalog_layout);
            s.writer->update_row(cat, at->second, out);
        } catch (const std::exception& err) {
            failures.push_back({e.name, message_of(err)});
        }
    }
    return failures;
}

void ObjectRestorer::close() {
    if (s_->writer) s_->writer->close();
    s_->writer.reset();
}

}  // namespace jet
