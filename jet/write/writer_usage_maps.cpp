// The writer's usage maps: allocating map rows, writing a map (inline or
// through reference pages) and loading one from an existing file.
#include "jet/write/writer_internal.h"

namespace jet {

using namespace writer_detail;

DatabaseWriter::MapRef DatabaseWriter::new_map() {
    Bytes empty = write::encode_inline_map(0, {});
    if (map_page_rows_.empty() || map_page_rows_.back().second.size() >= write::kMaxRowsPerPage ||
        write::row_page_free(map_page_rows_.back().second) < empty.size() + 2) {
        std::uint32_t page = allocate_page();
        map_page_rows_.emplace_back(page, std::vector<RowSlotImage>{});
    }
    auto& [page, rows] = map_page_rows_.back();
    MapRef ref;
    ref.page = page;
    ref.row = static_cast<std::uint8_t>(rows.size());
    rows.push_back(RowSlotImage{empty, false});
    return ref;
}

void DatabaseWriter::write_map(MapRef& map, std::vector<std::uint32_t> pages) {
    // Pages are mostly kept in the order they were taken, lowest first: a
    // flush writes every table's maps, so the sort is skipped where it has
    // nothing to do.
    if (!std::is_sorted(pages.begin(), pages.end())) std::sort(pages.begin(), pages.end());
    Bytes row;
    std::uint32_t start = pages.empty() || pages.back() < write::kInlineMapPages ? 0 : pages.front() & ~7u;
    if (pages.empty() || pages.back() - start < write::kInlineMapPages) {
        row = write::encode_inline_map(start, pages);
    } else {
        std::size_t slots = pages.back() / write::kMapPageBits + 1;
        if (slots > (write::kUsageMapRowSize - 1) / 4) throw Error("The database is too large.");
        map.reference_pages.resize(std::max(map.reference_pages.size(), slots), 0);
        for (std::size_t s = 0; s < slots; ++s) {
            bool any = std::any_of(pages.begin(), pages.end(), [&](std::uint32_t p) {
                return p / write::kMapPageBits == s;
            });
            if (!any && map.reference_pages[s] == 0) continue;
            if (map.reference_pages[s] == 0) map.reference_pages[s] = allocate_page();
            pager_.write(map.reference_pages[s], write::encode_map_page(s, pages));
        }
        row = write::encode_reference_map(map.reference_pages);
    }
    for (auto& [page, rows] : map_page_rows_) {
        if (page == map.page) {
            rows.at(map.row).bytes = row;
            return;
        }
    }
    throw Error("Internal error: usage map row not found");
}

DatabaseWriter::MapRef DatabaseWriter::load_map(std::uint32_t pointer,
                                                std::vector<std::uint32_t>& pages) {
    MapRef ref;
    ref.page = pointer >> 8;
    ref.row = static_cast<std::uint8_t>(pointer & 0xFF);
    if (ref.page < 2 || ref.page >= pager_.page_count()) {
        refuse_open(pager_.path(), "a usage map lies outside the file");
    }
    auto it = std::find_if(map_page_rows_.begin(), map_page_rows_.end(),
                           [&](const auto& e) { return e.first == ref.page; });
    if (it == map_page_rows_.end()) {
        map_page_rows_.emplace_back(ref.page, write::decode_row_page(pager_.read(ref.page)));
        it = std::prev(map_page_rows_.end());
    }
    if (ref.row >= it->second.size() || it->second[ref.row].deleted) {
        refuse_open(pager_.path(), "a usage map row is missing");
    }
    const FormatInfo& fmt = format_info(Format::Jet4);
    UsageMap m = decode_usage_map(it->second[ref.row].bytes, fmt, "", ref.page);
    pages.clear();
    if (m.map_type == 0) {
        pages = m.pages;
    } else {
        ref.reference_pages = m.map_pages;
        for (std::size_t slot = 0; slot < m.map_pages.size(); ++slot) {
            std::uint32_t mp = m.map_pages[slot];
            if (mp == 0) continue;
            if (mp >= pager_.page_count()) refuse_open(pager_.path(), "a usage map lies outside the file");
            add_map_page_bits(pager_.read(mp), slot, fmt, pages, "", mp);
        }
    }
    std::sort(pages.begin(), pages.end());
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
    for (std::uint32_t p : pages) {
        if (p < 2 || p >= pager_.page_count()) refuse_open(pager_.path(), "a usage map names a page outside the file");
    }
    return ref;
}

}  // namespace jet
