// Text keys in the Jet 4 "General" sort order: the code table lookup and the
// assembly of one text value's key bytes.
#include "jet/base/sort_general.h"

#include <algorithm>
#include <iterator>

namespace jet {
namespace {

// One run of neighbouring code units that share their kind and extra codes
// and whose inline codes grow by `step` from the first member's.
struct SortRun {
    char16_t first;
    std::uint16_t count;
    std::uint8_t step;
    char kind;
    std::uint8_t inline_length;
    std::uint8_t extra_length;
    std::uint8_t inline_codes[kMaxSortCodeBytes];
    std::uint8_t extra_codes[kMaxSortCodeBytes];
    std::uint8_t flag;
    std::uint8_t modifier;
};

#include "jet/base/sort_general_table.inc"
#include "jet/base/sort_general_v1_table.inc"

// Markers between the sections of a text key.
constexpr std::uint8_t kEndText = 0x01;
constexpr std::uint8_t kEndExtraText = 0x00;
// Extra-code placeholder for a character without extra codes.
constexpr std::uint8_t kExtraPlaceholder = 0x02;
// Unprintable entries: a big-endian position word, a fixed byte, the code.
constexpr int kUnprintablePositionStart = 7;
constexpr int kUnprintablePositionStep = 4;
constexpr int kUnprintablePositionFlags = 0x8000;
constexpr std::uint8_t kUnprintableMidfix = 0x06;
// Flag section: flags packed three to a byte under a common top bit pattern,
// then a fixed suffix, then one more byte when unprintable codes follow.
constexpr std::uint8_t kFlagByteStart = 0x80;
constexpr std::uint8_t kFlagCode1 = 0x02;
constexpr std::uint8_t kFlagCode2 = 0x03;
constexpr std::uint8_t kFlagSuffix[] = {0xFF, 0x02, 0x80, 0xFF, 0x80};
constexpr std::uint8_t kFlagUnprintableSuffix = 0xFF;

}  // namespace

SortCharCodes general_sort_codes(char16_t unit, SortOrderVersion version) {
    SortCharCodes codes;
    const bool v1 = version == SortOrderVersion::kGeneral;
    if (v1 && unit >= 0xD800 && unit <= 0xDFFF) {
        // Surrogates are not in the table: each half sorts by a code
        // computed from its value (the low half by where it lies in its block
        // of 1024), with one extra code.
        int index = 0;
        if (unit < 0xDC00) {
            index = unit - 10238;
        } else {
            const int in_block = (unit - 0xDC00) % 1024;
            const int back = in_block < 8 ? 9992 : in_block < 8 + 254 ? 9990 : in_block < 8 + 2 * 254 ? 9988
                             : in_block < 8 + 3 * 254 ? 9986 : 9984;
            index = unit - back;
        }
        codes.kind = SortCharKind::kInternational;
        codes.inline_length = 2;
        codes.inline_codes[0] = static_cast<std::uint8_t>((index >> 8) & 0xFF);
        codes.inline_codes[1] = static_cast<std::uint8_t>(index & 0xFF);
        codes.extra_length = 1;
        codes.extra_codes[0] = 0x3F;
        return codes;
    }
    const SortRun* const begin = v1 ? std::begin(kSortRunsV1) : std::begin(kSortRuns);
    const SortRun* const end = v1 ? std::end(kSortRunsV1) : std::end(kSortRuns);
    auto it = std::upper_bound(begin, end, unit,
                               [](char16_t u, const SortRun& run) { return u < run.first; });
    if (it == begin) return codes;
    const SortRun& run = *std::prev(it);
    const unsigned offset = static_cast<unsigned>(unit - run.first);
    if (offset >= run.count) return codes;  // a surrogate: not in the table

    codes.kind = static_cast<SortCharKind>(run.kind);
    codes.inline_length = run.inline_length;
    codes.extra_length = run.extra_length;
    std::copy_n(run.extra_codes, kMaxSortCodeBytes, codes.extra_codes);
    codes.flag = run.flag;
    codes.modifier = run.modifier;
    // The inline code of a member is the first member's, read as a big-endian
    // number, plus step times its position in the run.
    unsigned carry = run.step * offset;
    for (int i = run.inline_length - 1; i >= 0; --i) {
        const unsigned sum = run.inline_codes[i] + carry;
        codes.inline_codes[i] = static_cast<std::uint8_t>(sum & 0xFF);
        carry = sum >> 8;
    }
    return codes;
}

namespace {

// The extra-code section under construction. It counts the characters it
// covers (so placeholders can be filled in for those without extra codes)
// and remembers whether it began with a bare modifier, which does not count
// as a position for the unprintable codes.
struct ExtraCodes {
    std::vector<std::uint8_t> bytes;
    int chars = 0;
    int modifier_prefix = 0;
    bool used = false;
};

void add_extra(ExtraCodes& extra, int char_offset, const SortCharCodes& codes) {
    extra.used = true;
    if (extra.chars < char_offset) {
        extra.bytes.insert(extra.bytes.end(), static_cast<std::size_t>(char_offset - extra.chars),
                           kExtraPlaceholder);
        extra.chars = char_offset;
    }
    if (codes.extra_length > 0) {
        extra.bytes.insert(extra.bytes.end(), codes.extra_codes,
                           codes.extra_codes + codes.extra_length);
        ++extra.chars;
    } else if (!extra.bytes.empty()) {
        // A modifier changes the extra code before it instead of adding one.
        extra.bytes.back() = static_cast<std::uint8_t>(extra.bytes.back() + codes.modifier);
    } else {
        extra.bytes.push_back(codes.modifier);
        extra.modifier_prefix = 1;
    }
}

void add_unprintable(std::vector<std::uint8_t>& unprintable, const ExtraCodes& extra,
                     int char_offset, const SortCharCodes& codes) {
    // The position counts the bytes of the extra section as it would stand
    // with this character's placeholder filled in, not the characters.
    int position = char_offset;
    if (extra.used) {
        position = static_cast<int>(extra.bytes.size()) + (char_offset - extra.chars) -
                   extra.modifier_prefix;
    }
    const int word = (kUnprintablePositionStart + kUnprintablePositionStep * position) |
                     kUnprintablePositionFlags;
    unprintable.push_back(static_cast<std::uint8_t>((word >> 8) & 0xFF));
    unprintable.push_back(static_cast<std::uint8_t>(word & 0xFF));
    unprintable.push_back(kUnprintableMidfix);
    unprintable.insert(unprintable.end(), codes.inline_codes,
                       codes.inline_codes + codes.inline_length);
}

void append_flags(std::vector<std::uint8_t> flags, std::vector<std::uint8_t>& out) {
    // Trailing second-kind flags carry no information.
    while (!flags.empty() && flags.back() == kFlagCode2) flags.pop_back();
    std::uint8_t current = kFlagByteStart;
    int filled = 0;
    for (std::uint8_t f : flags) {
        current = static_cast<std::uint8_t>(current | (f << ((2 - filled) * 2)));
        if (++filled == 3) {
            out.push_back(current);
            current = kFlagByteStart;
            filled = 0;
        }
    }
    if (filled > 0) out.push_back(current);
    out.insert(out.end(), std::begin(kFlagSuffix), std::end(kFlagSuffix));
}

}  // namespace

void append_general_text_key(std::u16string_view text, bool ascending,
                             std::vector<std::uint8_t>& out, SortOrderVersion version) {
    if (text.size() > kMaxIndexTextLength) text = text.substr(0, kMaxIndexTextLength);
    while (!text.empty() && text.back() == u' ') text.remove_suffix(1);

    const std::size_t start = out.size();
    ExtraCodes extra;
    std::vector<std::uint8_t> unprintable;
    std::vector<std::uint8_t> flags;
    bool has_unprintable = false;
    bool has_flags = false;
    int char_offset = 0;

    for (char16_t unit : text) {
        const SortCharCodes codes = general_sort_codes(unit, version);
        const int this_offset = char_offset;
        switch (codes.kind) {
            case SortCharKind::kIgnored:
                break;
            case SortCharKind::kSimple:
            case SortCharKind::kSignificant:
                out.insert(out.end(), codes.inline_codes, codes.inline_codes + codes.inline_length);
                ++char_offset;
                break;
            case SortCharKind::kInternational:
                out.insert(out.end(), codes.inline_codes, codes.inline_codes + codes.inline_length);
                ++char_offset;
                add_extra(extra, this_offset, codes);
                break;
            case SortCharKind::kInternationalFlag:
                out.insert(out.end(), codes.inline_codes, codes.inline_codes + codes.inline_length);
                ++char_offset;
                if (codes.extra_length > 0) add_extra(extra, this_offset, codes);
                flags.push_back(codes.flag == 1 ? kFlagCode1 : kFlagCode2);
                has_flags = true;
                break;
            case SortCharKind::kUnprintable:
                add_unprintable(unprintable, extra, this_offset, codes);
                has_unprintable = true;
                break;
            case SortCharKind::kUnprintableModifier:
                add_extra(extra, this_offset, codes);
                break;
        }
    }
    out.push_back(kEndText);

    // Placeholders (and zero codes) at the end of the extra section say nothing.
    while (!extra.bytes.empty() && extra.bytes.back() <= kExtraPlaceholder) extra.bytes.pop_back();
    const bool has_extra = !extra.bytes.empty();
    if (has_extra || has_unprintable || has_flags) {
        out.insert(out.end(), extra.bytes.begin(), extra.bytes.end());
        if (has_flags || has_unprintable) {
            out.push_back(kEndText);
            out.push_back(kEndText);
            if (has_flags) {
                append_flags(std::move(flags), out);
                if (has_unprintable) out.push_back(kFlagUnprintableSuffix);
            }
            if (has_unprintable) {
                out.push_back(kEndText);
                out.insert(out.end(), unprintable.begin(), unprintable.end());
            }
        }
    }

    if (!ascending) {
        out.push_back(kEndExtraText);
        for (std::size_t i = start; i < out.size(); ++i) {
            out[i] = static_cast<std::uint8_t>(~out[i]);
        }
    }
    out.push_back(kEndExtraText);
}

std::u16string utf8_to_utf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = p + utf8.size();
    while (p < end) {
        const unsigned char lead = *p;
        char32_t cp = 0;
        int extra = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F;
            extra = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F;
            extra = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07;
            extra = 3;
        } else {
            out.push_back(u'\uFFFD');
            ++p;
            continue;
        }
        if (end - p - 1 < extra) {
            out.push_back(u'\uFFFD');
            break;
        }
        bool ok = true;
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) {
                ok = false;
                extra = i - 1;
                break;
            }
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        p += 1 + extra;
        static constexpr char32_t kMinForLength[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || cp < kMinForLength[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(u'\uFFFD');
        } else if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

}  // namespace jet
