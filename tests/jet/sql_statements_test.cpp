// Statement texts run through a connection on new databases, with their
// expected results, and the statements the repair, the sequences and the
// file store issue.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fixture_support.h"
#include "jet/write/create_database.h"
#include "jet/base/error.h"
#include "jet/sql/connection.h"
#include "jet/sql/eval.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

class SqlDir : public zolvak_test::ScratchDir {
public:
    SqlDir() : ScratchDir("zolvak-sql") {}
};

std::string new_database(const SqlDir& dir, const std::string& name = "t.mdb",
                         const std::string& password = {}) {
    std::string path = dir.file(name);
    jet::CreateOptions o;
    o.password = password;
    jet::create_database(path, o)->close();
    return path;
}

// "a|b;c|d": the records of a rowset as text.
std::string rows_text(jet::Rowset& rs) {
    std::string out;
    for (rs.move_first(); !rs.eof(); rs.move_next()) {
        if (!out.empty()) out += ";";
        for (std::size_t i = 0; i < rs.field_count(); ++i) {
            if (i) out += "|";
            out += rs.text(i);
        }
    }
    return out;
}

// Runs a statement: "=rows" for a query, "#n" rows affected, or "!error".
std::string outcome(jet::Connection& c, const std::string& sql) {
    try {
        jet::ExecuteResult r = c.execute(sql);
        if (r.rowset) return "=" + rows_text(*r.rowset);
        return "#" + std::to_string(r.rows_affected);
    } catch (const jet::Error& e) {
        return std::string("!") + e.what();
    }
}

struct Case {
    const char* sql;
    const char* expect;  // "=rows", "#n", or "!fragment of the error"
};

void run_script(jet::Connection& c, const std::vector<Case>& cases) {
    for (const Case& k : cases) {
        std::string got = outcome(c, k.sql);
        std::string want = k.expect;
        if (want[0] == '!') {
            EXPECT_EQ(got[0], '!') << k.sql << " gave " << got;
            EXPECT_NE(got.find(want.substr(1)), std::string::npos) << k.sql << " gave " << got;
            // Every error repeats the statement.
            EXPECT_NE(got.find(std::string("Statement: ") + k.sql), std::string::npos) << got;
        } else {
            EXPECT_EQ(got, want) << k.sql;
        }
    }
}

std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

bool have_tool(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

TEST(SqlStatements, ScriptOfStatementsAndResults) {
    SqlDir dir;
    auto c = jet::Connection::open(new_database(dir));
    run_script(*c, {
        {"CREATE TABLE t (id COUNTER PRIMARY KEY, name TEXT(50) NOT NULL, qty SHORT, "
         "price CURRENCY, born DATETIME, ok YESNO, note MEMO, d DECIMAL(10,2), g GUID, "
         "bin BINARY(8), r DOUBLE, s SINGLE, tiny BYTE, blob LONGBINARY, big LONG)", "#0"},
        {"INSERT INTO t (name, qty, price, born, ok, note, d) "
         "VALUES ('Apple', 3, 1.5, #2024-01-31#, TRUE, 'x', 12.345)", "#1"},
        {"insert into t (name, qty, price) values ('banana', 10, 0.25)", "#1"},
        {"INSERT INTO t (name, qty) VALUES ('O''Brien', NULL)", "#1"},
        {"INSERT INTO [t] ([name], g) VALUES ('cherry', '{6F9619FF-8B86-D011-B42D-00C04FC964FF}')", "#1"},
        {"SELECT id, name FROM t ORDER BY id", "=1|Apple;2|banana;3|O'Brien;4|cherry"},
        {"SELECT name FROM t WHERE name LIKE 'b*'", "=banana"},
        {"SELECT name FROM t WHERE name LIKE '?PPLE'", "=Apple"},
        {"SELECT name FROM t WHERE name NOT LIKE '*e*' ORDER BY name", "=banana"},
        {"SELECT name FROM t WHERE name LIKE '[a-c]*' ORDER BY name DESC", "=cherry;banana;Apple"},
        {"SELECT name FROM t WHERE qty IS NULL ORDER BY name", "=cherry;O'Brien"},
        {"SELECT name FROM t WHERE qty IS NOT NULL ORDER BY qty DESC", "=banana;Apple"},
        {"SELECT name FROM t WHERE id IN (1, 3) ORDER BY id", "=Apple;O'Brien"},
        {"SELECT name FROM t WHERE id NOT IN (1, 3) ORDER BY id", "=banana;cherry"},
        {"SELECT name FROM t WHERE id BETWEEN 2 AND 3 ORDER BY id", "=banana;O'Brien"},
        {"SELECT name FROM t WHERE NOT (id = 1) AND qty > 5 OR name = 'cherry' ORDER BY id",
         "=banana;cherry"},
        {"SELECT name FROM t WHERE name = 'APPLE'", "=Apple"},
        {"SELECT name FROM t WHERE qty = NULL", "="},
        {"SELECT name FROM t WHERE born = #1/31/2024#", "=Apple"},
        {"SELECT name FROM t WHERE born > '2024-01-01'", "=Apple"},
        {"SELECT COUNT(*), COUNT(qty), MIN(name), MAX(qty), SUM(qty), AVG(qty) FROM t",
         "=4|2|Apple|10|13|6.5"},
        {"SELECT MAX(id) + 1 AS next_id FROM t", "=5"},
        {"SELECT SUM(price) FROM t", "=1.75"},
        {"SELECT COUNT(*) FROM t WHERE id > 100", "=0"},
        {"SELECT MAX(qty) FROM t WHERE id > 100", "="},
        {"SELECT name & '-' & qty AS label FROM t WHERE id = 1", "=Apple-3"},
        {"SELECT name & qty FROM t WHERE id = 3", "=O'Brien"},
        {"SELECT qty * 2 + 1, qty / 4, qty \\ 4, qty MOD 4, -qty FROM t WHERE id = 2",
         "=21|2.5|2|2|-10"},
        {"SELECT price, born, ok, d, note FROM t WHERE id = 1", "=1.5|2024-01-31|True|12.35|x"},
        {"SELECT g FROM t WHERE name = 'cherry'", "={6F9619FF-8B86-D011-B42D-00C04FC964FF}"},
        {"SELECT DISTINCT ok FROM t ORDER BY ok", "=True;False"},
        {"SELECT DISTINCT UCASE FROM t", "!No such column 'UCASE'"},
        {"SELECT t.name FROM t WHERE t.id = 2", "=banana"},
        {"UPDATE t SET qty = qty + 1, note = 'more' WHERE name = 'Apple'", "#1"},
        {"SELECT qty, note FROM t WHERE id = 1", "=4|more"},
        {"UPDATE t SET price = price * 2", "#4"},
        {"SELECT SUM(price) FROM t", "=3.5"},
        {"DELETE FROM t WHERE qty IS NULL", "#2"},
        {"SELECT COUNT(*) FROM t", "=2"},
        {"INSERT INTO t (name) VALUES ('after')", "#1"},
        {"SELECT id FROM t WHERE name = 'after'", "=5"},
        // Errors a user can act on.
        {"SELECT nosuch FROM t", "!No such column 'nosuch' in the table 't' (character 8)"},
        {"SELECT * FROM nosuch", "!The table 'nosuch' does not exist"},
        {"INSERT INTO nosuch VALUES (1)", "!The table 'nosuch' does not exist"},
        {"INSERT INTO t (name, qty) VALUES ('x', 'abc')", "!Data type mismatch"},
        {"INSERT INTO t (name, qty) VALUES ('x', 99999)", "!Overflow"},
        {"INSERT INTO t (name, nosuch) VALUES ('x', 1)", "!No such column 'nosuch'"},
        {"INSERT INTO t (name, qty) VALUES ('x')", "!1 values for 2 columns"},
        {"INSERT INTO t (name) VALUES (qty)", "!cannot stand in the VALUES list"},
        {"UPDATE t SET id = 7", "!field not updateable"},
        {"SELECT name FROM t WHERE name > 5", "!Data type mismatch"},
        {"CREATE TABLE t (a LONG)", "!Table 't' already exists"},
        {"CREATE TABLE u (a WHATEVER)", "!unknown data type 'WHATEVER' for column 'a'"},
        {"CREATE TABLE u (a TEXT(300))", "!a size must be a whole number from 0 to 255"},
        {"SELECT name FROM t GROUP BY name", "!GROUP BY is not supported"},
        {"SELECT * FROM t, u", "!more than one table"},
        {"ALTER TABLE t ADD c LONG", "!Syntax error at \"ALTER TABLE t ADD c LONG\" (character 1)"},
        {"SELECT name, COUNT(*) FROM t", "!does not include the specified expression 'name'"},
        {"SELECT name FROM t WHERE name = 'x", "!a text in quotes is not closed"},
        {"SELECT [name FROM t", "!no closing ']'"},
        {"SELECT name FROM t WHERE born = #2024-02-30#", "!'#2024-02-30#' is not a valid date"},
        {"SELECT name FROM t WHERE LEN(name) = 1", "!the function 'LEN' is not supported"},
        {"SELECT name FROM t WHERE", "!Syntax error at \"end of statement\""},
        {"DELETE FROM t WHERE id = 1 extra", "!expected the end of the statement"},
        {"SELECT qty / 0 FROM t", "!Division by zero"},
        {"DROP TABLE nosuch", "!The table 'nosuch' does not exist"},
        {"DROP TABLE t", "#0"},
        {"SELECT * FROM t", "!The table 't' does not exist"},
    });
}

// The index statements of the index rebuild: a primary key over two columns,
// names in brackets, an index name with a blank that must fail, duplicates.
TEST(SqlStatements, IndexStatements) {
    SqlDir dir;
    auto c = jet::Connection::open(new_database(dir));
    run_script(*c, {
        {"CREATE TABLE Orders (OrderId LONG, LineNo LONG, Item TEXT(20))", "#0"},
        {"INSERT INTO Orders VALUES (1, 1, 'a')", "#1"},
        {"INSERT INTO Orders VALUES (1, 2, 'b')", "#1"},
        {"INSERT INTO Orders VALUES (2, 1, 'a')", "#1"},
        {"create unique index PrimaryKey on Orders(OrderId,LineNo)", "#0"},
        {"create index Order_Lines Idx on Orders(OrderId)", "!Syntax error at \"Idx on Orders(OrderId)\""},
        {"create index [Order Idx] on [Orders]([OrderId])", "#0"},
        {"create unique index ItemU on Orders(Item)", "!Duplicate key in the unique index 'ItemU'"},
        {"create index Ix2 on Orders(Nope)", "!No such column 'Nope'"},
        {"create index Ix2 on Nope(Item)", "!The table 'Nope' does not exist"},
        {"create index [Order Idx] on Orders(Item)", "!The index 'Order Idx' already exists"},
        {"CREATE INDEX pk1 ON Orders (OrderId DESC, LineNo) WITH PRIMARY", "#0"},
        {"CREATE INDEX pk2 ON Orders (Item) WITH PRIMARY", "!already has a primary key ('pk1')"},
        {"INSERT INTO Orders VALUES (1, 2, 'c')", "!Duplicate key in the unique index"},
        {"SELECT COUNT(*) FROM Orders", "=3"},
        {"SELECT Item FROM Orders WHERE OrderId = 1 ORDER BY LineNo", "=a;b"},
        {"DROP INDEX ItemU ON Orders", "!The index 'ItemU' does not exist"},
        {"DROP INDEX PrimaryKey ON Orders", "#0"},
        {"DROP INDEX pk1 ON Orders", "#0"},
        {"INSERT INTO Orders VALUES (1, 2, 'c')", "#1"},
        {"CREATE INDEX ItemD ON Orders (Item DESC, LineNo ASC) WITH IGNORE NULL", "#0"},
        {"CREATE UNIQUE INDEX k ON Orders (OrderId) WITH DISALLOW NULL", "!Duplicate key"},
    });
    jet::Database& db = c->database();
    jet::TableDef def = db.table_def("Orders");
    std::map<std::string, std::string> seen;
    for (const auto& ix : def.indexes) {
        std::string cols;
        for (const auto& ic : ix.columns) {
            cols += def.columns[ic.column].name + (ic.descending ? "-" : "+") + ",";
        }
        seen[ix.name] = cols + (ix.unique() ? "U" : "");
    }
    std::map<std::string, std::string> want = {{"Order Idx", "OrderId+,"},
                                               {"ItemD", "Item-,LineNo+,"}};
    EXPECT_EQ(seen, want);
}

// A table's index statements run together (one read of its rows) answer
// each as it answers alone, messages included, and leave the same indexes.
TEST(SqlStatements, IndexStatementsRunTogetherAnswerAsOneByOne) {
    const std::vector<std::string> setup = {
        "CREATE TABLE Orders (OrderId LONG, LineNo LONG, Item TEXT(20), Note MEMO)",
        "CREATE TABLE Other (Id LONG, Name TEXT(10))",
        "INSERT INTO Other VALUES (1, 'x')",
    };
    const std::vector<std::string> statements = {
        "create unique index [PrimaryKey] on [Orders]([OrderId],[LineNo])",
        "create unique index ItemU on Orders(Item)",
        "create index ItemU on Orders(Item)",
        "create index [Lines] on Orders(LineNo DESC, Item)",
        "create index Ix2 on Orders(Nope)",
        "create index [Lines] on Orders(OrderId)",
        "CREATE INDEX pk1 ON Orders (OrderId DESC, LineNo) WITH PRIMARY",
        "CREATE INDEX pk2 ON Orders (Item) WITH PRIMARY",
        "CREATE UNIQUE INDEX k ON Orders (Item) WITH IGNORE NULL",
        "create index [Notes] on Orders(Note)",
        "create index Id on Other(Id)",
        "create index Name on Other(Name)",
        "create index X on Nope(Name)",
        "create index Y on Nope(Name)",
        "create index Item2 on Orders(Item)",
        "create index Item2 on Orders(Item)",
    };
    SqlDir dir;
    std::vector<std::string> alone, together;
    std::vector<std::map<std::string, std::string>> designs;
    for (int pass = 0; pass < 2; ++pass) {
        auto c = jet::Connection::open(new_database(dir, pass == 0 ? "alone.mdb" : "together.mdb"));
        for (const auto& sql : setup) c->execute(sql);
        for (int i = 0; i < 300; ++i) {
            // Item repeats every 100 rows; a long note on every row.
            c->execute("INSERT INTO Orders VALUES (" + std::to_string(i / 3) + ", " + std::to_string(i % 3) +
                       ", 'item " + std::to_string(i % 100) + "', '" + std::string(400 + i, 'n') + "')");
        }
        c->begin_transaction();
        if (pass == 0) {
            for (const auto& sql : statements) alone.push_back(outcome(*c, sql));
        } else {
            auto errors = c->execute_each(statements);
            ASSERT_EQ(errors.size(), statements.size());
            for (const auto& e : errors) {
                if (!e) {
                    together.push_back("#0");
                    continue;
                }
                try {
                    std::rethrow_exception(e);
                } catch (const jet::Error& x) {
                    together.push_back(std::string("!") + x.what());
                }
            }
        }
        c->commit();
        std::map<std::string, std::string> seen;
        for (const char* table : {"Orders", "Other"}) {
            jet::TableDef def = c->database().table_def(table);
            for (const auto& ix : def.indexes) {
                std::string cols;
                for (const auto& ic : ix.columns) {
                    cols += def.columns[ic.column].name + (ic.descending ? "-" : "+") + ",";
                }
                seen[std::string(table) + "." + ix.name] =
                    cols + (ix.unique() ? "U" : "") + (ix.primary_key() ? "P" : "") + (ix.ignore_nulls() ? "I" : "");
            }
        }
        designs.push_back(seen);
    }
    EXPECT_EQ(together, alone);
    EXPECT_EQ(designs[1], designs[0]);
    // What the statements give alone, so that the comparison covers each path.
    const std::vector<std::string> expect = {
        "#0", "!Duplicate key in the unique index 'ItemU' of the table 'Orders'", "#0", "#0",
        "!No such column 'Nope'", "!The index 'Lines' already exists", "#0",
        "!The table 'Orders' already has a primary key ('pk1')", "!Duplicate key", "#0", "#0", "#0",
        "!The table 'Nope' does not exist", "!The table 'Nope' does not exist", "#0",
        "!The index 'Item2' already exists"};
    ASSERT_EQ(alone.size(), expect.size());
    for (std::size_t k = 0; k < expect.size(); ++k) {
        EXPECT_EQ(alone[k].rfind(expect[k], 0), 0u) << statements[k] << ": " << alone[k];
        if (alone[k][0] == '!') EXPECT_NE(alone[k].find(" Statement: " + statements[k]), std::string::npos);
    }
}

// NOT NULL columns refuse nulls, in INSERT, UPDATE and the updatable rowset.
TEST(SqlStatements, RequiredColumnsRefuseNull) {
    SqlDir dir;
    auto c = jet::Connection::open(new_database(dir));
    c->execute("CREATE TABLE r (id LONG, name TEXT(10) NOT NULL)");
    jet::TableDef def = c->database().table_def("r");
    if (def.columns[1].flags & jet::kColumnNullable) {
        GTEST_SKIP() << "the writer does not record NOT NULL in the column flags yet";
    }
    run_script(*c, {
        {"INSERT INTO r (id, name) VALUES (1, 'a')", "#1"},
        {"INSERT INTO r (id) VALUES (2)", "!cannot contain a Null value"},
        {"INSERT INTO r (id, name) VALUES (2, NULL)", "!cannot contain a Null value"},
        {"UPDATE r SET name = NULL", "!cannot contain a Null value"},
        {"SELECT id, name FROM r", "=1|a"},
    });
}

// A WHERE of equality on an indexed column finds its rows through the index,
// with the same result as a scan.
TEST(SqlStatements, EqualityOnAnIndexedColumnUsesTheIndex) {
    SqlDir dir;
    auto c = jet::Connection::open(new_database(dir));
    c->begin_transaction();
    c->execute("CREATE TABLE p (id LONG, name TEXT(40), plain TEXT(40), amount DOUBLE)");
    for (int i = 0; i < 600; ++i) {
        std::string name = "Name " + std::to_string(i % 97);
        c->execute("INSERT INTO p VALUES (" + std::to_string(i) + ", '" + name + "', '" + name +
                   "', " + std::to_string(i * 0.5) + ")");
    }
    c->execute("CREATE INDEX ix_name ON p (name)");
    c->execute("CREATE UNIQUE INDEX ix_id ON p (id DESC)");
    c->execute("CREATE INDEX ix_amount ON p (amount)");
    c->commit();
    struct Probe {
        std::string where_indexed, where_plain;
    };
    const Probe probes[] = {
        {"name = 'Name 5'", "plain = 'Name 5'"},
        {"name = 'NAME 5'", "plain = 'name 5'"},
        {"'Name 96' = name", "plain = 'Name 96'"},
        {"name = 'Name 5' AND id > 300", "plain = 'Name 5' AND id > 300"},
        {"name = 'nobody'", "plain = 'nobody'"},
        {"id = 599", "id + 0 = 599"},
        {"id = '17'", "id + 0 = 17"},
        {"amount = 100.5", "amount + 0 = 100.5"},
    };
    for (const Probe& p : probes) {
        auto a = c->query("SELECT id FROM p WHERE " + p.where_indexed + " ORDER BY id");
        EXPECT_TRUE(c->last_statement_used_index()) << p.where_indexed;
        auto b = c->query("SELECT id FROM p WHERE " + p.where_plain + " ORDER BY id");
        EXPECT_FALSE(c->last_statement_used_index()) << p.where_plain;
        EXPECT_EQ(rows_text(*a), rows_text(*b)) << p.where_indexed;
    }
    EXPECT_EQ(c->execute("UPDATE p SET amount = -1 WHERE name = 'Name 3'").rows_affected, 7u);
    EXPECT_TRUE(c->last_statement_used_index());
    EXPECT_EQ(c->execute("DELETE FROM p WHERE id = 3").rows_affected, 1u);
    EXPECT_TRUE(c->last_statement_used_index());
    EXPECT_EQ(rows_text(*c->query("SELECT COUNT(*) FROM p WHERE amount = -1")), "6");
}

// The sequence statements, exactly as the connection's sequence slots issue
// them, from an empty app_sequence.
namespace {

int read_seq(jet::Connection& c, const std::string& name) {
    auto rs = c.query("select seq_val from app_sequence where seq_name='" + name + "'");
    if (rs->record_count() != 0) {
        rs->move_first();
        return std::atoi(rs->text(0).c_str());
    }
    c.execute("insert into app_sequence(seq_name,seq_val) values('" + name + "',1)");
    return 1;
}
int next_seq(jet::Connection& c, const std::string& name) {
    c.execute("update app_sequence set seq_val=seq_val+1 where seq_name='" + name + "'");
    return read_seq(c, name);
}
void set_seq(jet::Connection& c, const std::string& name, int value) {
    c.execute("update app_sequence set seq_val=" + std::to_string(value) + " where seq_name='" +
              name + "'");
    auto rs = c.query("select seq_val from app_sequence where seq_name='" + name + "'");
    if (rs->record_count() == 0) {
        c.execute("insert into app_sequence(seq_name,seq_val) values('" + name + "'," +
                  std::to_string(value) + ")");
    }
}

}  // namespace

TEST(SqlStatements, SequenceStatements) {
    SqlDir dir;
    auto c = jet::Connection::open(new_database(dir));
    c->execute("CREATE TABLE app_sequence (seq_name TEXT(234), seq_val LONG)");
    c->begin_transaction();
    EXPECT_EQ(next_seq(*c, "orders"), 1);
    EXPECT_EQ(next_seq(*c, "orders"), 2);
    EXPECT_EQ(read_seq(*c, "invoices"), 1);
    EXPECT_EQ(next_seq(*c, "invoices"), 2);
    EXPECT_EQ(read_seq(*c, "invoices"), 2);
    set_seq(*c, "orders", 10);
    EXPECT_EQ(next_seq(*c, "orders"), 11);
    set_seq(*c, "fresh", 42);
    EXPECT_EQ(read_seq(*c, "fresh"), 42);
    c->commit();
    EXPECT_EQ(rows_text(*c->query(
                  "select seq_name, seq_val from app_sequence order by seq_name")),
              "fresh|42;invoices|2;orders|11");
    // A rolled-back increment is gone.
    c->begin_transaction();
    EXPECT_EQ(next_seq(*c, "orders"), 12);
    c->roll_back();
    EXPECT_EQ(read_seq(*c, "orders"), 11);
    // Without the table every statement fails with a message naming it.
    c->execute("DROP TABLE app_sequence");
    EXPECT_THROW(next_seq(*c, "orders"), jet::Error);
}

// The file store's statements on app_fs_file.
TEST(SqlStatements, FileStoreStatements) {
    SqlDir dir;
    auto c = jet::Connection::open(new_database(dir));
    run_script(*c, {
        {"CREATE TABLE app_fs_file (file_id LONG, storage_id TEXT(11), storage_pos LONG, "
         "file_type TEXT(30), obj_id TEXT(32), file_size LONG, file_ext TEXT(30), "
         "org_file_name TEXT(80), desc_info TEXT(83), encrypt_flag LONG)", "#0"},
        {"select max(file_id) from app_fs_file", "="},
        {"select file_ext from app_fs_file where file_id=1", "="},
        {"insert into app_fs_file(file_id,storage_id,storage_pos,file_type,obj_id,file_size,"
         "file_ext,org_file_name,desc_info,encrypt_flag) values(1,'',0,'doc','',5,'txt',"
         "'a.txt','第一个文件',0)", "#1"},
        {"select max(file_id) from app_fs_file", "=1"},
        {"insert into app_fs_file(file_id,storage_id,storage_pos,file_type,obj_id,file_size,"
         "file_ext,org_file_name,desc_info,encrypt_flag) values(2,'g1',3,'','o',0,'','b',"
         "'',1)", "#1"},
        {"select file_id,storage_id,storage_pos,file_type,obj_id,file_size,file_ext,"
         "org_file_name,desc_info,encrypt_flag from app_fs_file where file_id=1",
         "=1||0|doc||5|txt|a.txt|第一个文件|0"},
        {"select file_ext from app_fs_file where file_id=2", "="},
        {"select file_id,file_ext from app_fs_file", "=1|txt;2|"},
        {"delete from app_fs_file where file_id=1", "#1"},
        {"delete from app_fs_file where file_id=1", "#0"},
        {"select max(file_id) from app_fs_file", "=2"},
    });
}

// A batch insert through an updatable rowset, as the connection's BatchInsert
// appends the rows of a result table.
TEST(SqlStatements, BatchInsertThroughAnUpdatableRowset) {
    SqlDir dir;
    auto c = jet::Connection::open(new_database(dir));
    c->execute("CREATE TABLE T1 (id LONG, note TEXT(20), amount DECIMAL(8,2), seq COUNTER, "
               "CONSTRAINT pk PRIMARY KEY (id))");
    c->begin_transaction();
    auto rs = c->open_updatable("SELECT id, note, amount FROM T1");
    ASSERT_EQ(rs->field_count(), 3u);
    EXPECT_EQ(rs->fields()[0].type, jet::ColumnType::kLong);
    EXPECT_EQ(rs->fields()[1].type, jet::ColumnType::kText);
    EXPECT_EQ(rs->fields()[1].size, 20u);
    EXPECT_EQ(rs->fields()[2].type, jet::ColumnType::kNumeric);
    const char* rows[][3] = {{"1", "one", "1.5"}, {"2", "", "0"}, {"3", "three", "12.345"}};
    for (const auto& r : rows) {
        rs->add_new();
        rs->set("id", std::string(r[0]));
        rs->set("NOTE", std::string(r[1]));
        rs->set("amount", std::string(r[2]));
    }
    rs->update();
    // A failing save keeps the earlier rows and names the problem.
    rs->add_new();
    rs->set("id", std::string("2"));
    EXPECT_THROW(rs->update(), jet::Error);
    rs->cancel_update();
    EXPECT_THROW(rs->set("nosuch", std::string("1")), jet::Error);
    c->commit();
    EXPECT_EQ(rows_text(*c->query("SELECT id, note, amount, seq FROM T1 ORDER BY id")),
              "1|one|1.5|1;2||0|2;3|three|12.35|3");
    auto all = c->open_updatable("T1");
    EXPECT_EQ(all->record_count(), 3u);
    EXPECT_THROW(c->open_updatable("SELECT id FROM T1 WHERE id = 1"), jet::Error);
    // A rowset that outlives its connection fails cleanly.
    auto orphan = c->open_updatable("T1");
    c.reset();
    EXPECT_THROW(orphan->record_count(), jet::Error);
    EXPECT_THROW(orphan->add_new(), jet::Error);
}

// The make-table of the table copy, from a file with and without a password.
TEST(SqlStatements, MakeTableFromAnotherFile) {
    SKIP_WITHOUT_FIXTURES();
    SqlDir dir;
    struct Source {
        const char* fixture;
        const char* password;
    };
    const Source sources[] = {{"jet4-nopassword", ""}, {"jet4-password", "password"},
                              {"jet4-types", ""}, {"jet4-unicode", ""}, {"jet3-basic", ""},
                              {"jet4-overflow", ""}, {"jet4-memo-ole", ""}};
    std::string target = new_database(dir, "target.mdb", "secret");
    auto c = jet::Connection::open(target, "secret");
    c->begin_transaction();
    std::vector<std::pair<std::string, std::string>> copied;  // (fixture path, table)
    int n = 0;
    for (const Source& s : sources) {
        std::string src = fixtures::mdb_path(s.fixture);
        auto db = jet::Database::open(src, s.password);
        for (const auto& t : db->tables()) {
            if (t.kind != jet::TableKind::kTable) continue;
            std::string into = "T" + std::to_string(n++) + " " + t.name;
            std::string sql = std::string("SELECT * into [") + into + "] FROM [" + src +
                              (*s.password ? std::string(";pwd=") + s.password : std::string()) +
                              "].[" + t.name + "]";
            jet::ExecuteResult r = c->execute(sql);
            jet::TableDef def = db->table_def(t.name);
            EXPECT_EQ(r.rows_affected, jet::count_rows(db->file(), def)) << sql;
            copied.emplace_back(src, into);
            // Same columns, same values (autonumbers arrive as plain numbers).
            auto want = db->read_all(def);
            jet::Database& mine = c->database();
            jet::TableDef got_def = mine.table_def(into);
            ASSERT_EQ(got_def.columns.size(), def.columns.size());
            for (std::size_t i = 0; i < def.columns.size(); ++i) {
                EXPECT_EQ(got_def.columns[i].name, def.columns[i].name);
                EXPECT_EQ(got_def.columns[i].type, def.columns[i].type);
                EXPECT_FALSE(got_def.columns[i].is_autonumber());
            }
            EXPECT_EQ(mine.read_all(got_def), want) << into;
            EXPECT_TRUE(got_def.indexes.empty());
        }
    }
    c->commit();
    // The bracketed external reference also works without a password and with
    // the form SELECT * INTO t FROM [path].s.
    std::string plain = fixtures::mdb_path("jet4-nopassword");
    EXPECT_EQ(outcome(*c, "SELECT * INTO copy2 FROM [" + plain + "].Table1"), "#3");
    EXPECT_NE(outcome(*c, "SELECT * INTO copy3 FROM [" + fixtures::mdb_path("jet4-password") +
                              ";pwd=wrong].Table1")
                  .find("Not a valid password for the external database"),
              std::string::npos);
    EXPECT_NE(outcome(*c, "SELECT * INTO copy3 FROM [" + fixtures::mdb_path("jet4-password") +
                              "].Table1")
                  .find("Not a valid password"),
              std::string::npos);
    EXPECT_NE(outcome(*c, "SELECT * INTO copy3 FROM [/nonexistent/x.mdb].Table1").find("Could not find file"),
              std::string::npos);
    EXPECT_NE(outcome(*c, "SELECT * INTO copy3 FROM [" + plain + "].Nope").find(
                  "does not exist in the external database"),
              std::string::npos);
    EXPECT_NE(outcome(*c, "SELECT * INTO copy2 FROM [" + plain + "].Table1").find("already exists"),
              std::string::npos);
    // A failed make-table leaves no table behind.
    EXPECT_EQ(c->database().find_table("copy3"), nullptr);

    // Other readers see the same rows: mdb-export of source and copy agree.
    if (!have_tool("mdb-export")) GTEST_SKIP() << "mdb-export is not installed";
    c.reset();
    // mdb-export cannot open a file with a password: check a password-free copy.
    std::string open_copy = new_database(dir, "open.mdb");
    auto o = jet::Connection::open(open_copy);
    o->begin_transaction();
    for (const auto& [src, table] : copied) {
        o->execute("SELECT * INTO [" + table + "] FROM [" + target + ";pwd=secret].[" + table + "]");
    }
    o->commit();
    o.reset();
    for (const auto& [src, table] : copied) {
        if (src.find("password") != std::string::npos && src.find("nopassword") == std::string::npos) continue;
        std::string name = table.substr(table.find(' ') + 1);
        auto a = fixtures::run("mdb-export " + fixtures::sh_quote(src) + " " + fixtures::sh_quote(name));
        auto b = fixtures::run("mdb-export " + fixtures::sh_quote(open_copy) + " " +
                               fixtures::sh_quote(table));
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(b.status, 0) << table;
        // mdb-export lists rows that Access moved to another page (overflow
        // rows) where it meets their new place; the engine keeps them at their
        // first slot, so a copy lists them in that order. Compare the rows as sets.
        EXPECT_EQ(sorted_lines(a.out), sorted_lines(b.out)) << src << " " << name;
    }
}

// Every kind of statement vanishes at roll-back and stays after commit.
TEST(SqlStatements, RollbackAfterEachKindOfStatement) {
    SKIP_WITHOUT_FIXTURES();
    SqlDir dir;
    std::string path = new_database(dir);
    auto start_state = [&] {
        fs::remove(path);
        jet::create_database(path)->close();
        auto r = jet::Connection::open(path);
        r->begin_transaction();
        r->execute("CREATE TABLE a (id LONG, v TEXT(10))");
        r->execute("INSERT INTO a VALUES (1, 'x')");
        r->execute("INSERT INTO a VALUES (2, 'y')");
        r->execute("CREATE INDEX av ON a (v)");
        r->commit();
    };
    auto snapshot = [&](jet::Connection& c) {
        std::string out;
        jet::Database& db = c.database();
        for (const auto& t : db.tables()) {
            if (t.kind != jet::TableKind::kTable) continue;
            jet::TableDef def = db.table_def(t.name);
            out += t.name + "(";
            for (const auto& col : def.columns) out += col.name + ",";
            out += ") idx(";
            for (const auto& ix : def.indexes) out += ix.name + ",";
            out += ") rows(";
            for (const auto& r : db.read_all(def)) {
                for (const auto& v : r) out += jet::sql::value_text(v) + ",";
                out += ";";
            }
            out += ")\n";
        }
        return out;
    };
    const std::string plain = fixtures::mdb_path("jet4-nopassword");
    const std::vector<std::string> statements = {
        "CREATE TABLE b (id LONG)",
        "DROP TABLE a",
        "CREATE UNIQUE INDEX aid ON a (id)",
        "DROP INDEX av ON a",
        "INSERT INTO a VALUES (3, 'z')",
        "INSERT INTO a SELECT id + 10, v FROM a",
        "UPDATE a SET v = 'changed'",
        "DELETE FROM a WHERE id = 1",
        "SELECT * INTO c FROM [" + plain + "].Table1",
    };
    jet::ConnectionOptions brief;
    brief.lock_timeout = std::chrono::milliseconds(50);
    // Alone on the file the transaction writes it in place (under its
    // journal); with another connection reading it, through the shadow copy.
    for (bool in_place : {true, false}) {
        for (const std::string& sql : statements) {
            SCOPED_TRACE((in_place ? "in place: " : "shadow: ") + sql);
            start_state();
            std::unique_ptr<jet::Connection> reader;
            if (!in_place) reader = jet::Connection::open(path);
            auto c = jet::Connection::open(path);
            std::string before = snapshot(*c);
            if (reader) EXPECT_EQ(snapshot(*reader), before);
            c->begin_transaction();
            c->execute(sql);
            std::string during = snapshot(*c);
            EXPECT_NE(during, before);
            EXPECT_EQ(fs::exists(path + "-journal"), in_place);
            EXPECT_EQ(fs::exists(path + ".txn") || fs::exists(path + ".txn~"), !in_place);
            if (in_place) {
                // Nobody reads pages of the transaction: another connection
                // waits, then gets the locked error.
                try {
                    jet::Connection::open(path, {}, brief);
                    ADD_FAILURE() << "a reader was let in during an in-place transaction";
                } catch (const jet::Error& e) {
                    EXPECT_NE(std::string(e.what()).find("is locked"), std::string::npos) << e.what();
                }
            } else {
                // Other connections see only committed data meanwhile.
                EXPECT_EQ(snapshot(*reader), before);
                auto other = jet::Connection::open(path);
                EXPECT_EQ(snapshot(*other), before);
            }
            c->roll_back();
            EXPECT_FALSE(fs::exists(path + "-journal"));
            EXPECT_EQ(snapshot(*c), before);
            {
                auto again = jet::Connection::open(path);
                EXPECT_EQ(snapshot(*again), before);
            }
            // The same statement committed stays.
            c->begin_transaction();
            c->execute(sql);
            EXPECT_EQ(fs::exists(path + "-journal"), in_place);
            c->commit();
            EXPECT_FALSE(fs::exists(path + "-journal"));
            if (reader) EXPECT_EQ(snapshot(*reader), during);
            auto after = jet::Connection::open(path);
            EXPECT_EQ(snapshot(*after), during);
        }
    }
}

// A failing statement inside a transaction changes nothing and leaves the
// transaction usable.
TEST(SqlStatements, FailedStatementLeavesTheTransactionAsItWas) {
    SqlDir dir;
    auto c = jet::Connection::open(new_database(dir));
    c->execute("CREATE TABLE k (id LONG, v TEXT(10))");
    c->execute("CREATE UNIQUE INDEX kid ON k (id)");
    c->execute("INSERT INTO k VALUES (1, 'a')");
    c->execute("INSERT INTO k VALUES (5, 'b')");
    c->begin_transaction();
    c->execute("INSERT INTO k VALUES (2, 'c')");
    // The second copied row collides with id 5: the one before it is taken back.
    EXPECT_THROW(c->execute("INSERT INTO k SELECT id + 3, v FROM k ORDER BY id"), jet::Error);
    EXPECT_EQ(rows_text(*c->query("SELECT id FROM k ORDER BY id")), "1;2;5");
    // An UPDATE that collides half-way is taken back too.
    try {
        c->execute("UPDATE k SET id = 7 - id");
        ADD_FAILURE() << "the colliding UPDATE went through";
    } catch (const jet::Error& e) {
        EXPECT_NE(std::string(e.what()).find("Duplicate key in the unique index 'kid' of the table 'k'"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(rows_text(*c->query("SELECT id, v FROM k ORDER BY id")), "1|a;2|c;5|b");
    c->commit();
    EXPECT_EQ(rows_text(*c->query("SELECT id FROM k ORDER BY id")), "1;2;5");
    // Transaction misuse is reported.
    EXPECT_THROW(c->commit(), jet::Error);
    EXPECT_THROW(c->roll_back(), jet::Error);
    c->begin_transaction();
    EXPECT_THROW(c->begin_transaction(), jet::Error);
    EXPECT_EQ(outcome(*c, "COMMIT"), "#0");
    EXPECT_FALSE(c->in_transaction());
}

// Every table of every fixture reads through SQL; writing is allowed where
// the engine can keep everything the file holds, and refused, leaving the
// file untouched, where it cannot yet.
TEST(SqlStatements, ConnectionsOnRealFiles) {
    SKIP_WITHOUT_FIXTURES();
    SqlDir dir;
    int tables = 0;
    for (const std::string& name : fixtures::names()) {
        std::string password = fixtures::password(fixtures::oracle(name));
        std::string path = dir.file(name + ".mdb");
        fs::copy_file(fixtures::mdb_path(name), path);
        auto c = jet::Connection::open(path, password);
        for (const auto& t : c->database().tables()) {
            if (!t.local()) continue;
            jet::TableDef def = c->database().table_def(t.name);
            auto n = jet::count_rows(c->database().file(), def);
            EXPECT_EQ(outcome(*c, "SELECT COUNT(*) FROM [" + t.name + "]"), "=" + std::to_string(n))
                << name << " " << t.name;
            ++tables;
        }
        std::string before = fixtures::read_file(path);
        c->begin_transaction();
        std::string got = outcome(*c, "CREATE TABLE added (a LONG)");
        bool writable = got == "#0";
        bool in_place = fs::exists(path + "-journal");
        if (writable) {
            c->commit();
        } else {
            c->roll_back();
            EXPECT_FALSE(in_place) << name;
        }
        EXPECT_FALSE(fs::exists(path + "-journal")) << name;
        if (!writable) {
            EXPECT_NE(got.find("cannot be changed by this engine yet"), std::string::npos) << got;
            EXPECT_EQ(fixtures::read_file(path), before) << name;
            EXPECT_FALSE(fs::exists(path + ".txn")) << name;
        } else {
            EXPECT_EQ(outcome(*c, "SELECT COUNT(*) FROM added"), "=0");
            // Once the engine wrote the file, later transactions change it in place.
            c->begin_transaction();
            EXPECT_EQ(outcome(*c, "INSERT INTO added VALUES (7)"), "#1");
            EXPECT_TRUE(fs::exists(path + "-journal")) << name;
            c->commit();
            EXPECT_EQ(outcome(*c, "SELECT COUNT(*) FROM added"), "=1");
            // Everything that was there is still there.
            auto src = jet::Database::open(fixtures::mdb_path(name), password);
            for (const auto& t : src->tables()) {
                if (t.kind != jet::TableKind::kTable) continue;
                EXPECT_EQ(c->database().read_all(c->database().table_def(t.name)),
                          src->read_all(src->table_def(t.name)))
                    << name << " " << t.name;
            }
        }
        std::printf("%-20s %s\n", name.c_str(),
                    !writable ? got.c_str() + 1
                    : in_place ? "writable, in place"
                               : "writable, through a shadow copy");
    }
    EXPECT_GT(tables, 0);
}
