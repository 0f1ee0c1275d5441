// Index keys and index pages on hand-made inputs: the encoding of each column
// type (both orders), the General sort text rules, and the decoding of index
// pages with their damage checks. The proof on real files is in
// index_proof_test.cpp.
#include "jet/index/key.h"
#include "bytes_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "jet/base/error.h"
#include "jet/index/page.h"
#include "jet/base/sort_general.h"
#include "jet/base/text.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using jet::ColumnType;
using jet::KeyValue;

Bytes key_of(ColumnType type, const KeyValue& v, bool asc) {
    Bytes out;
    jet::append_key_column(type, v, asc, out);
    return out;
}

struct KeyCase {
    const char* what;
    ColumnType type;
    KeyValue value;
    bool ascending;
    const char* expected;
};

const jet::GuidBytes kGuid = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                              0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const std::uint8_t kTenBytes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

TEST(IndexKey, EncodesEachTypeInBothOrders) {
    const KeyCase cases[] = {
        {"null asc", ColumnType::kLong, std::monostate{}, true, "00"},
        {"null desc", ColumnType::kText, std::monostate{}, false, "FF"},
        {"byte", ColumnType::kByte, std::int64_t{5}, true, "7F 05"},
        {"byte desc", ColumnType::kByte, std::int64_t{5}, false, "80 FA"},
        {"integer -1", ColumnType::kInteger, std::int64_t{-1}, true, "7F 7F FF"},
        {"integer 1 desc", ColumnType::kInteger, std::int64_t{1}, false, "80 7F FE"},
        {"long 1", ColumnType::kLong, std::int64_t{1}, true, "7F 80 00 00 01"},
        {"long 1 desc", ColumnType::kLong, std::int64_t{1}, false, "80 7F FF FF FE"},
        {"long min", ColumnType::kLong, std::int64_t{INT32_MIN}, true, "7F 00 00 00 00"},
        {"currency 1.0000", ColumnType::kCurrency, std::int64_t{10000}, true,
         "7F 80 00 00 00 00 00 27 10"},
        {"double 1", ColumnType::kDouble, 1.0, true, "7F BF F0 00 00 00 00 00 00"},
        {"double -1", ColumnType::kDouble, -1.0, true, "7F 40 0F FF FF FF FF FF FF"},
        {"double 1 desc", ColumnType::kDouble, 1.0, false, "80 40 0F FF FF FF FF FF FF"},
        {"double -1 desc", ColumnType::kDouble, -1.0, false, "80 BF F0 00 00 00 00 00 00"},
        {"double 0", ColumnType::kDouble, 0.0, true, "7F 80 00 00 00 00 00 00 00"},
        {"single 1", ColumnType::kSingle, 1.0, true, "7F BF 80 00 00"},
        {"date before 1899", ColumnType::kDateTime, -1.5, true, "7F 40 07 FF FF FF FF FF FF"},
        {"boolean true", ColumnType::kBoolean, true, true, "7F 00"},
        {"boolean false", ColumnType::kBoolean, false, true, "7F FF"},
        {"boolean true desc", ColumnType::kBoolean, true, false, "80 FF"},
        {"boolean null is false", ColumnType::kBoolean, std::monostate{}, true, "7F FF"},
        {"guid", ColumnType::kGuid, kGuid, true,
         "7F 00 11 22 33 44 55 66 77 09 88 99 AA BB CC DD EE FF 08"},
        {"guid desc", ColumnType::kGuid, kGuid, false,
         "80 FF EE DD CC BB AA 99 88 09 77 66 55 44 33 22 11 00 F7"},
        {"binary 10", ColumnType::kBinary, std::span<const std::uint8_t>(kTenBytes), true,
         "7F 01 02 03 04 05 06 07 08 09 09 0A 00 00 00 00 00 00 02"},
        {"decimal +1", ColumnType::kNumeric,
         jet::KeyDecimal{false, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}, true,
         "7F FF 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01"},
        {"decimal -1", ColumnType::kNumeric,
         jet::KeyDecimal{true, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}, true,
         "7F 00 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FE"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(zolvak_test::spaced_hex(key_of(c.type, c.value, c.ascending)), c.expected) << c.what;
    }
}

TEST(IndexKey, OrderOfEncodedNumbersFollowsTheValues) {
    // Byte order of the keys must be the order of the values, in both orders.
    const double values[] = {-1e300, -2.5, -1.0, -0.5, 0.0, 1e-300, 0.5, 1.0, 2.5, 1e300};
    for (bool asc : {true, false}) {
        for (std::size_t i = 1; i < std::size(values); ++i) {
            const Bytes a = key_of(ColumnType::kDouble, values[i - 1], asc);
            const Bytes b = key_of(ColumnType::kDouble, values[i], asc);
            EXPECT_EQ(asc, a < b) << values[i - 1] << " vs " << values[i];
        }
    }
    const std::int64_t ints[] = {INT32_MIN, -70000, -1, 0, 1, 255, 70000, INT32_MAX};
    for (std::size_t i = 1; i < std::size(ints); ++i) {
        EXPECT_LT(key_of(ColumnType::kLong, ints[i - 1], true),
                  key_of(ColumnType::kLong, ints[i], true));
        EXPECT_GT(key_of(ColumnType::kLong, ints[i - 1], false),
                  key_of(ColumnType::kLong, ints[i], false));
    }
    // Nulls sort first ascending, last descending.
    EXPECT_LT(key_of(ColumnType::kLong, std::monostate{}, true),
              key_of(ColumnType::kLong, std::int64_t{INT32_MIN}, true));
    EXPECT_GT(key_of(ColumnType::kLong, std::monostate{}, false),
              key_of(ColumnType::kLong, std::int64_t{INT32_MIN}, false));
}

TEST(IndexKey, RejectsValuesThatDoNotFitTheColumn) {
    const struct {
        const char* what;
        ColumnType type;
        KeyValue value;
    } cases[] = {
        {"byte 256", ColumnType::kByte, std::int64_t{256}},
        {"byte -1", ColumnType::kByte, std::int64_t{-1}},
        {"integer 40000", ColumnType::kInteger, std::int64_t{40000}},
        {"long 2^31", ColumnType::kLong, std::int64_t{1} << 31},
        {"text as number", ColumnType::kText, std::int64_t{1}},
        {"long as text", ColumnType::kLong, std::string_view("1")},
        {"guid as bytes", ColumnType::kGuid, std::span<const std::uint8_t>(kTenBytes)},
        {"ole", ColumnType::kOle, std::span<const std::uint8_t>(kTenBytes)},
    };
    for (const auto& c : cases) {
        EXPECT_THROW(key_of(c.type, c.value, true), jet::Error) << c.what;
    }
}

struct TextCase {
    const char* what;
    std::u16string text;
    bool ascending;
    const char* expected;  // without the flag byte
};

TEST(IndexKey, GeneralSortText) {
    const TextCase cases[] = {
        {"empty", u"", true, "01 00"},
        {"letter", u"a", true, "4A 01 00"},
        {"case folds", u"A", true, "4A 01 00"},
        {"letter desc", u"a", false, "B5 FE FF 00"},
        {"trailing blanks dropped", u"a  ", true, "4A 01 00"},
        {"inner blank kept", u"a a", true, "4A 07 4A 01 00"},
        {"accent: extra code", u"\u00E9", true, "51 01 0E 00"},
        {"placeholder before extra", u"a\u00E9", true, "4A 51 01 02 0E 00"},
        {"trailing placeholders dropped", u"\u00E9a", true, "51 4A 01 0E 00"},
        {"modifier adds to placeholder", u"a\u0301", true, "4A 01 0E 00"},
        {"unprintable", u"a-b", true, "4A 4C 01 01 01 01 80 0B 06 82 00"},
        {"unprintable desc", u"a-b", false, "B5 B3 FE FE FE FE 7F F4 F9 7D FF 00"},
        {"control char", u"\u0001", true, "01 01 01 01 80 07 06 03 00"},
        {"ignored char", std::u16string(u"a\u0000b", 3), true, "4A 4C 01 00"},
        {"flag 1", u"\u3041", true, "7F 02 01 01 01 A0 FF 02 80 FF 80 00"},
        {"flag 2 trimmed", u"\u3042", true, "7F 02 01 01 01 FF 02 80 FF 80 00"},
        {"flag with extra", u"\u30AC", true, "7F 0A 01 03 01 01 FF 02 80 FF 80 00"},
        {"two-byte inline", u"\u0410", true, "79 2F 01 00"},
    };
    for (const auto& c : cases) {
        Bytes out;
        jet::append_general_text_key(c.text, c.ascending, out);
        EXPECT_EQ(zolvak_test::spaced_hex(out), c.expected) << c.what;
    }
}

// Jet 3 texts decode bytes their code page leaves unassigned to characters
// of their own (C1 controls, private-use characters). In a unique index of
// the new file, texts that differ only there must stay different keys,
// which the replacement character (ignored by the sort order) would not.
TEST(IndexKey, TextsDifferingOnlyInUndecodableBytesKeepDistinctKeys) {
    std::map<std::string, std::string> seen;
    for (const Bytes& text : std::vector<Bytes>{
             {'a'}, {'a', 0x81}, {'a', 0x8D}, {'a', 0x8F}, {'a', 0x90}, {'a', 0x9D}}) {
        const std::string decoded = jet::decode_codepage_text(text, 1252);
        const std::string key = zolvak_test::spaced_hex(key_of(ColumnType::kText, std::string_view(decoded), true));
        const auto [it, fresh] = seen.emplace(key, decoded);
        EXPECT_TRUE(fresh) << "same key for two texts: " << key;
    }
    for (const std::string& double_byte : {std::string("\xD6"), std::string("\xD7")}) {
        const std::string decoded = jet::decode_codepage_text(
            Bytes(double_byte.begin(), double_byte.end()), 936);
        EXPECT_TRUE(seen.emplace(zolvak_test::spaced_hex(key_of(ColumnType::kText, std::string_view(decoded), true)),
                                 decoded).second);
    }
}

TEST(IndexKey, TextIsCutAt255Characters) {
    std::u16string long_text(300, u'a');
    Bytes out;
    jet::append_general_text_key(long_text, true, out);
    ASSERT_EQ(out.size(), 255u + 2);
    Bytes cut;
    jet::append_general_text_key(long_text.substr(0, 255), true, cut);
    EXPECT_EQ(out, cut);
}

TEST(IndexKey, Utf8AndUtf16TextGiveTheSameKey) {
    const Bytes a = key_of(ColumnType::kText,
                           std::string_view("Stra\xC3\x9F"
                                            "e \xE2\x82\xAC"),
                           true);
    const Bytes b = key_of(ColumnType::kText, std::u16string_view(u"Stra\u00DFe \u20AC"), true);
    EXPECT_EQ(zolvak_test::spaced_hex(a), zolvak_test::spaced_hex(b));
    EXPECT_EQ(jet::utf8_to_utf16("\xF0\x9F\x98\x80"), u"\U0001F600");
    EXPECT_EQ(jet::utf8_to_utf16("a\xFF"
                                 "b"),
              u"a\uFFFDb");
    EXPECT_EQ(jet::utf8_to_utf16("\xE2\x82"), u"\uFFFD");
}

TEST(IndexKey, MultiColumnKeyIsTheConcatenation) {
    const jet::KeyPart parts[] = {
        {ColumnType::kLong, std::int64_t{1}, true},
        {ColumnType::kText, std::u16string_view(u"a"), false},
        {ColumnType::kInteger, std::monostate{}, true},
    };
    EXPECT_EQ(zolvak_test::spaced_hex(jet::encode_index_key(parts)), "7F 80 00 00 01 80 B5 FE FF 00 00");
}

TEST(SortGeneral, TableLookup) {
    EXPECT_EQ(jet::general_sort_codes(u'a').kind, jet::SortCharKind::kSimple);
    EXPECT_EQ(jet::general_sort_codes(u'\u00E9').kind, jet::SortCharKind::kInternational);
    EXPECT_EQ(jet::general_sort_codes(u'\u0301').kind, jet::SortCharKind::kUnprintableModifier);
    EXPECT_EQ(jet::general_sort_codes(static_cast<char16_t>(0xD800)).kind,
              jet::SortCharKind::kIgnored);
    // Inside a run the inline code counts up: U+4E09 is 9F 11 after U+4E08's 9F 10.
    const auto c = jet::general_sort_codes(u'\u4E09');
    ASSERT_EQ(c.inline_length, 2);
    EXPECT_EQ(c.inline_codes[0], 0x9F);
    EXPECT_EQ(c.inline_codes[1], 0x11);
}

// The generated run table against the reference code files, code unit by
// code unit: kind, inline (or unprintable) codes, extra codes, flag, modifier.
TEST(SortGeneral, TableEqualsTheReferenceFiles) {
    const std::filesystem::path dir =
        std::filesystem::path(ZOLVAK_REFERENCE_DIR) / "jet4-general-sort";
    std::ifstream low(dir / "index_codes_genleg.txt");
    std::ifstream high(dir / "index_codes_ext_genleg.txt");
    if (!low || !high) GTEST_SKIP() << "reference code tables not found in " << dir;

    auto parse_hex = [](const std::string& h) {
        std::string t = (h.size() % 2) ? "0" + h : h;
        Bytes b;
        for (std::size_t i = 0; i < t.size(); i += 2) {
            b.push_back(static_cast<std::uint8_t>(std::stoi(t.substr(i, 2), nullptr, 16)));
        }
        return b;
    };
    std::size_t checked = 0;
    std::string line;
    for (std::uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
        if (unit >= 0xD800 && unit <= 0xDFFF) continue;
        std::ifstream& in = unit < 0x100 ? low : high;
        ASSERT_TRUE(std::getline(in, line)) << "file ends before U+" << std::hex << unit;
        std::vector<std::string> fields;
        std::string rest = line.substr(1);
        for (std::size_t pos = 0;;) {
            const std::size_t comma = rest.find(',', pos);
            fields.push_back(rest.substr(pos, comma - pos));
            if (comma == std::string::npos) break;
            pos = comma + 1;
        }
        const auto c = jet::general_sort_codes(static_cast<char16_t>(unit));
        const Bytes inl(c.inline_codes, c.inline_codes + c.inline_length);
        const Bytes extra(c.extra_codes, c.extra_codes + c.extra_length);
        SCOPED_TRACE("U+" + std::to_string(unit) + " " + line);
        ASSERT_EQ(static_cast<char>(c.kind), line[0]);
        switch (line[0]) {
            case 'S':
            case 'G':
            case 'U':
                EXPECT_EQ(inl, parse_hex(fields[0]));
                break;
            case 'I':
                EXPECT_EQ(inl, parse_hex(fields[0]));
                EXPECT_EQ(extra, parse_hex(fields[1]));
                break;
            case 'Z':
                EXPECT_EQ(inl, parse_hex(fields[0]));
                EXPECT_EQ(extra, fields[1].empty() ? Bytes{} : parse_hex(fields[1]));
                EXPECT_EQ(c.flag, fields[2] == "1" ? 1 : 2);
                break;
            case 'P':
                EXPECT_EQ(Bytes{c.modifier}, parse_hex(fields[0]));
                break;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 0x10000u - 0x800u);
}

// --- index pages -----------------------------------------------------------

constexpr std::size_t kKeyPage = 4096;
constexpr std::size_t kMask = 0x1B;
constexpr std::size_t kEntries = 0x1E0;

void put32(Bytes& p, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A Jet 4 index page holding `stored` entries (as stored: the first whole,
// the rest without the prefix).
Bytes make_page(std::uint8_t type, std::uint32_t owner, std::uint32_t prev, std::uint32_t next,
                std::uint32_t tail, std::uint16_t prefix, const std::vector<Bytes>& stored) {
    Bytes p(kKeyPage, 0);
    p[0] = type;
    p[1] = 0x01;
    put32(p, 4, owner);
    put32(p, 0x0C, prev);
    put32(p, 0x10, next);
    put32(p, 0x14, tail);
    p[0x18] = static_cast<std::uint8_t>(prefix);
    p[0x19] = static_cast<std::uint8_t>(prefix >> 8);
    std::size_t pos = 0;
    for (const auto& e : stored) {
        std::copy(e.begin(), e.end(), p.begin() + static_cast<std::ptrdiff_t>(kEntries + pos));
        pos += e.size();
        p[kMask + pos / 8] |= static_cast<std::uint8_t>(1u << (pos % 8));
    }
    return p;
}

TEST(IndexPage, DecodesLeafEntriesWithSharedPrefix) {
    // Keys 7F 80 00 00 01 / 02 / 03 on data page 0x000105 rows 3, 4, 5; the
    // page shares the 4-byte prefix 7F 80 00 00.
    const Bytes page =
        make_page(0x04, 53, 0, 0, 0, 4,
                  {{0x7F, 0x80, 0, 0, 1, 0, 1, 5, 3}, {0x02, 0, 1, 5, 4}, {0x03, 0, 1, 5, 5}});
    const jet::IndexPage p = jet::decode_index_page(page, 9, jet::Format::Jet4, "T");
    EXPECT_TRUE(p.leaf);
    EXPECT_EQ(p.owner, 53u);
    ASSERT_EQ(p.entries.size(), 3u);
    EXPECT_EQ(zolvak_test::spaced_hex(p.entries[2].key), "7F 80 00 00 03");
    EXPECT_EQ(p.entries[2].row.page, 0x105u);
    EXPECT_EQ(p.entries[2].row.row, 5);
    EXPECT_EQ(zolvak_test::spaced_hex(p.entries[0].key), "7F 80 00 00 01");
}

TEST(IndexPage, RejectsDamagedPages) {
    const Bytes good = make_page(0x04, 53, 0, 0, 0, 0, {{0x7F, 0x80, 0, 0, 1, 0, 1, 5, 3}});
    struct Damage {
        const char* what;
        std::function<void(Bytes&)> apply;
        const char* message_part;
    };
    const Damage cases[] = {
        {"data page type", [](Bytes& p) { p[0] = 0x01; }, "not an index page"},
        {"entry past the end", [](Bytes& p) { p[kEntries - 1] = 0x80; }, "past the page end"},
        {"prefix longer than entry", [](Bytes& p) { p[0x18] = 10; }, "prefix"},
        {"entry shorter than a row pointer",
         [](Bytes& p) {
             std::fill(p.begin() + kMask, p.begin() + kEntries, 0);
             p[kMask] = 0x08;  // entry of 3 bytes
         },
         "too short"},
    };
    for (const auto& c : cases) {
        Bytes page = good;
        c.apply(page);
        try {
            jet::decode_index_page(page, 77, jet::Format::Jet4, "Orders");
            ADD_FAILURE() << c.what << ": no error";
        } catch (const jet::Error& e) {
            const std::string m = e.what();
            EXPECT_NE(m.find(c.message_part), std::string::npos) << c.what << ": " << m;
            EXPECT_NE(m.find("77"), std::string::npos) << c.what << ": " << m;
            EXPECT_NE(m.find("Orders"), std::string::npos) << c.what << ": " << m;
        }
    }
    EXPECT_THROW(jet::decode_index_page(Bytes(100, 4), 1, jet::Format::Jet4), jet::Error);
}

Bytes leaf_entry(std::uint8_t key, std::uint8_t row) { return {0x7F, key, 0, 0, 2, row}; }

TEST(IndexPage, WalksFromRootToLeftmostLeafAndAlongTheChain) {
    std::map<std::uint32_t, Bytes> pages;
    // Root 3 -> first child 4 (via its entry), tail 5; leaves 4 <-> 5.
    pages[3] = make_page(0x03, 2, 0, 0, 5, 0, {{0x7F, 0x02, 0, 0, 2, 1, 0, 0, 0, 4}});
    pages[4] = make_page(0x04, 2, 0, 5, 0, 0, {leaf_entry(1, 0), leaf_entry(2, 1)});
    pages[5] = make_page(0x04, 2, 4, 0, 0, 0, {leaf_entry(3, 2)});
    auto reader = [&](std::uint32_t n) -> std::span<const std::uint8_t> { return pages.at(n); };
    const auto entries = jet::read_index_entries(reader, jet::Format::Jet4, 3, 10, "T");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].key[1], 1);
    EXPECT_EQ(entries[2].key[1], 3);
    EXPECT_EQ(entries[2].row.row, 2);

    // A chain that loops, a pointer outside the file, a leaf of another table.
    pages[5] = make_page(0x04, 2, 4, 4, 0, 0, {leaf_entry(3, 2)});
    EXPECT_THROW(jet::read_index_entries(reader, jet::Format::Jet4, 3, 10, "T"), jet::Error);
    pages[5] = make_page(0x04, 2, 4, 12, 0, 0, {leaf_entry(3, 2)});
    EXPECT_THROW(jet::read_index_entries(reader, jet::Format::Jet4, 3, 10, "T"), jet::Error);
    pages[5] = make_page(0x04, 7, 4, 0, 0, 0, {leaf_entry(3, 2)});
    EXPECT_THROW(jet::read_index_entries(reader, jet::Format::Jet4, 3, 10, "T"), jet::Error);
    // A root that points at itself.
    pages[3] = make_page(0x03, 2, 0, 0, 0, 0, {{0x7F, 0x02, 0, 0, 2, 1, 0, 0, 0, 3}});
    EXPECT_THROW(jet::read_index_entries(reader, jet::Format::Jet4, 3, 10, "T"), jet::Error);
}

}  // namespace

namespace {

// Numeric keys: ACE files invert the whole ascending key for a descending
// column, so both directions order every value, negative ones included;
// Jet 4 files keep the sign byte and order them ascending only. Ascending
// keys are the same in both.
TEST(IndexKey, NumericOrderOfAceFiles) {
    auto dec = [](std::int64_t v) {
        jet::KeyDecimal d;
        d.negative = v < 0;
        std::uint64_t m = v < 0 ? static_cast<std::uint64_t>(-v) : static_cast<std::uint64_t>(v);
        for (int k = 0; k < 8; ++k) d.magnitude[15 - k] = static_cast<std::uint8_t>(m >> (8 * k));
        return d;
    };
    auto key = [&](std::int64_t v, bool asc, jet::NumericKeyOrder order) {
        Bytes out;
        jet::append_key_column(ColumnType::kNumeric, dec(v), asc, out, jet::SortOrderVersion::kGeneralLegacy,
                               order);
        return out;
    };
    const std::int64_t values[] = {-300, -2, -1, 0, 1, 2, 300};
    for (std::size_t i = 0; i + 1 < std::size(values); ++i) {
        const auto a = values[i], b = values[i + 1];
        EXPECT_LT(key(a, true, jet::NumericKeyOrder::kAce), key(b, true, jet::NumericKeyOrder::kAce)) << a;
        EXPECT_GT(key(a, false, jet::NumericKeyOrder::kAce), key(b, false, jet::NumericKeyOrder::kAce)) << a;
        EXPECT_EQ(key(a, true, jet::NumericKeyOrder::kAce), key(a, true, jet::NumericKeyOrder::kJet4)) << a;
    }
    // Descending -1: the ascending key (00, the inverted magnitude) inverted.
    EXPECT_EQ(zolvak_test::spaced_hex(key(-1, false, jet::NumericKeyOrder::kAce)),
              "80 FF 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01");
    EXPECT_EQ(zolvak_test::spaced_hex(key(-1, false, jet::NumericKeyOrder::kJet4)),
              "80 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01");
}

}  // namespace
