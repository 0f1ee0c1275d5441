// The writer's ACE files (Access 2007 and later): a new file of each
// version with every column kind ACE adds (Large Number, Date/Time
// Extended, calculated and complex columns) and text in both General sort
// orders, keys on each, read back by our reader, the integrity check,
// mdb-reader and mdbtools; the same file opened again by the writer,
// changed and closed.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include "jet/base/error.h"
#include "jet/index/check.h"
#include "jet/index/page.h"
#include "jet/page/file.h"
#include "jet/page/office_crypt.h"
#include "jet/table/database.h"
#include "jet/write/create_database.h"
#include "scratch_dir.h"
#include "write_readers.h"

namespace {

using jet::ColumnSpec;
using jet::ColumnType;
using jet::FileVersion;
using jet::SortOrderVersion;
using jet::Value;

struct AceCase {
    const char* name;
    FileVersion version;
    SortOrderVersion sort;
};

const AceCase kCases[] = {
    {"ace12_legacy", FileVersion::kAce12, SortOrderVersion::kGeneralLegacy},
    {"ace14_general", FileVersion::kAce14, SortOrderVersion::kGeneral},
    {"ace15_general", FileVersion::kAce15, SortOrderVersion::kGeneral},
    {"ace16_general", FileVersion::kAce16, SortOrderVersion::kGeneral},
    {"ace17_legacy", FileVersion::kAce17, SortOrderVersion::kGeneralLegacy},
    {"ace17_general", FileVersion::kAce17, SortOrderVersion::kGeneral},
};

std::vector<std::uint8_t> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

using writer_test::col;

ColumnSpec calculated(std::string name, ColumnType type) {
    ColumnSpec c = col(std::move(name), type);
    c.calculated = true;
    return c;
}

ColumnSpec ratio_column() {
    ColumnSpec c = col("Ratio", ColumnType::kNumeric);
    c.precision = 18;
    c.scale = 2;
    return c;
}

jet::Decimal ratio(std::int64_t hundredths) {
    jet::Decimal d;
    d.negative = hundredths < 0;
    d.precision = 18;
    d.scale = 2;
    const std::uint64_t m = static_cast<std::uint64_t>(hundredths < 0 ? -hundredths : hundredths);
    for (int k = 0; k < 8; ++k) d.magnitude[15 - k] = static_cast<std::uint8_t>(m >> (8 * k));
    return d;
}

// The table every case writes: each kind once, in the order the readers list them.
jet::TableSpec kinds_table() {
    jet::TableSpec t;
    t.name = "Kinds";
    ColumnSpec id = col("ID", ColumnType::kLong);
    id.autonumber = true;
    ColumnSpec attach = col("Files", ColumnType::kComplex);
    attach.complex_id = 7;
    ColumnSpec calc_text = calculated("FullName", ColumnType::kText);
    calc_text.size = 100;
    ColumnSpec calc_memo = calculated("Story", ColumnType::kText);
    calc_memo.calculated_length = 0;  // a Memo result: a long value
    calc_memo.result_type = ColumnType::kMemo;
    t.columns = {id,
                 col("Big", ColumnType::kBigInt),
                 col("When", ColumnType::kDateTimeExt),
                 col("Name", ColumnType::kText, 50),
                 col("Notes", ColumnType::kMemo),
                 col("Amount", ColumnType::kCurrency),
                 attach,
                 calculated("Twice", ColumnType::kLong),
                 calculated("Price", ColumnType::kCurrency),
                 calc_text,
                 calc_memo,
                 calculated("Day", ColumnType::kDateTime),
                 ratio_column()};
    t.complex_autonumber = 3;
    return t;
}

jet::DateTimeExt ext(std::int64_t days, std::int64_t seconds, std::uint32_t fraction) {
    return jet::DateTimeExt{days, seconds, fraction};
}

// Rows with values at the edges: the smallest and largest Large Numbers,
// dates before 1899 and at 100 ns, text above U+FFFF, nulls.
std::vector<std::vector<Value>> kinds_rows() {
    using jet::Bytes;
    using jet::Currency;
    using jet::DateTime;
    using jet::Null;
    const std::string long_story(3000, 'x');
    return {
        {Null{}, std::int64_t{1} << 40, ext(0, 0, 0), std::string("alpha"), std::string("first"),
         Currency{12345}, std::int32_t{1}, std::int32_t{2}, Currency{-5}, std::string("Doe, John"),
         std::string("a memo result"), DateTime{1.5}, ratio(150)},
        {Null{}, std::numeric_limits<std::int64_t>::min(), ext(693594, 86399, 9999999),
         std::string("a\xF0\x9F\x98\x80" "a"), Null{}, Null{}, std::int32_t{2}, std::int32_t{-8},
         Currency{0}, std::string("\xC3\x89tienne"), long_story, DateTime{-700.25}, ratio(-150)},
        {Null{}, std::numeric_limits<std::int64_t>::max(), ext(3652058, 45296, 1234567),
         std::string("\xF0\x9F\x98\x8A"), std::string(2000, 'm'), Currency{-1}, Null{}, Null{}, Null{},
         Null{}, Null{}, Null{}, ratio(-1)},
        {Null{}, std::int64_t{-1}, ext(1, 1, 1), std::string("Alpha"), std::string(""), Currency{1},
         std::int32_t{5}, std::int32_t{0}, Currency{99990000}, std::string("b"), std::string("z"),
         DateTime{45000.0}, ratio(0)},
        {Null{}, Null{}, Null{}, Null{}, Null{}, Null{}, std::int32_t{6}, std::int32_t{1}, Null{},
         Null{}, Null{}, Null{}, Null{}},
    };
}

void write_kinds(jet::DatabaseWriter& w) {
    auto t = w.create_table(kinds_table());
    for (const auto& r : kinds_rows()) w.insert_row(t, r);
    w.create_index(t, {.name = "PrimaryKey", .columns = {{"ID"}}, .primary_key = true});
    w.create_index(t, {.name = "Big", .columns = {{"Big"}}});
    w.create_index(t, {.name = "WhenUp", .columns = {{"When"}}});
    w.create_index(t, {.name = "WhenDown", .columns = {{"When", true}}});
    w.create_index(t, {.name = "Name", .columns = {{"Name"}, {"Big", true}}});
    w.create_index(t, {.name = "Files", .columns = {{"Files"}}, .unique = true, .ignore_nulls = true});
    w.create_index(t, {.name = "RatioDown", .columns = {{"Ratio", true}}});
}

// What the run carries from a source for a complex column: the column's
// row in MSysComplexColumns and its flat table (here an attachment one),
// made as the run makes them, so that mdb-reader resolves the column.
// Complex value 1 and 2 get one file each, named after their id.
void add_attachments(jet::DatabaseWriter& w) {
    auto with = [](ColumnSpec c, std::uint8_t extra, std::uint8_t more) {
        c.extra_flags = extra;
        c.more_extra_flags = more;
        c.compressed = false;
        return c;
    };
    ColumnSpec complex_id = with(col("ComplexID", ColumnType::kLong), 0x10, 0);
    complex_id.autonumber = true;
    auto columns = w.create_table(
        {"MSysComplexColumns",
         {with(col("ColumnName", ColumnType::kText, 255), 0x10, 0), complex_id,
          with(col("ComplexTypeObjectID", ColumnType::kLong), 0x10, 0),
          with(col("ConceptualTableID", ColumnType::kLong), 0x10, 0),
          with(col("FlatTableID", ColumnType::kLong), 0x10, 0)}});
    ColumnSpec pk = with(col("Kinds_Files", ColumnType::kLong), 0, 0x04);
    pk.autonumber = true;
    auto flat = w.create_table({"f_0123456789ABCDEF0123456789ABCDEF_Files",
                                {with(col("_Files", ColumnType::kLong), 0, 0x08),
                                 with(col("FileData", ColumnType::kOle), 0, 0x10),
                                 with(col("FileFlags", ColumnType::kLong), 0, 0x10),
                                 with(col("FileName", ColumnType::kText, 255), 0, 0x10),
                                 with(col("FileTimeStamp", ColumnType::kDateTime), 0, 0x10),
                                 with(col("FileType", ColumnType::kText, 255), 0, 0x10),
                                 with(col("FileURL", ColumnType::kMemo), 0, 0x10), pk}});
    const std::int32_t kinds = w.table_id(w.table("Kinds"));
    w.insert_row(columns, std::vector<Value>{std::string("Files"), std::int32_t{7}, std::int32_t{0},
                                              kinds, w.table_id(flat)});
    for (std::int32_t id : {1, 2}) {
        const std::string file = "file " + std::to_string(id);
        // Raw (not deflated): type 0, length, then a header of 16 bytes
        // (its length, 1, "txt" and a NUL in UTF-16) and the file.
        jet::Bytes content = {16, 0, 0, 0, 1, 0, 0, 0, 't', 0, 'x', 0, 't', 0, 0, 0};
        content.insert(content.end(), file.begin(), file.end());
        jet::Bytes data = {0, 0, 0, 0, static_cast<std::uint8_t>(content.size()), 0, 0, 0};
        data.insert(data.end(), content.begin(), content.end());
        w.insert_row(flat, std::vector<Value>{id, data, std::int32_t{0}, "f" + std::to_string(id) + ".txt",
                                              jet::DateTime{45000.5}, std::string("txt"), jet::Null{},
                                              jet::Null{}});
    }
}

std::vector<std::string> problem_lines(const std::string& path) {
    std::vector<std::string> out;
    jet::check_database(path, "", [&](const jet::CheckProblem& p) {
        out.push_back(p.table + " page " + std::to_string(p.page) + ": " + p.text);
    });
    return out;
}

// Our reader: the header, the definition as written, every value.
void expect_read_back(const std::string& path, const AceCase& c,
                      const std::vector<std::vector<Value>>& rows) {
    auto db = jet::Database::open(path, "");
    EXPECT_EQ(db->header().version, c.version);
    EXPECT_EQ(db->header().format, jet::Format::Jet4);
    EXPECT_EQ(db->header().sort_order_version, static_cast<std::uint8_t>(c.sort));
    const auto bytes = read_bytes(path);
    ASSERT_GE(bytes.size(), 4096u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()) + 4, 15), "Standard ACE DB");
    EXPECT_EQ(bytes[0x14], static_cast<std::uint8_t>(c.version));

    jet::TableDef def = db->table_def("Kinds");
    EXPECT_EQ(def.complex_autonumber, 6u) << "raised by the largest complex id";
    for (const auto& column : def.columns) {
        SCOPED_TRACE(column.name);
        const auto type = column.column_type();
        if (type == ColumnType::kText || type == ColumnType::kMemo) {
            EXPECT_EQ(column.sort_order, 1033);
            EXPECT_EQ(column.sort_order_version, static_cast<std::uint8_t>(c.sort));
        }
        if (column.name == "Files") {
            EXPECT_EQ(column.complex_id, 7u);
            EXPECT_TRUE(column.is_fixed());
            EXPECT_EQ(column.length, 4);
        }
        if (column.name == "Big") { EXPECT_EQ(column.length, 8); }
        if (column.name == "When") { EXPECT_EQ(column.length, 42); }
        const bool calc = column.name == "Twice" || column.name == "Price" ||
                          column.name == "FullName" || column.name == "Story" || column.name == "Day";
        EXPECT_EQ(column.is_calculated(), calc);
        if (calc) {
            EXPECT_EQ(column.misc_flags & jet::kColumnCalculated, jet::kColumnCalculated);
            EXPECT_FALSE(column.is_fixed());
        }
        if (column.name == "Twice") { EXPECT_EQ(column.length, 39); }
        if (column.name == "Story") { EXPECT_EQ(column.length, 0); }
    }
    auto got = db->read_all(def);
    ASSERT_EQ(got.size(), rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t k = 1; k < rows[r].size(); ++k) {
            Value want = rows[r][k];
            // The reader has no ResultType property here (the run writes the
            // properties): a Memo result reads as the TDEF's Text.
            EXPECT_EQ(got[r][k], want) << "row " << r << " column " << def.columns[k].name;
        }
        EXPECT_EQ(got[r][0], Value(static_cast<std::int32_t>(r + 1)));
    }
}

// mdb-reader: every column but the calculated ones, which it returns as
// their stored wrapper.
void expect_mdb_reader(const std::string& path, const std::vector<std::vector<Value>>& rows,
                       const std::string& password = {}) {
    if (!writer_test::have_mdb_reader()) {
        std::printf("node or mdb-reader is not installed: cross-check with mdb-reader skipped\n");
        return;
    }
    std::string cmd = "cd " + fixtures::sh_quote(writer_test::readers_dir()) + " && node dump_tables.mjs " +
                      fixtures::sh_quote(path);
    if (!password.empty()) cmd += " " + fixtures::sh_quote(password);
    auto r = fixtures::run(cmd);
    ASSERT_EQ(r.status, 0) << r.out;
    auto j = testjson::parse(r.out);
    const testjson::Value* kinds = nullptr;
    for (const auto& t : j["tables"].items) {
        if (t["name"].text == "Kinds") kinds = &t;
    }
    ASSERT_NE(kinds, nullptr);
    const auto& columns = (*kinds)["columns"].items;
    ASSERT_EQ(columns.size(), rows.front().size());
    ASSERT_EQ((*kinds)["rows"].items.size(), rows.size());
    for (std::size_t r2 = 0; r2 < rows.size(); ++r2) {
        const auto& cells = (*kinds)["rows"].items[r2].items;
        for (std::size_t k = 1; k < 6; ++k) {  // ID .. Amount: the stored kinds
            const std::string where = "mdb-reader row " + std::to_string(r2) + " " + columns[k]["name"].text;
            if (const auto* when = std::get_if<jet::DateTimeExt>(&rows[r2][k])) {
                // mdb-reader prints "YYYY.MM.DD HH:MM:SS" and nine digits of the second.
                std::string text = cells[k].text;
                if (text.size() == 29) text = text.substr(0, 4) + "-" + text.substr(5, 2) + "-" + text.substr(8, 19);
                EXPECT_EQ(text, jet::datetime_ext_text(*when)) << where << " (" << cells[k].text << ")";
                EXPECT_EQ(cells[k].text.substr(27), "00") << where;
                continue;
            }
            writer_test::expect_same(rows[r2][k], cells[k], where);
        }
        // Files: mdb-reader follows the complex id to the attachments.
        const auto* id = std::get_if<std::int32_t>(&rows[r2][6]);
        if (!id) {
            EXPECT_TRUE(cells[6].is_null()) << "row " << r2;
            continue;
        }
        const auto& files = cells[6].items;
        if (*id <= 2) {
            ASSERT_EQ(files.size(), 1u) << "row " << r2;
            EXPECT_EQ(files[0]["name"].text, "f" + std::to_string(*id) + ".txt");
            EXPECT_EQ(files[0]["type"].text, "txt");
        } else {
            EXPECT_EQ(files.size(), 0u) << "row " << r2;
        }
    }
}

class AceWrite : public ::testing::TestWithParam<AceCase> {};

TEST_P(AceWrite, EveryKindReadsBackAndChecksClean) {
    const AceCase& c = GetParam();
    zolvak_test::ScratchDir dir("ace-write");
    const std::string path = dir.file("new.accdb");
    {
        auto w = jet::create_database(path, {.version = c.version, .sort_order_version = c.sort});
        EXPECT_EQ(w->version(), c.version);
        write_kinds(*w);
        add_attachments(*w);
        w->close();
    }
    const auto rows = kinds_rows();
    expect_read_back(path, c, rows);
    EXPECT_EQ(problem_lines(path), std::vector<std::string>{});
    expect_mdb_reader(path, rows);

    // mdbtools lists the table and prints its schema; mdb-export prints the
    // kinds it knows (Large Number and the calculated and complex columns
    // it prints otherwise: see docs/jet-ace.md).
    if (writer_test::have_command("mdb-export")) {
        auto listed = fixtures::run("mdb-tables -1 " + fixtures::sh_quote(path));
        EXPECT_NE(listed.out.find("Kinds\n"), std::string::npos);
        EXPECT_EQ(fixtures::run("mdb-schema " + fixtures::sh_quote(path) + " >/dev/null 2>&1; echo $?").out, "0\n");
        auto r = fixtures::run("LC_ALL=C.UTF-8 mdb-export " + fixtures::sh_quote(path) + " Kinds 2>/dev/null");
        EXPECT_EQ(r.status, 0);
        auto csv = writer_test::parse_csv(r.out);
        ASSERT_EQ(csv.size(), rows.size() + 1);
        for (std::size_t r2 = 0; r2 < rows.size(); ++r2) {
            const auto& line = csv[r2 + 1];
            ASSERT_GE(line.size(), 6u);
            // Characters above U+FFFF print as "??"; Large Number and
            // Date/Time Extended print empty (mdbtools 1.0 has neither type).
            const auto* name = std::get_if<std::string>(&rows[r2][3]);
            const bool astral = name && name->find('\xF0') != std::string::npos;
            if (!astral) { EXPECT_EQ(line[3].text, name ? *name : std::string()) << "Name, row " << r2; }
            EXPECT_EQ(line[1].text, "") << "Big, row " << r2;
            EXPECT_EQ(line[2].text, "") << "When, row " << r2;
            const auto* amount = std::get_if<jet::Currency>(&rows[r2][5]);
            if (amount) { EXPECT_EQ(std::strtod(line[5].text.c_str(), nullptr), amount->scaled / 10000.0); }
            // A complex column prints as its id.
            const auto* files = std::get_if<std::int32_t>(&rows[r2][6]);
            ASSERT_GE(line.size(), 7u);
            EXPECT_EQ(line[6].text, files ? std::to_string(*files) : std::string()) << "Files, row " << r2;
        }
    } else {
        std::printf("mdbtools is not installed: cross-check with mdb-export skipped\n");
    }

    // Opened again, changed and closed: still whole, for every reader.
    auto changed = rows;
    {
        auto w = jet::DatabaseWriter::open(path, "");
        EXPECT_EQ(w->version(), c.version);
        EXPECT_EQ(w->sort_order_version(), c.sort);
        auto t = w->table("Kinds");
        auto db = jet::Database::open(path, "");
        std::vector<jet::RowId> ids;
        db->scan(db->table_def("Kinds"), [&](const jet::RowId& id, const jet::Row&) {
            ids.push_back(id);
            return true;
        });
        db.reset();
        ASSERT_EQ(ids.size(), rows.size());
        std::vector<Value> extra = rows[0];
        extra[0] = jet::Null{};
        extra[1] = std::int64_t{-(std::int64_t{1} << 50)};
        extra[2] = ext(500000, 3600, 5);
        extra[3] = std::string("\xF0\x9F\x98\x80z");
        extra[6] = std::int32_t{9};
        w->insert_row(t, extra);
        extra[0] = std::int32_t{6};
        changed.push_back(extra);
        std::vector<Value> update = rows[1];
        update[0] = std::int32_t{2};
        update[1] = std::int64_t{42};
        update[3] = std::string("b\xF0\x9F\x98\x83");
        w->update_row(t, ids[1], update);
        changed[1] = update;
        w->delete_row(t, ids[3]);
        changed.erase(changed.begin() + 3);
        EXPECT_THROW(w->insert_row(t, extra), jet::Error) << "complex id 9 is unique";
        w->close();
    }
    EXPECT_EQ(problem_lines(path), std::vector<std::string>{});
    {
        auto db = jet::Database::open(path, "");
        auto def = db->table_def("Kinds");
        EXPECT_EQ(def.complex_autonumber, 9u);
        EXPECT_EQ(db->read_all(def).size(), changed.size());
    }
    // The changed file's order of rows is the scan's: rebuild the expected
    // rows in that order for mdb-reader.
    {
        auto db = jet::Database::open(path, "");
        auto got = db->read_all(db->table_def("Kinds"));
        std::vector<std::vector<Value>> in_order;
        for (const auto& row : got) {
            for (const auto& want : changed) {
                if (want[1] == row[1] && want[6] == row[6]) in_order.push_back(want);
            }
        }
        ASSERT_EQ(in_order.size(), got.size());
        expect_mdb_reader(path, in_order);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, AceWrite, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The empty ACE file: its header against Access's (ace16-empty.accdb) and
// its catalog tables with the sort order's version in every text column.
TEST(AceWriteEmpty, HeaderAndCatalogAsAccessWritesThem) {
    const std::string fixture = (fixtures::dir() / "ace16-empty.accdb").string();
    zolvak_test::ScratchDir dir("ace-empty");
    const std::string path = dir.file("empty.accdb");
    jet::create_database(path, {.version = FileVersion::kAce16,
                                .sort_order_version = SortOrderVersion::kGeneral})
        ->close();
    EXPECT_EQ(problem_lines(path), std::vector<std::string>{});
    auto ours = jet::Database::open(path, "");
    if (!std::filesystem::exists(fixture)) {
        GTEST_SKIP() << "fixture ace16-empty.accdb is absent";
    }
    auto access = jet::Database::open(fixture, "");
    // The header page, unmasked: equal but for the creation date (and the
    // password field masked with it) and two bytes near the end whose
    // meaning is unknown (they differ between Access's own files).
    auto unmask = [](std::vector<std::uint8_t> p) {
        p.resize(4096);
        jet::rc4_apply(jet::kHeaderRc4Key, std::span<std::uint8_t>(p).subspan(jet::kHeaderMaskedOffset, 128));
        return p;
    };
    const auto a = unmask(read_bytes(fixture)), b = unmask(read_bytes(path));
    for (std::size_t i = 0; i < 4096; ++i) {
        const bool date = i >= jet::kHeaderCreationDateOffset && i < jet::kHeaderCreationDateOffset + 8;
        const bool password = i >= jet::kHeaderPasswordOffset && i < jet::kHeaderPasswordOffset + 40;
        if (date || password || i == 0xE00 || i == 0xE02) continue;
        EXPECT_EQ(a[i], b[i]) << "header byte 0x" << std::hex << i;
    }
    for (const char* name : {"MSysObjects", "MSysACEs", "MSysQueries", "MSysRelationships"}) {
        SCOPED_TRACE(name);
        auto da = access->table_def(name), db = ours->table_def(name);
        ASSERT_EQ(da.columns.size(), db.columns.size());
        for (std::size_t i = 0; i < da.columns.size(); ++i) {
            const auto &x = da.columns[i], &y = db.columns[i];
            EXPECT_EQ(x.name, y.name);
            EXPECT_EQ(x.type, y.type) << x.name;
            EXPECT_EQ(x.number, y.number) << x.name;
            EXPECT_EQ(x.flags, y.flags) << x.name;
            EXPECT_EQ(x.misc_flags, y.misc_flags) << x.name;
            EXPECT_EQ(x.length, y.length) << x.name;
            EXPECT_EQ(x.sort_order, y.sort_order) << x.name;
            EXPECT_EQ(x.sort_order_version, y.sort_order_version) << x.name;
        }
        ASSERT_EQ(da.indexes.size(), db.indexes.size());
        for (std::size_t i = 0; i < da.indexes.size(); ++i) {
            EXPECT_EQ(da.indexes[i].name, db.indexes[i].name);
        }
    }
}

// Every table of every ACE fixture (user, system and flat tables) given to
// the writer as a TableSpec built from its definition, in a new file of the
// fixture's version: each column's descriptor as the source has it (type,
// flags, extra flags, length, sort order and its version, complex id), the
// complex autonumber, and a file that checks clean.
// As a run builds a table's design: the Jet 4 parts, then set_ace_design.
ColumnSpec layout_of(const jet::Column& c) {
    ColumnSpec s;
    s.name = c.name;
    s.type = c.column_type();
    if (s.type == ColumnType::kText) s.size = static_cast<std::uint16_t>(c.length / 2);
    if (s.type == ColumnType::kBinary) s.size = c.length;
    if (!jet::is_known_column_type(c.type) && c.is_fixed()) s.size = c.length;
    s.precision = c.precision ? c.precision : 18;
    s.scale = c.scale;
    s.autonumber = c.is_autonumber();
    s.compressed = (c.misc_flags & 0x01) != 0;
    s.hyperlink = (c.flags & jet::kColumnHyperlink) != 0;
    s.required = (c.flags & jet::kColumnNullable) == 0;
    s.fixed_length = s.type == ColumnType::kText && c.is_fixed();
    s.number = c.number;
    s.extra_flags = static_cast<std::uint8_t>(
        c.flags & ~(jet::kColumnFixed | jet::kColumnNullable | jet::kColumnAutoLong | jet::kColumnAutoGuid |
                    jet::kColumnHyperlink));
    jet::set_ace_design(s, c);
    return s;
}

TEST(AceWriteSpecs, EveryFixtureTableIsExpressible) {
    const auto names = fixtures::ace_names();
    if (names.empty()) GTEST_SKIP() << "the ACE fixtures are absent";
    zolvak_test::ScratchDir dir("ace-layouts");
    std::size_t compared = 0;  // index entries compared with Access's
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        const std::string source_path = (fixtures::dir() / (name + ".accdb")).string();
        auto source = jet::Database::open(source_path, "");
        const std::string path = dir.file(name + ".accdb");
        auto w = jet::create_database(
            path, {.version = source->header().version,
                   .sort_order_version = static_cast<SortOrderVersion>(source->header().sort_order_version)});
        std::vector<std::pair<std::string, jet::TableDef>> made;
        for (const auto& e : source->catalog()) {
            if (e.type != 1) continue;
            if (e.name == "MSysObjects" || e.name == "MSysACEs" || e.name == "MSysQueries" ||
                e.name == "MSysRelationships") {
                continue;  // the writer's own
            }
            jet::TableDef def = source->table_def(e);
            jet::TableSpec layout;
            layout.name = e.name;
            // In the order the definition lists them, by number.
            std::vector<const jet::Column*> order;
            for (const auto& c : def.columns) order.push_back(&c);
            for (const auto* c : order) layout.columns.push_back(layout_of(*c));
            layout.complex_autonumber = def.complex_autonumber;
            try {
                auto h = w->create_table(layout);
                for (const auto& row : source->read_all(def)) w->insert_row(h, row);
                // Its indexes (a relationship's side is the run's), each once.
                std::set<std::uint32_t> built;
                for (const auto& ix : def.indexes) {
                    if (ix.foreign_key() || !built.insert(ix.real_index).second) continue;
                    jet::IndexSpec is{.name = ix.name, .primary_key = ix.primary_key(), .unique = ix.unique(),
                                      .ignore_nulls = ix.ignore_nulls(), .required = ix.required()};
                    for (const auto& ic : ix.columns) is.columns.push_back({def.columns[ic.column].name, ic.descending});
                    w->create_index(h, is);
                }
            } catch (const jet::Error& err) {
                ADD_FAILURE() << e.name << ": " << err.what();
                continue;
            }
            made.emplace_back(e.name, std::move(def));
        }
        w->close();
        EXPECT_EQ(problem_lines(path), std::vector<std::string>{});
        // The writer takes the file back as it wrote it.
        EXPECT_NO_THROW(jet::DatabaseWriter::open(path, "")->close());
        auto back = jet::Database::open(path, "");
        for (const auto& [table, def] : made) {
            SCOPED_TRACE(table);
            jet::TableDef got = back->table_def(table);
            EXPECT_GE(got.complex_autonumber, def.complex_autonumber);
            // The result types are properties, which the run carries: the
            // source's here.
            for (std::size_t i = 0; i < def.columns.size() && i < got.columns.size(); ++i) {
                got.columns[i].calc_result_type = def.columns[i].calc_result_type;
            }
            EXPECT_EQ(back->read_all(got), source->read_all(def));
            // Every key as Access wrote it: the same entries, key for key.
            auto keys = [](jet::Database& db, const jet::TableDef& d, std::uint32_t first_page) {
                auto entries = jet::read_index_entries(
                    [&](std::uint32_t p) { return db.file().page(p)->span(); }, jet::Format::Jet4, first_page,
                    db.file().page_count(), d.name);
                std::vector<std::vector<std::uint8_t>> out;
                for (auto& e : entries) out.push_back(std::move(e.key));
                std::sort(out.begin(), out.end());
                return out;
            };
            for (const auto& ix : def.indexes) {
                if (ix.foreign_key()) continue;
                const jet::Index* mine = nullptr;
                for (const auto& x : got.indexes) {
                    if (x.name == ix.name) mine = &x;
                }
                if (!mine) continue;  // shares a B-tree named otherwise
                SCOPED_TRACE(ix.name);
                const auto theirs = keys(*source, def, def.real_indexes[ix.real_index].first_page);
                EXPECT_EQ(keys(*back, got, got.real_indexes[mine->real_index].first_page), theirs);
                compared += theirs.size();
            }
            ASSERT_EQ(got.columns.size(), def.columns.size());
            for (std::size_t i = 0; i < def.columns.size(); ++i) {
                const auto &a = def.columns[i], &b = got.columns[i];
                SCOPED_TRACE(a.name);
                EXPECT_EQ(a.name, b.name);
                EXPECT_EQ(a.type, b.type);
                EXPECT_EQ(a.number, b.number);
                EXPECT_EQ(a.flags, b.flags);
                EXPECT_EQ(a.misc_flags, b.misc_flags);
                EXPECT_EQ(a.length, b.length);
                EXPECT_EQ(a.is_fixed(), b.is_fixed());
                EXPECT_EQ(a.complex_id, b.complex_id);
                if (a.column_type() == ColumnType::kText || a.column_type() == ColumnType::kMemo) {
                    EXPECT_EQ(a.sort_order, b.sort_order);
                    EXPECT_EQ(a.sort_order_version, b.sort_order_version);
                }
                if (a.column_type() == ColumnType::kNumeric && !a.is_calculated()) {
                    EXPECT_EQ(a.precision, b.precision);
                    EXPECT_EQ(a.scale, b.scale);
                }
            }
        }
    }
    std::printf("%zu index entries equal to Access's\n", compared);
    EXPECT_GT(compared, 100u);
}

// Access's own ACE files, opened for writing in place: refused with a
// message (their layouts are not ones this writer reproduces, as with
// Access's Jet 4 files) or taken, and in either case left byte for byte
// as they were when nothing is changed.
TEST(AceWriteOpen, AccessFilesAreRefusedOrTakenUnchanged) {
    const auto names = fixtures::ace_names();
    if (names.empty()) GTEST_SKIP() << "the ACE fixtures are absent";
    zolvak_test::ScratchDir dir("ace-open");
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        const std::string copy = dir.file(name + ".accdb");
        std::filesystem::copy_file(fixtures::dir() / (name + ".accdb"), copy);
        const auto before = read_bytes(copy);
        try {
            jet::DatabaseWriter::open(copy, "")->close();
        } catch (const jet::Error& e) {
            EXPECT_NE(std::string(e.what()).find("cannot be opened for writing in place"), std::string::npos)
                << e.what();
        }
        EXPECT_EQ(read_bytes(copy), before);
    }
    for (const char* encrypted : {"ace14-agile-password.accdb", "ace14-rc4-password.accdb"}) {
        const auto source = fixtures::dir() / encrypted;
        if (!std::filesystem::exists(source)) continue;
        const std::string copy = dir.file(encrypted);
        std::filesystem::copy_file(source, copy);
        const auto before = read_bytes(copy);
        EXPECT_THROW(jet::DatabaseWriter::open(copy, "password"), jet::Error) << encrypted;
        EXPECT_EQ(read_bytes(copy), before) << encrypted;
    }
}

// A file the writer made, encrypted with a password as a run protects its
// target: our reader, the check and mdb-reader open it with the password
// and refuse a wrong one; the writer does not open it in place.
TEST(AceWriteEncrypted, OpensWithThePasswordOnly) {
    zolvak_test::ScratchDir dir("ace-crypt");
    const std::string path = dir.file("secret.accdb");
    {
        auto w = jet::create_database(path, {.version = FileVersion::kAce14,
                                             .sort_order_version = SortOrderVersion::kGeneral});
        write_kinds(*w);
        add_attachments(*w);
        w->close();
    }
    const auto plain = read_bytes(path);
    jet::encrypt_ace_file(path, "p\xC3\xA4ss word");
    EXPECT_NE(read_bytes(path), plain);

    EXPECT_THROW(jet::Database::open(path, "wrong"), jet::Error);
    EXPECT_THROW(jet::Database::open(path, ""), jet::Error);
    auto db = jet::Database::open(path, "p\xC3\xA4ss word");
    const auto rows = kinds_rows();
    EXPECT_EQ(db->read_all(db->table_def("Kinds")).size(), rows.size());
    std::vector<std::string> problems;
    jet::check_database(path, "p\xC3\xA4ss word",
                        [&](const jet::CheckProblem& p) { problems.push_back(p.table + ": " + p.text); });
    EXPECT_EQ(problems, std::vector<std::string>{});
    EXPECT_THROW(jet::DatabaseWriter::open(path, "p\xC3\xA4ss word"), jet::Error);

    expect_mdb_reader(path, rows, "p\xC3\xA4ss word");
    if (writer_test::have_mdb_reader()) {
        auto r = fixtures::run("cd " + fixtures::sh_quote(writer_test::readers_dir()) +
                               " && node dump_tables.mjs " + fixtures::sh_quote(path) + " wrong 2>&1");
        EXPECT_NE(r.status, 0) << "mdb-reader opened it with a wrong password";
    }
}

// What an ACE file cannot be asked for, and the types a Jet 4 file does
// not have: refused before anything is written, no file left behind.
TEST(AceWriteErrors, RefusedWithAMessage) {
    zolvak_test::ScratchDir dir("ace-errors");
    struct Bad {
        const char* what;
        jet::CreateOptions options;
    };
    const Bad bad[] = {
        {"a header password on an ACE file", {.password = "pw", .version = FileVersion::kAce14}},
        {"the General order in a Jet 4 file", {.sort_order_version = SortOrderVersion::kGeneral}},
        {"another sort order", {.version = FileVersion::kAce14, .sort_order = 1049}},
        {"a Jet 3 file", {.version = FileVersion::kJet3}},
    };
    for (const auto& b : bad) {
        const std::string path = dir.file("bad.accdb");
        EXPECT_THROW(jet::create_database(path, b.options), jet::Error) << b.what;
        EXPECT_FALSE(std::filesystem::exists(path)) << b.what;
    }
    auto w = jet::create_database(dir.file("jet4.mdb"));
    for (ColumnType type : {ColumnType::kBigInt, ColumnType::kDateTimeExt, ColumnType::kComplex}) {
        EXPECT_THROW(w->create_table({"T", {col("X", type)}}), jet::Error);
    }
    EXPECT_THROW(w->create_table({"T", {calculated("X", ColumnType::kLong)}}), jet::Error);
    w->close();
    EXPECT_EQ(problem_lines(dir.file("jet4.mdb")), std::vector<std::string>{});

    // Values that do not fit: nothing written.
    auto a = jet::create_database(dir.file("ace.accdb"), {.version = FileVersion::kAce16});
    auto t = a->create_table({"T", {col("When", ColumnType::kDateTimeExt), col("N", ColumnType::kBigInt)}});
    EXPECT_THROW(a->insert_row(t, std::vector<Value>{ext(0, 86400, 0), jet::Null{}}), jet::Error);
    EXPECT_THROW(a->insert_row(t, std::vector<Value>{std::string("x"), jet::Null{}}), jet::Error);
    EXPECT_THROW(a->insert_row(t, std::vector<Value>{jet::Null{}, 1.5}), jet::Error);
    EXPECT_EQ(a->row_count(t), 0u);

    // A calculated column in the copy's fast path: its stored wrapper as it
    // is, or an error for a decoded text (nothing written).
    auto calc = a->create_table({"C", {calculated("Label", ColumnType::kText)}});
    const jet::Bytes wrapper = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 'h', 0, 0, 0, 0};
    jet::FieldInput stored{.kind = jet::FieldInput::Kind::kStored, .bytes = wrapper};
    a->insert_fields(calc, std::span<const jet::FieldInput>(&stored, 1));
    const jet::Bytes units = {'h', 0};
    jet::FieldInput decoded{.kind = jet::FieldInput::Kind::kUnits, .bytes = units};
    EXPECT_THROW(a->insert_fields(calc, std::span<const jet::FieldInput>(&decoded, 1)), jet::Error);
    a->close();
    auto db = jet::Database::open(dir.file("ace.accdb"), "");
    auto rows = db->read_all(db->table_def("C"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], Value(std::string("h")));
}

}  // namespace
