// Pure decoders on hand-made bytes: the forms the fixtures do not show
// (Jet 3 rows past 256 bytes with their jump table, type-1 usage maps,
// texts in other code pages) and the text forms of values.
#include <gtest/gtest.h>

#include <map>

#include "fixture_support.h"
#include "jet/base/error.h"
#include "jet/page/file.h"
#include "jet/page/format.h"
#include "jet/table/rows.h"
#include "jet/base/text.h"
#include "jet/base/value.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Text, Jet4CompressedAndPlain) {
    struct Case {
        Bytes in;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{'a', 0, 'b', 0}, "ab"},
        {{0xFF, 0xFE, 'a', 'b'}, "ab"},
        // compressed "ab", switch to two-byte U+03A9, switch back, "c"
        {{0xFF, 0xFE, 'a', 'b', 0x00, 0xA9, 0x03, 0x00, 'c'}, "ab\xCE\xA9" "c"},
        {{0xFF, 0xFE, 0x00, 0x2D, 0x4E}, "\xE4\xB8\xAD"},  // 中, string ends uncompressed
        {{0x3D, 0xD8, 0x00, 0xDE}, "\xF0\x9F\x98\x80"},  // surrogate pair
        {{0x00, 0xD8, 'a', 0}, "\xEF\xBF\xBD" "a"},      // lone high surrogate
        {{'a', 0, 'b'}, "a\xEF\xBF\xBD"},                // odd trailing byte
        {{0xFF, 0xFE, 0x00, 0x41}, "\xEF\xBF\xBD"},      // cut two-byte character
    };
    for (const auto& c : cases) EXPECT_EQ(jet::decode_jet4_text(c.in), c.out);
}

TEST(Text, CodePages) {
    struct Case {
        Bytes in;
        unsigned cp;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{'A', 'b'}, 0, "Ab"},
        {{0x80, 0xE9}, 1252, "\xE2\x82\xAC\xC3\xA9"},           // € é
        {{0x80}, 0, "\xE2\x82\xAC"},                             // none recorded: 1252
        {{'x', 0x81, 'y'}, 1252, "x\xC2\x81y"},                // unassigned: C1 control U+0081
        {{0x81}, 4711, "\xC2\x81"},                             // a code page iconv lacks: 1252
        {{0xAA, 0xD2, 0xFF}, 1253, "\xEF\xA3\xB9\xEF\xA3\xBA\xEF\xA3\xBB"},  // U+F8F9..F8FB
        {{0xCA, 0xD9, 0xFF}, 1255, "\xD6\xBA\xEF\xA2\x8D\xEF\xA2\x96"},      // U+05BA F88D F896
        {{0xA1, 0xA5}, 1257, "\xEF\xA3\xBC\xEF\xA3\xBD"},                   // U+F8FC F8FD
        {{0xDB, 0xFF}, 874, "\xEF\xA3\x81\xEF\xA3\x88"},                    // U+F8C1 F8C8
        // 1258 keeps a base letter and its combining mark apart, as Windows does
        {{'a', 0xEC}, 1258, "a\xCC\x81"},
        {{0xD6, 0xD0, 0xCE, 0xC4}, 936, "\xE4\xB8\xAD\xE6\x96\x87"},  // 中文
        {{0x80, 0xFF}, 936, "\xE2\x82\xAC\xEF\xA3\xB5"},               // € U+F8F5
        // user-defined areas: first and last of each block
        {{0xAA, 0xA1, 0xAF, 0xFE}, 936, "\xEE\x80\x80\xEE\x88\xB3"},  // U+E000 U+E233
        {{0xF8, 0xA1, 0xA1, 0x40, 0xA7, 0xA0}, 936, "\xEE\x88\xB4\xEE\x93\x86\xEE\x9D\xA5"},
        {{0xFA, 0x40, 0x8E, 0x40, 0x81, 0x40}, 950, "\xEE\x80\x80\xEE\x8C\x91\xEE\xBA\xB8"},
        {{0xC6, 0xA1, 0xC8, 0xFE}, 950, "\xEF\x9A\xB1\xEF\xA1\x88"},  // U+F6B1 U+F848
        {{0xC9, 0xA1, 0xFE, 0xFE}, 949, "\xEE\x80\x80\xEE\x82\xBB"},  // U+E000 U+E0BB
        {{0xF0, 0x40, 0xA0, 0x80}, 932, "\xEE\x80\x80\xEF\xA3\xB0\xC2\x80"},  // U+E000 F8F0 0080
        // a byte in no valid pair keeps its value as U+F850 + (byte - 0x80)
        {{0xD6}, 936, "\xEF\xA2\xA6"},                   // cut double byte: U+F8A6
        {{0xD6, ' ', 'a'}, 936, "\xEF\xA2\xA6 a"},        // lead byte, invalid trail
        {{0xD7, 0xFA, 'x'}, 936, "\xEF\xA2\xA7\xEF\xA3\x8Ax"},  // well-formed, unassigned
        {{0xC7, 0x41}, 949, "\xEF\xA2\x97" "A"},           // unassigned, trail below 0x80
    };
    for (const auto& c : cases) {
        EXPECT_EQ(jet::decode_codepage_text(c.in, c.cp), c.out) << c.cp << " " << c.in.size();
    }
}

// Code points of a UTF-8 text.
std::u32string code_points(const std::string& s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const int n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t cp = n == 1 ? b : b & (0x3F >> (n - 1));
        for (int k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out += cp;
        i += static_cast<std::size_t>(n);
    }
    return out;
}

// Every byte of every single-byte code page a Jet 3 file may name is one
// character of its own: none is lost (U+FFFD) and no two bytes give the
// same character, so the text can be turned back into its bytes. A whole
// run of all 256 bytes decodes to the characters of the bytes one by one.
TEST(Text, EverySingleByteOfEachCodePageKeepsItsValue) {
    for (unsigned cp : {874u, 1250u, 1251u, 1252u, 1253u, 1254u, 1255u, 1256u, 1257u, 1258u}) {
        std::map<char32_t, int> seen;
        std::u32string one_by_one;
        Bytes all;
        for (int b = 0; b < 256; ++b) {
            const std::u32string got = code_points(jet::decode_codepage_text(Bytes{static_cast<std::uint8_t>(b)}, cp));
            ASSERT_EQ(got.size(), 1u) << "code page " << cp << " byte " << b;
            EXPECT_NE(got[0], U'\uFFFD') << "code page " << cp << " byte " << b;
            const auto [it, fresh] = seen.emplace(got[0], b);
            EXPECT_TRUE(fresh) << "code page " << cp << ": bytes " << it->second << " and " << b;
            one_by_one += got;
            all.push_back(static_cast<std::uint8_t>(b));
        }
        EXPECT_EQ(code_points(jet::decode_codepage_text(all, cp)), one_by_one) << cp;
    }
    // The five bytes 1252 leaves unassigned, as Windows maps them.
    EXPECT_EQ(code_points(jet::decode_codepage_text(Bytes{0x81, 0x8D, 0x8F, 0x90, 0x9D}, 1252)),
              U"\u0081\u008D\u008F\u0090\u009D");
}

// Every well-formed pair of 936 (lead 0x81-0xFE, trail 0x40-0xFE but 0x7F)
// decodes without U+FFFD, and no two pairs give the same text.
TEST(Text, EveryDoubleByteOf936KeepsItsValue) {
    std::map<std::string, int> seen;
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
        for (int trail = 0x40; trail <= 0xFE; ++trail) {
            if (trail == 0x7F) continue;
            const Bytes pair{static_cast<std::uint8_t>(lead), static_cast<std::uint8_t>(trail)};
            const std::string got = jet::decode_codepage_text(pair, 936);
            EXPECT_EQ(got.find("\xEF\xBF\xBD"), std::string::npos) << lead << " " << trail;
            const auto [it, fresh] = seen.emplace(got, lead << 8 | trail);
            EXPECT_TRUE(fresh) << std::hex << lead << trail << " and " << it->second;
        }
    }
    EXPECT_EQ(seen.size(), 126u * 190u);
}

// Object names compare as Jet compares them: case-insensitively, letters
// beyond ASCII included, one code point to one (no "ß" = "SS").
TEST(Text, SameName) {
    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    const std::vector<Case> cases = {
        {"Orders", "ORDERS", true},
        {"Orders", "Order", false},
        {"Order_1", "order_1", true},
        {"\xC3\x84pfel", "\xC3\xA4PFEL", true},              // Äpfel, äPFEL
        {"\xC3\x84", "A", false},                            // Ä is not A
        {"Stra\xC3\x9F" "e", "STRASSE", false},              // Straße: ß stays one letter
        {"Stra\xC3\x9F" "e", "STRA\xE1\xBA\x9E" "E", true},  // capital ẞ folds to ß
        {"\xC5\x81\xC3\xB3" "d\xC5\xBA", "\xC5\x82\xC3\x93" "D\xC5\xB9", true},  // Łódź, łÓDŹ
        {"\xC7\x85", "\xC7\x84", true},                      // ǅ, Ǆ (title case)
        {"\xCE\xA3\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1", "\xCF\x83\xCE\x9F\xCE\xA6\xCE\x8A\xCE\x91",
         true},                                              // Σοφία, σΟΦΊΑ
        {"\xCE\xBF\xCF\x82", "\xCE\x9F\xCE\xA3", true},      // final sigma
        {"\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0",
         "\xD0\xBC\xD0\x9E\xD0\xA1\xD0\x9A\xD0\x92\xD0\x90", true},  // Москва, мОСКВА
        {"\xD0\x81\xD0\xBB\xD0\xBA\xD0\xB0", "\xD1\x91\xD0\x9B\xD0\x9A\xD0\x90", true},  // Ёлка
        {"\xD0\x95", "E", false},                            // Cyrillic Е is not Latin E
        {"\xE4\xB8\xAD\xE6\x96\x87", "\xE4\xB8\xAD\xE6\x96\x87", true},  // 中文: no case
        {"\xE4\xB8\xAD", "\xE6\x96\x87", false},
        {"\xEF\xBC\xA1", "\xEF\xBD\x81", true},              // full-width Ａ, ａ
        {"a\xFF" "b", "A\xFF" "B", true},                    // a byte that is not UTF-8
        {"a\xFF", "a\xFE", false},
        {"", "", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(jet::same_name(c.a, c.b), c.same) << c.a << " / " << c.b;
        EXPECT_EQ(jet::same_name(c.b, c.a), c.same) << c.b << " / " << c.a;
        EXPECT_EQ(jet::fold_name(c.a) == jet::fold_name(c.b), c.same) << c.a << " / " << c.b;
    }
}

TEST(Values, TextForms) {
    EXPECT_EQ(jet::currency_text({-12345}), "-1.2345");
    EXPECT_EQ(jet::currency_text({35000}), "3.5000");
    EXPECT_EQ(jet::currency_text({INT64_MIN}), "-922337203685477.5808");

    jet::Decimal d;
    d.magnitude[15] = 0x39;
    d.magnitude[14] = 0x30;  // 12345
    d.scale = 2;
    EXPECT_EQ(jet::decimal_text(d), "123.45");
    d.negative = true;
    EXPECT_EQ(jet::decimal_text(d), "-123.45");
    d.scale = 7;
    EXPECT_EQ(jet::decimal_text(d), "-0.0012345");
    d.magnitude = {};
    EXPECT_EQ(jet::decimal_text(d), "0.0000000");  // no "-0"
    d.magnitude.fill(0xFF);
    d.negative = false;
    d.scale = 0;
    EXPECT_EQ(jet::decimal_text(d), "340282366920938463463374607431768211455");

    struct DateCase {
        double days;
        std::string text;
    };
    const std::vector<DateCase> dates = {
        {0, "1899-12-30 00:00:00"},      {1, "1899-12-31 00:00:00"},
        {-1.25, "1899-12-29 06:00:00"},  {36526.5, "2000-01-01 12:00:00"},
        {27293, "1974-09-21 00:00:00"},  {0.99999999, "1899-12-31 00:00:00"},
        {-693593, "0001-01-01 00:00:00"}, {2958465.999988426, "9999-12-31 23:59:59"},
    };
    for (const auto& c : dates) EXPECT_EQ(jet::datetime_text({c.days}), c.text) << c.days;

    jet::Guid g;
    for (int i = 0; i < 16; ++i) g.bytes[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(jet::guid_text(g), "{03020100-0504-0706-0809-0A0B0C0D0E0F}");

    EXPECT_EQ(jet::column_type_name(0x0C), "Memo/Hyperlink");
    EXPECT_EQ(jet::column_type_name(0x0F), "Replication ID");
    EXPECT_EQ(jet::column_type_name(0x11), "Unknown 0x11");
}

TEST(PageFormat, RowSlots) {
    const auto& fmt = jet::format_info(jet::Format::Jet4);
    Bytes page(4096, 0);
    page[0] = 1;
    page[12] = 3;  // three rows
    auto put16 = [&](std::size_t o, std::uint16_t v) {
        page[o] = v & 0xFF;
        page[o + 1] = v >> 8;
    };
    put16(14, 4000);
    put16(16, 0xC000 | 0x0FFF);  // deleted, offset nonsense: tolerated
    put16(18, 0x4000 | 3900);    // overflow pointer row
    auto slots = jet::decode_row_slots(page, fmt, "T", 7);
    ASSERT_EQ(slots.size(), 3u);
    EXPECT_EQ(slots[0].start, 4000u);
    EXPECT_EQ(slots[0].end, 4096u);
    EXPECT_TRUE(slots[1].deleted());
    EXPECT_EQ(slots[2].start, 3900u);
    EXPECT_EQ(slots[2].end, 4000u);
    EXPECT_TRUE(slots[2].overflow());

    put16(16, 0x0FFF);  // the same offset on a live row is damage
    try {
        jet::decode_row_slots(page, fmt, "T", 7);
        FAIL() << "no error";
    } catch (const jet::Error& e) {
        EXPECT_NE(std::string(e.what()).find("(table 'T', page 7)"), std::string::npos) << e.what();
    }
    put16(12, 3000);  // slot table runs off the page
    EXPECT_THROW(jet::decode_row_slots(page, fmt, "T", 7), jet::Error);
}

TEST(PageFormat, UsageMaps) {
    const auto& fmt = jet::format_info(jet::Format::Jet4);
    // Type 0: start page 100, bits 0, 9 and 63.
    Bytes inline_map = {0, 100, 0, 0, 0, 0x01, 0x02, 0, 0, 0, 0, 0, 0x80};
    EXPECT_EQ(jet::decode_usage_map(inline_map, fmt, "T", 1).pages,
              (std::vector<std::uint32_t>{100, 109, 163}));
    // Type 1: map pages per slot; slot 1 covers pages from 4092*8.
    Bytes ref_map = {1, 0, 0, 0, 0, 9, 0, 0, 0};
    auto m = jet::decode_usage_map(ref_map, fmt, "T", 1);
    EXPECT_EQ(m.map_pages, (std::vector<std::uint32_t>{0, 9}));
    Bytes map_page(4096, 0);
    map_page[0] = 5;
    map_page[4] = 0x05;  // bits 0 and 2
    std::vector<std::uint32_t> pages;
    jet::add_map_page_bits(map_page, 1, fmt, pages, "T", 9);
    EXPECT_EQ(pages, (std::vector<std::uint32_t>{32736, 32738}));
    map_page[0] = 1;
    EXPECT_THROW(jet::add_map_page_bits(map_page, 1, fmt, pages, "T", 9), jet::Error);
    Bytes bad = {7, 0, 0, 0, 0};
    EXPECT_THROW(jet::decode_usage_map(bad, fmt, "T", 1), jet::Error);
}

// A Jet 3 row longer than 256 bytes: one-byte variable offsets plus a jump
// table that says from which entry on 256 is to be added.
TEST(Rows, Jet3JumpTable) {
    SKIP_WITHOUT_FIXTURES();
    auto file = jet::PageFile::open(fixtures::mdb_path("jet3-basic"));
    jet::TableDef t;
    t.name = "Wide";
    t.format = jet::Format::Jet3;
    t.num_var_cols = 3;
    for (std::uint16_t i = 0; i < 3; ++i) {
        jet::Column c;
        c.name = "c" + std::to_string(i);
        c.type = static_cast<std::uint8_t>(jet::ColumnType::kText);
        c.number = i;
        c.var_index = i;
        c.length = 255;
        t.columns.push_back(c);
    }
    Bytes row = {3};
    row.insert(row.end(), 200, 'a');  // offset 1
    row.insert(row.end(), 100, 'b');  // offset 201
    row.insert(row.end(), 10, 'c');   // offset 301, end of data 311
    // Offsets stored last entry first: 311, 301, 201, 1 (low bytes).
    row.insert(row.end(), {311 - 256, 301 - 256, 201, 1});
    row.push_back(2);     // jump table: from entry 2 on, add 256
    row.push_back(3);     // number of variable columns
    row.push_back(0x07);  // null mask: all present
    ASSERT_EQ(row.size(), 318u);
    jet::Row r = jet::decode_row(*file, t, row, 42);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(std::get<std::string>(r[0]), std::string(200, 'a'));
    EXPECT_EQ(std::get<std::string>(r[1]), std::string(100, 'b'));
    EXPECT_EQ(std::get<std::string>(r[2]), std::string(10, 'c'));

    row[row.size() - 3] = 1;  // jump from entry 1: offsets no longer ascend
    EXPECT_THROW(jet::decode_row(*file, t, row, 42), jet::Error);
}

TEST(Rows, Jet4NullMaskAndMissingColumns) {
    SKIP_WITHOUT_FIXTURES();
    auto file = jet::PageFile::open(fixtures::mdb_path("jet4-nopassword"));
    jet::TableDef t;
    t.name = "T";
    t.format = jet::Format::Jet4;
    auto add = [&](jet::ColumnType type, std::uint16_t number, std::uint16_t fixed_offset, bool fixed) {
        jet::Column c;
        c.name = "c" + std::to_string(number);
        c.type = static_cast<std::uint8_t>(type);
        c.number = number;
        c.fixed_offset = fixed_offset;
        c.flags = fixed ? jet::kColumnFixed : 0;
        t.columns.push_back(c);
    };
    add(jet::ColumnType::kLong, 0, 0, true);
    add(jet::ColumnType::kBoolean, 1, 0, true);
    add(jet::ColumnType::kInteger, 2, 4, true);
    add(jet::ColumnType::kText, 3, 0, false);  // added later: not in the row
    t.num_var_cols = 1;
    // num_cols 3, Long 7, Integer -2, eod 8, var offsets: [8], var_len 0, mask
    Bytes row = {3, 0, 7, 0, 0, 0, 0xFE, 0xFF, 8, 0, 0, 0, 0b011};
    jet::Row r = jet::decode_row(*file, t, row, 1);
    EXPECT_EQ(std::get<std::int32_t>(r[0]), 7);
    EXPECT_EQ(std::get<bool>(r[1]), true);
    EXPECT_TRUE(jet::is_null(r[2]));  // bit 2 clear
    EXPECT_TRUE(jet::is_null(r[3]));  // column 3 beyond the row's count
    row.back() = 0b101;
    r = jet::decode_row(*file, t, row, 1);
    EXPECT_EQ(std::get<bool>(r[1]), false);
    EXPECT_EQ(std::get<std::int16_t>(r[2]), -2);
}

}  // namespace

namespace {

// Numeric: a sign byte, then four little-endian 32-bit words, the most
// significant word first; precision and scale come from the column.
TEST(Rows, Jet4Numeric) {
    SKIP_WITHOUT_FIXTURES();
    auto file = jet::PageFile::open(fixtures::mdb_path("jet4-nopassword"));
    jet::TableDef t;
    t.name = "N";
    t.format = jet::Format::Jet4;
    jet::Column c;
    c.name = "amount";
    c.type = static_cast<std::uint8_t>(jet::ColumnType::kNumeric);
    c.flags = jet::kColumnFixed;
    c.precision = 18;
    c.scale = 2;
    t.columns.push_back(c);
    Bytes row = {1, 0, 0x80};
    const Bytes words = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x39, 0x30, 0, 0};  // 2^64 + 12345
    row.insert(row.end(), words.begin(), words.end());
    row.push_back(0x01);  // null mask
    jet::Row r = jet::decode_row(*file, t, row, 1);
    const auto& d = std::get<jet::Decimal>(r[0]);
    EXPECT_EQ(d.precision, 18);
    EXPECT_EQ(jet::decimal_text(d), "-184467440737095639.61");
}

}  // namespace

namespace {

// A fixed-length Text column (no variable-length bit) keeps its blank-padded
// text in the row's fixed area, plain UTF-16 or in the compressed form.
TEST(Rows, Jet4FixedLengthText) {
    SKIP_WITHOUT_FIXTURES();
    auto file = jet::PageFile::open(fixtures::mdb_path("jet4-nopassword"));
    jet::TableDef t;
    t.name = "F";
    t.format = jet::Format::Jet4;
    jet::Column c;
    c.name = "code";
    c.type = static_cast<std::uint8_t>(jet::ColumnType::kText);
    c.flags = jet::kColumnFixed;
    c.length = 6;
    t.columns.push_back(c);
    struct Case {
        Bytes field;
        std::string text;
    };
    const Case cases[] = {
        {{'N', 0, ' ', 0, ' ', 0}, "N  "},
        {{0xFF, 0xFE, 'a', 'b', ' ', ' '}, "ab  "},
        {{0x2D, 0x4E, 0x87, 0x65, ' ', 0}, "中文 "},
    };
    for (const Case& k : cases) {
        Bytes row = {1, 0};
        row.insert(row.end(), k.field.begin(), k.field.end());
        row.push_back(0x01);  // null mask
        jet::Row r = jet::decode_row(*file, t, row, 1);
        ASSERT_TRUE(std::holds_alternative<std::string>(r[0])) << k.text;
        EXPECT_EQ(std::get<std::string>(r[0]), k.text);
    }
}

}  // namespace
