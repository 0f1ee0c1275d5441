// Salvage walk of a possibly damaged table (see salvage.h).
#include "jet/table/salvage.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "jet/base/error.h"
#include "jet/page/file.h"
#include "jet/page/format.h"
#include "jet/table/catalog.h"

namespace jet {

namespace {

// As the strict scan: a moved row is at most a few hops from its slot.
constexpr int kMaxOverflowHops = 8;

bool owned_data_page(const Page& p, const FormatInfo& fmt, std::uint32_t tdef_page) {
    return p.type() == static_cast<std::uint8_t>(PageType::kData) &&
           std::span<const std::uint8_t>(p.bytes).size() >= fmt.data_tdef_offset + 4 &&
           data_page_owner(p.span(), fmt) == tdef_page;
}

// The pages of the table by their owner field: every data page of the file
// that names the TDEF page. Pages that cannot be read are left out.
std::vector<std::uint32_t> pages_by_owner(PageFile& file, const TableDef& table) {
    std::vector<std::uint32_t> out;
    const FormatInfo& fmt = file.format();
    for (std::uint32_t pg = 1; pg < file.page_count(); ++pg) {
        try {
            PageRef p = file.page(pg, table.name);
            if (owned_data_page(*p, fmt, table.tdef_page)) out.push_back(pg);
        } catch (const Error&) {
        }
    }
    return out;
}

// The pages to walk: the usage map's when it reads and lists only pages of
// this table, else the owner scan's.
std::vector<std::uint32_t> table_pages(PageFile& file, const TableDef& table, SalvageCounts& counts) {
    std::vector<std::uint32_t> listed;
    bool sound = true;
    try {
        listed = usage_map_pages(file, table.used_pages, table.name);
    } catch (const Error&) {
        sound = false;
    }
    const FormatInfo& fmt = file.format();
    if (sound) {
        std::vector<std::uint32_t> keep;
        keep.reserve(listed.size());
        for (std::uint32_t pg : listed) {
            if (pg >= file.page_count()) {
                ++counts.pages_skipped;  // cut off the end of the file
                continue;
            }
            try {
                PageRef p = file.page(pg, table.name);
                // A map may list pages the table has given back (free pages
                // keep their old owner or none); a page of another type is
                // normal there. A data page of another table is not.
                if (p->type() == static_cast<std::uint8_t>(PageType::kData) &&
                    !owned_data_page(*p, fmt, table.tdef_page) &&
                    std::memcmp(p->bytes.data() + 4, "LVAL", 4) != 0) {
                    sound = false;
                    break;
                }
            } catch (const Error&) {
                ++counts.pages_skipped;
                continue;
            }
            keep.push_back(pg);
        }
        // An empty map for a table whose definition counts rows: the map
        // was most likely wiped.
        if (sound && listed.empty() && table.row_count > 0) sound = false;
        if (sound) return keep;
    }
    counts.pages_by_owner = true;
    counts.pages_skipped = 0;
    return pages_by_owner(file, table);
}

}  // namespace

bool plausible_row(const TableDef& table, std::span<const std::uint8_t> row) {
    const FormatInfo& fmt = format_info(table.format);
    const std::size_t prefix = fmt.row_count_size;
    if (row.size() < prefix + 1) return false;
    const std::size_t ncols = prefix == 2 ? (row[0] | row[1] << 8) : row[0];
    std::size_t most = table.max_cols;
    for (const Column& c : table.columns) most = std::max<std::size_t>(most, c.number + 1u);
    if (ncols == 0 || ncols > most) return false;
    if (table.format != Format::Jet4) return true;  // Jet 3 offsets are checked by split_row
    bool has_var = table.num_var_cols > 0;
    for (const auto& c : table.columns) has_var = has_var || !c.is_fixed();
    if (!has_var) return true;
    const std::size_t mask_bytes = (ncols + 7) / 8;
    if (prefix + mask_bytes + 2 > row.size()) return false;
    const std::size_t mask_pos = row.size() - mask_bytes;
    const std::size_t var_len = row[mask_pos - 2] | row[mask_pos - 1] << 8;
    if (var_len > ncols) return false;
    const std::size_t need = 2 * (var_len + 1);
    if (mask_pos - 2 < prefix + need) return false;
    const std::size_t data_end = mask_pos - 2 - need;
    std::size_t prev = prefix;
    for (std::size_t i = 0; i <= var_len; ++i) {
        const std::size_t at = mask_pos - 2 - 2 * (i + 1);
        const std::size_t off = row[at] | row[at + 1] << 8;
        if (off < prev || off > data_end) return false;
        prev = off;
    }
    return true;
}

void salvage_table_bytes(PageFile& file, const TableDef& table, SalvageCounts& counts,
                         const RawRowVisitor& visit) {
    const FormatInfo& fmt = file.format();
    for (std::uint32_t pg : table_pages(file, table, counts)) {
        PageRef p;
        std::vector<RowSlot> slots;
        try {
            p = file.page(pg, table.name);
            if (!owned_data_page(*p, fmt, table.tdef_page)) continue;
            slots = decode_row_slots(p->span(), fmt, table.name, pg);
        } catch (const Error&) {
            ++counts.pages_skipped;
            continue;
        }
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const RowSlot& s = slots[i];
            if (s.deleted()) continue;
            const RowId id{pg, static_cast<std::uint8_t>(i)};
            PageRef holder = p;
            RowSlot cur = s;
            bool lost = false;
            try {
                int hops = 0;
                while (cur.overflow() && !cur.deleted()) {
                    ByteReader r{holder->span(), table.name, holder->number};
                    if (++hops > kMaxOverflowHops) r.fail("Damaged row: overflow pointers loop");
                    if (cur.end - cur.start < 4) r.fail("Damaged row: overflow pointer cut short");
                    const RowId to = decode_row_pointer(r.u32(cur.start));
                    holder = file.page(to.page, table.name);
                    ByteReader tr{holder->span(), table.name, to.page};
                    if (!owned_data_page(*holder, fmt, table.tdef_page)) {
                        tr.fail("Damaged row: overflow pointer leads to a page of another table");
                    }
                    auto tslots = decode_row_slots(holder->span(), fmt, table.name, to.page);
                    if (to.row >= tslots.size()) tr.fail("Damaged row: overflow pointer leads to a missing row");
                    cur = tslots[to.row];
                }
                lost = !plausible_row(table, holder->span().subspan(cur.start, cur.end - cur.start));
            } catch (const Error&) {
                lost = true;
            }
            if (lost) {
                ++counts.rows_skipped;
                continue;
            }
            if (!visit(id, holder->number, holder->span().subspan(cur.start, cur.end - cur.start))) return;
        }
    }
}

namespace {

// The table-type byte of a definition: a user table ('N') or one of the
// engine's own ('S').
constexpr std::uint8_t kTableTypeUser = 0x4E;
constexpr std::uint8_t kTableTypeSystem = 0x53;

// Column layouts of the tables Access creates for itself, as sorted
// "name:type:characters" lists. Text sizes are in characters (a Jet 4
// definition stores bytes) so one entry serves both formats; where Access
// changed a table between versions, each version has its entry.
constexpr const char* kAccessLayouts[] = {
    // MSysAccessObjects
    "Data:17:3992,ID:4:4",
    "Data:9:241,ID:4:4",
    // MSysAccessStorage
    "DateCreate:8:8,DateUpdate:8:8,Id:4:4,Lv:11:0,Name:10:128,ParentId:4:4,Type:4:4",
    // MSysAccessXML
    "Id:4:4,LValue:11:0,ObjectGuid:15:16,ObjectName:10:65,Property:10:65,Value:10:255",
    // MSysCmdbars
    "Grptbcd:11:0,TbName:10:255",
    // MSysIMEXColumns
    "Attributes:4:4,DataType:3:2,FieldName:10:64,IndexType:2:1,SkipColumn:1:1,SpecID:4:4,Start:3:2,"
    "Width:3:2",
    "DataType:3:2,FieldName:10:64,IndexType:2:1,SkipColumn:1:1,SpecID:4:4,Start:3:2,Width:3:2",
    // MSysIMEXSpecs
    "DateDelim:10:1,DateFourDigitYear:1:1,DateLeadingZeros:1:1,DateOrder:3:2,DecimalPoint:10:1,"
    "FieldSeparator:10:1,FileType:3:2,SpecID:4:4,SpecName:10:64,SpecType:2:1,StartRow:4:4,"
    "TextDelim:10:1,TimeDelim:10:1",
    "DateDelim:10:2,DateFourDigitYear:1:1,DateLeadingZeros:1:1,DateOrder:3:2,DecimalPoint:10:2,"
    "FieldSeparator:10:2,FileType:3:2,SpecID:4:4,SpecName:10:64,SpecType:2:1,StartRow:4:4,"
    "TextDelim:10:2,TimeDelim:10:2",
    // MSysModules, MSysModules2
    "__A__:10:255",
    "Flags:4:4,Form:11:0,Module:11:0,Name:10:255,ReplicationVersion:4:4,Type:4:4,TypeInfo:11:0,"
    "Version:4:4",
    // MSysNameMap
    "GUID:15:16,Id:4:4,Name:10:65,NameMap:11:0,Type:4:4",
    // MSysNavPaneGroupCategories, MSysNavPaneGroupToObjects, MSysNavPaneGroups, MSysNavPaneObjectIDs
    "Filter:10:255,Flags:4:4,Id:4:4,Name:10:255,Position:4:4,SelectedObjectID:4:4,Type:4:4",
    "Flags:4:4,GroupID:4:4,Icon:4:4,Id:4:4,Name:10:255,ObjectID:4:4,Position:4:4",
    "Flags:4:4,GroupCategoryID:4:4,Id:4:4,Name:10:255,Object Type Group:4:4,ObjectID:4:4,Position:4:4",
    "Id:4:4,Name:10:65,Type:4:4",
    // MSysComplexColumns (ACE)
    "ColumnName:10:255,ComplexID:4:4,ComplexTypeObjectID:4:4,ConceptualTableID:4:4,FlatTableID:4:4",
    // MSysWSDPCacheComplexColumnMapping, MSysWSDPChangeTokenMapping, MSysWSDPRelationshipMapping (ACE)
    "ChildTableName:10:255,ComplexColumn:10:255,ComplexSrcColumn:10:255,TableName:10:255",
    "Connect:12:0,ErrorLoading:4:4,LastChangeToken:10:255,Pending:4:4,References:4:4,TableName:10:255,"
    "XASSite:4:4",
    "ChildColName:10:255,ChildTableName:12:0,LookupType:10:255,ParentColName:10:255,ParentTableName:12:0",
    // MSysResources (ACE)
    "Data:18:4,Extension:10:255,Id:4:4,Name:10:255,Type:10:255",
};

// ACE keeps the values of a complex column in a hidden flat table: a Long
// "_<column>" with the owning row's value id and an autonumber key
// "<table>_<column>". Its templates (MSysComplexType_<type>, one column
// "Value"; MSysComplexTypeVH_<hex>, a Memo and "Modified_<GUID>") hold no
// rows and no indexes.
bool ace_complex_layout(const TableDef& table) {
    const auto long_type = static_cast<std::uint8_t>(ColumnType::kLong);
    for (const Column& fk : table.columns) {
        if (fk.type != long_type || fk.name.size() < 2 || fk.name[0] != '_') continue;
        for (const Column& key : table.columns) {
            if (&key == &fk || key.type != long_type || !(key.flags & kColumnAutoLong)) continue;
            if (key.name.size() > fk.name.size() && key.name.ends_with(fk.name)) return true;
        }
    }
    if (table.row_count != 0 || !table.indexes.empty()) return false;
    if (table.columns.size() == 1 && table.columns[0].name == "Value") return true;
    if (table.columns.size() == 2) {
        bool memo = false, modified = false;
        for (const Column& c : table.columns) {
            memo = memo || c.type == static_cast<std::uint8_t>(ColumnType::kMemo);
            modified = modified || (c.type == static_cast<std::uint8_t>(ColumnType::kDateTime) &&
                                    c.name.starts_with("Modified_") && c.name.size() == 9 + 36);
        }
        return memo && modified;
    }
    return false;
}

// The columns every hidden table behind an attachment column has.
constexpr const char* kAttachmentColumns[] = {"FileData:11:0",      "FileFlags:4:4",
                                              "FileName:10:255",    "FileTimeStamp:8:8",
                                              "FileType:10:255",    "FileURL:12:0"};

}  // namespace

bool access_internal_layout(const TableDef& table) {
    std::vector<std::string> cols;
    cols.reserve(table.columns.size());
    for (const Column& c : table.columns) {
        unsigned size = c.length;
        const bool text = c.type == static_cast<std::uint8_t>(ColumnType::kText);
        if (text && table.format == Format::Jet4) size /= 2;
        cols.push_back(c.name + ":" + std::to_string(c.type) + ":" + std::to_string(size));
    }
    std::sort(cols.begin(), cols.end());
    std::string joined;
    for (const std::string& c : cols) joined += (joined.empty() ? "" : ",") + c;
    for (const char* layout : kAccessLayouts)
        if (joined == layout) return true;
    if (ace_complex_layout(table)) return true;
    std::size_t attachment = 0;
    for (const char* c : kAttachmentColumns)
        if (std::binary_search(cols.begin(), cols.end(), std::string(c))) ++attachment;
    return attachment == std::size(kAttachmentColumns);
}

std::vector<FoundTableDef> find_table_defs(PageFile& file) {
    const std::uint8_t tdef_type = static_cast<std::uint8_t>(PageType::kTableDef);
    // First pass, over the heads only: definition pages and the pages
    // their chains continue on.
    std::vector<std::uint32_t> candidates;
    std::set<std::uint32_t> continued;
    file.for_each_page_head([&](std::uint32_t pg, std::span<const std::uint8_t> head) {
        if (head[0] != tdef_type || head[1] != 1) return;
        candidates.push_back(pg);
        const std::uint32_t next = head[4] | head[5] << 8 | head[6] << 16 |
                                   static_cast<std::uint32_t>(head[7]) << 24;
        if (next != 0 && next != pg) continued.insert(next);
    });
    // Pages the file lists as free (row 0 of page 1) belong to no table.
    // A map that does not read (it may be the damage) does not stop the search.
    std::vector<std::uint32_t> free_pages;
    try {
        free_pages = usage_map_pages(file, 1u << 8, "MSysObjects");
    } catch (const Error&) {
        free_pages.clear();
    }
    std::vector<FoundTableDef> out;
    for (std::uint32_t pg : candidates) {
        if (continued.count(pg)) continue;
        if (std::binary_search(free_pages.begin(), free_pages.end(), pg)) continue;
        TableDef def;
        try {
            def = read_table_def(file, pg, "Recovered_Table_" + std::to_string(pg));
        } catch (const Error&) {
            continue;
        }
        if (def.columns.empty()) continue;
        FoundTableDef f;
        f.tdef_page = pg;
        if (def.table_type == kTableTypeSystem || pg == kCatalogTdefPage) {
            f.system = true;
        } else if (def.table_type == kTableTypeUser) {
            f.system = access_internal_layout(def);
        } else {
            continue;  // neither kind: not a definition the engine wrote
        }
        out.push_back(f);
    }
    return out;
}

}  // namespace jet
