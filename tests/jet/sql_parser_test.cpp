// The SQL front end on its own: tokens, statement forms, the errors for
// texts it does not understand, date literals and LIKE patterns.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "jet/base/error.h"
#include "jet/sql/eval.h"
#include "jet/sql/parser.h"

using namespace jet::sql;

TEST(SqlParser, Tokens) {
    auto t = tokenize("SELECT [Order Details].x, 'it''s', \"q\", 1.5e3, #1/2/2024#, a<>b, c!=d;");
    std::vector<std::pair<TokenKind, std::string>> want = {
        {TokenKind::kName, "SELECT"}, {TokenKind::kBracket, "Order Details"},
        {TokenKind::kSymbol, "."},    {TokenKind::kName, "x"},
        {TokenKind::kSymbol, ","},    {TokenKind::kString, "it's"},
        {TokenKind::kSymbol, ","},    {TokenKind::kString, "q"},
        {TokenKind::kSymbol, ","},    {TokenKind::kNumber, "1.5e3"},
        {TokenKind::kSymbol, ","},    {TokenKind::kDate, "1/2/2024"},
        {TokenKind::kSymbol, ","},    {TokenKind::kName, "a"},
        {TokenKind::kSymbol, "<>"},   {TokenKind::kName, "b"},
        {TokenKind::kSymbol, ","},    {TokenKind::kName, "c"},
        {TokenKind::kSymbol, "<>"},   {TokenKind::kName, "d"},
        {TokenKind::kSymbol, ";"},    {TokenKind::kEnd, ""},
    };
    ASSERT_EQ(t.size(), want.size());
    for (std::size_t i = 0; i < t.size(); ++i) {
        EXPECT_EQ(t[i].kind, want[i].first) << i;
        EXPECT_EQ(t[i].text, want[i].second) << i;
    }
    // Names in any script, bare.
    auto u = tokenize("select 名称 from 表");
    EXPECT_EQ(u[1].text, "名称");
    EXPECT_EQ(u[3].text, "表");
}

TEST(SqlParser, StatementFormsAndErrors) {
    struct Case {
        const char* sql;
        const char* error;  // nullptr: parses
    };
    const Case cases[] = {
        {"SELECT * into Kunden FROM [/data/x.mdb;pwd=secret].Kunden", nullptr},
        {"SELECT * into [Order Details] FROM [/data/x.mdb;pwd=x].[Order Details]", nullptr},
        {"SELECT * INTO t FROM [/data/x.mdb].s", nullptr},
        {"SELECT * INTO t FROM [MS Access;DATABASE=/data/x.mdb;PWD=p].s", nullptr},
        {"SELECT * INTO t FROM s IN '/data/x.mdb'", nullptr},
        {"create unique index PrimaryKey on Orders(OrderId,LineNo)", nullptr},
        {"create index [Order Idx] on [Order Details]([Order ID] DESC, [Line No] ASC)", nullptr},
        {"CREATE INDEX i ON t (a) WITH PRIMARY", nullptr},
        {"CREATE INDEX i ON t (a) WITH IGNORE NULL DISALLOW NULL", nullptr},
        {"DROP INDEX i ON t", nullptr},
        {"CREATE TABLE t (a TEXT(10) NOT NULL, b MEMO, c LONG, d INTEGER, e SHORT, f BYTE, "
         "g SINGLE, h DOUBLE, i CURRENCY, j DATETIME, k YESNO, l BIT, m LONGBINARY, "
         "n OLEOBJECT, o BINARY(16), p COUNTER, q AUTOINCREMENT, r GUID, s DECIMAL(12,3), "
         "u TEXT WITH COMPRESSION, CONSTRAINT pk PRIMARY KEY (a, c))", nullptr},
        {"DROP TABLE [My Table]", nullptr},
        {"INSERT INTO t (a, b) VALUES (1, 'x')", nullptr},
        {"insert into app_sequence(seq_name,seq_val) values('n',1)", nullptr},
        {"INSERT INTO t SELECT a, b FROM u WHERE a > 1", nullptr},
        {"UPDATE t SET a = a + 1, b = NULL WHERE c IS NOT NULL", nullptr},
        {"update app_sequence set seq_val=seq_val+1 where seq_name='n'", nullptr},
        {"DELETE FROM t WHERE a IN (1, 2, 3)", nullptr},
        {"DELETE * FROM t", nullptr},
        {"SELECT DISTINCT a AS x, b & 'y' AS [z z], COUNT(*) FROM t WHERE a NOT BETWEEN 1 AND 2 "
         "AND b NOT LIKE 'a*' OR NOT c ORDER BY a DESC, b", nullptr},
        {"select max(file_id) from app_fs_file", nullptr},
        {"SELECT -a, +b, a MOD 2, a \\ 2 FROM t;", nullptr},
        {"BEGIN TRANSACTION", nullptr},
        {"COMMIT WORK", nullptr},
        {"ROLLBACK", nullptr},
        // Not understood: the message says what and where.
        {"create unique index Primary Key on Orders(OrderId)",
         "Syntax error at \"Key on Orders(OrderId)\" (character 29): expected ON"},
        {"SELECT * into Order Details FROM [x.mdb].[Order Details]",
         "(character 15): expected the name of the new table after INTO"},
        {"SELECT * INTO t FROM [;pwd=x].s", "the external database reference names no file"},
        {"SELECT * INTO t FROM [x.mdb;user=a].s", "unknown option 'user=a'"},
        {"ALTER TABLE t ADD COLUMN c LONG", "expected SELECT, INSERT, UPDATE, DELETE, CREATE or DROP"},
        {"CREATE VIEW v AS SELECT * FROM t", "expected TABLE, INDEX or UNIQUE INDEX after CREATE"},
        {"CREATE TABLE t (a NUMBERX)", "unknown data type 'NUMBERX' for column 'a'"},
        {"CREATE TABLE t (a DECIMAL(30,2))", "a precision must be a whole number from 0 to 28"},
        {"CREATE TABLE t (a DECIMAL(5,6))", "the scale must not exceed the precision"},
        {"CREATE TABLE t (a COUNTER(1,1))", "a start value and step for COUNTER are not supported"},
        {"CREATE TABLE t (a TEXT(10) DEFAULT 'x')", "DEFAULT values are not supported"},
        {"CREATE INDEX i ON t (a) WITH NOTHING", "expected PRIMARY, DISALLOW NULL or IGNORE NULL"},
        {"SELECT a FROM t JOIN u ON t.a = u.a", "queries over more than one table"},
        {"SELECT a FROM t UNION SELECT a FROM u", "UNION is not supported"},
        {"SELECT TOP 5 a FROM t", "TOP is not supported"},
        {"SELECT a FROM t WHERE a IN (SELECT b FROM u)", "IN (SELECT ...) is not supported"},
        {"SELECT a FROM t WHERE (SELECT 1)", "subqueries are not supported"},
        {"SELECT COUNT(DISTINCT a) FROM t", "aggregates over DISTINCT values are not supported"},
        {"SELECT a FROM t WHERE a NOT 3", "expected LIKE, IN or BETWEEN after NOT"},
        {"SELECT a FROM", "Syntax error at \"end of statement\" (character 14): expected a table name"},
        {"SELECT a FROM t WHERE a = 1 1", "expected the end of the statement"},
        {"SELECT a, FROM t", "expected a value or a column name"},
        {"SELECT a FROM t WHERE b = 'x", "a text in quotes is not closed"},
        {"SELECT a FROM t WHERE b = #2024-01-01", "a date between # signs has no closing '#'"},
        {"SELECT a FROM t WHERE b = #soon#", "'#soon#' is not a valid date"},
        {"SELECT a FROM t WHERE b = 12abc", "a number runs into a name; put the name in brackets"},
        {"SELECT a FROM t WHERE b = ~1", "this character starts no word, number or operator"},
        {"SELECT [] FROM t", "a name in brackets is empty"},
        {"INSERT INTO t (a) VALS (1)", "expected VALUES or SELECT"},
        {"INSERT INTO t VALUES (SELECT * INTO x FROM y)", "expected a value or a column name"},
        {"UPDATE t SET a == 1", "Syntax error at \"= 1\" (character 17): expected a value"},
        {"", "expected SELECT, INSERT"},
    };
    for (const Case& c : cases) {
        if (!c.error) {
            EXPECT_NO_THROW(parse_statement(c.sql)) << c.sql;
            continue;
        }
        try {
            parse_statement(c.sql);
            ADD_FAILURE() << "parsed: " << c.sql;
        } catch (const jet::Error& e) {
            std::string m = e.what();
            EXPECT_NE(m.find(c.error), std::string::npos) << c.sql << "\n  gave: " << m;
            EXPECT_NE(m.find(std::string("Statement: ") + c.sql), std::string::npos) << m;
        }
    }
    // Character positions count characters, not bytes.
    try {
        parse_statement("SELECT 名称 FROM 表 WHERE");
        ADD_FAILURE();
    } catch (const jet::Error& e) {
        EXPECT_NE(std::string(e.what()).find("(character 23)"), std::string::npos) << e.what();
    }
}

TEST(SqlParser, TheMakeTableReferenceKeepsPathAndPassword) {
    auto st = parse_statement("SELECT * into [Order Details] FROM [/d/x y.mdb;pwd=p;w].[Order Details]");
    auto& s = std::get<SelectStmt>(st);
    EXPECT_EQ(s.into, "Order Details");
    EXPECT_TRUE(s.from.external);
    EXPECT_EQ(s.from.external_path, "/d/x y.mdb");
    EXPECT_EQ(s.from.external_password, "p");  // a ';' ends the password, as in Jet
    EXPECT_EQ(s.from.name, "Order Details");
    auto idx = std::get<CreateIndexStmt>(parse_statement("create unique index [My PK] on [T 1]([a b],c)"));
    EXPECT_EQ(idx.index.name, "My PK");
    EXPECT_EQ(idx.table, "T 1");
    ASSERT_EQ(idx.index.columns.size(), 2u);
    EXPECT_EQ(idx.index.columns[0].column, "a b");
    EXPECT_TRUE(idx.index.unique);
}

TEST(SqlParser, DateLiterals) {
    struct Case {
        const char* text;
        double days;  // NAN: not a date
    };
    const Case cases[] = {
        {"1899-12-30", 0},
        {"1900-01-01", 2},
        {"2024-01-31", 45322},
        {"1/31/2024", 45322},
        {"01/31/24", 45322},
        {"2024-01-31 12:00", 45322.5},
        {"2024-01-31 6:00 PM", 45322.75},
        {"12:00:00 AM", 0},
        {"18:00", 0.75},
        {"1899-12-29 06:00", -1.25},
        {"2024-02-30", NAN},
        {"2024-13-01", NAN},
        {"25:00", NAN},
        {"yesterday", NAN},
        {"", NAN},
    };
    for (const Case& c : cases) {
        double d = 0;
        bool ok = parse_date_text(c.text, d);
        if (std::isnan(c.days)) {
            EXPECT_FALSE(ok) << c.text;
        } else {
            ASSERT_TRUE(ok) << c.text;
            EXPECT_NEAR(d, c.days, 1e-9) << c.text;
        }
    }
}

TEST(SqlParser, LikePatterns) {
    struct Case {
        const char* text;
        const char* pattern;
        bool match;
    };
    const Case cases[] = {
        {"Apple", "a*", true},      {"Apple", "*PLE", true},    {"Apple", "?pple", true},
        {"Apple", "??ple", true},   {"Apple", "?ple", false},   {"Apple", "*", true},
        {"", "*", true},            {"", "?", false},           {"a1b", "a#b", true},
        {"axb", "a#b", false},      {"b", "[a-c]", true},       {"d", "[a-c]", false},
        {"d", "[!a-c]", true},      {"*", "[*]", true},         {"a*c", "a[*]c", true},
        {"abc", "a[*]c", false},    {"aXbXc", "a*b*c", true},   {"abcabc", "*abc", true},
        {"Müller", "m?ller", true}, {"名称表", "名*", true},    {"名称表", "?称?", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(like_match(c.text, c.pattern), c.match) << c.text << " LIKE " << c.pattern;
    }
    EXPECT_THROW(like_match("a", "[a"), jet::Error);
}

TEST(SqlParser, StoringValuesInColumns) {
    struct Case {
        jet::Value in;
        jet::ColumnType type;
        const char* text;  // the stored value as text, or "!" for an error
    };
    const Case cases[] = {
        {std::string("12"), jet::ColumnType::kLong, "12"},
        {std::string(" -7 "), jet::ColumnType::kInteger, "-7"},
        {2.5, jet::ColumnType::kLong, "2"},  // half to even, as Jet
        {3.5, jet::ColumnType::kLong, "4"},
        {std::string("x"), jet::ColumnType::kLong, "!"},
        {std::int32_t{256}, jet::ColumnType::kByte, "!"},
        {std::int32_t{40000}, jet::ColumnType::kInteger, "!"},
        {std::string("1.23456"), jet::ColumnType::kCurrency, "1.2346"},
        {std::string("0"), jet::ColumnType::kNumeric, "0"},
        {std::string("-12.345"), jet::ColumnType::kNumeric, "-12.35"},
        {std::string("123456789012"), jet::ColumnType::kNumeric, "!"},
        {std::int32_t{1}, jet::ColumnType::kBoolean, "True"},
        {std::string("False"), jet::ColumnType::kBoolean, "False"},
        {std::string("2024-01-31 10:30:00"), jet::ColumnType::kDateTime, "2024-01-31 10:30:00"},
        {std::string("not a date"), jet::ColumnType::kDateTime, "!"},
        {std::int32_t{42}, jet::ColumnType::kText, "42"},
        {std::string("{6F9619FF-8B86-D011-B42D-00C04FC964FF}"), jet::ColumnType::kGuid,
         "{6F9619FF-8B86-D011-B42D-00C04FC964FF}"},
        {std::string("nope"), jet::ColumnType::kGuid, "!"},
    };
    for (const Case& c : cases) {
        ColumnTarget target{"t.c", c.type, 10, 2};
        std::string shown = value_text(c.in);
        if (std::string(c.text) == "!") {
            EXPECT_THROW(coerce_to_column(c.in, target), jet::Error) << shown;
            continue;
        }
        jet::Value v;
        ASSERT_NO_THROW(v = coerce_to_column(c.in, target)) << shown;
        std::string got = c.type == jet::ColumnType::kCurrency
                              ? jet::currency_text(std::get<jet::Currency>(v))
                              : value_text(v);
        EXPECT_EQ(got, c.text) << shown;
    }
    try {
        coerce_to_column(std::string("abc"), ColumnTarget{"orders.qty", jet::ColumnType::kInteger});
    } catch (const jet::Error& e) {
        EXPECT_STREQ(e.what(),
                     "Data type mismatch: the value 'abc' cannot be stored in the column "
                     "'orders.qty' (Integer).");
    }
}

// Damaged statement texts (cut, spliced, bytes changed) parse or fail with
// jet::Error; they never crash the parser or read outside the text.
TEST(SqlParser, DamagedTextsFailCleanly) {
    const std::string seeds[] = {
        "SELECT * into [Order Details] FROM [/d/x.mdb;pwd=p].[Order Details]",
        "create unique index [PK] on [T]([a],[b] DESC) WITH PRIMARY",
        "CREATE TABLE t (a TEXT(10) NOT NULL, b DECIMAL(12,3), CONSTRAINT pk PRIMARY KEY (a))",
        "SELECT DISTINCT a AS x, COUNT(*) FROM t WHERE a NOT BETWEEN #1/2/2024# AND 'z' "
        "OR b IN (1, 2.5e3, NULL) AND c LIKE '[!a-c]*' ORDER BY a DESC",
        "update app_sequence set seq_val=seq_val+1 where seq_name='n'",
        "INSERT INTO t (a, b) SELECT a & 'x', -b MOD 3 FROM u",
    };
    std::uint32_t state = 12345;
    auto next = [&] {
        state = state * 1103515245u + 12345u;
        return state >> 8;
    };
    const char alphabet[] = "[]()'\"#,.;*+-/\\&=<>!? aZ09\xE5\x90\x8D";
    int parsed = 0, refused = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string s = seeds[next() % std::size(seeds)];
        int edits = 1 + static_cast<int>(next() % 4);
        for (int e = 0; e < edits && !s.empty(); ++e) {
            std::size_t at = next() % s.size();
            switch (next() % 4) {
                case 0: s.erase(at, 1 + next() % 6); break;
                case 1: s.insert(at, 1, alphabet[next() % (sizeof alphabet - 1)]); break;
                case 2: s[at] = alphabet[next() % (sizeof alphabet - 1)]; break;
                case 3: s = s.substr(0, at); break;
            }
        }
        try {
            parse_statement(s);
            ++parsed;
        } catch (const jet::Error&) {
            ++refused;
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(parsed, 0);
}
