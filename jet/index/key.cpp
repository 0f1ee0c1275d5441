// Index keys: the encoding of each column type's values in a Jet 4 index
// entry.
#include "jet/index/key.h"

#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "jet/base/error.h"
#include "jet/base/sort_general.h"

namespace jet {
namespace {

// Binary values are cut into segments of eight bytes, each followed by a
// length byte: 9 for a full segment with more to come, else the number of
// bytes used in the last, zero-padded segment.
constexpr std::size_t kBinarySegment = 8;
constexpr std::uint8_t kBinaryMoreFollows = 9;

constexpr std::uint8_t kBooleanTrueAscending = 0x00;
constexpr std::uint8_t kBooleanFalseAscending = 0xFF;

std::string type_label(ColumnType type) {
    return column_type_name(static_cast<std::uint8_t>(type));
}

[[noreturn]] void wrong_kind(ColumnType type) {
    throw Error("index key: the value does not fit a " + type_label(type) + " column");
}

void invert(std::vector<std::uint8_t>& out, std::size_t from) {
    for (std::size_t i = from; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(~out[i]);
}

void append_big_endian(std::uint64_t bits, int width, std::vector<std::uint8_t>& out) {
    for (int i = width - 1; i >= 0; --i) {
        out.push_back(static_cast<std::uint8_t>((bits >> (8 * i)) & 0xFF));
    }
}

// Two's complement integers: the sign bit flipped makes them sort as
// unsigned bytes.
void append_integer(std::int64_t value, int width, bool ascending, std::vector<std::uint8_t>& out) {
    const std::size_t from = out.size();
    append_big_endian(static_cast<std::uint64_t>(value), width, out);
    out[from] ^= 0x80;
    if (!ascending) invert(out, from);
}

// IEEE numbers: a positive one gets its sign bit set, a negative one is
// inverted whole, so both sort as unsigned bytes. The sign is the sign bit,
// so -0.0 is encoded as a negative number.
void append_floating(std::uint64_t bits, int width, bool ascending,
                     std::vector<std::uint8_t>& out) {
    const std::size_t from = out.size();
    append_big_endian(bits, width, out);
    const bool negative = (out[from] & 0x80) != 0;
    if (!negative) out[from] ^= 0x80;
    if (negative == ascending) invert(out, from);
}

void append_binary(std::span<const std::uint8_t> data, bool ascending,
                   std::vector<std::uint8_t>& out) {
    std::size_t pos = 0;
    while (data.size() - pos > kBinarySegment) {
        const std::size_t from = out.size();
        out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(pos),
                   data.begin() + static_cast<std::ptrdiff_t>(pos + kBinarySegment));
        if (!ascending) invert(out, from);
        // The length byte of an inner segment stays as it is in both orders.
        out.push_back(kBinaryMoreFollows);
        pos += kBinarySegment;
    }
    const std::size_t rest = data.size() - pos;
    if (rest == 0) return;
    const std::size_t from = out.size();
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(pos), data.end());
    out.insert(out.end(), kBinarySegment - rest, 0);
    out.push_back(static_cast<std::uint8_t>(rest));
    if (!ascending) invert(out, from);
}

// Index entries hold a GUID in its text order: the three little-endian
// groups of the stored form are swapped to big-endian.
std::array<std::uint8_t, 16> guid_text_order(const GuidBytes& g) {
    return {g[3], g[2], g[1],  g[0],  g[5],  g[4],  g[7],  g[6],
            g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]};
}

// Numeric values sort by a sign byte of 0xFF (positive) or 0x00 (negative)
// followed by the magnitude, inverted when negative. In Jet 4 files a
// descending column inverts the magnitude of positive values and keeps the
// sign byte; in ACE files it inverts the whole ascending key.
void append_decimal(const KeyDecimal& d, bool ascending, std::vector<std::uint8_t>& out,
                    NumericKeyOrder order) {
    const std::size_t from = out.size();
    if (order == NumericKeyOrder::kAce) {
        out.push_back(0xFF);
        out.insert(out.end(), d.magnitude.begin(), d.magnitude.end());
        if (d.negative == ascending) invert(out, from);
        return;
    }
    out.push_back(d.negative ? 0x80 : 0x00);
    out.insert(out.end(), d.magnitude.begin(), d.magnitude.end());
    if (d.negative == ascending) invert(out, from);
    out[from] = d.negative ? 0x00 : 0xFF;
}

std::int64_t checked_integer(ColumnType type, const KeyValue& value, std::int64_t lo,
                             std::int64_t hi) {
    const auto* v = std::get_if<std::int64_t>(&value);
    if (v == nullptr) wrong_kind(type);
    if (*v < lo || *v > hi) {
        throw Error("index key: " + std::to_string(*v) + " is out of range for a " +
                    type_label(type) + " column");
    }
    return *v;
}

double floating_value(ColumnType type, const KeyValue& value) {
    if (const auto* d = std::get_if<double>(&value)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
    wrong_kind(type);
}

}  // namespace

bool is_indexable_type(ColumnType type) {
    switch (type) {
        case ColumnType::kBoolean:
        case ColumnType::kByte:
        case ColumnType::kInteger:
        case ColumnType::kLong:
        case ColumnType::kCurrency:
        case ColumnType::kSingle:
        case ColumnType::kDouble:
        case ColumnType::kDateTime:
        case ColumnType::kBinary:
        case ColumnType::kText:
        case ColumnType::kMemo:
        case ColumnType::kGuid:
        case ColumnType::kNumeric:
        case ColumnType::kComplex:
        case ColumnType::kBigInt:
        case ColumnType::kDateTimeExt:
            return true;
        case ColumnType::kOle:
            return false;
    }
    return false;
}

void append_key_column(ColumnType type, const KeyValue& value, bool ascending,
                       std::vector<std::uint8_t>& out, SortOrderVersion sort_version,
                       NumericKeyOrder numeric_order) {
    if (!is_indexable_type(type)) {
        throw Error("index key: a " + type_label(type) + " column cannot be part of an index");
    }
    const bool is_null = std::holds_alternative<std::monostate>(value);
    if (type == ColumnType::kBoolean) {
        // Jet has no null Boolean; the key always carries the value.
        bool b = false;
        if (const auto* pb = std::get_if<bool>(&value)) {
            b = *pb;
        } else if (!is_null) {
            wrong_kind(type);
        }
        out.push_back(ascending ? kKeyAscendingFlag : kKeyDescendingFlag);
        const std::uint8_t code = b ? kBooleanTrueAscending : kBooleanFalseAscending;
        out.push_back(ascending ? code : static_cast<std::uint8_t>(~code));
        return;
    }
    if (is_null) {
        out.push_back(ascending ? kKeyAscendingNull : kKeyDescendingNull);
        return;
    }
    out.push_back(ascending ? kKeyAscendingFlag : kKeyDescendingFlag);

    switch (type) {
        case ColumnType::kByte: {
            const auto v = checked_integer(type, value, 0, 255);
            out.push_back(static_cast<std::uint8_t>(ascending ? v : ~v));
            return;
        }
        case ColumnType::kInteger:
            append_integer(checked_integer(type, value, std::numeric_limits<std::int16_t>::min(),
                                           std::numeric_limits<std::int16_t>::max()),
                           2, ascending, out);
            return;
        case ColumnType::kLong:
            append_integer(checked_integer(type, value, std::numeric_limits<std::int32_t>::min(),
                                           std::numeric_limits<std::int32_t>::max()),
                           4, ascending, out);
            return;
        case ColumnType::kComplex:  // the complex value id, as a Long
            append_integer(checked_integer(type, value, std::numeric_limits<std::int32_t>::min(),
                                           std::numeric_limits<std::int32_t>::max()),
                           4, ascending, out);
            return;
        case ColumnType::kCurrency:
        case ColumnType::kBigInt:
            append_integer(checked_integer(type, value, std::numeric_limits<std::int64_t>::min(),
                                           std::numeric_limits<std::int64_t>::max()),
                           8, ascending, out);
            return;
        case ColumnType::kDateTimeExt: {
            // The 42 stored bytes in five blocks of 8, each followed by a tab,
            // then the last 2 and a fixed trailer; a descending column
            // inverts the value and the trailer, not the tabs.
            const auto* b = std::get_if<std::span<const std::uint8_t>>(&value);
            if (!b || b->size() != kDateTimeExtSize) wrong_kind(type);
            auto put = [&](std::uint8_t v) { out.push_back(ascending ? v : static_cast<std::uint8_t>(~v)); };
            for (std::size_t block = 0; block < 5; ++block) {
                for (std::size_t i = 0; i < 8; ++i) put((*b)[8 * block + i]);
                out.push_back(0x09);
            }
            put((*b)[40]);
            put((*b)[41]);
            for (std::uint8_t v : {0, 0, 0, 0, 0, 0, 2}) put(v);
            return;
        }
        case ColumnType::kSingle: {
            const float f = static_cast<float>(floating_value(type, value));
            append_floating(std::bit_cast<std::uint32_t>(f), 4, ascending, out);
            return;
        }
        case ColumnType::kDouble:
        case ColumnType::kDateTime:
            append_floating(std::bit_cast<std::uint64_t>(floating_value(type, value)), 8, ascending,
                            out);
            return;
        case ColumnType::kText:
        case ColumnType::kMemo:
            if (const auto* s16 = std::get_if<std::u16string_view>(&value)) {
                append_general_text_key(*s16, ascending, out, sort_version);
            } else if (const auto* s8 = std::get_if<std::string_view>(&value)) {
                append_general_text_key(utf8_to_utf16(*s8), ascending, out, sort_version);
            } else {
                wrong_kind(type);
            }
            return;
        case ColumnType::kBinary:
            if (const auto* b = std::get_if<std::span<const std::uint8_t>>(&value)) {
                append_binary(*b, ascending, out);
                return;
            }
            wrong_kind(type);
        case ColumnType::kGuid:
            if (const auto* g = std::get_if<GuidBytes>(&value)) {
                const auto ordered = guid_text_order(*g);
                append_binary(ordered, ascending, out);
                return;
            }
            wrong_kind(type);
        case ColumnType::kNumeric:
            if (const auto* d = std::get_if<KeyDecimal>(&value)) {
                append_decimal(*d, ascending, out, numeric_order);
                return;
            }
            wrong_kind(type);
        case ColumnType::kBoolean:
        case ColumnType::kOle:
            break;
    }
    wrong_kind(type);
}

std::vector<std::uint8_t> encode_index_key(std::span<const KeyPart> parts) {
    std::vector<std::uint8_t> out;
    for (const KeyPart& part : parts)
        append_key_column(part.type, part.value, part.ascending, out, part.sort_version,
                          part.numeric_order);
    return out;
}

}  // namespace jet
