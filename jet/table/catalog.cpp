// The catalog: reading MSysObjects and sorting its rows into the kinds of the
// TABLES schema rowset. The rule is written down in docs/jet-catalog.md.
#include "jet/table/catalog.h"

#include "jet/table/salvage.h"

#include "jet/base/error.h"
#include "jet/page/file.h"
#include "jet/table/rows.h"
#include "jet/table/table_def.h"

namespace jet {

std::string_view table_kind_name(TableKind kind) {
    switch (kind) {
        case TableKind::kTable: return "TABLE";
        case TableKind::kSystemTable: return "SYSTEM TABLE";
        case TableKind::kAccessTable: return "ACCESS TABLE";
        case TableKind::kLink: return "LINK";
        case TableKind::kView: return "VIEW";
    }
    return "TABLE";
}

std::optional<TableKind> table_kind(const CatalogEntry& e, bool has_parameters) {
    const auto flags = static_cast<std::uint32_t>(e.flags);
    switch (e.type) {
        case kObjectTable:
            if (flags & kFlagJetSystem) return TableKind::kSystemTable;
            if (flags & kFlagSystem) return TableKind::kAccessTable;
            return TableKind::kTable;
        case kObjectLinkedJet:
        case kObjectLinkedOdbc: return TableKind::kLink;
        case kObjectQuery:
            // Only a plain select query without parameters is a view; every
            // other query is a procedure and not in the TABLES rowset.
            if ((flags & kQueryTypeMask) == 0 && !has_parameters) return TableKind::kView;
            return std::nullopt;
        default: return std::nullopt;
    }
}

std::vector<CatalogEntry> read_catalog(PageFile& file, bool salvage, std::uint64_t* lost_rows) {
    const TableDef t = read_table_def(file, kCatalogTdefPage, "MSysObjects");
    auto find = [&](std::string_view name) -> int {
        for (std::size_t i = 0; i < t.columns.size(); ++i)
            if (t.columns[i].name == name) return static_cast<int>(i);
        return -1;
    };
    const int id = find("Id"), parent = find("ParentId"), name = find("Name"), type = find("Type"),
              flags = find("Flags"), database = find("Database"), connect = find("Connect"),
              foreign = find("ForeignName");
    if (id < 0 || name < 0 || type < 0) {
        throw_damaged("Damaged catalog: MSysObjects lacks its Id, Name or Type column",
                      "MSysObjects", kCatalogTdefPage);
    }
    std::vector<CatalogEntry> out;
    auto add = [&](const Row& row) {
        CatalogEntry e;
        e.id = static_cast<std::int32_t>(integer_or_zero(row[id]));
        if (parent >= 0) e.parent_id = static_cast<std::int32_t>(integer_or_zero(row[parent]));
        e.name = text_or_empty(row[name]);
        e.type = static_cast<std::int16_t>(integer_or_zero(row[type]));
        if (flags >= 0) e.flags = static_cast<std::int32_t>(integer_or_zero(row[flags]));
        if (database >= 0) e.database = text_or_empty(row[database]);
        if (connect >= 0) e.connect = text_or_empty(row[connect]);
        if (foreign >= 0) e.foreign_name = text_or_empty(row[foreign]);
        out.push_back(std::move(e));
    };
    if (!salvage) {
        scan_table(file, t, [&](const RowId&, const Row& row) {
            add(row);
            return true;
        });
        return out;
    }
    SalvageCounts lost;
    salvage_table_bytes(file, t, lost, [&](const RowId&, std::uint32_t page, std::span<const std::uint8_t> b) {
        try {
            add(decode_row(file, t, b, page));
        } catch (const Error&) {
            ++lost.rows_skipped;  // names no table we could copy
        }
        return true;
    });
    if (lost_rows) {
        std::uint64_t n = lost.rows_skipped;
        if (t.row_count > out.size() + n) n = t.row_count - out.size();
        if (n == 0 && lost.pages_skipped) n = 1;  // rows went with the pages: at least one
        *lost_rows = n;
    }
    return out;
}

}  // namespace jet
