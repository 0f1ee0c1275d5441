// The database: the engine's front door for readers.
//
// Opens the page file, reads the catalog once and hands out table
// definitions and row scans by name. Later layers (provider, SQL, writer)
// build on this and on the lower headers directly.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jet/table/catalog.h"
#include "jet/page/file.h"
#include "jet/table/rows.h"
#include "jet/table/table_def.h"

namespace jet {

// A table-like object as the TABLES rowset lists it.
struct TableInfo {
    std::string name;
    TableKind kind = TableKind::kTable;
    const CatalogEntry* entry = nullptr;  // points into Database::catalog()
    bool local() const {
        return kind == TableKind::kTable || kind == TableKind::kSystemTable ||
               kind == TableKind::kAccessTable;
    }
};

class Database {
public:
    // Throws jet::Error (see PageFile::open for the messages).
    // With `salvage`, a damaged header page is rebuilt from the rest of the
    // file (PageFile::open_salvage) instead of refusing the file.
    static std::unique_ptr<Database> open(const std::string& path, std::string_view password = {},
                                          bool salvage = false);

    PageFile& file() { return *file_; }
    const Header& header() const { return file_->header(); }
    Format format() const { return file_->header().format; }

    const std::vector<CatalogEntry>& catalog() const { return catalog_; }
    // Opened with salvage: catalog rows that could not be read (their
    // objects are missing from catalog()).
    std::uint64_t catalog_rows_lost() const { return catalog_rows_lost_; }
    // Opened with salvage and the catalog damaged: the user tables found by
    // their definitions (find_table_defs) that no surviving catalog row
    // names, with the names given them here ("Recovered_Table_<page>").
    // catalog() lists them as plain tables under those names.
    struct RecoveredTable {
        std::uint32_t tdef_page = 0;
        std::string name;
    };
    const std::vector<RecoveredTable>& recovered_tables() const { return recovered_; }
    // Table-like objects in catalog order.
    std::vector<TableInfo> tables() const;
    // Catalog row of a local table by name (case-insensitive as Jet), or nullptr.
    const CatalogEntry* find_table(std::string_view name) const;

    // Definition of a local table; throws jet::Error when there is none.
    TableDef table_def(std::string_view name);
    TableDef table_def(const CatalogEntry& entry);

    void scan(const TableDef& table, const RowVisitor& visit) { scan_table(*file_, table, visit); }
    std::vector<Row> read_all(const TableDef& table);

private:
    Database() = default;
    void read_catalog_salvaging();
    std::unique_ptr<PageFile> file_;
    std::vector<CatalogEntry> catalog_;
    std::uint64_t catalog_rows_lost_ = 0;
    std::vector<RecoveredTable> recovered_;
    std::vector<std::int32_t> parameterised_queries_;
};

}  // namespace jet
