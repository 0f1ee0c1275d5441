// Salvage walk of a possibly damaged table (see salvage.h).
#include "jet/table/salvage.h"

#include <algorithm>
#include <cstring>

#include "jet/base/error.h"
#include "jet/page/file.h"
#include "jet/page/format.h"

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

}  // namespace jet
