// Index pages: decoding of intermediate and leaf pages and the walk along an
// index's leaves.
#include "jet/index/page.h"

#include <string>
#include <unordered_set>

#include "jet/base/error.h"

namespace jet {
namespace {

constexpr IndexPageLayout kJet3Layout{
    .page_size = kJet3PageSize,
    .owner_offset = 0x04,
    .prev_offset = 0x08,
    .next_offset = 0x0C,
    .tail_offset = 0x10,
    .prefix_offset = 0x14,
    .prefix_size = 1,  // the byte after it is not part of the length
    .mask_offset = 0x16,
    .entries_offset = 0xF8,
};

constexpr IndexPageLayout kJet4Layout{
    .page_size = kJet4PageSize,
    .owner_offset = 0x04,
    .prev_offset = 0x0C,
    .next_offset = 0x10,
    .tail_offset = 0x14,
    .prefix_offset = 0x18,
    .prefix_size = 2,
    .mask_offset = 0x1B,
    .entries_offset = 0x1E0,
};

constexpr std::size_t kRowPointerSize = 4;
constexpr std::size_t kChildPointerSize = 4;
// The leftmost leaf lies this many levels below the root at most; a deeper
// descent means the tree loops.
constexpr int kMaxTreeDepth = 32;

std::uint32_t le32(std::span<const std::uint8_t> p, std::size_t at) {
    return static_cast<std::uint32_t>(p[at]) | (static_cast<std::uint32_t>(p[at + 1]) << 8) |
           (static_cast<std::uint32_t>(p[at + 2]) << 16) |
           (static_cast<std::uint32_t>(p[at + 3]) << 24);
}

}  // namespace

const IndexPageLayout& index_page_layout(Format format) {
    return format == Format::Jet3 ? kJet3Layout : kJet4Layout;
}

IndexPage decode_index_page(std::span<const std::uint8_t> page, std::uint32_t page_number,
                            Format format, std::string_view table) {
    const IndexPageLayout& layout = index_page_layout(format);
    auto damaged = [&](const std::string& what) { throw_damaged(what, table, page_number); };

    if (page.size() != layout.page_size) {
        damaged("index page of " + std::to_string(page.size()) + " bytes, expected " +
                std::to_string(layout.page_size));
    }
    IndexPage out;
    out.number = page_number;
    const auto type = static_cast<PageType>(page[0]);
    if (type != PageType::kIndexLeaf && type != PageType::kIndexNode) {
        damaged("not an index page (type byte " + std::to_string(page[0]) + ")");
    }
    out.leaf = type == PageType::kIndexLeaf;
    out.owner = le32(page, layout.owner_offset);
    out.prev = le32(page, layout.prev_offset);
    out.next = le32(page, layout.next_offset);
    out.tail = le32(page, layout.tail_offset);
    out.prefix_length = page[layout.prefix_offset];
    if (layout.prefix_size == 2)
        out.prefix_length |= std::size_t{page[layout.prefix_offset + 1]} << 8;

    const std::size_t trailer = kRowPointerSize + (out.leaf ? 0 : kChildPointerSize);
    const std::size_t area = layout.page_size - layout.entries_offset;
    std::vector<std::uint8_t> full;  // the entry with the prefix put back
    std::size_t start = 0;
    for (std::size_t byte = layout.mask_offset; byte < layout.entries_offset; ++byte) {
        const std::uint8_t bits = page[byte];
        if (bits == 0) continue;
        for (int bit = 0; bit < 8; ++bit) {
            if ((bits & (1u << bit)) == 0) continue;
            const std::size_t end = (byte - layout.mask_offset) * 8 + static_cast<std::size_t>(bit);
            if (end > area) {
                damaged("index entry ends at " + std::to_string(end) + ", past the page end");
            }
            if (end <= start) damaged("empty index entry in the entry mask");
            auto stored = page.subspan(layout.entries_offset + start, end - start);
            const bool first = out.entries.empty();
            if (first) {
                if (out.prefix_length > stored.size()) {
                    damaged("shared prefix of " + std::to_string(out.prefix_length) +
                            " bytes is longer than the first entry");
                }
                full.assign(stored.begin(), stored.end());
            } else {
                full.resize(out.prefix_length);
                full.insert(full.end(), stored.begin(), stored.end());
            }
            if (full.size() < trailer) {
                damaged("index entry of " + std::to_string(full.size()) +
                        " bytes is too short for its pointers");
            }
            const std::size_t key_length = full.size() - trailer;
            IndexEntry entry;
            entry.key.assign(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(key_length));
            const std::uint8_t* ptr = full.data() + key_length;
            entry.row.page = (std::uint32_t{ptr[0]} << 16) | (std::uint32_t{ptr[1]} << 8) | ptr[2];
            entry.row.row = ptr[3];
            if (!out.leaf) {
                entry.child = (std::uint32_t{ptr[4]} << 24) | (std::uint32_t{ptr[5]} << 16) |
                              (std::uint32_t{ptr[6]} << 8) | ptr[7];
            }
            out.entries.push_back(std::move(entry));
            // Later entries take their prefix from the first entry as stored.
            if (first)
                full.assign(stored.begin(),
                            stored.begin() + static_cast<std::ptrdiff_t>(out.prefix_length));
            start = end;
        }
    }
    return out;
}

std::vector<IndexEntry> read_index_entries(const IndexPageReader& read_page, Format format,
                                           std::uint32_t first_page, std::uint32_t page_count,
                                           std::string_view table) {
    auto check_page = [&](std::uint32_t number, std::uint32_t from) {
        if (number == 0 || number >= page_count) {
            throw_damaged("index page pointer " + std::to_string(number) +
                              " is outside the file (" + std::to_string(page_count) + " pages)",
                          table, from);
        }
    };

    check_page(first_page, first_page);
    IndexPage page = decode_index_page(read_page(first_page), first_page, format, table);
    const std::uint32_t owner = page.owner;
    for (int depth = 0; !page.leaf; ++depth) {
        if (depth >= kMaxTreeDepth) {
            throw_damaged("index tree deeper than " + std::to_string(kMaxTreeDepth) + " levels",
                          table, page.number);
        }
        const std::uint32_t child = page.entries.empty() ? page.tail : page.entries.front().child;
        check_page(child, page.number);
        page = decode_index_page(read_page(child), child, format, table);
        if (page.owner != owner) {
            throw_damaged("index page belongs to table page " + std::to_string(page.owner) +
                              ", expected " + std::to_string(owner),
                          table, page.number);
        }
    }

    std::vector<IndexEntry> entries;
    std::unordered_set<std::uint32_t> seen{page.number};
    while (true) {
        for (auto& e : page.entries) entries.push_back(std::move(e));
        if (page.next == 0) break;
        check_page(page.next, page.number);
        if (!seen.insert(page.next).second) {
            throw_damaged("index leaf chain loops back to page " + std::to_string(page.next), table,
                          page.number);
        }
        const std::uint32_t from = page.number;
        page = decode_index_page(read_page(page.next), page.next, format, table);
        if (!page.leaf) {
            throw_damaged("index leaf chain leads to an intermediate page", table, page.number);
        }
        if (page.owner != owner) {
            throw_damaged("index page belongs to table page " + std::to_string(page.owner) +
                              ", expected " + std::to_string(owner),
                          table, page.number);
        }
        if (page.prev != from) {
            throw_damaged("index leaf's previous link " + std::to_string(page.prev) +
                              " does not name page " + std::to_string(from),
                          table, page.number);
        }
    }
    return entries;
}

}  // namespace jet
