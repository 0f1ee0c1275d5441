// The writing half of the engine: every database written here is read back
// by our reader, mdbtools and mdb-reader (write_readers.h), which must agree.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "jet/write/create_database.h"
#include "jet/table/database.h"
#include "jet/base/error.h"
#include "jet/index/key.h"
#include "jet/index/page.h"
#include "jet/base/sort_general.h"
#include "write_readers.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

class WriterDir : public zolvak_test::ScratchDir {
public:
    WriterDir() : ScratchDir("zolvak-writer") {}
};

using writer_test::col;

std::string text_of_length(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s;
    const char* words[] = {"alpha ", "beta ", "gamma ", "数据库 ", "Ωmega ", "delta "};
    while (s.size() < n) s += words[rng() % 6];
    // cut at a character boundary
    std::size_t cut = n;
    while (cut < s.size() && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) ++cut;
    s.resize(cut);
    return s;
}

jet::Bytes bytes_of_length(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    jet::Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

// ---- creating the empty database ------------------------------------------------

TEST(WriteCreate, EmptyDatabaseHasTheAdoxCatalog) {
    WriterDir dir;
    const std::string path = dir.file("empty.mdb");
    jet::create_database(path)->close();
    EXPECT_EQ(fs::file_size(path), 16u * 4096u);  // the same 16 pages as an ADOX-made file

    auto db = jet::Database::open(path);
    EXPECT_EQ(db->format(), jet::Format::Jet4);
    EXPECT_EQ(db->header().code_page, 1252);
    EXPECT_EQ(db->header().sort_order, 1033u);
    EXPECT_TRUE(db->header().password.empty());

    struct Expected {
        std::int32_t id, parent;
        const char* name;
        std::int16_t type;
    } expected[] = {
        {0x0F000001, 0x0F000000, "Tables", 3},        {0x0F000002, 0x0F000000, "Databases", 3},
        {0x0F000003, 0x0F000000, "Relationships", 3}, {0x10000000, 0x0F000002, "MSysDb", 2},
        {2, 0x0F000001, "MSysObjects", 1},            {3, 0x0F000001, "MSysACEs", 1},
        {4, 0x0F000001, "MSysQueries", 1},            {5, 0x0F000001, "MSysRelationships", 1},
    };
    const auto& cat = db->catalog();
    ASSERT_EQ(cat.size(), std::size(expected));
    for (std::size_t i = 0; i < cat.size(); ++i) {
        EXPECT_EQ(cat[i].id, expected[i].id);
        EXPECT_EQ(cat[i].parent_id, expected[i].parent);
        EXPECT_EQ(cat[i].name, expected[i].name);
        EXPECT_EQ(cat[i].type, expected[i].type);
        EXPECT_EQ(static_cast<std::uint32_t>(cat[i].flags), 0x80000000u);
    }
    // The system tables' columns and indexes as the fixture has them.
    if (fixtures::available()) {
        auto ref = jet::Database::open(fixtures::mdb_path("jet4-adox-empty"));
        for (const char* name : {"MSysObjects", "MSysACEs", "MSysQueries", "MSysRelationships"}) {
            SCOPED_TRACE(name);
            jet::TableDef a = db->table_def(name), b = ref->table_def(name);
            ASSERT_EQ(a.columns.size(), b.columns.size());
            for (std::size_t i = 0; i < a.columns.size(); ++i) {
                EXPECT_EQ(a.columns[i].name, b.columns[i].name);
                EXPECT_EQ(a.columns[i].type, b.columns[i].type);
                EXPECT_EQ(a.columns[i].number, b.columns[i].number);
                EXPECT_EQ(a.columns[i].length, b.columns[i].length);
                EXPECT_EQ(a.columns[i].flags, b.columns[i].flags);
                EXPECT_EQ(a.columns[i].fixed_offset, b.columns[i].is_fixed() ? b.columns[i].fixed_offset
                                                                               : a.columns[i].fixed_offset);
                EXPECT_EQ(a.columns[i].var_index, b.columns[i].var_index);
            }
            ASSERT_EQ(a.indexes.size(), b.indexes.size());
            for (std::size_t i = 0; i < a.indexes.size(); ++i) {
                EXPECT_EQ(a.indexes[i].name, b.indexes[i].name);
                EXPECT_EQ(a.indexes[i].flags, b.indexes[i].flags);
                EXPECT_EQ(a.indexes[i].index_type, b.indexes[i].index_type);
                EXPECT_EQ(a.indexes[i].index_number, b.indexes[i].index_number);
                ASSERT_EQ(a.indexes[i].columns.size(), b.indexes[i].columns.size());
                for (std::size_t k = 0; k < a.indexes[i].columns.size(); ++k) {
                    EXPECT_EQ(a.indexes[i].columns[k].column_number, b.indexes[i].columns[k].column_number);
                }
            }
            auto ra = db->read_all(a), rb = ref->read_all(b);
            EXPECT_EQ(ra.size(), rb.size());
            if (std::string(name) == "MSysACEs") {
                ASSERT_EQ(ra.size(), rb.size());
                for (std::size_t i = 0; i < ra.size(); ++i) EXPECT_EQ(ra[i], rb[i]) << "ACE row " << i;
            }
        }
    }
    writer_test::check_with_readers(path);
}

TEST(WriteCreate, PasswordIsRequiredToOpen) {
    WriterDir dir;
    const std::string path = dir.file("secret.mdb");
    jet::CreateOptions o;
    o.password = "pässwörd";
    jet::create_database(path, o)->close();
    EXPECT_THROW(jet::Database::open(path), jet::Error);
    EXPECT_THROW(jet::Database::open(path, "password"), jet::Error);
    auto db = jet::Database::open(path, "pässwörd");
    EXPECT_EQ(db->header().password, "pässwörd");
    writer_test::check_with_readers(path, "pässwörd");
}

TEST(WriteCreate, RefusesAnExistingFileOrAMissingFolder) {
    WriterDir dir;
    const std::string path = dir.file("a.mdb");
    jet::create_database(path)->close();
    auto size = fs::file_size(path);
    EXPECT_THROW(jet::create_database(path), jet::Error);
    EXPECT_EQ(fs::file_size(path), size);  // untouched
    EXPECT_THROW(jet::create_database(dir.file("no/such/folder.mdb")), jet::Error);
    jet::CreateOptions o;
    o.password = std::string(21, 'x');
    EXPECT_THROW(jet::create_database(dir.file("b.mdb"), o), jet::Error);
    EXPECT_FALSE(fs::exists(dir.file("b.mdb")));
}

// ---- tables and rows -----------------------------------------------------------

jet::TableSpec every_type_table(const std::string& name) {
    using T = jet::ColumnType;
    jet::ColumnSpec id = col("ID", T::kLong);
    id.autonumber = true;
    jet::ColumnSpec num = col("Amount", T::kNumeric);
    num.precision = 12;
    num.scale = 3;
    return jet::TableSpec{name,
                          {id, col("Flag", T::kBoolean), col("Small", T::kByte), col("Count", T::kInteger),
                           col("Big", T::kLong), col("Price", T::kCurrency), col("Ratio", T::kSingle),
                           col("Measure", T::kDouble), col("When", T::kDateTime), col("Raw", T::kBinary, 16),
                           col("Name", T::kText, 50), col("Picture", T::kOle), col("Notes", T::kMemo),
                           col("Key", T::kGuid), num}};
}

std::vector<jet::Value> every_type_row(int i) {
    jet::Guid g;
    for (int k = 0; k < 16; ++k) g.bytes[k] = static_cast<std::uint8_t>(i * 7 + k);
    jet::Decimal d;
    d.negative = i % 3 == 0;
    d.precision = 12;
    d.scale = 3;
    d.magnitude[15] = static_cast<std::uint8_t>(i);
    d.magnitude[14] = 0x30;
    std::vector<jet::Value> row = {
        jet::Null{},
        i % 2 == 0,
        static_cast<std::uint8_t>(i % 256),
        static_cast<std::int16_t>(i * 3 - 500),
        static_cast<std::int32_t>(i * 100003 - 7),
        jet::Currency{i * 12345 - 99},
        static_cast<float>(i) / 8.0f,
        i * 1.0 / 3.0,
        jet::DateTime{40000.0 + i + (i % 86400) / 86400.0},
        jet::Bytes{static_cast<std::uint8_t>(i), 1, 2, 3, 0xFF},
        std::string(i % 2 ? "Zeile " : "数据 ") + std::to_string(i),
        bytes_of_length(static_cast<std::size_t>(i % 5) * 97, static_cast<std::uint32_t>(i)),
        text_of_length(static_cast<std::size_t>(i % 7) * 31, static_cast<std::uint32_t>(i)),
        g,
        d,
    };
    if (i % 5 == 4) {  // every nullable column null
        for (std::size_t k = 2; k < row.size(); ++k) row[k] = jet::Null{};
    }
    return row;
}

TEST(WriteRows, EveryTypeOverManyPagesReadsBackEverywhere) {
    WriterDir dir;
    const std::string path = dir.file("types.mdb");
    auto w = jet::create_database(path);
    auto t = w->create_table(every_type_table("Every Type"));
    const int n = 3000;
    for (int i = 0; i < n; ++i) w->insert_row(t, every_type_row(i));
    w->close();

    auto back = writer_test::check_with_readers(path);
    ASSERT_EQ(back.tables, std::vector<std::string>{"Every Type"});
    const auto& rows = back.rows["Every Type"];
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        auto want = every_type_row(i);
        want[0] = static_cast<std::int32_t>(i + 1);  // autonumber
        ASSERT_EQ(rows[i], want) << "row " << i;
    }
}

TEST(WriteRows, LongValuesInlineOnOnePageAndInChains) {
    WriterDir dir;
    const std::string path = dir.file("long.mdb");
    auto w = jet::create_database(path);
    using T = jet::ColumnType;
    auto t = w->create_table(jet::TableSpec{
        "Long Values", {col("N", T::kLong), col("Memo", T::kMemo), col("Ole", T::kOle)}});
    const std::size_t sizes[] = {0, 1, 2, 3, 100, 1024, 1025, 4000, 4080, 4081, 9000, 70000, 400000};
    std::vector<std::vector<jet::Value>> rows;
    int n = 0;
    for (std::size_t s : sizes) {
        rows.push_back({static_cast<std::int32_t>(n++), text_of_length(s, static_cast<std::uint32_t>(s)),
                        bytes_of_length(s, static_cast<std::uint32_t>(s + 1))});
        // A pure Latin text is stored compressed while it is short enough.
        std::string latin(s, 'x');
        rows.push_back({static_cast<std::int32_t>(n++), latin, jet::Null{}});
    }
    for (const auto& r : rows) w->insert_row(t, r);
    w->close();
    auto back = writer_test::check_with_readers(path);
    ASSERT_EQ(back.rows["Long Values"].size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(back.rows["Long Values"][i], rows[i]) << i;
}

TEST(WriteRows, WideTableDefinitionSpansPages) {
    WriterDir dir;
    const std::string path = dir.file("wide.mdb");
    auto w = jet::create_database(path);
    jet::TableSpec layout{"Wide", {}};
    for (int i = 0; i < 200; ++i) {
        layout.columns.push_back(col("A rather long column name number " + std::to_string(i),
                                   i % 3 == 0 ? jet::ColumnType::kText : jet::ColumnType::kLong, 10));
    }
    auto t = w->create_table(layout);
    for (int r = 0; r < 20; ++r) {
        std::vector<jet::Value> row;
        for (int i = 0; i < 200; ++i) {
            if (i % 3 == 0) row.push_back(std::to_string(r * 1000 + i));
            else row.push_back(static_cast<std::int32_t>(r * 1000 + i));
        }
        w->insert_row(t, row);
    }
    w->close();
    auto db = jet::Database::open(path);
    EXPECT_GT(db->table_def("Wide").pages.size(), 2u);
    auto back = writer_test::check_with_readers(path);
    EXPECT_EQ(back.rows["Wide"].size(), 20u);
}

TEST(WriteRows, TablesBeyondAnInlineUsageMap) {
    // More than 512 data pages (and long-value pages): the usage maps become
    // references to map pages. A table of fixed columns only has no
    // variable-offset table in its rows.
    WriterDir dir;
    const std::string path = dir.file("big.mdb");
    auto w = jet::create_database(path);
    using T = jet::ColumnType;
    jet::TableSpec wide{"Wide Rows", {col("N", T::kLong)}};
    for (int i = 0; i < 7; ++i) wide.columns.push_back(col("Text" + std::to_string(i), T::kText, 255));
    wide.columns.push_back(col("Doc", T::kOle));
    auto t = w->create_table(wide);
    auto f = w->create_table(jet::TableSpec{"Fixed", {col("A", T::kLong), col("B", T::kDouble), col("C", T::kBoolean)}});
    std::string chinese;  // non-Latin: stored as UCS-2, 7 x 490 bytes fill a page
    for (int i = 0; i < 240; ++i) chinese += "数";
    for (int r = 0; r < 700; ++r) {
        std::vector<jet::Value> row{static_cast<std::int32_t>(r)};
        for (int i = 0; i < 7; ++i) row.push_back(std::to_string(r) + chinese);
        row.push_back(bytes_of_length(3000, static_cast<std::uint32_t>(r)));
        w->insert_row(t, row);
        w->insert_row(f, std::vector<jet::Value>{static_cast<std::int32_t>(r), r * 0.25, r % 2 == 1});
    }
    w->close();
    auto back = writer_test::check_with_readers(path);
    ASSERT_EQ(back.rows["Wide Rows"].size(), 700u);
    ASSERT_EQ(back.rows["Fixed"].size(), 700u);
    EXPECT_EQ(back.rows["Fixed"][699][2], jet::Value{true});
    EXPECT_EQ(std::get<jet::Bytes>(back.rows["Wide Rows"][512][8]), bytes_of_length(3000, 512));
}

TEST(WriteRows, CompleteAfterEveryFlush) {
    WriterDir dir;
    const std::string path = dir.file("flush.mdb");
    auto w = jet::create_database(path);
    using T = jet::ColumnType;
    auto t = w->create_table(jet::TableSpec{"Log", {col("N", T::kLong), col("Text", T::kMemo)}});
    for (int round = 1; round <= 3; ++round) {
        for (int i = 0; i < 150; ++i) {
            w->insert_row(t, std::vector<jet::Value>{static_cast<std::int32_t>(round * 1000 + i), text_of_length(i * 40, i)});
        }
        w->flush();
        auto back = writer_test::check_with_readers(path);
        EXPECT_EQ(back.rows["Log"].size(), 150u * round);
    }
    w->close();
}

TEST(WriteRows, UpdateAndDelete) {
    WriterDir dir;
    const std::string path = dir.file("upd.mdb");
    auto w = jet::create_database(path);
    using T = jet::ColumnType;
    auto t = w->create_table(jet::TableSpec{"People", {col("Id", T::kLong), col("Name", T::kText, 200)}});
    std::vector<jet::RowId> ids;
    for (int i = 0; i < 400; ++i) {
        ids.push_back(w->insert_row(t, std::vector<jet::Value>{static_cast<std::int32_t>(i), std::string("n") + std::to_string(i)}));
    }
    // Shrink one row, grow one beyond its page's room (it moves), delete some.
    w->update_row(t, ids[5], std::vector<jet::Value>{std::int32_t{5}, std::string("x")});
    jet::RowId moved = w->update_row(t, ids[6], std::vector<jet::Value>{std::int32_t{6}, std::string(200, 'y')});
    (void)moved;
    for (int i = 100; i < 200; ++i) w->delete_row(t, ids[i]);
    EXPECT_THROW(w->delete_row(t, ids[150]), jet::Error);
    EXPECT_EQ(w->row_count(t), 300u);
    w->close();
    auto back = writer_test::check_with_readers(path);
    const auto& rows = back.rows["People"];
    ASSERT_EQ(rows.size(), 300u);
    std::map<std::int32_t, std::string> by_id;
    for (const auto& r : rows) by_id[std::get<std::int32_t>(r[0])] = std::get<std::string>(r[1]);
    EXPECT_EQ(by_id.size(), 300u);
    EXPECT_EQ(by_id[5], "x");
    EXPECT_EQ(by_id[6], std::string(200, 'y'));
    EXPECT_EQ(by_id.count(150), 0u);
    EXPECT_EQ(by_id[399], "n399");
}

TEST(WriteRows, BadValuesFailAndChangeNothing) {
    WriterDir dir;
    const std::string path = dir.file("bad.mdb");
    auto w = jet::create_database(path);
    using T = jet::ColumnType;
    auto t = w->create_table(jet::TableSpec{"T", {col("Short", T::kText, 3), col("B", T::kByte)}});
    struct Case {
        const char* what;
        std::vector<jet::Value> row;
    } cases[] = {
        {"text too long", {std::string("abcd"), jet::Null{}}},
        {"byte out of range", {jet::Null{}, std::int32_t{256}}},
        {"wrong type", {std::int32_t{1}, jet::Null{}}},
        {"too few values", {jet::Null{}}},
    };
    for (const auto& c : cases) EXPECT_THROW(w->insert_row(t, c.row), jet::Error) << c.what;
    EXPECT_EQ(w->row_count(t), 0u);
    EXPECT_THROW(w->create_table(jet::TableSpec{"t", {col("X", T::kLong)}}), jet::Error);  // exists
    EXPECT_THROW(w->create_table(jet::TableSpec{"Bad.Name", {col("X", T::kLong)}}), jet::Error);
    w->insert_row(t, std::vector<jet::Value>{std::string("abc"), std::uint8_t{255}});
    w->close();
    auto back = writer_test::check_with_readers(path);
    EXPECT_EQ(back.rows["T"].size(), 1u);
}

// ---- indexes -------------------------------------------------------------------

TEST(WriteIndexes, BuiltOverRowsAndKeptCurrent) {
    WriterDir dir;
    const std::string path = dir.file("idx.mdb");
    auto w = jet::create_database(path);
    using T = jet::ColumnType;
    auto t = w->create_table(jet::TableSpec{
        "Customers", {col("Id", T::kLong), col("Name", T::kText, 100), col("City", T::kText, 50),
                      col("Joined", T::kDateTime), col("Score", T::kDouble)}});
    std::vector<jet::RowId> ids;
    const char* cities[] = {"Berlin", "北京", "Zürich", "Ålesund", "berlin", "Paris"};
    auto row = [&](int i) {
        return std::vector<jet::Value>{static_cast<std::int32_t>(i), "Customer " + std::to_string(i * 7919 % 5000),
                                       i % 13 == 0 ? jet::Value{jet::Null{}} : jet::Value{std::string(cities[i % 6])},
                                       jet::DateTime{38000.0 + i % 300}, (i % 50) * -1.5};
    };
    for (int i = 0; i < 2500; ++i) ids.push_back(w->insert_row(t, row(i)));
    jet::IndexSpec pk{"PrimaryKey", {{"Id", false}}, true};
    w->create_index(t, pk);
    w->create_index(t, jet::IndexSpec{"ByName", {{"Name", false}}, false, true});
    w->create_index(t, jet::IndexSpec{"CityJoined", {{"City", false}, {"Joined", true}}});
    w->create_index(t, jet::IndexSpec{"Score", {{"Score", true}}});
    // A duplicate key in a unique index fails and changes nothing.
    EXPECT_THROW(w->insert_row(t, row(17)), jet::Error);
    EXPECT_THROW(w->create_index(t, jet::IndexSpec{"UCity", {{"City", false}}, false, true}), jet::Error);
    EXPECT_EQ(w->row_count(t), 2500u);
    // Maintenance: inserts, updates (one moving), deletes.
    for (int i = 2500; i < 2600; ++i) ids.push_back(w->insert_row(t, row(i)));
    for (int i = 0; i < 300; i += 3) w->delete_row(t, ids[i]);
    auto changed = row(1);
    std::get<std::string>(changed[1]) = "Renamed customer with a much longer name than before";
    w->update_row(t, ids[1], changed);
    EXPECT_THROW(w->update_row(t, ids[2], row(4)), jet::Error);  // would duplicate Id 4
    auto no_key = row(9999);
    no_key[0] = jet::Null{};
    EXPECT_THROW(w->insert_row(t, no_key), jet::Error);  // a primary key refuses nulls
    w->close();
    writer_test::check_with_readers(path);
    writer_test::check_indexes(path, "Customers");
    writer_test::check_indexes(path, "MSysObjects");
}

TEST(WriteIndexes, CatalogIndexesStayCorrectWithManyTables) {
    WriterDir dir;
    const std::string path = dir.file("many.mdb");
    auto w = jet::create_database(path);
    for (int i = 0; i < 300; ++i) {
        w->create_table(jet::TableSpec{"Table number " + std::to_string(i) + " 表", {col("X", jet::ColumnType::kLong)}});
    }
    w->close();
    auto back = writer_test::check_with_readers(path);
    EXPECT_EQ(back.tables.size(), 300u);
    writer_test::check_indexes(path, "MSysObjects");
}

}  // namespace
