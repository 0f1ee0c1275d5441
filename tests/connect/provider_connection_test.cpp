// The provider's object model: connection strings, opening with and without
// the right password, catalog creation, transactions, rowsets and the text
// form of values.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../jet/fixture_support.h"
#include "connect/provider/catalog.h"
#include "connect/provider/connection.h"
#include "connect/provider/recordset.h"
#include "connect_support.h"

namespace fs = std::filesystem;

namespace {

std::string message_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const provider::Error& e) {
        return e.what();
    }
    return "(no error)";
}

class TempDir {
  public:
    TempDir() {
        path_ = fs::temp_directory_path() /
                ("provider_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

  private:
    static inline int counter_ = 0;
    fs::path path_;
};

TEST(ConnectionString, ParsesKeysAsTheObjectModelDoes) {
    struct Case {
        const char* text;
        const char* data_source;
        const char* user;
        const char* password;
        const char* db_password;
        bool persist;
    };
    const Case cases[] = {
        {"Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=pw;User ID=admin;Data "
         "Source=/d/shop.mdb;Persist Security Info=False",
         "/d/shop.mdb", "admin", "", "pw", false},
        {"provider=microsoft.jet.oledb.4.0;PASSWORD=;user id=admin;DATA SOURCE=shop.mdb",
         "shop.mdb", "admin", "", "", false},
        // Blanks around names and values, empty pairs, a trailing ';'.
        {"  Provider = Microsoft.Jet.OLEDB.4.0 ;; Data Source = /a b/c.mdb ; ", "/a b/c.mdb", "",
         "", "", false},
        // Quoted values keep ';' and doubled quotes.
        {"Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=\"a;b\"\"c\";Data "
         "Source='x.mdb'",
         "x.mdb", "", "", "a;b\"c", false},
        // A later key replaces an earlier one.
        {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=a;Data Source=b;Persist Security Info=True",
         "b", "", "", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const provider::ConnectionProperties p = provider::parse_connection_string(c.text);
        EXPECT_NO_THROW(p.require_jet_provider());
        EXPECT_EQ(p.data_source, c.data_source);
        EXPECT_EQ(p.user_id, c.user);
        EXPECT_EQ(p.password, c.password);
        EXPECT_EQ(p.database_password, c.db_password);
        EXPECT_EQ(p.persist_security_info, c.persist);
    }
}

TEST(ConnectionString, RefusesMalformedTextAndOtherProviders) {
    for (const char* bad :
         {"Provider", "=x", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=\"open"}) {
        EXPECT_THROW(provider::parse_connection_string(bad), provider::Error) << bad;
    }
    for (const char* other : {"Data Source=x.mdb", "Provider=SQLOLEDB;Data Source=x"}) {
        EXPECT_EQ(
            message_of([&] { provider::parse_connection_string(other).require_jet_provider(); }),
            provider::kMsgNoProvider)
            << other;
    }
}

TEST(Connection, OpenWithRightAndWrongPassword) {
    if (!fixtures::available()) GTEST_SKIP() << "fixtures folder absent";
    const std::string path = fixtures::mdb_path("jet4-password");
    provider::Connection conn;
    conn.set_name("ado_area_x");
    conn.set_login_prompt(false);
    EXPECT_FALSE(conn.login_prompt());
    conn.open(Jet_Connection_String(path, "password"));
    EXPECT_TRUE(conn.is_open());
    EXPECT_EQ(conn.name(), "ado_area_x");
    // The string cannot change under an open connection, nor can it open twice.
    EXPECT_EQ(message_of([&] { conn.set_connection_string("x"); }), provider::kMsgObjectOpen);
    EXPECT_EQ(message_of([&] { conn.open(); }), provider::kMsgObjectOpen);
    conn.close();
    EXPECT_FALSE(conn.is_open());
    conn.close();  // closing twice is harmless

    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {Jet_Connection_String(path, "wrong"), "Not a valid password."},
        {Jet_Connection_String(path, ""), "Not a valid password."},
        // The plain password is the account's, not the database's.
        {"Provider=Microsoft.Jet.OLEDB.4.0;Password=password;User ID=admin;Data Source=" + path,
         std::string(provider::kMsgBadAccount)},
        {"Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=password;User ID=bob;Data "
         "Source=" +
             path,
         std::string(provider::kMsgBadAccount)},
        {"Provider=Other;Data Source=" + path, std::string(provider::kMsgNoProvider)},
    };
    for (const Case& c : cases) {
        provider::Connection bad;
        bad.set_connection_string(c.text);
        EXPECT_EQ(message_of([&] { bad.open(); }), c.message) << c.text;
        EXPECT_FALSE(bad.is_open());
        EXPECT_EQ(message_of([&] { bad.begin_trans(); }), provider::kMsgObjectClosed);
    }
}

TEST(Connection, MissingFileAndNotADatabase) {
    TempDir dir;
    const std::string missing = (dir.path() / "none.mdb").string();
    provider::Connection conn;
    const std::string m1 = message_of([&] { conn.open(Jet_Connection_String(missing, "")); });
    EXPECT_NE(m1.find("Could not find file"), std::string::npos) << m1;
    const std::string text = (dir.path() / "text.mdb").string();
    std::ofstream(text) << std::string(5000, 'x');
    const std::string m2 = message_of([&] { conn.open(Jet_Connection_String(text, "")); });
    EXPECT_NE(m2, "(no error)");
    EXPECT_FALSE(conn.is_open());
}

TEST(Connection, Transactions) {
    if (!fixtures::available()) GTEST_SKIP() << "fixtures folder absent";
    provider::Connection conn;
    conn.open(Jet_Connection_String(fixtures::mdb_path("jet4-nopassword"), ""));
    EXPECT_EQ(message_of([&] { conn.commit_trans(); }), provider::kMsgNoTransaction);
    EXPECT_EQ(message_of([&] { conn.rollback_trans(); }), provider::kMsgNoTransaction);
    EXPECT_EQ(conn.begin_trans(), 1);
    // The engine keeps one transaction at a time.
    EXPECT_THROW(conn.begin_trans(), provider::Error);
    EXPECT_EQ(conn.transaction_level(), 1);
    conn.commit_trans();
    EXPECT_EQ(message_of([&] { conn.commit_trans(); }), provider::kMsgNoTransaction);
    EXPECT_EQ(conn.transaction_level(), 0);
    conn.begin_trans();
    conn.close();  // rolls back what is open
    EXPECT_EQ(conn.transaction_level(), 0);
}

TEST(Catalog, CreatesAnEmptyDatabaseWithItsPassword) {
    TempDir dir;
    struct Case {
        std::string password;
    };
    for (const std::string pw : {"", "secret"}) {
        SCOPED_TRACE(pw);
        const std::string path = (dir.path() / ("new" + pw + ".mdb")).string();
        const std::string create =
            "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=" + pw +
            ";Data Source=" + path;
        provider::Catalog().create(create);
        ASSERT_TRUE(fs::exists(path));
        provider::Connection conn;
        conn.open(Jet_Connection_String(path, pw));
        provider::Recordset t = conn.open_schema(20);
        long user_tables = 0, system_tables = 0;
        for (t.move_first(); !t.eof(); t.move_next()) {
            if (t.text("TABLE_TYPE") == "TABLE") ++user_tables;
            if (t.text("TABLE_TYPE") == "SYSTEM TABLE") ++system_tables;
        }
        EXPECT_EQ(user_tables, 0);
        EXPECT_EQ(system_tables, 4);
        conn.close();
        if (!pw.empty()) {
            EXPECT_EQ(message_of([&] { conn.open(Jet_Connection_String(path, "")); }),
                      "Not a valid password.");
        }
        // A second creation at the same path fails and leaves the file alone.
        const auto size = fs::file_size(path);
        EXPECT_EQ(message_of([&] { provider::Catalog().create(create); }),
                  provider::kMsgDatabaseExists);
        EXPECT_EQ(fs::file_size(path), size);
    }
    const std::string no_folder = (dir.path() / "no" / "x.mdb").string();
    EXPECT_THROW(provider::Catalog().create(
                     "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=;Data Source=" +
                     no_folder),
                 provider::Error);
    EXPECT_FALSE(fs::exists(no_folder));
    EXPECT_EQ(
        message_of([&] { provider::Catalog().create("Provider=X;Data Source=" + no_folder); }),
        provider::kMsgNoProvider);
}

TEST(Recordset, QueryCursorAndTexts) {
    if (!fixtures::available()) GTEST_SKIP() << "fixtures folder absent";
    provider::Connection conn;
    conn.open(Jet_Connection_String(fixtures::mdb_path("jet4-password"), "password"));
    provider::Recordset rs;
    rs.open("select * from Table1", conn);
    ASSERT_EQ(rs.field_count(), 2);
    EXPECT_EQ(rs.field_name(0), "ID");
    EXPECT_EQ(rs.field_type(0), provider::DataType::kInteger);
    EXPECT_EQ(rs.field_type(1), provider::DataType::kVarWChar);
    EXPECT_EQ(rs.record_count(), 3);
    rs.move_first();
    long n = 0;
    while (!rs.eof()) {
        EXPECT_FALSE(rs.text("ID").empty());
        rs.move_next();
        ++n;
    }
    EXPECT_EQ(n, 3);
    EXPECT_EQ(message_of([&] { rs.move_next(); }), provider::kMsgEof);
    EXPECT_EQ(message_of([&] { rs.text(0); }), provider::kMsgEof);
    // Changing a stored record is refused; a closed rowset refuses everything.
    rs.move_first();
    EXPECT_EQ(message_of([&] { rs.set_value("Data", jet::Value{std::string("x")}); }),
              provider::kMsgReadOnly);
    rs.close();
    EXPECT_EQ(message_of([&] { rs.record_count(); }), provider::kMsgObjectClosed);

    provider::Recordset missing;
    EXPECT_NE(
        message_of([&] { missing.open("select * from NoSuchTable", conn); }).find("NoSuchTable"),
        std::string::npos);
    EXPECT_FALSE(missing.is_open());
}

TEST(Recordset, ValueTexts) {
    jet::Decimal dec;
    dec.scale = 2;
    dec.magnitude[15] = 0x39;  // 57 -> 0.57
    jet::Guid g{};
    struct Case {
        jet::Value value;
        const char* text;
    };
    const Case cases[] = {
        {jet::Value{jet::Null{}}, ""},
        {jet::Value{true}, "True"},
        {jet::Value{false}, "False"},
        {jet::Value{std::int16_t{-3}}, "-3"},
        {jet::Value{std::uint8_t{255}}, "255"},
        {jet::Value{std::int32_t{123456}}, "123456"},
        {jet::Value{jet::Currency{125000}}, "12.5"},
        {jet::Value{jet::Currency{30000}}, "3"},
        {jet::Value{2.5}, "2.5"},
        {jet::Value{0.1f}, "0.1"},
        {jet::Value{jet::DateTime{36526.5}}, "2000-01-01 12:00:00"},
        {jet::Value{jet::DateTime{36526.0}}, "2000-01-01"},
        {jet::Value{jet::DateTime{0.25}}, "06:00:00"},
        {jet::Value{std::string("text  ")}, "text  "},
        {jet::Value{dec}, "0.57"},
        {jet::Value{g}, "{00000000-0000-0000-0000-000000000000}"},
    };
    for (const Case& c : cases) EXPECT_EQ(provider::value_text(c.value), c.text);
}

}  // namespace
