// The catalog: the rows of MSysObjects (its TDEF is always page 2) and the
// rule that sorts table-like objects into the kinds the provider's TABLES
// schema rowset reports (see docs/jet-catalog.md).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace jet {

class PageFile;

inline constexpr std::uint32_t kCatalogTdefPage = 2;

// MSysObjects.Type values.
inline constexpr std::int16_t kObjectTable = 1;
inline constexpr std::int16_t kObjectQuery = 5;
inline constexpr std::int16_t kObjectLinkedOdbc = 4;
inline constexpr std::int16_t kObjectLinkedJet = 6;

// MSysObjects.Flags bits.
inline constexpr std::uint32_t kFlagJetSystem = 0x80000000u;
inline constexpr std::uint32_t kFlagSystem = 0x00000002u;
inline constexpr std::uint32_t kFlagHidden = 0x00000008u;
inline constexpr std::uint32_t kQueryTypeMask = 0x000000F0u;

struct CatalogEntry {
    std::int32_t id = 0;
    std::int32_t parent_id = 0;
    std::string name;
    std::int16_t type = 0;
    std::int32_t flags = 0;
    std::string database;      // linked tables: the source database
    std::string connect;       // linked tables: the connect string
    std::string foreign_name;  // linked tables: the name in the source
    // A local table's TDEF page (Id's low 24 bits).
    std::uint32_t tdef_page() const { return static_cast<std::uint32_t>(id) & 0x00FFFFFFu; }
};

enum class TableKind { kTable, kSystemTable, kAccessTable, kLink, kView };

// "TABLE", "SYSTEM TABLE", "ACCESS TABLE", "LINK", "VIEW".
std::string_view table_kind_name(TableKind kind);

// The kind of a catalog row, or nullopt when the object is not table-like
// (forms, containers, action queries, ...). `has_parameters` tells a select
// query with a PARAMETERS declaration (a procedure, not a view).
std::optional<TableKind> table_kind(const CatalogEntry& entry, bool has_parameters = false);

// Every MSysObjects row in scan order.
// With `salvage`, catalog rows on pages that do not read are left out
// (salvage_table_bytes) instead of failing the whole catalog.
// `lost` (when given) counts the catalog rows left out, those on pages that
// could not be read included as far as the definition's row count tells.
std::vector<CatalogEntry> read_catalog(PageFile& file, bool salvage = false,
                                       std::uint64_t* lost = nullptr);

}  // namespace jet
