// Page encoders of the writing half (see write_format.h).
#include "jet/write/format.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "jet/base/error.h"
#include "jet/index/page.h"
#include "jet/page/file.h"

namespace jet::write {

void put_u16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put_u32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void append_u8(Bytes& b, std::uint8_t v) { b.push_back(v); }
void append_u16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void append_u32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void append_u64(Bytes& b, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void append_f64(Bytes& b, double v) { append_u64(b, std::bit_cast<std::uint64_t>(v)); }


// ---- texts ------------------------------------------------------------------

void append_utf16le(std::string_view s, Bytes& out) {
    const std::size_t n = s.size();
    std::size_t i = 0;
    auto unit = [&out](std::uint32_t u) {
        out.push_back(static_cast<std::uint8_t>(u));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    };
    while (i < n) {
        auto c = static_cast<std::uint8_t>(s[i]);
        if (c < 0x80) {
            unit(c);
            ++i;
            continue;
        }
        char32_t cp = 0xFFFD;
        std::size_t len = 1;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            unit(0xFFFD);
            ++i;
            continue;
        }
        if (i + len > n) {
            unit(0xFFFD);
            break;
        }
        bool ok = true;
        for (std::size_t k = 1; k < len; ++k) {
            auto cc = static_cast<std::uint8_t>(s[i + k]);
            if ((cc & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            unit(0xFFFD);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 + (cp >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        } else {
            unit(cp);
        }
        i += len;
    }
}

Bytes utf8_to_ucs2(std::string_view utf8) {
    Bytes out;
    out.reserve(utf8.size() * 2);
    append_utf16le(utf8, out);
    return out;
}

void append_ucs2_text(std::span<const std::uint8_t> units, bool compress, Bytes& out) {
    const std::size_t count = units.size() / 2;
    // Compression pays from three characters on (2-byte marker), and only
    // texts of characters U+0001..U+00FF are stored compressed; the longest
    // compressible text is 1024 characters.
    bool compressible = compress && count >= 3 && count <= 1024;
    for (std::size_t k = 0; compressible && k < count; ++k) {
        compressible = units[2 * k + 1] == 0 && units[2 * k] != 0;
    }
    if (compressible) {
        const std::size_t at = out.size();
        out.resize(at + 2 + count);
        out[at] = 0xFF;
        out[at + 1] = 0xFE;
        for (std::size_t k = 0; k < count; ++k) out[at + 2 + k] = units[2 * k];
        return;
    }
    out.insert(out.end(), units.begin(), units.begin() + static_cast<std::ptrdiff_t>(2 * count));
}

void append_text(std::string_view utf8, bool compress, Bytes& out) {
    static thread_local Bytes units;
    units.clear();
    append_utf16le(utf8, units);
    append_ucs2_text(units, compress, out);
}

Bytes encode_text(std::string_view utf8, bool compress) {
    Bytes out;
    append_text(utf8, compress, out);
    return out;
}

// ---- header page -----------------------------------------------------------

Bytes encode_header_page(const HeaderFields& f) {
    Bytes p(kPageSize, 0);
    const std::uint8_t magic[] = {0x00, 0x01, 0x00, 0x00};
    std::memcpy(p.data(), magic, 4);
    const bool ace = is_ace(f.version);
    std::memcpy(p.data() + 4, ace ? "Standard ACE DB" : "Standard Jet DB", 15);
    if (f.version == FileVersion::kJet3) throw Error("Jet 3 files are not written.");
    p[kHeaderVersionOffset] = static_cast<std::uint8_t>(f.version);
    // The clear-text part of the masked area as the engine writes it
    // (pointers to the first catalog pages).
    const std::uint8_t fixed[] = {0x00, 0x01, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00,
                                  0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                                  0x04, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
    std::memcpy(p.data() + 0x18, fixed, sizeof fixed);
    put_u16(p, kHeaderCodePageOffset, f.code_page);
    put_u32(p, kHeaderDbKeyOffset, f.database_key);
    // Password: 20 UCS-2 units, masked with the integer part of the creation
    // date repeated over the field.
    Bytes pw = utf8_to_ucs2(f.password);
    if (pw.size() > 40) throw Error("The database password is longer than 20 characters.");
    pw.resize(40, 0);
    auto stamp = static_cast<std::uint32_t>(static_cast<std::int64_t>(f.creation_date));
    for (std::size_t i = 0; i < 40; ++i) {
        p[kHeaderPasswordOffset + i] = pw[i] ^ static_cast<std::uint8_t>(stamp >> (8 * (i % 4)));
    }
    // Unknown; the value an ADOX-created Jet 4 file holds, and the one every
    // ACE file made by Access holds.
    put_u32(p, 0x6A, ace ? 0x11A6 : 0x261C);
    put_u32(p, 0x6E, f.sort_order);
    if (ace) p[kHeaderSortOrderVersionOffset] = f.sort_order_version;
    std::uint64_t date_bits = std::bit_cast<std::uint64_t>(f.creation_date);
    for (int i = 0; i < 8; ++i) {
        p[kHeaderCreationDateOffset + i] = static_cast<std::uint8_t>(date_bits >> (8 * i));
    }
    rc4_apply(kHeaderRc4Key, std::span<std::uint8_t>(p).subspan(kHeaderMaskedOffset, 128));
    put_u32(p, 0x98, 0x0654);
    std::memcpy(p.data() + 0x9C, "4.0", 4);
    // The trailing block Access fills on every Jet 4 header page.
    p[0xE00] = 0x01;
    p[0xE01] = 0x01;
    for (std::size_t i = 0xE02; i < kPageSize; i += 2) p[i + 1] = 0x01;
    return p;
}

// ---- row pages --------------------------------------------------------------

std::size_t row_page_free(std::span<const RowSlotImage> rows) {
    std::size_t used = kDataHeaderSize;
    for (const auto& r : rows) used += 2 + r.bytes.size();
    return used >= kPageSize ? 0 : kPageSize - used;
}

Bytes encode_row_page(std::uint32_t owner, bool lval, std::span<const RowSlotImage> rows) {
    if (rows.size() > kMaxRowsPerPage || row_page_free(rows) > kPageSize) {
        throw Error("Internal error: too many rows for one page");
    }
    std::size_t used = kDataHeaderSize;
    for (const auto& r : rows) used += 2 + r.bytes.size();
    if (used > kPageSize) throw Error("Internal error: rows overflow a page");
    Bytes p(kPageSize, 0);
    p[0] = 0x01;
    p[1] = 0x01;
    put_u16(p, 2, static_cast<std::uint16_t>(kPageSize - used));
    if (lval) {
        std::memcpy(p.data() + 4, "LVAL", 4);
    } else {
        put_u32(p, 4, owner);
    }
    put_u16(p, 12, static_cast<std::uint16_t>(rows.size()));
    std::size_t end = kPageSize;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& r = rows[i];
        std::size_t start = end - r.bytes.size();
        std::copy(r.bytes.begin(), r.bytes.end(), p.begin() + static_cast<std::ptrdiff_t>(start));
        std::uint16_t word = static_cast<std::uint16_t>(start);
        if (r.deleted) word |= kRowDeletedFlag | kRowOverflowFlag;
        put_u16(p, kDataHeaderSize + 2 * i, word);
        end = start;
    }
    return p;
}

std::vector<RowSlotImage> decode_row_page(std::span<const std::uint8_t> page) {
    std::vector<RowSlotImage> rows;
    if (page.size() != kPageSize || page[0] != 0x01) return rows;
    std::size_t count = page[12] | (page[13] << 8);
    std::size_t end = kPageSize;
    for (std::size_t i = 0; i < count && kDataHeaderSize + 2 * i + 1 < kPageSize; ++i) {
        std::uint16_t word = static_cast<std::uint16_t>(page[kDataHeaderSize + 2 * i] |
                                                        (page[kDataHeaderSize + 2 * i + 1] << 8));
        std::size_t start = word & kRowOffsetMask;
        RowSlotImage r;
        r.deleted = (word & kRowDeletedFlag) != 0;
        if (start <= end && start >= kDataHeaderSize) {
            r.bytes.assign(page.begin() + static_cast<std::ptrdiff_t>(start),
                           page.begin() + static_cast<std::ptrdiff_t>(end));
            end = start;
        }
        if (r.deleted) r.bytes.clear();
        rows.push_back(std::move(r));
    }
    return rows;
}

// ---- usage maps -------------------------------------------------------------

Bytes encode_inline_map(std::uint32_t start, std::span<const std::uint32_t> pages) {
    Bytes r(kUsageMapRowSize, 0);
    r[0] = 0x00;
    put_u32(r, 1, start);
    for (std::uint32_t pg : pages) {
        if (pg < start || pg - start >= kInlineMapPages) {
            throw Error("Internal error: page outside an inline usage map");
        }
        std::uint32_t bit = pg - start;
        r[5 + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    return r;
}

Bytes encode_reference_map(std::span<const std::uint32_t> map_pages) {
    Bytes r(kUsageMapRowSize, 0);
    r[0] = 0x01;
    if (map_pages.size() > (kUsageMapRowSize - 1) / 4) {
        throw Error("Internal error: too many usage map pages");
    }
    for (std::size_t i = 0; i < map_pages.size(); ++i) put_u32(r, 1 + 4 * i, map_pages[i]);
    return r;
}

Bytes encode_map_page(std::size_t slot, std::span<const std::uint32_t> pages) {
    Bytes p(kPageSize, 0);
    p[0] = 0x05;
    p[1] = 0x01;
    std::uint64_t base = static_cast<std::uint64_t>(slot) * kMapPageBits;
    for (std::uint32_t pg : pages) {
        if (pg < base || pg - base >= kMapPageBits) continue;
        std::uint64_t bit = pg - base;
        p[4 + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    return p;
}

// ---- table definitions ------------------------------------------------------

Bytes encode_tdef(const TdefImage& t) {
    Bytes b;
    b.reserve(1024);
    // page header (type, 01, free space, next page): filled by split_tdef
    b.resize(8, 0);
    append_u32(b, 0);  // definition length, patched below
    append_u32(b, kTdefStamp);
    append_u32(b, t.row_count);
    append_u32(b, t.autonumber);
    append_u8(b, 0x01);  // autonumber flag
    b.resize(b.size() + 3, 0);
    append_u32(b, t.complex_autonumber);
    b.resize(b.size() + 8, 0);
    append_u8(b, t.table_type);
    std::uint16_t num_var = 0;
    for (const auto& c : t.columns) {
        if (!(c.flags & kColumnFixed)) ++num_var;
    }
    append_u16(b, t.max_cols);
    append_u16(b, num_var);
    append_u16(b, static_cast<std::uint16_t>(t.columns.size()));
    append_u32(b, static_cast<std::uint32_t>(t.indexes.size()));
    append_u32(b, static_cast<std::uint32_t>(t.real_indexes.size()));
    append_u32(b, t.used_map);
    append_u32(b, t.free_map);
    for (const auto& ri : t.real_indexes) {
        append_u32(b, 0);
        append_u32(b, ri.row_count);
        append_u32(b, 0);
    }
    for (const auto& c : t.columns) {
        append_u8(b, c.type);
        append_u32(b, kTdefStamp);
        append_u16(b, c.number);
        append_u16(b, c.var_index);
        append_u16(b, t.table_type == 0x53 ? 0 : c.number);  // Access leaves it 0 in catalog tables
        if (c.type == static_cast<std::uint8_t>(ColumnType::kComplex)) {
            append_u32(b, c.complex_id);
        } else {
            append_u16(b, c.misc);
            append_u8(b, 0);
            append_u8(b, c.sort_order_version);
        }
        append_u8(b, c.flags);
        append_u8(b, c.misc_flags);
        append_u32(b, 0);
        append_u16(b, c.fixed_offset);
        append_u16(b, c.length);
    }
    for (const auto& c : t.columns) {
        Bytes n = utf8_to_ucs2(c.name);
        append_u16(b, static_cast<std::uint16_t>(n.size()));
        b.insert(b.end(), n.begin(), n.end());
    }
    for (const auto& ri : t.real_indexes) {
        append_u32(b, 0x0783);  // the constant Access writes here
        if (ri.columns.size() > 10) throw Error("An index has more than 10 columns.");
        for (std::size_t k = 0; k < 10; ++k) {
            if (k < ri.columns.size()) {
                append_u16(b, ri.columns[k].first);
                // Access marks a descending key column with 0 (ascending
                // 1), and readers take any other value for ascending.
                append_u8(b, ri.columns[k].second ? 0x00 : 0x01);
            } else {
                append_u16(b, 0xFFFF);
                append_u8(b, 0x00);
            }
        }
        append_u32(b, ri.used_map);
        append_u32(b, ri.first_page);
        append_u32(b, 0);
        append_u8(b, ri.flags);
        b.resize(b.size() + 5, 0);
    }
    for (const auto& li : t.indexes) {
        append_u32(b, kTdefStamp);
        append_u32(b, li.number);
        append_u32(b, li.real_index);
        append_u8(b, li.rel_table_type);
        append_u32(b, li.rel_index);
        append_u32(b, li.rel_table_page);
        if (li.rel_table_type == 0) {
            // Access leaves these two bytes 4 on an index outside a relationship.
            append_u8(b, 0x04);
            append_u8(b, 0x04);
        } else {
            append_u8(b, li.cascade_updates ? 1 : 0);
            append_u8(b, li.cascade_deletes ? 1 : 0);
        }
        append_u8(b, li.index_type);
        append_u32(b, 0);
    }
    for (const auto& li : t.indexes) {
        Bytes n = utf8_to_ucs2(li.name);
        append_u16(b, static_cast<std::uint16_t>(n.size()));
        b.insert(b.end(), n.begin(), n.end());
    }
    for (const auto& m : t.long_value_maps) {
        append_u16(b, m.column_number);
        append_u32(b, m.used_map);
        append_u32(b, m.free_map);
    }
    append_u16(b, 0xFFFF);
    // Access records the length up to here (page header included) and keeps
    // eight spare zero bytes after it.
    put_u32(b, 8, static_cast<std::uint32_t>(b.size()));
    b.resize(b.size() + 8, 0);
    return b;
}

std::size_t tdef_page_count(std::size_t buffer_size) {
    if (buffer_size <= kPageSize) return 1;
    std::size_t rest = buffer_size - kPageSize;
    return 1 + (rest + (kPageSize - 8) - 1) / (kPageSize - 8);
}

std::vector<Bytes> split_tdef(const Bytes& buffer, std::span<const std::uint32_t> pages) {
    std::vector<Bytes> out;
    std::size_t pos = 8;  // the first page's 8-byte header is rebuilt
    for (std::size_t i = 0; i < pages.size(); ++i) {
        Bytes p(kPageSize, 0);
        p[0] = 0x02;
        p[1] = 0x01;
        std::size_t take = std::min(buffer.size() - pos, static_cast<std::size_t>(kPageSize - 8));
        std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(pos),
                  buffer.begin() + static_cast<std::ptrdiff_t>(pos + take), p.begin() + 8);
        pos += take;
        put_u16(p, 2, static_cast<std::uint16_t>(kPageSize - 8 - take));
        put_u32(p, 4, i + 1 < pages.size() ? pages[i + 1] : 0);
        out.push_back(std::move(p));
    }
    if (pos != buffer.size()) throw Error("Internal error: table definition pages too few");
    return out;
}

// ---- index pages ------------------------------------------------------------

void append_index_row_pointer(Bytes& b, std::uint32_t page, std::uint8_t row) {
    b.push_back(static_cast<std::uint8_t>(page >> 16));
    b.push_back(static_cast<std::uint8_t>(page >> 8));
    b.push_back(static_cast<std::uint8_t>(page));
    b.push_back(row);
}

Bytes encode_index_page(const IndexPageImage& ip) {
    Bytes p(kPageSize, 0);
    p[0] = ip.leaf ? 0x04 : 0x03;
    p[1] = 0x01;
    const IndexPageLayout& layout = index_page_layout(Format::Jet4);
    put_u32(p, layout.owner_offset, ip.owner);
    put_u32(p, layout.prev_offset, ip.prev);
    put_u32(p, layout.next_offset, ip.next);
    put_u32(p, layout.tail_offset, ip.tail);
    put_u16(p, layout.prefix_offset, 0);  // no shared prefix
    std::size_t pos = kIndexEntryStart;
    for (const auto& e : ip.entries) {
        if (pos + e.size() > kPageSize) throw Error("Internal error: index page overflow");
        std::copy(e.begin(), e.end(), p.begin() + static_cast<std::ptrdiff_t>(pos));
        pos += e.size();
        // Mark where the next entry starts (the first one is implicit); the
        // mark after the last entry tells where the data ends.
        std::size_t bit = pos - kIndexEntryStart;
        p[kIndexMaskStart + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    put_u16(p, 2, static_cast<std::uint16_t>(kPageSize - pos));
    return p;
}

}  // namespace jet::write
