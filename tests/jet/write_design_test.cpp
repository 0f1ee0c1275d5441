// The writer's design changes: fixed-length Text columns, column flags
// changed in place (and what may not change), the autonumber counter, and
// renaming a table. Each file is read back by our reader, mdbtools and
// mdb-reader, and opened again in place (which proves the writer would
// write every page back as it is).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "jet/base/error.h"
#include "jet/table/database.h"
#include "jet/write/writer.h"
#include "scratch_dir.h"
#include "write_readers.h"

namespace {

using namespace writer_test;

class DesignDir : public zolvak_test::ScratchDir {
public:
    DesignDir() : ScratchDir("jet-design") {}
};

jet::ColumnSpec fixed_text(const std::string& name, std::uint16_t size) {
    jet::ColumnSpec c{name, jet::ColumnType::kText, size};
    c.fixed_length = true;
    return c;
}

// A fixed-length Text keeps its width: shorter values come back padded with
// blanks, a longer one does not fit, and the column sits in the fixed area.
TEST(WriteDesign, FixedLengthTextIsPaddedToItsWidth) {
    DesignDir dir;
    const std::string path = dir.file("fixed.mdb");
    {
        auto w = jet::DatabaseWriter::create(path);
        auto t = w->create_table({"Codes", {fixed_text("code", 4), {"note", jet::ColumnType::kText, 20}}});
        for (const char* v : {"ab", "abcd", ""}) {
            std::vector<jet::Value> row{std::string(v), std::string("n")};
            w->insert_row(t, row);
        }
        std::vector<jet::Value> too_long{std::string("abcde"), jet::Null{}};
        EXPECT_THROW(w->insert_row(t, too_long), jet::Error);
        w->create_index(t, {"code", {{"code"}}, false, true});
        w->close();
    }
    auto back = check_with_readers(path);
    ASSERT_EQ(back.rows["Codes"].size(), 3u);
    std::vector<std::string> codes;
    for (const auto& r : back.rows["Codes"]) codes.push_back(std::get<std::string>(r[0]));
    EXPECT_EQ(codes, (std::vector<std::string>{"ab  ", "abcd", "    "}));
    check_indexes(path, "Codes");
    auto db = jet::Database::open(path);
    const jet::TableDef def = db->table_def("Codes");
    const jet::Column* code = def.find_column("code");
    EXPECT_TRUE(code->is_fixed());
    EXPECT_EQ(code->length, 8);
    // Opened in place, the file is one this writer writes back unchanged.
    EXPECT_NO_THROW(jet::DatabaseWriter::open(path, ""));
}

// Only flags change in place; a change that would move or reinterpret the
// stored bytes is refused and leaves the column as it was.
TEST(WriteDesign, AlterColumnChangesFlagsOnly) {
    DesignDir dir;
    const std::string path = dir.file("alter.mdb");
    auto w = jet::DatabaseWriter::create(path);
    jet::ColumnSpec amount{"amount", jet::ColumnType::kNumeric};
    amount.precision = 10;
    amount.scale = 2;
    auto t = w->create_table({"T", {{"id", jet::ColumnType::kLong},
                                    {"name", jet::ColumnType::kText, 30},
                                    amount,
                                    {"notes", jet::ColumnType::kMemo}}});
    struct Refused {
        const char* what;
        std::string column;
        jet::ColumnSpec design;
    };
    auto with = [&](std::size_t i, auto change) {
        jet::ColumnSpec c = w->table_spec(t).columns[i];
        change(c);
        return c;
    };
    const std::vector<Refused> refused = {
        {"another type", "id", with(0, [](auto& c) { c.type = jet::ColumnType::kInteger; })},
        {"another size", "name", with(1, [](auto& c) { c.size = 40; })},
        {"a fixed length", "name", with(1, [](auto& c) { c.fixed_length = true; })},
        {"another scale", "amount", with(2, [](auto& c) { c.scale = 3; })},
        {"an autonumber Text", "name", with(1, [](auto& c) { c.autonumber = true; })},
        {"a column not there", "nope", with(0, [](auto& c) { c.name = "nope"; })},
    };
    for (const Refused& r : refused) {
        const jet::TableSpec before = w->table_spec(t);
        EXPECT_THROW(w->alter_column(t, r.column, r.design), jet::Error) << r.what;
        for (std::size_t i = 0; i < before.columns.size(); ++i) {
            EXPECT_EQ(w->table_spec(t).columns[i].autonumber, before.columns[i].autonumber) << r.what;
            EXPECT_EQ(w->table_spec(t).columns[i].size, before.columns[i].size) << r.what;
        }
    }
    w->alter_column(t, "id", with(0, [](auto& c) { c.autonumber = true; c.required = true; }));
    w->alter_column(t, "name", with(1, [](auto& c) { c.compressed = false; }));
    w->alter_column(t, "notes", with(3, [](auto& c) { c.hyperlink = true; }));
    w->close();

    auto db = jet::Database::open(path);
    const jet::TableDef def = db->table_def("T");
    EXPECT_TRUE(def.find_column("id")->flags & jet::kColumnAutoLong);
    EXPECT_FALSE(def.find_column("id")->flags & jet::kColumnNullable);
    EXPECT_FALSE(def.find_column("name")->misc_flags & 0x01);
    EXPECT_TRUE(def.find_column("notes")->flags & jet::kColumnHyperlink);
    EXPECT_EQ(def.find_column("amount")->scale, 2);
    EXPECT_NO_THROW(jet::DatabaseWriter::open(path, ""));
}

// The counter set on a table is where numbering goes on, and it is kept by
// the file; a renamed table keeps its rows under the new name only.
TEST(WriteDesign, CounterAndRename) {
    DesignDir dir;
    const std::string path = dir.file("counter.mdb");
    {
        auto w = jet::DatabaseWriter::create(path);
        jet::ColumnSpec id{"id", jet::ColumnType::kLong};
        id.autonumber = true;
        auto t = w->create_table({"Old", {id, {"v", jet::ColumnType::kText, 10}}});
        w->create_table({"Other", {{"x", jet::ColumnType::kLong}}});
        w->set_autonumber(t, 41);
        std::vector<jet::Value> row{jet::Null{}, std::string("a")};
        w->insert_row(t, row);
        EXPECT_THROW(w->rename_table(t, "other"), jet::Error);
        EXPECT_THROW(w->rename_table(t, "bad.name"), jet::Error);
        w->rename_table(t, "New Name");
        w->close();
    }
    auto w = jet::DatabaseWriter::open(path, "");
    auto t = w->table("New Name");
    EXPECT_EQ(w->autonumber(t), 42u);
    std::vector<jet::Value> row{jet::Null{}, std::string("b")};
    w->insert_row(t, row);
    w->close();

    auto back = check_with_readers(path);
    std::sort(back.tables.begin(), back.tables.end());
    EXPECT_EQ(back.tables, (std::vector<std::string>{"New Name", "Other"}));
    std::vector<std::int32_t> ids;
    for (const auto& r : back.rows["New Name"]) ids.push_back(std::get<std::int32_t>(r[0]));
    EXPECT_EQ(ids, (std::vector<std::int32_t>{42, 43}));
    auto db = jet::Database::open(path);
    EXPECT_EQ(db->find_table("Old"), nullptr);
}

}  // namespace
