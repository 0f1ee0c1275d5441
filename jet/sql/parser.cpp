// The SQL tokenizer and recursive-descent parser (see sql_parser.h).
//
// Operator precedence follows Jet: OR, AND, NOT, then the comparisons (with
// LIKE, IS, IN and BETWEEN), &, + and -, MOD, \, * and /, unary minus.
#include "jet/sql/parser.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <set>

#include "jet/base/error.h"

namespace jet::sql {

namespace {

std::string upper(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool name_start(unsigned char c) { return std::isalpha(c) || c == '_' || c >= 0x80; }
bool name_char(unsigned char c) { return std::isalnum(c) || c == '_' || c >= 0x80 || c == '$'; }

// Words that end an expression or a name list; a bare word among them is
// never read as a column name.
const std::set<std::string>& reserved_words() {
    static const std::set<std::string> words = {
        "SELECT", "FROM",  "WHERE",  "ORDER",  "BY",     "AS",      "INTO",   "AND",
        "OR",     "NOT",   "IS",     "NULL",   "LIKE",   "IN",      "BETWEEN", "ASC",
        "DESC",   "ON",    "VALUES", "SET",    "DISTINCT", "GROUP", "HAVING", "UNION",
        "TRUE",   "FALSE", "MOD",    "WITH",   "INSERT", "UPDATE",  "DELETE", "CREATE",
        "DROP",   "TABLE", "INDEX",  "JOIN",   "INNER",  "LEFT",    "RIGHT",  "TOP"};
    return words;
}

}  // namespace

std::size_t character_position(std::string_view text, std::size_t pos) {
    std::size_t n = 1;
    for (std::size_t i = 0; i < pos && i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++n;
    }
    return n;
}

void throw_syntax_error(std::string_view sql, std::size_t pos, std::string_view what) {
    std::string near;
    if (pos >= sql.size()) {
        near = "end of statement";
    } else {
        std::size_t end = std::min(sql.size(), pos + 24);
        while (end < sql.size() && (static_cast<unsigned char>(sql[end]) & 0xC0) == 0x80) ++end;
        near = std::string(sql.substr(pos, end - pos));
        if (end < sql.size()) near += "...";
    }
    throw Error("Syntax error at \"" + near + "\" (character " +
                std::to_string(character_position(sql, pos)) + "): " + std::string(what) +
                ". Statement: " + std::string(sql));
}

std::vector<Token> tokenize(std::string_view sql) {
    std::vector<Token> out;
    std::size_t i = 0;
    while (true) {
        while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
        Token t;
        t.pos = i;
        if (i >= sql.size()) {
            t.kind = TokenKind::kEnd;
            t.end = i;
            out.push_back(t);
            return out;
        }
        unsigned char c = static_cast<unsigned char>(sql[i]);
        if (name_start(c)) {
            std::size_t j = i;
            while (j < sql.size() && name_char(static_cast<unsigned char>(sql[j]))) ++j;
            t.kind = TokenKind::kName;
            t.text = std::string(sql.substr(i, j - i));
            i = j;
        } else if (c == '[') {
            std::size_t j = sql.find(']', i + 1);
            if (j == std::string_view::npos) {
                throw_syntax_error(sql, i, "a name in brackets has no closing ']'");
            }
            t.kind = TokenKind::kBracket;
            t.text = std::string(sql.substr(i + 1, j - i - 1));
            i = j + 1;
        } else if (c == '\'' || c == '"') {
            char q = static_cast<char>(c);
            std::string text;
            std::size_t j = i + 1;
            while (true) {
                if (j >= sql.size()) throw_syntax_error(sql, i, "a text in quotes is not closed");
                if (sql[j] == q) {
                    if (j + 1 < sql.size() && sql[j + 1] == q) {
                        text += q;
                        j += 2;
                        continue;
                    }
                    break;
                }
                text += sql[j++];
            }
            t.kind = TokenKind::kString;
            t.text = std::move(text);
            i = j + 1;
        } else if (c == '#') {
            std::size_t j = sql.find('#', i + 1);
            if (j == std::string_view::npos) {
                throw_syntax_error(sql, i, "a date between # signs has no closing '#'");
            }
            t.kind = TokenKind::kDate;
            t.text = std::string(sql.substr(i + 1, j - i - 1));
            i = j + 1;
        } else if (std::isdigit(c) ||
                   (c == '.' && i + 1 < sql.size() &&
                    std::isdigit(static_cast<unsigned char>(sql[i + 1])))) {
            std::size_t j = i;
            while (j < sql.size() && std::isdigit(static_cast<unsigned char>(sql[j]))) ++j;
            if (j < sql.size() && sql[j] == '.') {
                ++j;
                while (j < sql.size() && std::isdigit(static_cast<unsigned char>(sql[j]))) ++j;
            }
            if (j < sql.size() && (sql[j] == 'e' || sql[j] == 'E')) {
                std::size_t k = j + 1;
                if (k < sql.size() && (sql[k] == '+' || sql[k] == '-')) ++k;
                if (k < sql.size() && std::isdigit(static_cast<unsigned char>(sql[k]))) {
                    while (k < sql.size() && std::isdigit(static_cast<unsigned char>(sql[k]))) ++k;
                    j = k;
                }
            }
            if (j < sql.size() && name_start(static_cast<unsigned char>(sql[j]))) {
                throw_syntax_error(sql, i, "a number runs into a name; put the name in brackets");
            }
            t.kind = TokenKind::kNumber;
            t.text = std::string(sql.substr(i, j - i));
            i = j;
        } else {
            static const char* const two[] = {"<>", "<=", ">=", "!="};
            t.kind = TokenKind::kSymbol;
            bool done = false;
            for (const char* s : two) {
                if (sql.substr(i, 2) == s) {
                    t.text = (std::string(s) == "!=") ? "<>" : s;
                    i += 2;
                    done = true;
                    break;
                }
            }
            if (!done) {
                if (std::string_view("(),.;*+-/\\&=<>^").find(static_cast<char>(c)) ==
                    std::string_view::npos) {
                    throw_syntax_error(sql, i, "this character starts no word, number or operator");
                }
                t.text = std::string(1, static_cast<char>(c));
                ++i;
            }
        }
        t.end = i;
        out.push_back(std::move(t));
    }
}

namespace {

long long days_from_civil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool read_int(std::string_view s, std::size_t& i, int& out, int max_digits) {
    std::size_t start = i;
    long v = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])) &&
           i - start < static_cast<std::size_t>(max_digits)) {
        v = v * 10 + (s[i] - '0');
        ++i;
    }
    out = static_cast<int>(v);
    return i > start;
}

void skip_blanks(std::string_view s, std::size_t& i) {
    while (i < s.size() && s[i] == ' ') ++i;
}

bool parse_time_part(std::string_view s, std::size_t& i, double& fraction) {
    int h = 0, m = 0, sec = 0;
    if (!read_int(s, i, h, 2)) return false;
    if (i >= s.size() || s[i] != ':') return false;
    ++i;
    if (!read_int(s, i, m, 2)) return false;
    if (i < s.size() && s[i] == ':') {
        ++i;
        if (!read_int(s, i, sec, 2)) return false;
    }
    skip_blanks(s, i);
    std::string rest = upper(s.substr(i));
    if (rest.rfind("AM", 0) == 0 || rest.rfind("PM", 0) == 0) {
        if (h < 1 || h > 12) return false;
        if (rest[0] == 'P' && h != 12) h += 12;
        if (rest[0] == 'A' && h == 12) h = 0;
        i += 2;
    }
    if (h > 23 || m > 59 || sec > 59) return false;
    fraction = (h * 3600 + m * 60 + sec) / 86400.0;
    return true;
}

}  // namespace

bool parse_date_text(std::string_view text, double& days) {
    std::string_view s = text;
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    std::size_t i = 0;
    int a = 0, b = 0, c = 0;
    double date = 0;
    bool has_date = false;
    std::size_t save = i;
    if (read_int(s, i, a, 4) && i < s.size() && (s[i] == '-' || s[i] == '/' || s[i] == '.')) {
        char sep = s[i++];
        if (!read_int(s, i, b, 2) || i >= s.size() || s[i] != sep) return false;
        ++i;
        if (!read_int(s, i, c, 4)) return false;
        int y, m, d;
        if (i - save >= 8 && a >= 100) {  // y-m-d
            y = a, m = b, d = c;
        } else {  // m/d/y as Jet reads a US date literal
            m = a, d = b, y = c;
            if (y < 100) y += (y < 30) ? 2000 : 1900;
        }
        if (m < 1 || m > 12 || d < 1 || d > 31) return false;
        long long z = days_from_civil(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
        // Reject 2/31 and the like by converting back.
        long long next = days_from_civil(y, static_cast<unsigned>(m), 1);
        long long month_end = m == 12 ? days_from_civil(y + 1, 1, 1)
                                      : days_from_civil(y, static_cast<unsigned>(m + 1), 1);
        if (z < next || z >= month_end) return false;
        date = static_cast<double>(z - days_from_civil(1899, 12, 30));
        has_date = true;
        skip_blanks(s, i);
    } else {
        i = save;
    }
    double fraction = 0;
    if (i < s.size()) {
        if (!parse_time_part(s, i, fraction)) return false;
        skip_blanks(s, i);
        if (i != s.size()) return false;
    } else if (!has_date) {
        return false;
    }
    // Jet dates before 1899-12-30 count the day back and the time forward.
    days = date >= 0 ? date + fraction : date - fraction;
    return true;
}

namespace {

class Parser {
public:
    explicit Parser(std::string_view sql) : sql_(sql), tokens_(tokenize(sql)) {}

    Statement statement() {
        Statement st = statement_body();
        if (peek_symbol(";")) ++at_;
        if (cur().kind != TokenKind::kEnd) fail("expected the end of the statement");
        return st;
    }

private:
    std::string_view sql_;
    std::vector<Token> tokens_;
    std::size_t at_ = 0;

    const Token& cur() const { return tokens_[at_]; }
    const Token& ahead(std::size_t n) const {
        return tokens_[std::min(at_ + n, tokens_.size() - 1)];
    }
    [[noreturn]] void fail(std::string_view what) const { throw_syntax_error(sql_, cur().pos, what); }

    bool is_word(const Token& t, std::string_view w) const {
        return t.kind == TokenKind::kName && upper(t.text) == w;
    }
    bool peek_word(std::string_view w) const { return is_word(cur(), w); }
    bool accept_word(std::string_view w) {
        if (!peek_word(w)) return false;
        ++at_;
        return true;
    }
    void expect_word(std::string_view w) {
        if (!accept_word(w)) fail("expected " + std::string(w));
    }
    bool peek_symbol(std::string_view s) const {
        return cur().kind == TokenKind::kSymbol && cur().text == s;
    }
    bool accept_symbol(std::string_view s) {
        if (!peek_symbol(s)) return false;
        ++at_;
        return true;
    }
    void expect_symbol(std::string_view s) {
        if (!accept_symbol(s)) fail("expected '" + std::string(s) + "'");
    }

    // A table, column or index name: a bare word that is no keyword, or a
    // name in brackets.
    std::string name(std::string_view what) {
        const Token& t = cur();
        if (t.kind == TokenKind::kBracket) {
            if (t.text.empty()) fail("a name in brackets is empty");
            ++at_;
            return t.text;
        }
        if (t.kind == TokenKind::kName && !reserved_words().count(upper(t.text))) {
            ++at_;
            return t.text;
        }
        fail("expected " + std::string(what));
    }

    Statement statement_body() {
        if (peek_word("SELECT")) return select_statement(true);
        if (accept_word("CREATE")) {
            if (accept_word("TABLE")) return create_table();
            bool unique = accept_word("UNIQUE");
            if (accept_word("INDEX")) return create_index(unique);
            fail(unique ? "expected INDEX" : "expected TABLE, INDEX or UNIQUE INDEX after CREATE");
        }
        if (accept_word("DROP")) {
            if (accept_word("TABLE")) {
                DropTableStmt d;
                d.name = name("a table name");
                return d;
            }
            if (accept_word("INDEX")) {
                DropIndexStmt d;
                d.name = name("an index name");
                expect_word("ON");
                d.table = name("a table name");
                return d;
            }
            fail("expected TABLE or INDEX after DROP");
        }
        if (accept_word("INSERT")) return insert();
        if (accept_word("UPDATE")) return update();
        if (accept_word("DELETE")) {
            DeleteStmt d;
            if (peek_symbol("*")) ++at_;
            expect_word("FROM");
            d.table = name("a table name");
            if (accept_word("WHERE")) d.where = expression();
            return d;
        }
        if (accept_word("BEGIN")) {
            if (!accept_word("TRANSACTION")) accept_word("WORK");
            return TransactionStmt{TransactionStmt::Kind::kBegin};
        }
        if (accept_word("COMMIT")) {
            if (!accept_word("TRANSACTION")) accept_word("WORK");
            return TransactionStmt{TransactionStmt::Kind::kCommit};
        }
        if (accept_word("ROLLBACK")) {
            if (!accept_word("TRANSACTION")) accept_word("WORK");
            return TransactionStmt{TransactionStmt::Kind::kRollback};
        }
        fail("expected SELECT, INSERT, UPDATE, DELETE, CREATE or DROP");
    }

    // ---- SELECT ----

    Statement select_statement(bool allow_into) {
        SelectStmt s = select(allow_into);
        return s;
    }

    SelectStmt select(bool allow_into) {
        SelectStmt s;
        expect_word("SELECT");
        if (accept_word("DISTINCT")) {
            s.distinct = true;
        } else {
            accept_word("ALL");
        }
        if (peek_word("TOP")) fail("TOP is not supported");
        while (true) {
            SelectItem item;
            std::size_t start = cur().pos;
            if (accept_symbol("*")) {
                item.star = true;
            } else {
                item.expr = expression();
                item.text = std::string(sql_.substr(start, tokens_[at_ - 1].end - start));
                if (accept_word("AS")) {
                    item.alias = name("a field name after AS");
                } else if (cur().kind == TokenKind::kBracket) {
                    item.alias = name("a field name");
                }
            }
            s.items.push_back(std::move(item));
            if (!accept_symbol(",")) break;
        }
        if (peek_word("INTO")) {
            if (!allow_into) fail("SELECT ... INTO cannot stand inside another statement");
            ++at_;
            s.into = name("the name of the new table after INTO");
        }
        expect_word("FROM");
        s.from = table_ref();
        if (peek_symbol(",") || peek_word("JOIN") || peek_word("INNER") || peek_word("LEFT") ||
            peek_word("RIGHT")) {
            fail("queries over more than one table are not supported");
        }
        if (accept_word("WHERE")) s.where = expression();
        if (peek_word("GROUP")) fail("GROUP BY is not supported");
        if (peek_word("HAVING")) fail("HAVING is not supported");
        if (accept_word("ORDER")) {
            expect_word("BY");
            while (true) {
                OrderItem o;
                o.expr = expression();
                if (accept_word("DESC")) {
                    o.descending = true;
                } else {
                    accept_word("ASC");
                }
                s.order.push_back(std::move(o));
                if (!accept_symbol(",")) break;
            }
        }
        if (peek_word("UNION")) fail("UNION is not supported");
        return s;
    }

    TableRef table_ref() {
        TableRef r;
        r.pos = cur().pos;
        if (cur().kind == TokenKind::kBracket && ahead(1).kind == TokenKind::kSymbol &&
            ahead(1).text == ".") {
            // [path;pwd=secret].table: a table of another database file.
            std::string layout = cur().text;
            std::size_t spec_pos = cur().pos;
            at_ += 2;
            r.external = true;
            std::size_t start = 0;
            bool first = true;
            while (start <= layout.size()) {
                std::size_t semi = layout.find(';', start);
                if (semi == std::string::npos) semi = layout.size();
                std::string part = layout.substr(start, semi - start);
                std::size_t eq = part.find('=');
                if (eq != std::string::npos) {
                    std::string key = upper(part.substr(0, eq));
                    while (!key.empty() && key.back() == ' ') key.pop_back();
                    while (!key.empty() && key.front() == ' ') key.erase(key.begin());
                    std::string value = part.substr(eq + 1);
                    if (key == "PWD" || key == "PASSWORD") {
                        r.external_password = value;
                    } else if (key == "DATABASE") {
                        r.external_path = value;
                    } else {
                        throw_syntax_error(sql_, spec_pos,
                                           "unknown option '" + part +
                                               "' in the external database reference");
                    }
                } else if (first && !part.empty() && upper(part) != "MS ACCESS") {
                    r.external_path = part;
                }
                first = false;
                start = semi + 1;
            }
            if (r.external_path.empty()) {
                throw_syntax_error(sql_, spec_pos,
                                   "the external database reference names no file");
            }
            r.name = name("a table name after the external database");
            return r;
        }
        r.name = name("a table name");
        if (peek_word("IN") && ahead(1).kind == TokenKind::kString) {
            // FROM t IN 'path': Jet's other way to name an external database.
            at_ += 1;
            r.external = true;
            r.external_path = cur().text;
            ++at_;
        }
        return r;
    }

    // ---- CREATE TABLE / INDEX ----

    std::uint16_t small_number(std::string_view what, long max) {
        if (cur().kind != TokenKind::kNumber) fail("expected " + std::string(what));
        char* end = nullptr;
        long v = std::strtol(cur().text.c_str(), &end, 10);
        if (*end != '\0' || v < 0 || v > max) {
            fail(std::string(what) + " must be a whole number from 0 to " + std::to_string(max));
        }
        ++at_;
        return static_cast<std::uint16_t>(v);
    }

    void column_type(ColumnSpec& c) {
        if (cur().kind != TokenKind::kName) fail("expected a data type for column '" + c.name + "'");
        std::string w = upper(cur().text);
        std::size_t type_pos = at_;
        ++at_;
        auto sized = [&](std::uint16_t dflt, long max) -> std::uint16_t {
            if (!accept_symbol("(")) return dflt;
            std::uint16_t n = small_number("a size", max);
            if (n == 0) {
                at_--;
                fail("a size must be at least 1");
            }
            expect_symbol(")");
            return n;
        };
        if (w == "TEXT" || w == "VARCHAR" || w == "CHAR" || w == "CHARACTER" || w == "STRING" ||
            w == "NVARCHAR" || w == "NCHAR" || w == "ALPHANUMERIC") {
            c.type = ColumnType::kText;
            c.size = sized(255, 255);
        } else if (w == "MEMO" || w == "LONGTEXT" || w == "LONGCHAR" || w == "NOTE" ||
                   w == "NTEXT") {
            c.type = ColumnType::kMemo;
        } else if (w == "LONG" || w == "INTEGER" || w == "INT" || w == "INTEGER4") {
            c.type = ColumnType::kLong;
        } else if (w == "SHORT" || w == "SMALLINT" || w == "INTEGER2") {
            c.type = ColumnType::kInteger;
        } else if (w == "BYTE" || w == "TINYINT" || w == "INTEGER1") {
            c.type = ColumnType::kByte;
        } else if (w == "SINGLE" || w == "REAL" || w == "FLOAT4" || w == "IEEESINGLE") {
            c.type = ColumnType::kSingle;
        } else if (w == "DOUBLE" || w == "FLOAT" || w == "FLOAT8" || w == "NUMBER" ||
                   w == "IEEEDOUBLE") {
            c.type = ColumnType::kDouble;
        } else if (w == "CURRENCY" || w == "MONEY") {
            c.type = ColumnType::kCurrency;
        } else if (w == "DATETIME" || w == "DATE" || w == "TIME" || w == "TIMESTAMP") {
            c.type = ColumnType::kDateTime;
        } else if (w == "YESNO" || w == "BIT" || w == "LOGICAL" || w == "LOGICAL1" ||
                   w == "BOOLEAN") {
            c.type = ColumnType::kBoolean;
        } else if (w == "LONGBINARY" || w == "OLEOBJECT" || w == "GENERAL" || w == "IMAGE") {
            c.type = ColumnType::kOle;
        } else if (w == "BINARY" || w == "VARBINARY") {
            c.type = ColumnType::kBinary;
            c.size = sized(255, 255);
        } else if (w == "COUNTER" || w == "AUTOINCREMENT" || w == "IDENTITY") {
            c.type = ColumnType::kLong;
            c.autonumber = true;
            if (accept_symbol("(")) {
                fail("a start value and step for " + w + " are not supported");
            }
        } else if (w == "GUID" || w == "UNIQUEIDENTIFIER") {
            c.type = ColumnType::kGuid;
        } else if (w == "DECIMAL" || w == "NUMERIC" || w == "DEC") {
            c.type = ColumnType::kNumeric;
            c.precision = 18;
            c.scale = 0;
            if (accept_symbol("(")) {
                c.precision = static_cast<std::uint8_t>(small_number("a precision", 28));
                if (c.precision == 0) fail("the precision must be from 1 to 28");
                if (accept_symbol(",")) {
                    c.scale = static_cast<std::uint8_t>(small_number("a scale", 28));
                    if (c.scale > c.precision) fail("the scale must not exceed the precision");
                }
                expect_symbol(")");
            }
        } else {
            at_ = type_pos;
            fail("unknown data type '" + cur().text + "' for column '" + c.name + "'");
        }
    }

    std::vector<IndexColumnSpec> index_columns() {
        std::vector<IndexColumnSpec> cols;
        expect_symbol("(");
        while (true) {
            IndexColumnSpec ic;
            ic.column = name("a column name");
            if (accept_word("DESC")) {
                ic.descending = true;
            } else {
                accept_word("ASC");
            }
            cols.push_back(std::move(ic));
            if (!accept_symbol(",")) break;
        }
        expect_symbol(")");
        return cols;
    }

    Statement create_table() {
        CreateTableStmt s;
        s.name = name("a table name");
        expect_symbol("(");
        while (true) {
            if (accept_word("CONSTRAINT") || peek_word("PRIMARY") || peek_word("UNIQUE")) {
                IndexSpec ix;
                bool named = tokens_[at_ - 1].kind == TokenKind::kName &&
                             upper(tokens_[at_ - 1].text) == "CONSTRAINT";
                if (named) ix.name = name("a constraint name");
                if (accept_word("PRIMARY")) {
                    expect_word("KEY");
                    ix.primary_key = true;
                    ix.unique = true;
                    ix.required = true;
                    if (ix.name.empty()) ix.name = "PrimaryKey";
                } else if (accept_word("UNIQUE")) {
                    ix.unique = true;
                } else {
                    fail("expected PRIMARY KEY or UNIQUE");
                }
                ix.columns = index_columns();
                if (ix.name.empty()) ix.name = "Unique_" + ix.columns.front().column;
                s.constraints.push_back(std::move(ix));
            } else {
                ColumnDefinition col;
                col.layout.name = name("a column name");
                column_type(col.layout);
                while (true) {
                    if (accept_word("NOT")) {
                        expect_word("NULL");
                        col.layout.required = true;
                    } else if (accept_word("NULL")) {
                        col.layout.required = false;
                    } else if (accept_word("PRIMARY")) {
                        expect_word("KEY");
                        col.primary_key = true;
                    } else if (accept_word("UNIQUE")) {
                        col.unique = true;
                    } else if (accept_word("WITH")) {
                        if (!accept_word("COMPRESSION") && !accept_word("COMP")) {
                            fail("expected COMPRESSION after WITH");
                        }
                    } else if (accept_word("CONSTRAINT")) {
                        std::string cname = name("a constraint name");
                        IndexSpec ix;
                        ix.name = cname;
                        if (accept_word("PRIMARY")) {
                            expect_word("KEY");
                            ix.primary_key = ix.unique = ix.required = true;
                        } else if (accept_word("UNIQUE")) {
                            ix.unique = true;
                        } else {
                            fail("expected PRIMARY KEY or UNIQUE");
                        }
                        ix.columns.push_back({col.layout.name, false});
                        s.constraints.push_back(std::move(ix));
                    } else if (peek_word("DEFAULT")) {
                        fail("DEFAULT values are not supported");
                    } else {
                        break;
                    }
                }
                s.columns.push_back(std::move(col));
            }
            if (!accept_symbol(",")) break;
        }
        expect_symbol(")");
        return s;
    }

    Statement create_index(bool unique) {
        CreateIndexStmt s;
        s.index.name = name("an index name");
        s.index.unique = unique;
        expect_word("ON");
        s.table = name("a table name");
        s.index.columns = index_columns();
        if (accept_word("WITH")) {
            bool any = false;
            while (true) {
                if (accept_word("PRIMARY")) {
                    s.index.primary_key = true;
                    s.index.unique = true;
                    s.index.required = true;
                } else if (accept_word("DISALLOW")) {
                    expect_word("NULL");
                    s.index.required = true;
                } else if (accept_word("IGNORE")) {
                    expect_word("NULL");
                    s.index.ignore_nulls = true;
                } else {
                    break;
                }
                any = true;
            }
            if (!any) fail("expected PRIMARY, DISALLOW NULL or IGNORE NULL after WITH");
        }
        return s;
    }

    // ---- INSERT / UPDATE ----

    Statement insert() {
        InsertStmt s;
        expect_word("INTO");
        s.table = name("a table name");
        if (accept_symbol("(")) {
            while (true) {
                s.columns.push_back(name("a column name"));
                if (!accept_symbol(",")) break;
            }
            expect_symbol(")");
        }
        if (accept_word("VALUES")) {
            expect_symbol("(");
            while (true) {
                s.values.push_back(expression());
                if (!accept_symbol(",")) break;
            }
            expect_symbol(")");
        } else if (peek_word("SELECT")) {
            s.select = std::make_unique<SelectStmt>(select(false));
        } else {
            fail("expected VALUES or SELECT");
        }
        return s;
    }

    Statement update() {
        UpdateStmt s;
        s.table = name("a table name");
        expect_word("SET");
        while (true) {
            Assignment a;
            a.column = column_name_maybe_qualified();
            expect_symbol("=");
            a.value = expression();
            s.assignments.push_back(std::move(a));
            if (!accept_symbol(",")) break;
        }
        if (accept_word("WHERE")) s.where = expression();
        return s;
    }

    std::string column_name_maybe_qualified() {
        std::string n = name("a column name");
        if (peek_symbol(".")) {
            ++at_;
            n = name("a column name after '.'");
        }
        return n;
    }

    // ---- expressions ----

    ExprPtr make(ExprKind kind, std::size_t pos) {
        auto e = std::make_unique<Expr>();
        e->kind = kind;
        e->pos = pos;
        return e;
    }
    ExprPtr binary(std::string op, ExprPtr a, ExprPtr b, std::size_t pos) {
        auto e = make(ExprKind::kBinary, pos);
        e->op = std::move(op);
        e->args.push_back(std::move(a));
        e->args.push_back(std::move(b));
        return e;
    }

    ExprPtr expression() { return or_expr(); }

    ExprPtr or_expr() {
        ExprPtr left = and_expr();
        while (peek_word("OR")) {
            std::size_t pos = cur().pos;
            ++at_;
            left = binary("OR", std::move(left), and_expr(), pos);
        }
        return left;
    }

    ExprPtr and_expr() {
        ExprPtr left = not_expr();
        while (peek_word("AND")) {
            std::size_t pos = cur().pos;
            ++at_;
            left = binary("AND", std::move(left), not_expr(), pos);
        }
        return left;
    }

    ExprPtr not_expr() {
        if (peek_word("NOT")) {
            auto e = make(ExprKind::kUnary, cur().pos);
            ++at_;
            e->op = "NOT";
            e->args.push_back(not_expr());
            return e;
        }
        return comparison();
    }

    ExprPtr comparison() {
        ExprPtr left = concat();
        while (true) {
            std::size_t pos = cur().pos;
            if (cur().kind == TokenKind::kSymbol &&
                (cur().text == "=" || cur().text == "<>" || cur().text == "<" ||
                 cur().text == ">" || cur().text == "<=" || cur().text == ">=")) {
                std::string op = cur().text;
                ++at_;
                left = binary(op, std::move(left), concat(), pos);
                continue;
            }
            if (peek_word("IS")) {
                ++at_;
                auto e = make(ExprKind::kIsNull, pos);
                e->negated = accept_word("NOT");
                expect_word("NULL");
                e->args.push_back(std::move(left));
                left = std::move(e);
                continue;
            }
            bool negated = false;
            if (peek_word("NOT")) {
                // After an operand, NOT can only begin NOT LIKE / NOT IN / NOT BETWEEN.
                ++at_;
                negated = true;
                if (!peek_word("LIKE") && !peek_word("IN") && !peek_word("BETWEEN")) {
                    fail("expected LIKE, IN or BETWEEN after NOT");
                }
            }
            if (accept_word("LIKE")) {
                auto e = make(ExprKind::kLike, pos);
                e->negated = negated;
                e->args.push_back(std::move(left));
                e->args.push_back(concat());
                left = std::move(e);
                continue;
            }
            if (accept_word("IN")) {
                auto e = make(ExprKind::kIn, pos);
                e->negated = negated;
                e->args.push_back(std::move(left));
                expect_symbol("(");
                if (peek_word("SELECT")) fail("IN (SELECT ...) is not supported");
                while (true) {
                    e->args.push_back(expression());
                    if (!accept_symbol(",")) break;
                }
                expect_symbol(")");
                left = std::move(e);
                continue;
            }
            if (accept_word("BETWEEN")) {
                auto e = make(ExprKind::kBetween, pos);
                e->negated = negated;
                e->args.push_back(std::move(left));
                e->args.push_back(concat());
                expect_word("AND");
                e->args.push_back(concat());
                left = std::move(e);
                continue;
            }
            return left;
        }
    }

    ExprPtr concat() {
        ExprPtr left = additive();
        while (peek_symbol("&")) {
            std::size_t pos = cur().pos;
            ++at_;
            left = binary("&", std::move(left), additive(), pos);
        }
        return left;
    }

    ExprPtr additive() {
        ExprPtr left = modulo();
        while (peek_symbol("+") || peek_symbol("-")) {
            std::size_t pos = cur().pos;
            std::string op = cur().text;
            ++at_;
            left = binary(op, std::move(left), modulo(), pos);
        }
        return left;
    }

    ExprPtr modulo() {
        ExprPtr left = int_divide();
        while (peek_word("MOD")) {
            std::size_t pos = cur().pos;
            ++at_;
            left = binary("MOD", std::move(left), int_divide(), pos);
        }
        return left;
    }

    ExprPtr int_divide() {
        ExprPtr left = multiplicative();
        while (peek_symbol("\\")) {
            std::size_t pos = cur().pos;
            ++at_;
            left = binary("\\", std::move(left), multiplicative(), pos);
        }
        return left;
    }

    ExprPtr multiplicative() {
        ExprPtr left = unary();
        while (peek_symbol("*") || peek_symbol("/")) {
            std::size_t pos = cur().pos;
            std::string op = cur().text;
            ++at_;
            left = binary(op, std::move(left), unary(), pos);
        }
        return left;
    }

    ExprPtr unary() {
        if (peek_symbol("-") || peek_symbol("+")) {
            auto e = make(ExprKind::kUnary, cur().pos);
            e->op = cur().text;
            ++at_;
            e->args.push_back(unary());
            return e;
        }
        return primary();
    }

    ExprPtr primary() {
        const Token& t = cur();
        std::size_t pos = t.pos;
        switch (t.kind) {
            case TokenKind::kNumber: {
                auto e = make(ExprKind::kLiteral, pos);
                bool integral = t.text.find_first_of(".eE") == std::string::npos;
                if (integral) {
                    errno = 0;
                    long long v = std::strtoll(t.text.c_str(), nullptr, 10);
                    if (errno == 0 && v <= 2147483647LL) {
                        e->literal = static_cast<std::int32_t>(v);
                    } else {
                        e->literal = std::strtod(t.text.c_str(), nullptr);
                    }
                } else {
                    e->literal = std::strtod(t.text.c_str(), nullptr);
                }
                ++at_;
                return e;
            }
            case TokenKind::kString: {
                auto e = make(ExprKind::kLiteral, pos);
                e->literal = t.text;
                ++at_;
                return e;
            }
            case TokenKind::kDate: {
                double days = 0;
                if (!parse_date_text(t.text, days)) fail("'#" + t.text + "#' is not a valid date");
                auto e = make(ExprKind::kLiteral, pos);
                e->literal = DateTime{days};
                ++at_;
                return e;
            }
            case TokenKind::kSymbol:
                if (t.text == "(") {
                    ++at_;
                    if (peek_word("SELECT")) fail("subqueries are not supported");
                    ExprPtr inner = expression();
                    expect_symbol(")");
                    return inner;
                }
                fail("expected a value, a column name or '('");
            case TokenKind::kBracket:
                break;
            case TokenKind::kName: {
                std::string w = upper(t.text);
                if (w == "NULL") {
                    ++at_;
                    return make(ExprKind::kLiteral, pos);
                }
                if (w == "TRUE" || w == "FALSE") {
                    auto e = make(ExprKind::kLiteral, pos);
                    e->literal = (w == "TRUE");
                    ++at_;
                    return e;
                }
                if (ahead(1).kind == TokenKind::kSymbol && ahead(1).text == "(") {
                    if (w == "COUNT" || w == "MIN" || w == "MAX" || w == "SUM" || w == "AVG") {
                        auto e = make(ExprKind::kAggregate, pos);
                        e->name = w;
                        at_ += 2;
                        if (w == "COUNT" && accept_symbol("*")) {
                            e->star = true;
                        } else {
                            if (peek_word("DISTINCT")) fail("aggregates over DISTINCT values are not supported");
                            e->args.push_back(expression());
                        }
                        expect_symbol(")");
                        return e;
                    }
                    fail("the function '" + t.text + "' is not supported");
                }
                if (reserved_words().count(w)) fail("expected a value or a column name");
                break;
            }
            case TokenKind::kEnd:
                fail("expected a value or a column name");
        }
        auto e = make(ExprKind::kColumn, pos);
        e->name = name("a column name");
        if (peek_symbol(".") && (ahead(1).kind == TokenKind::kName ||
                                 ahead(1).kind == TokenKind::kBracket)) {
            ++at_;
            e->name = name("a column name after '.'");  // table.column: the table is the only one
        }
        return e;
    }
};

}  // namespace

Statement parse_statement(std::string_view sql) {
    Parser p(sql);
    return p.statement();
}

}  // namespace jet::sql
