// Page formats: bounds-checked decoding of data-page slot tables and usage
// maps. Pure functions over byte spans.
#include "jet/page/format.h"

#include <string>

#include "jet/base/error.h"

namespace jet {

void ByteReader::fail(std::string_view what) const { throw_damaged(what, table, page); }

void ByteReader::need(std::size_t offset, std::size_t length) const {
    if (offset > bytes.size() || length > bytes.size() - offset) {
        fail("Damaged data: " + std::to_string(length) + " bytes at offset " +
             std::to_string(offset) + " run past the end of " + std::to_string(bytes.size()) +
             " bytes");
    }
}
std::uint8_t ByteReader::u8(std::size_t o) const {
    need(o, 1);
    return bytes[o];
}
std::uint16_t ByteReader::u16(std::size_t o) const {
    need(o, 2);
    return static_cast<std::uint16_t>(bytes[o] | (bytes[o + 1] << 8));
}
std::uint32_t ByteReader::u32(std::size_t o) const {
    need(o, 4);
    return static_cast<std::uint32_t>(bytes[o]) | (static_cast<std::uint32_t>(bytes[o + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[o + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[o + 3]) << 24);
}
std::span<const std::uint8_t> ByteReader::sub(std::size_t o, std::size_t length) const {
    need(o, length);
    return bytes.subspan(o, length);
}

std::vector<RowSlot> decode_row_slots(std::span<const std::uint8_t> page, const FormatInfo& fmt,
                                      std::string_view table, std::uint32_t page_number) {
    ByteReader r{page, table, page_number};
    const std::size_t count = r.u16(fmt.data_row_count_offset);
    const std::size_t table_end = fmt.data_first_offset + 2 * count;
    if (table_end > page.size()) r.fail("Damaged data page: row count " + std::to_string(count) + " does not fit the page");
    std::vector<RowSlot> slots(count);
    std::size_t end = page.size();
    for (std::size_t i = 0; i < count; ++i) {
        RowSlot& s = slots[i];
        s.raw = r.u16(fmt.data_first_offset + 2 * i);
        const std::size_t start = s.raw & kRowOffsetMask;
        if (start < table_end || start > end) {
            // A deleted slot's offset is never used; a live one must be sound.
            if (!s.deleted()) {
                r.fail("Damaged data page: row " + std::to_string(i) + " has offset " +
                       std::to_string(start) + " outside " + std::to_string(table_end) + ".." +
                       std::to_string(end));
            }
            s.start = s.end = end;
            continue;
        }
        s.start = start;
        s.end = end;
        end = start;
    }
    return slots;
}

std::uint32_t data_page_owner(std::span<const std::uint8_t> page, const FormatInfo& fmt) {
    ByteReader r{page, {}, 0};
    return r.u32(fmt.data_tdef_offset);
}

UsageMap decode_usage_map(std::span<const std::uint8_t> row, const FormatInfo& fmt,
                          std::string_view table, std::uint32_t page_number) {
    ByteReader r{row, table, page_number};
    UsageMap map;
    map.map_type = r.u8(0);
    if (map.map_type == 0) {
        const std::uint32_t start = r.u32(1);
        for (std::size_t i = 5; i < row.size(); ++i) {
            const std::uint8_t b = row[i];
            if (!b) continue;
            for (int bit = 0; bit < 8; ++bit) {
                if (b & (1u << bit)) {
                    const std::uint64_t pg = std::uint64_t{start} + (i - 5) * 8 + bit;
                    if (pg > 0xFFFFFFu) r.fail("Damaged usage map: page number beyond the format's range");
                    map.pages.push_back(static_cast<std::uint32_t>(pg));
                }
            }
        }
    } else if (map.map_type == 1) {
        for (std::size_t o = 1; o + 4 <= row.size(); o += 4) map.map_pages.push_back(r.u32(o));
    } else {
        r.fail("Damaged usage map: unknown map type " + std::to_string(map.map_type));
    }
    (void)fmt;
    return map;
}

void add_map_page_bits(std::span<const std::uint8_t> map_page, std::size_t slot,
                       const FormatInfo& fmt, std::vector<std::uint32_t>& out,
                       std::string_view table, std::uint32_t page_number) {
    ByteReader r{map_page, table, page_number};
    if (r.u8(0) != static_cast<std::uint8_t>(PageType::kUsageMap)) {
        r.fail("Damaged usage map: page is not a usage map page");
    }
    const std::size_t header = fmt.usage_map_page_header;
    r.need(header, 0);
    const std::uint64_t per_page = (map_page.size() - header) * 8;
    for (std::size_t i = header; i < map_page.size(); ++i) {
        const std::uint8_t b = map_page[i];
        if (!b) continue;
        for (int bit = 0; bit < 8; ++bit) {
            if (b & (1u << bit)) {
                const std::uint64_t pg = slot * per_page + (i - header) * 8 + bit;
                if (pg > 0xFFFFFFu) r.fail("Damaged usage map: page number beyond the format's range");
                out.push_back(static_cast<std::uint32_t>(pg));
            }
        }
    }
}

}  // namespace jet
