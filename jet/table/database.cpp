// The database front door: page file, catalog and table access by name.
#include "jet/table/database.h"

#include <algorithm>

#include "jet/base/error.h"
#include "jet/base/text.h"

namespace jet {

std::unique_ptr<Database> Database::open(const std::string& path, std::string_view password,
                                         bool salvage) {
    std::unique_ptr<Database> db(new Database());
    db->file_ = salvage ? PageFile::open_salvage(path, password) : PageFile::open(path, password);
    db->catalog_ = read_catalog(*db->file_, salvage, &db->catalog_rows_lost_);
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
    return read_table_def(*file_, entry.tdef_page(), entry.name);
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
