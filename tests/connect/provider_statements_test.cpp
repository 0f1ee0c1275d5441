// Statements through the provider as the repair steps issue them: the
// make-table copy from another (password-protected) file, index creation,
// a failing statement that leaves the connection usable, and data
// definition that becomes durable only at commit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "connect/provider/catalog.h"
#include "connect/provider/connection.h"
#include "connect_support.h"

namespace fs = std::filesystem;

namespace {

const fs::path kFixtureDir = ZOLVAK_FIXTURES_DIR;

class Statements : public testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(kFixtureDir / "README.md")) GTEST_SKIP() << "fixtures folder absent";
        dir = fs::temp_directory_path() / ("provider_stmt_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        target = (dir / "target.mdb").string();
        provider::Catalog().create(
            "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=password;Data Source=" +
            target);
    }
    void TearDown() override {
        if (!dir.empty()) fs::remove_all(dir);
    }

    std::vector<std::string> Column(provider::Connection& c, const std::string& sql,
                                    const char* field) {
        provider::Recordset rs;
        rs.open(sql, c);
        std::vector<std::string> out;
        for (rs.move_first(); !rs.eof(); rs.move_next()) out.push_back(rs.text(field));
        return out;
    }

    fs::path dir;
    std::string target;
};

TEST_F(Statements, CopyAndIndexBecomeDurableAtCommit) {
    const std::string source = (kFixtureDir / "jet4-password.mdb").string();
    provider::Connection c;
    c.open(Jet_Connection_String(target, "password"));
    c.begin_trans();
    c.execute("SELECT * into Table1 FROM [" + source + ";pwd=password].Table1");
    c.execute("create unique index PrimaryKey on Table1(ID)");
    // A statement the engine refuses leaves the connection usable.
    EXPECT_THROW(c.execute("create unique index .rC on Table1(ID)"), provider::Error);
    EXPECT_THROW(c.execute("SELECT * into Copy2 FROM [" + source + ";pwd=wrong].Table1"),
                 provider::Error);
    // The schema rowset sees the connection's own uncommitted work.
    EXPECT_EQ(Column(c, "select ID from Table1", "ID").size(), 3u);
    c.commit_trans();
    c.close();

    provider::Connection again;
    again.open(Jet_Connection_String(target, "password"));
    EXPECT_EQ(Column(again, "select ID from Table1", "ID").size(), 3u);
    provider::Recordset ix = again.open_schema(12);
    std::vector<std::string> user_indexes;
    for (ix.move_first(); !ix.eof(); ix.move_next())
        if (ix.text("TABLE_NAME") == "Table1")
            user_indexes.push_back(ix.text("INDEX_NAME") + ":" + ix.text("COLUMN_NAME") + ":" +
                                   ix.text("UNIQUE") + ":" + ix.text("PRIMARY_KEY"));
    EXPECT_EQ(user_indexes, (std::vector<std::string>{"PrimaryKey:ID:True:False"}));
}

TEST_F(Statements, RolledBackDefinitionLeavesNothing) {
    provider::Connection c;
    c.open(Jet_Connection_String(target, "password"));
    c.begin_trans();
    c.execute("create table Scratch (id integer)");
    c.rollback_trans();
    provider::Recordset t = c.open_schema(20);
    for (t.move_first(); !t.eof(); t.move_next()) EXPECT_NE(t.text("TABLE_NAME"), "Scratch");
    // Closing with an open transaction rolls it back.
    c.begin_trans();
    c.execute("create table Scratch2 (id integer)");
    c.close();
    c.open();
    EXPECT_THROW(Column(c, "select * from Scratch2", "id"), provider::Error);
}

TEST_F(Statements, AppendThroughARowset) {
    provider::Connection c;
    c.open(Jet_Connection_String(target, "password"));
    c.execute("create table T (id integer, note text(10))");
    provider::Recordset rs;
    rs.open("select id, note from T", c);
    rs.add_new();
    rs.set_value("ID", jet::Value{std::int32_t{5}});
    rs.set_value("note", jet::Value{std::string("five")});
    rs.add_new();                                      // saves the first
    rs.set_value("id", jet::Value{std::string("6")});  // converted to the column's type
    rs.update();
    EXPECT_FALSE(rs.editing());
    EXPECT_EQ(Column(c, "select id from T", "id"), (std::vector<std::string>{"5", "6"}));
    // A value that does not convert is refused when it is assigned.
    rs.add_new();
    EXPECT_THROW(rs.set_value("id", jet::Value{std::string("x")}), provider::Error);
}

TEST_F(Statements, RowsetOutlivingItsConnection) {
    provider::Connection c;
    c.open(Jet_Connection_String(target, "password"));
    c.execute("create table T (id integer)");
    c.execute("insert into T (id) values (1)");
    provider::Recordset unread, read;
    unread.open("select id from T", c);
    read.open("select id from T", c);
    EXPECT_EQ(read.record_count(), 1);
    c.close();
    // Records already read stay readable; the engine is not reached again.
    read.move_first();
    EXPECT_EQ(read.text("id"), "1");
    EXPECT_EQ(read.record_count(), 1);
    EXPECT_THROW(unread.record_count(), provider::Error);
    EXPECT_THROW(unread.add_new(), provider::Error);
}

}  // namespace
