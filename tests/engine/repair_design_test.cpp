// A repaired file keeps its tables' design. Every source below is repaired
// and compared with the target by mdb-reader (column kinds and flags,
// autonumbers), mdb-schema (keys, autonumbers), mdb-export (data) and this
// engine's reader (every flag of every column and index, the autonumber
// counter); a row inserted into a repaired autonumber table gets the number
// the source would give it; the run's sixth step reports a table it cannot
// restore and goes on; --tables-only gives the plain copy.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/run/repair_run.h"
#include "connect/db_connect_ado.h"
#include "engine/repair_steps.h"
#include "jet/sql/connection.h"
#include "repair_support.h"

using namespace repair_test;

namespace {

const char* const kRestoreLine = "正在恢复主键、自动编号和列属性";

struct Source_Case {
    std::string folder;  // ZOLVAK_FIXTURES_DIR or ZOLVAK_DESIGN_DIR
    std::string file;
};

std::string Case_Path(const Source_Case& c) { return c.folder + "/" + c.file; }

std::vector<Source_Case> Design_Sources() {
    std::vector<Source_Case> out;
    for (const char* f :
         {"jet4-types.mdb", "jet4-indexes.mdb", "jet4-fixedtext.mdb", "jet3-indexcodes.mdb",
          "ace12-types.accdb", "ace12-indexes.accdb", "ace12-complex.accdb", "ace14-calc.accdb",
          "ace14-emoji.accdb", "ace17-extdate.accdb"})
        out.push_back({ZOLVAK_FIXTURES_DIR, f});
    std::error_code ec;
    std::vector<std::string> design;
    for (const auto& e : fs::directory_iterator(ZOLVAK_DESIGN_DIR, ec)) {
        if (e.path().extension() == ".mdb") design.push_back(e.path().filename().string());
    }
    std::sort(design.begin(), design.end());
    for (const auto& f : design) out.push_back({ZOLVAK_DESIGN_DIR, f});
    return out;
}

// A column as the new file should hold it, from the source's definition: a
// Jet 4 source's flags exactly; from a Jet 3 source the bits that mean the
// same in Jet 4 (its 0x40 bit on anything but a Replication ID is not the
// GUID autonumber), and texts compressed, as Jet 4 writes them.
std::string Column_Design(const jet::Column& c, jet::Format format) {
    std::uint8_t flags = c.flags;
    bool compressed = (c.misc_flags & 0x01) != 0;
    if (format == jet::Format::Jet3) {
        const bool guid = c.column_type() == jet::ColumnType::kGuid;
        flags &= jet::kColumnFixed | jet::kColumnNullable | jet::kColumnAutoLong |
                 jet::kColumnHyperlink | (guid ? jet::kColumnAutoGuid : 0);
        compressed = c.column_type() == jet::ColumnType::kText ||
                     c.column_type() == jet::ColumnType::kMemo;
    }
    const bool text = c.column_type() == jet::ColumnType::kText ||
                      c.column_type() == jet::ColumnType::kMemo;
    auto size = c.display_size(format);
    std::string s = c.name + " type=" + std::to_string(c.type) +
                    " size=" + (size ? std::to_string(*size) : "-") +
                    " flags=" + std::to_string(flags) +
                    " compressed=" + std::to_string(text && compressed);
    if (c.column_type() == jet::ColumnType::kNumeric) {
        s += " precision=" + std::to_string(c.precision) + " scale=" + std::to_string(c.scale);
    }
    // What only ACE columns have: the complex id, the extra flags besides
    // compression (calculated, an append-only memo's history column, ...),
    // the result type of a calculated column and the text sort order.
    if (c.complex_id != 0) s += " complex=" + std::to_string(c.complex_id);
    if ((c.misc_flags & ~0x01) != 0) s += " extra=" + std::to_string(c.misc_flags & ~0x01);
    if (c.is_calculated()) s += " result=" + std::to_string(c.calc_result_type);
    if (text && format == jet::Format::Jet4 && c.sort_order_version != 0)
        s += " sort_version=" + std::to_string(c.sort_order_version);
    return s;
}

// The indexes a table keeps (foreign keys belong to relationships), by name.
std::map<std::string, std::string> Index_Design(const jet::TableDef& def) {
    std::map<std::string, std::string> out;
    for (const jet::Index& ix : def.indexes) {
        if (ix.foreign_key()) continue;
        std::string s;
        for (const auto& k : ix.columns) {
            s += def.columns[k.column].name + (k.descending ? " desc" : "") + ",";
        }
        s += " primary=" + std::to_string(ix.primary_key()) +
             " unique=" + std::to_string(ix.unique() || ix.primary_key()) +
             " ignore_nulls=" + std::to_string(ix.ignore_nulls()) +
             " required=" + std::to_string(ix.required() || ix.primary_key());
        out[ix.name] = s;
    }
    return out;
}

// mdb-reader's view of the columns, with the differences of a Jet 3 source
// taken out: its text sizes count bytes of one per character, and its 0x40
// bit shows as autoUUID on columns that are no Replication ID.
std::string Reader_Design(const std::string& file, bool jet3) {
    int status = -1;
    std::string out = Shell_Output(
        "node " + Quote(std::string(ZOLVAK_SOURCE_DIR) + "/tests/readers/design_dump.mjs") + " " +
            Quote(file) + " 2>&1",
        &status);
    EXPECT_EQ(status, 0) << out;
    if (!jet3) return out;
    std::string fixed;
    for (std::string line : Split_Lines(out)) {
        if (line.find(" type=repid ") == std::string::npos) {
            auto at = line.find(" autoUUID=1");
            if (at != std::string::npos) line.replace(at, 11, " autoUUID=0");
        }
        if (line.find(" type=text ") != std::string::npos) {
            auto at = line.find(" size=") + 6;
            auto end = line.find(' ', at);
            line.replace(at, end - at, std::to_string(2 * std::stoi(line.substr(at, end - at))));
        }
        fixed += line + "\n";
    }
    return fixed;
}

// Keys and autonumbers as mdb-schema prints them; comments, defaults and
// NOT NULL come from the properties, which this comparison leaves out.
// Tables are listed by name (mdb-schema follows the catalog's order) and
// blank lines are left out. The
// indexes named in `leave_out` ("table_index", as mdb-schema names them) are
// left out: a source's foreign-key indexes, which mdb-schema does not print
// and which the index statements make as plain indexes until the
// relationships that own them are restored.
std::string Schema_Keys(const std::string& file, const std::set<std::string>& leave_out = {}) {
    std::vector<std::string> blocks(1);
    for (const std::string& line : Split_Lines(Shell_Output(
             "mdb-schema --indexes --no-relations --no-not-null --no-comments "
             "--no-default-values " + Quote(file) + " postgres 2>&1"))) {
        bool skip = line.empty();
        for (const std::string& name : leave_out) {
            skip = skip || line.find("INDEX \"" + name + "_idx\"") != std::string::npos;
        }
        if (line.rfind("CREATE TABLE", 0) == 0) blocks.emplace_back();
        if (!skip) blocks.back() += line + "\n";
    }
    std::sort(blocks.begin() + 1, blocks.end());
    std::string out;
    for (const auto& b : blocks) out += b;
    return out;
}

std::string Lower(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

// Columns of fixtures whose definition the writer does not reproduce, by
// file (none today; their values are compared with the rest).
const std::map<std::string, std::set<std::string>> kLayoutNotKept = {};

std::string Without_Lines_Of(const std::string& dump, const std::set<std::string>& columns) {
    std::string out;
    for (const std::string& line : Split_Lines(dump)) {
        bool skip = false;
        for (const std::string& c : columns) skip = skip || line.rfind(c + " ", 0) == 0;
        if (!skip) out += line + "\n";
    }
    return out;
}

class Design_Repair : public ::testing::TestWithParam<Source_Case> {};

TEST_P(Design_Repair, TargetHasTheSourcesDesign) {
    const Source_Case& c = GetParam();
    if (!fs::exists(Case_Path(c))) GTEST_SKIP() << Case_Path(c) << " absent";
    Scratch s;
    const std::string src = s.path(c.file);
    fs::copy_file(Case_Path(c), src);
    const std::string target = src + ".new";
    Collecting collect;
    ASSERT_EQ(Repair_Mdb(src.c_str(), "", target.c_str()), 1);
    const auto& lines = Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(kRestoreLine)), 1);

    auto from = jet::Database::open(src, "");
    auto to = jet::Database::open(target, "");
    const bool jet3 = from->header().format == jet::Format::Jet3;
    const auto known = kLayoutNotKept.find(c.file);
    const std::set<std::string> not_kept = known == kLayoutNotKept.end() ? std::set<std::string>{} : known->second;
    std::size_t tables = 0, flagged = 0, keys = 0;
    std::set<std::string> foreign;
    for (const jet::TableInfo& t : from->tables()) {
        if (t.kind != jet::TableKind::kTable) continue;
        SCOPED_TRACE("table " + t.name);
        const jet::TableDef a = from->table_def(*t.entry);
        const jet::TableDef b = to->table_def(t.name);
        ASSERT_EQ(b.columns.size(), a.columns.size());
        for (std::size_t i = 0; i < a.columns.size(); ++i) {
            const jet::Column* bc = b.find_column(a.columns[i].name);
            ASSERT_NE(bc, nullptr) << a.columns[i].name;
            if (not_kept.count(t.name + "." + a.columns[i].name)) continue;
            EXPECT_EQ(Column_Design(*bc, jet::Format::Jet4), Column_Design(a.columns[i], a.format));
            if (bc->is_autonumber() || !(bc->flags & jet::kColumnNullable) ||
                (bc->column_type() == jet::ColumnType::kText && bc->is_fixed()))
                ++flagged;
        }
        EXPECT_EQ(b.next_autonumber, a.next_autonumber);
        // Foreign-key indexes are the relationships' (compared with their
        // links by the objects test); the rest must be the source's.
        std::map<std::string, std::string> kept = Index_Design(b);
        for (const jet::Index& ix : a.indexes) {
            if (ix.foreign_key()) kept.erase(ix.name);
        }
        EXPECT_EQ(kept, Index_Design(a));
        for (const jet::Index& ix : a.indexes) {
            keys += ix.primary_key();
            if (ix.foreign_key()) foreign.insert(Lower(t.name + "_" + ix.name));
        }
        const std::set<std::string> skip = Calculated_Long_Columns(src, "", t.name);
        EXPECT_EQ(Normalised(Without_Columns(Export(target, t.name), skip)),
                  Normalised(Without_Columns(Export(src, t.name), skip)));
        ++tables;
    }
    std::printf("note: %s: %zu tables, %zu columns with autonumber/required/fixed flags, "
                "%zu primary keys\n",
                c.file.c_str(), tables, flagged, keys);

    EXPECT_EQ(Without_Lines_Of(Reader_Design(target, false), not_kept),
              Without_Lines_Of(Reader_Design(src, jet3), not_kept));
    // mdb-schema names columns in lower case and quotes.
    std::set<std::string> schema_not_kept;
    for (const std::string& c : not_kept) schema_not_kept.insert("\t\"" + Lower(c.substr(c.find('.') + 1)) + "\"");
    auto schema = [&](const std::string& text) {
        std::string out;
        for (const std::string& line : Split_Lines(text)) {
            bool skip = false;
            for (const std::string& c : schema_not_kept) skip = skip || line.rfind(c, 0) == 0;
            if (!skip) out += line + "\n";
        }
        return out;
    };
    EXPECT_EQ(schema(Schema_Keys(target, foreign)), schema(Schema_Keys(src)));
}

std::string Case_Name(const ::testing::TestParamInfo<Source_Case>& info) {
    std::string n;
    for (char ch : info.param.file) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Sources, Design_Repair, ::testing::ValuesIn(Design_Sources()), Case_Name);

// The next row of a repaired autonumber table gets the number the source
// would have given it: one past the counter, which is at least every
// number the source holds. A Replication ID autonumber fills itself in.
TEST(Design_Repair_Insert, NextRowGetsTheSourcesNextNumber) {
    struct Case {
        Source_Case source;
        std::string table, key, fill;
    };
    const std::vector<Case> cases = {
        {{ZOLVAK_DESIGN_DIR, "jet3-northwind.mdb"}, "Categories", "CategoryID", "CategoryName"},
        {{ZOLVAK_DESIGN_DIR, "jet3-northwind.mdb"}, "Shippers", "ShipperID", "CompanyName"},
        {{ZOLVAK_FIXTURES_DIR, "jet4-types.mdb"}, "Table3", "a", "b"},
        {{ZOLVAK_FIXTURES_DIR, "jet4-types.mdb"}, "Table4", "data", "name"},
        {{ZOLVAK_FIXTURES_DIR, "ace12-types.accdb"}, "Table3", "a", "b"},
        {{ZOLVAK_FIXTURES_DIR, "ace12-types.accdb"}, "Table4", "data", "name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source.file + " " + c.table);
        if (!fs::exists(Case_Path(c.source))) continue;
        Scratch s;
        const std::string target = s.path("new.mdb");
        {
            Collecting collect;
            ASSERT_EQ(Repair_Mdb(Case_Path(c.source).c_str(), "", target.c_str()), 1);
        }
        auto src = jet::Database::open(Case_Path(c.source), "");
        const jet::TableDef def = src->table_def(c.table);
        const jet::Column* key = def.find_column(c.key);
        ASSERT_NE(key, nullptr);
        ASSERT_TRUE(key->is_autonumber());
        std::int64_t largest = 0;
        const auto rows = src->read_all(def);
        const std::size_t at = static_cast<std::size_t>(key - def.columns.data());
        for (const jet::Row& r : rows) {
            if (auto v = std::get_if<std::int32_t>(&r[at])) largest = std::max<std::int64_t>(largest, *v);
        }
        ASSERT_GE(static_cast<std::int64_t>(def.next_autonumber), largest);

        auto conn = jet::Connection::open(target);
        conn->execute("INSERT INTO [" + c.table + "] ([" + c.fill + "]) VALUES ('new row')");
        auto rs = conn->query("SELECT [" + c.key + "] FROM [" + c.table + "] WHERE [" + c.fill +
                              "] = 'new row'");
        ASSERT_FALSE(rs->eof());
        const jet::Value v = rs->value(0);
        if (key->column_type() == jet::ColumnType::kLong) {
            EXPECT_EQ(std::get<std::int32_t>(v), static_cast<std::int32_t>(def.next_autonumber + 1));
        } else {
            EXPECT_TRUE(std::holds_alternative<jet::Guid>(v));
        }
    }
}

// Without the sixth step the new file is the plain copy: no primary key,
// no autonumber, and no line of the step; with it, the step's line stands
// after the indexes and before the completion lines.
TEST(Design_Repair_Tables_Only, GivesThePlainCopy) {
    const std::string source = std::string(ZOLVAK_FIXTURES_DIR) + "/jet4-types.mdb";
    if (!fs::exists(source)) GTEST_SKIP() << "fixture folder absent";
    Scratch s;
    const std::string plain = s.path("plain.mdb"), whole = s.path("whole.mdb");
    std::vector<std::string> plain_lines, whole_lines;
    {
        Collecting collect;
        Repair_Set_Tables_Only(true);
        const int result = Repair_Mdb(source.c_str(), "", plain.c_str());
        Repair_Set_Tables_Only(false);
        ASSERT_EQ(result, 1);
        plain_lines = Lines();
    }
    {
        Collecting collect;
        ASSERT_EQ(Repair_Mdb(source.c_str(), "", whole.c_str()), 1);
        whole_lines = Lines();
    }
    for (const auto& l : plain_lines) EXPECT_EQ(l.find("正在恢复"), std::string::npos) << l;
    auto restore = std::find(whole_lines.begin(), whole_lines.end(), std::string(kRestoreLine));
    ASSERT_NE(restore, whole_lines.end());
    auto done = std::find(whole_lines.begin(), whole_lines.end(), std::string("修复完成"));
    EXPECT_LT(restore, done);
    for (auto it = restore; it != whole_lines.end(); ++it)
        EXPECT_EQ(it->find("正在创建约束"), std::string::npos) << *it;
    // Everything before the sixth step's line is the plain run's.
    std::vector<std::string> before(whole_lines.begin(), restore);
    std::vector<std::string> plain_before(plain_lines.begin(),
                                          plain_lines.begin() + static_cast<std::ptrdiff_t>(before.size()));
    EXPECT_EQ(before, plain_before);

    auto db = jet::Database::open(plain, "");
    for (const char* table : {"Table3", "Table4"}) {
        const jet::TableDef def = db->table_def(table);
        for (const jet::Column& c : def.columns) EXPECT_FALSE(c.is_autonumber()) << table << "." << c.name;
        for (const jet::Index& ix : def.indexes) EXPECT_FALSE(ix.primary_key()) << table << "." << ix.name;
    }
    auto full = jet::Database::open(whole, "");
    EXPECT_TRUE(full->table_def("Table3").find_column("a")->is_autonumber());
    EXPECT_TRUE(full->table_def("Table4").find_column("data")->is_autonumber());

    // The command line: --tables-only writes the same plain design.
    const std::string cli = s.path("cli.mdb");
    Command_Result r = Run_Mdbrepair(s, {"--tables-only", "-q", "-o", cli, source});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("正在恢复"), std::string::npos) << r.out;
    EXPECT_EQ(Reader_Design(cli, false), Reader_Design(plain, false));
    EXPECT_NE(Reader_Design(whole, false), Reader_Design(plain, false));
}

// A table whose design cannot be given back is reported and raises the
// error flag; the step goes on with the next table and returns 1.
TEST(Restore_Design, AFailingTableIsReportedAndTheStepGoesOn) {
    Scratch s;
    const std::string source = s.path("source.mdb"), target = s.path("target.mdb");
    {
        auto w = jet::DatabaseWriter::create(source);
        jet::ColumnSpec id{"id", jet::ColumnType::kLong};
        id.autonumber = true;
        auto t = w->create_table({"Numbered", {id, {"name", jet::ColumnType::kText, 20}}});
        for (const char* n : {"a", "b", "c"}) {
            std::vector<jet::Value> row{jet::Null{}, std::string(n)};
            w->insert_row(t, row);
        }
        w->create_index(t, {"PrimaryKey", {{"id"}}, true, true});
        w->create_table({"Changed", {{"x", jet::ColumnType::kText, 10}}});
        auto k = w->create_table({"Keyed", {{"k", jet::ColumnType::kLong}}});
        for (int i = 1; i <= 2; ++i) {
            std::vector<jet::Value> row{std::int32_t(i)};
            w->insert_row(k, row);
        }
        w->create_index(k, {"PrimaryKey", {{"k"}}, true, true});
        w->close();
    }
    {
        // The copies as the earlier steps left them, one of them not the
        // source's table at all.
        auto w = jet::DatabaseWriter::create(target);
        auto t = w->create_table({"Numbered", {{"id", jet::ColumnType::kLong}, {"name", jet::ColumnType::kText, 20}}});
        for (int i = 1; i <= 3; ++i) {
            std::vector<jet::Value> row{std::int32_t(i), std::string(1, char('a' + i - 1))};
            w->insert_row(t, row);
        }
        w->create_table({"Changed", {{"y", jet::ColumnType::kLong}}});
        // A key the copy lost (a salvaged row): no primary key over a null,
        // and the unique index the index statements made stays.
        auto k = w->create_table({"Keyed", {{"k", jet::ColumnType::kLong}}});
        std::vector<jet::Value> one{std::int32_t(1)}, none{jet::Null{}};
        w->insert_row(k, one);
        w->insert_row(k, none);
        w->create_index(k, {"PrimaryKey", {{"k"}}, false, true});
        w->close();
    }
    OT_Array<Mdb_Tab_Stru> tabs(4, 4);
    for (const char* name : {"Changed", "Keyed", "Numbered", "Missing"}) {
        Mdb_Tab_Stru* t = tabs.At(tabs.count);
        ASSERT_NE(t, nullptr);
        std::snprintf(t->tab_type, sizeof t->tab_type, "TABLE");
        std::snprintf(t->tab_name, sizeof t->tab_name, "%s", name);
    }
    Collecting collect;
    Copy_Err_Flag = 0;
    ASSERT_EQ(Restore_Design(target.c_str(), "", source.c_str(), "", tabs), 1);
    EXPECT_EQ(Lines(), (std::vector<std::string>{kRestoreLine, "******** 恢复 Changed 出错了 *********",
                                                 "******** 恢复 Keyed 出错了 *********"}));
    EXPECT_EQ(Copy_Err_Flag, 1);
    Copy_Err_Flag = 0;

    auto db = jet::Database::open(target, "");
    const jet::TableDef def = db->table_def("Numbered");
    EXPECT_TRUE(def.find_column("id")->is_autonumber());
    EXPECT_EQ(def.next_autonumber, 3u);
    ASSERT_EQ(def.indexes.size(), 1u);
    EXPECT_TRUE(def.indexes[0].primary_key());
    EXPECT_EQ(def.indexes[0].name, "PrimaryKey");
    const jet::TableDef keyed = db->table_def("Keyed");
    ASSERT_EQ(keyed.indexes.size(), 1u);
    EXPECT_FALSE(keyed.indexes[0].primary_key());
    EXPECT_TRUE(keyed.indexes[0].unique());
}

}  // namespace
