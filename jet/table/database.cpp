// The database front door: page file, catalog and table access by name.
#include "jet/table/database.h"

#include "jet/table/properties.h"

#include <algorithm>
#include <set>

#include "jet/base/error.h"
#include "jet/base/text.h"
#include "jet/table/salvage.h"

namespace jet {

std::unique_ptr<Database> Database::open(const std::string& path, std::string_view password,
                                         bool salvage) {
    std::unique_ptr<Database> db(new Database());
    db->file_ = salvage ? PageFile::open_salvage(path, password) : PageFile::open(path, password);
    if (salvage) {
        db->read_catalog_salvaging();
    } else {
        db->catalog_ = read_catalog(*db->file_);
    }
    // Select queries that declare parameters are procedures, not views. A
    // damaged MSysQueries only blurs that line; it does not stop the open.
    if (const CatalogEntry* q = db->find_table("MSysQueries")) try {
        TableDef t = db->table_def(*q);
        const Column* obj = t.find_column("ObjectId");
        const Column* attr = t.find_column("Attribute");
        if (obj && attr) {
            const std::size_t oi = static_cast<std::size_t>(obj - t.columns.data());
            const std::size_t ai = static_cast<std::size_t>(attr - t.columns.data());
            db->scan(t, [&](const RowId&, const Row& row) {
                auto a = std::get_if<std::uint8_t>(&row[ai]);
                auto o = std::get_if<std::int32_t>(&row[oi]);
                if (a && o && *a == 2) db->parameterised_queries_.push_back(*o);
                return true;
            });
        }
    } catch (const Error&) {
        db->parameterised_queries_.clear();
    }
    return db;
}

void Database::read_catalog_salvaging() {
    PageFile& file = *file_;
    bool damaged = false;
    bool unreadable = false;
    try {
        catalog_ = read_catalog(file, true, &catalog_rows_lost_);
        damaged = catalog_rows_lost_ > 0;
    } catch (const Error&) {
        // The catalog's own definition does not read: every table has to
        // be found by its pages, and none keeps its name.
        catalog_.clear();
        catalog_rows_lost_ = 0;
        damaged = unreadable = true;
    }
    // A catalog row that survived but names a page that holds no table
    // definition (a damaged Id, a file cut short) is damage too; one page
    // head per table is all that costs a sound file.
    std::set<std::uint32_t> named;
    for (const CatalogEntry& e : catalog_) {
        if (e.type != kObjectTable) continue;
        named.insert(e.tdef_page());
        if (damaged || !table_kind(e)) continue;
        try {
            if (file.page(e.tdef_page(), e.name)->type() != static_cast<std::uint8_t>(PageType::kTableDef))
                damaged = true;
        } catch (const Error&) {
            damaged = true;
        }
    }
    if (!damaged) return;
    const std::vector<FoundTableDef> found = find_table_defs(file);
    // Without the catalog's definition its rows cannot be counted; each
    // table found had one, which is the least that was lost.
    if (unreadable) catalog_rows_lost_ = std::max<std::uint64_t>(1, found.size());
    for (const FoundTableDef& f : found) {
        if (f.system || named.count(f.tdef_page)) continue;
        std::string name = "Recovered_Table_" + std::to_string(f.tdef_page);
        // A surviving row may hold the name already (a second repair of
        // a repaired file): the found table takes the next free one.
        for (int k = 2; find_table(name) != nullptr; ++k)
            name = "Recovered_Table_" + std::to_string(f.tdef_page) + "_" + std::to_string(k);
        CatalogEntry e;
        e.id = static_cast<std::int32_t>(f.tdef_page);
        e.name = name;
        e.type = kObjectTable;
        catalog_.push_back(e);
        recovered_.push_back({f.tdef_page, name});
    }
}

std::vector<TableInfo> Database::tables() const {
    std::vector<TableInfo> out;
    for (const auto& e : catalog_) {
        const bool params = std::find(parameterised_queries_.begin(), parameterised_queries_.end(),
                                      e.id) != parameterised_queries_.end();
        if (auto kind = table_kind(e, params)) out.push_back(TableInfo{e.name, *kind, &e});
    }
    return out;
}

const CatalogEntry* Database::find_table(std::string_view name) const {
    for (const auto& e : catalog_)
        if (e.type == kObjectTable && same_name(e.name, name)) return &e;
    return nullptr;
}

TableDef Database::table_def(std::string_view name) {
    const CatalogEntry* e = find_table(name);
    if (!e) {
        throw Error("The Microsoft Jet database engine cannot find the input table or query '" +
                    std::string(name) + "'.");
    }
    return table_def(*e);
}

TableDef Database::table_def(const CatalogEntry& entry) {
    TableDef def = read_table_def(*file_, entry.tdef_page(), entry.name);
    // A calculated column's stored result has the type its properties name.
    apply_calculated_result_types(*file_, entry.id, def);
    return def;
}

std::vector<Row> Database::read_all(const TableDef& table) {
    std::vector<Row> rows;
    scan(table, [&](const RowId&, const Row& row) {
        rows.push_back(row);
        return true;
    });
    return rows;
}

}  // namespace jet
