// The writer's long values (memo and OLE): inline, on one LVAL page, or
// chained over several, from a whole value or a stream.
#include "jet/write/writer_internal.h"

namespace jet {

using namespace writer_detail;

Bytes DatabaseWriter::store_long_value(Table& t, std::size_t column,
                                       std::span<const std::uint8_t> data, bool allow_inline) {
    LongColumn& lc = t.longs.at(static_cast<std::size_t>(t.long_of_column.at(column)));
    if (data.size() > kLongValueLengthMask) throw Error(std::string(kRecordTooLargeMessage));
    Bytes header;
    auto length = static_cast<std::uint32_t>(data.size());
    if (allow_inline) {
        write::append_u32(header, length | kLongValueInline);
        write::append_u32(header, 0);
        write::append_u32(header, 0);
        header.insert(header.end(), data.begin(), data.end());
        return header;
    }
    if (data.size() <= write::kMaxRowSize) {
        place_long_value_row(lc, data.size());
        auto row = static_cast<std::uint8_t>(lc.rows.size());
        lc.rows.push_back(RowSlotImage{Bytes(data.begin(), data.end()), false});
        write::append_u32(header, length | kLongValueSinglePage);
        write::append_u32(header, write::row_pointer(lc.current, row));
        write::append_u32(header, 0);
        return header;
    }
    // A chain: every full chunk alone on a page of its own, the remainder on
    // the page being filled. The remainder is placed first so that each
    // chunk can name the next one when it is written.
    std::size_t chunks = (data.size() + kLongValueChunk - 1) / kLongValueChunk;
    std::size_t last_from = (chunks - 1) * kLongValueChunk;
    RowSlotImage last;
    write::append_u32(last.bytes, 0);
    last.bytes.insert(last.bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(last_from), data.end());
    place_long_value_row(lc, last.bytes.size());
    std::uint32_t next = write::row_pointer(lc.current, static_cast<std::uint8_t>(lc.rows.size()));
    lc.rows.push_back(std::move(last));
    for (std::size_t k = chunks - 1; k-- > 0;) {
        std::uint32_t page = allocate_page();
        lc.pages.push_back(page);
        RowSlotImage r;
        write::append_u32(r.bytes, next);
        std::size_t from = k * kLongValueChunk;
        r.bytes.insert(r.bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
                       data.begin() + static_cast<std::ptrdiff_t>(from + kLongValueChunk));
        std::vector<RowSlotImage> one{std::move(r)};
        pager_.write(page, write::encode_row_page(0, true, one));
        next = write::row_pointer(page, 0);
    }
    write::append_u32(header, length);
    write::append_u32(header, next);
    write::append_u32(header, 0);
    return header;
}

// The open page a long-value row of `size` bytes fits best (least room
// left after it) becomes `current`; a new page is opened when none has room.
void DatabaseWriter::place_long_value_row(LongColumn& lc, std::size_t size) {
    auto room = [&](const std::vector<RowSlotImage>& rows) -> std::size_t {
        if (rows.size() >= write::kMaxRowsPerPage) return 0;
        std::size_t free = write::row_page_free(rows);
        return free >= size + 2 ? free - size - 2 + 1 : 0;  // 0 = does not fit
    };
    std::size_t best = lc.current ? room(lc.rows) : 0;
    std::size_t best_k = lc.others.size();
    for (std::size_t k = 0; k < lc.others.size(); ++k) {
        std::size_t r = room(lc.others[k].rows);
        if (r && (!best || r < best)) {
            best = r;
            best_k = k;
        }
    }
    if (best_k < lc.others.size()) {
        std::swap(lc.current, lc.others[best_k].page);
        std::swap(lc.rows, lc.others[best_k].rows);
    } else if (!best) {
        const std::uint32_t page = allocate_page();
        lc.pages.push_back(page);
        open_long_value_page(lc, page, {});
    }
}

// `page` becomes the column's `current` page; the page that was current
// joins the others, and past kOpenLongValuePages the fullest of them is
// written and left. The caller has listed `page` in lc.pages.
void DatabaseWriter::open_long_value_page(LongColumn& lc, std::uint32_t page,
                                          std::vector<RowSlotImage> rows) {
    if (lc.current) {
        lc.others.push_back({lc.current, std::move(lc.rows)});
        if (lc.others.size() >= kOpenLongValuePages) {
            auto fullest = std::min_element(lc.others.begin(), lc.others.end(), [](const auto& a, const auto& b) {
                return write::row_page_free(a.rows) < write::row_page_free(b.rows);
            });
            pager_.write(fullest->page, write::encode_row_page(0, true, fullest->rows));
            lc.others.erase(fullest);
        }
    }
    lc.current = page;
    lc.rows = std::move(rows);
}

Bytes DatabaseWriter::store_long_value_stream(
    Table& t, std::size_t column, const std::function<void(const FieldInput::Sink&)>& stream) {
    LongColumn& lc = t.longs.at(static_cast<std::size_t>(t.long_of_column.at(column)));
    // Chunks are written first to last, and each names the next one, so a
    // full chunk is held until the place of the chunk after it is known: a
    // page of its own when more bytes follow that one, or, for the last
    // chunk, the open page it fits best, as a whole value's last chunk goes.
    Bytes& filling = scratch_->chunk;    // the chunk being filled
    Bytes& held = scratch_->held_chunk;  // the full chunk before it (empty: none)
    filling.clear();
    held.clear();
    std::uint32_t held_page = 0;
    std::uint32_t first = 0;
    std::uint64_t total = 0;
    auto write_held = [&](std::uint32_t next) {
        std::vector<RowSlotImage> one(1);
        one[0].bytes.reserve(4 + held.size());
        write::append_u32(one[0].bytes, next);
        one[0].bytes.insert(one[0].bytes.end(), held.begin(), held.end());
        pager_.write(held_page, write::encode_row_page(0, true, one));
    };
    stream([&](std::span<const std::uint8_t> piece) {
        total += piece.size();
        if (total > kLongValueLengthMask) throw Error(std::string(kRecordTooLargeMessage));
        while (!piece.empty()) {
            if (filling.size() == kLongValueChunk) {
                // More bytes follow: the full chunk is not the last, and
                // takes a page of its own.
                const std::uint32_t page = allocate_page();
                lc.pages.push_back(page);
                if (held.empty()) {
                    first = write::row_pointer(page, 0);
                } else {
                    write_held(write::row_pointer(page, 0));
                }
                std::swap(held, filling);
                held_page = page;
                filling.clear();
            }
            const std::size_t take = std::min(piece.size(), kLongValueChunk - filling.size());
            filling.insert(filling.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(take));
            piece = piece.subspan(take);
        }
    });
    if (held.empty()) return store_long_value(t, column, filling, false);
    RowSlotImage last;
    last.bytes.reserve(4 + filling.size());
    write::append_u32(last.bytes, 0);
    last.bytes.insert(last.bytes.end(), filling.begin(), filling.end());
    place_long_value_row(lc, last.bytes.size());
    write_held(write::row_pointer(lc.current, static_cast<std::uint8_t>(lc.rows.size())));
    lc.rows.push_back(std::move(last));
    Bytes header;
    write::append_u32(header, static_cast<std::uint32_t>(total));
    write::append_u32(header, first);
    write::append_u32(header, 0);
    return header;
}

}  // namespace jet
