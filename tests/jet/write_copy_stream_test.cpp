// Table copy between Jet 4 files on the fast path: fields keep their stored
// form, texts stay UTF-16 and are compressed as the target column says, and
// memo and OLE values of several megabytes stream page by page.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "jet/write/create_database.h"
#include "jet/page/file.h"
#include "jet/base/text.h"
#include "jet/write/copy.h"
#include "scratch_dir.h"
#include "write_readers.h"

namespace fs = std::filesystem;

namespace {

// Stored texts cut into pieces at every position give the units of the whole.
TEST(Jet4TextUnits, PiecesGiveTheUnitsOfTheWholeText) {
    const std::vector<std::vector<std::uint8_t>> cases = {
        {},                                                    // empty
        {'A'},                                                 // one odd byte
        {'A', 0, 'B', 0},                                      // plain
        {'A', 0, 'B'},                                         // plain, odd tail
        {0xFF, 0xFE},                                          // compressed, empty
        {0xFF, 0xFE, 'a', 'b', 'c'},                           // compressed
        {0xFF, 0xFE, 'a', 0, 0x2D, 0x4E, 0x87, 0x65, 0, 'z'},  // switches to two bytes and back
        {0xFF, 0xFE, 'a', 0, 0x2D},                            // two-byte mode, odd tail
        {0xFF, 0xFE, 0, 0, 0, 0, 'q'},                         // switches only
        {0x2D, 0x4E, 0xFF, 0xFE},                              // plain, marker later on
    };
    for (const auto& stored : cases) {
        std::vector<std::uint8_t> whole;
        jet::append_jet4_units(stored, whole);
        EXPECT_EQ(whole.size() % 2, 0u);
        EXPECT_EQ(jet::ucs2_to_utf8(whole), jet::decode_jet4_text(stored));
        for (std::size_t cut = 0; cut <= stored.size(); ++cut) {
            for (std::size_t cut2 = cut; cut2 <= stored.size(); ++cut2) {
                std::vector<std::uint8_t> pieces;
                jet::Jet4TextUnits units;
                std::span<const std::uint8_t> s(stored);
                units.feed(s.first(cut), pieces);
                units.feed(s.subspan(cut, cut2 - cut), pieces);
                units.feed(s.subspan(cut2), pieces);
                units.finish(pieces);
                EXPECT_EQ(pieces, whole) << "cut at " << cut << " and " << cut2;
            }
        }
    }
}

// The stored bytes of one text field of the first row whose `key` column is `key`.
std::vector<std::uint8_t> stored_field(jet::Database& db, const std::string& table, std::size_t column,
                                       std::int32_t key) {
    jet::TableDef def = db.table_def(table);
    std::vector<std::uint8_t> out;
    std::vector<jet::RawField> raw;
    jet::scan_table_bytes(db.file(), def, [&](const jet::RowId&, std::uint32_t page, std::span<const std::uint8_t> row) {
        jet::split_row(def, row, page, raw);
        if (raw[0].kind == jet::RawField::Kind::kFixed &&
            std::get<std::int32_t>(jet::decode_field(db.file(), def, def.columns[0], raw[0], page)) == key) {
            out.assign(raw[column].bytes.begin(), raw[column].bytes.end());
            return false;
        }
        return true;
    });
    return out;
}

TEST(CopyStream, EveryTypeAndLargeLongValuesArriveEqual) {
    const fs::path dir = fs::temp_directory_path() / ("zolvak-copy-stream-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string source_path = (dir / "source.mdb").string();
    const std::string target_path = (dir / "copy.mdb").string();
    using T = jet::ColumnType;
    struct Col {
        const char* name;
        T type;
        bool compressed;
    };
    const std::vector<Col> cols = {
        {"Id", T::kLong, true},         {"Flag", T::kBoolean, true},   {"B", T::kByte, true},
        {"I", T::kInteger, true},       {"Cur", T::kCurrency, true},   {"S", T::kSingle, true},
        {"D", T::kDouble, true},        {"When", T::kDateTime, true},  {"G", T::kGuid, true},
        {"N", T::kNumeric, true},       {"Bin", T::kBinary, true},     {"Txt", T::kText, true},
        {"Plain", T::kText, false},     {"Body", T::kMemo, true},      {"Blob", T::kOle, true},
    };
    jet::TableSpec layout{"Mixed", {}};
    for (const auto& c : cols) {
        jet::ColumnSpec s;
        s.name = c.name;
        s.type = c.type;
        s.compressed = c.compressed;
        s.size = (c.type == T::kText || c.type == T::kBinary) ? 100 : 0;
        s.precision = 20;
        s.scale = 4;
        layout.columns.push_back(s);
    }
    std::mt19937_64 rng(11);
    auto random_bytes = [&](std::size_t n) {
        jet::Bytes b(n);
        for (auto& x : b) x = static_cast<std::uint8_t>(rng());
        return b;
    };
    std::string big_memo;
    for (int i = 0; big_memo.size() < 2'500'000; ++i) big_memo += "line " + std::to_string(i) + " 中文 ok\n";
    const std::vector<std::string> texts = {"abc", "ab", "中文字", "Grüße aus Köln", std::string(100, 'x'),
                                            "mixed 中 text", "tab\tand\nnewline", ""};
    {
        auto w = jet::create_database(source_path);
        auto h = w->create_table(layout);
        for (std::int32_t r = 0; r < 40; ++r) {
            jet::Decimal dec;
            dec.negative = r % 2;
            dec.magnitude[15] = static_cast<std::uint8_t>(r);
            dec.magnitude[10] = 3;
            jet::Guid g;
            g.bytes[0] = static_cast<std::uint8_t>(r);
            const std::string& text = texts[static_cast<std::size_t>(r) % texts.size()];
            jet::Value body = jet::Null{}, blob = jet::Null{};
            switch (r % 5) {
                case 0: body = text; blob = random_bytes(static_cast<std::size_t>(r)); break;
                case 1: body = std::string(900, 'm'); blob = random_bytes(3000); break;  // inline, one page
                case 2: body = std::string(70'000, 'c'); blob = random_bytes(70'000); break;  // a chain, streamed
                case 3: break;
                case 4: body = "短 " + text; blob = jet::Bytes{}; break;
            }
            if (r == 7) body = big_memo;
            if (r == 8) blob = random_bytes(3'500'000);
            std::vector<jet::Value> row = {r, r % 3 == 0, static_cast<std::uint8_t>(r), static_cast<std::int16_t>(-r),
                                           jet::Currency{r * 12345LL}, static_cast<float>(r) / 3, r * 1.5,
                                           jet::DateTime{40000.25 + r}, g, dec, random_bytes(static_cast<std::size_t>(r)),
                                           text, text, body, blob};
            if (r % 4 == 3) {
                for (std::size_t i = 2; i < row.size(); ++i) row[i] = jet::Null{};
            }
            w->insert_row(h, row);
        }
        w->close();
    }
    auto source = jet::Database::open(source_path);
    {
        auto target = jet::create_database(target_path);
        jet::copy_table(*source, "Mixed", *target, "Mixed");
        target->close();
    }
    auto copy = jet::Database::open(target_path);
    auto a = source->read_all(source->table_def("Mixed"));
    auto b = copy->read_all(copy->table_def("Mixed"));
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t r = 0; r < a.size(); ++r) {
        for (std::size_t c = 0; c < cols.size(); ++c) {
            EXPECT_TRUE(a[r][c] == b[r][c]) << "row " << r << " column " << cols[c].name;
        }
    }
    // Texts are stored as the target column says: compressed where they can be.
    const std::size_t txt = 11, plain = 12;
    for (std::int32_t key : {0, 2, 5}) {  // "abc", "中文字", "mixed 中 text"
        auto s = stored_field(*copy, "Mixed", txt, key);
        ASSERT_GE(s.size(), 2u);
        EXPECT_EQ(s[0] == 0xFF && s[1] == 0xFE, key == 0) << key;
        EXPECT_EQ(stored_field(*copy, "Mixed", txt, key), stored_field(*source, "Mixed", txt, key));
        auto p = stored_field(*copy, "Mixed", plain, key);
        EXPECT_FALSE(p[0] == 0xFF && p[1] == 0xFE) << key;
    }
    writer_test::check_with_readers(target_path);
    if (writer_test::have_command("mdb-export")) {
        auto exported = [](const std::string& path) {
            return fixtures::run("LC_ALL=C.UTF-8 mdb-export -b hex " + fixtures::sh_quote(path) + " Mixed").out;
        };
        EXPECT_EQ(exported(source_path), exported(target_path));
    }
    fs::remove_all(dir);
}

// Pages of a file that are long-value pages.
std::size_t lval_pages(const std::string& path) {
    auto file = jet::PageFile::open(path);
    std::size_t n = 0;
    for (std::uint32_t p = 1; p < file->page_count(); ++p) {
        auto page = file->page(p);
        if (page->type() == 1 && std::memcmp(page->bytes.data() + 4, "LVAL", 4) == 0) ++n;
    }
    return n;
}

// A chained value streamed in by the copy puts its last, partial chunk on
// the open page it fits best, as a value written whole does: the copy of a
// table of such values takes no more long-value pages than the source.
TEST(CopyStream, ChainsTakeNoMorePagesThanWrittenWhole) {
    zolvak_test::ScratchDir dir("zolvak-copy-chains");
    const std::string source_path = dir.file("source.mdb");
    const std::string target_path = dir.file("copy.mdb");
    const jet::TableSpec layout{
        "Chains", {writer_test::col("Id", jet::ColumnType::kLong), writer_test::col("Blob", jet::ColumnType::kOle)}};
    std::mt19937_64 rng(5);
    {
        auto w = jet::create_database(source_path);
        auto h = w->create_table(layout);
        for (std::int32_t r = 0; r < 60; ++r) {
            // Large enough to be streamed by the copy (64 KB), with a
            // remainder of a few hundred bytes after the full chunks.
            jet::Bytes blob(64 * 1024 + 4000 * (static_cast<std::size_t>(r) % 3) + 200 + rng() % 900);
            for (auto& x : blob) x = static_cast<std::uint8_t>(rng());
            std::vector<jet::Value> row = {r, blob};
            w->insert_row(h, row);
        }
        w->close();
    }
    auto source = jet::Database::open(source_path);
    {
        auto target = jet::create_database(target_path);
        jet::copy_table(*source, "Chains", *target, "Chains");
        target->close();
    }
    auto copy = jet::Database::open(target_path);
    EXPECT_TRUE(source->read_all(source->table_def("Chains")) == copy->read_all(copy->table_def("Chains")));
    EXPECT_LE(lval_pages(target_path), lval_pages(source_path));
    writer_test::check_with_readers(target_path);
}

}  // namespace
