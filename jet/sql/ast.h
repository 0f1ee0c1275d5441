// SQL statements as the parser hands them to the executor.
//
// The tree is plain data: expressions own their operands, statements own
// their expressions. Every node keeps the offset of its first character in
// the statement text so that an error found while executing can still point
// at the place the user wrote.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "jet/base/value.h"
#include "jet/write/writer.h"

namespace jet::sql {

enum class ExprKind {
    kLiteral,    // literal
    kColumn,     // name
    kUnary,      // op ("-", "+", "NOT") args[0]
    kBinary,     // op ("+", "-", "*", "/", "&", "=", "<>", "<", ">", "<=", ">=", "AND", "OR", "MOD", "\\")
    kIsNull,     // args[0] IS [NOT] NULL (negated)
    kLike,       // args[0] [NOT] LIKE args[1]
    kIn,         // args[0] [NOT] IN (args[1..])
    kBetween,    // args[0] [NOT] BETWEEN args[1] AND args[2]
    kAggregate,  // name: COUNT, MIN, MAX, SUM, AVG; star for COUNT(*), else args[0]
};

struct Expr {
    ExprKind kind = ExprKind::kLiteral;
    std::size_t pos = 0;
    Value literal;
    std::string name;  // column or aggregate function (upper case)
    std::string op;
    bool negated = false;
    bool star = false;
    int column = -1;  // kColumn: position in the row, set when the statement is bound
    std::vector<std::unique_ptr<Expr>> args;
};
using ExprPtr = std::unique_ptr<Expr>;

struct SelectItem {
    bool star = false;  // "*"
    ExprPtr expr;
    std::string alias;  // AS name, or empty
    std::string text;   // the item as written, for the default field name
};

struct OrderItem {
    ExprPtr expr;
    bool descending = false;
};

// A table named in FROM, possibly in another database file:
// [path;pwd=secret].name or [path].name.
struct TableRef {
    std::string name;
    std::size_t pos = 0;
    bool external = false;
    std::string external_path;
    std::string external_password;
};

struct SelectStmt {
    bool distinct = false;
    std::vector<SelectItem> items;
    std::string into;  // make-table target, empty for a plain query
    TableRef from;
    ExprPtr where;
    std::vector<OrderItem> order;
};

struct ColumnDefinition {
    ColumnSpec layout;
    bool primary_key = false;
    bool unique = false;
};

struct CreateTableStmt {
    std::string name;
    std::vector<ColumnDefinition> columns;
    // CONSTRAINT name PRIMARY KEY (a, b) / UNIQUE (a, b) at the end of the list.
    std::vector<IndexSpec> constraints;
};

struct DropTableStmt {
    std::string name;
};

struct CreateIndexStmt {
    IndexSpec index;
    std::string table;
};

struct DropIndexStmt {
    std::string name;
    std::string table;
};

struct InsertStmt {
    std::string table;
    std::vector<std::string> columns;  // empty = every column in order
    std::vector<ExprPtr> values;       // VALUES (...)
    std::unique_ptr<SelectStmt> select;  // INSERT ... SELECT
};

struct Assignment {
    std::string column;
    ExprPtr value;
};

struct UpdateStmt {
    std::string table;
    std::vector<Assignment> assignments;
    ExprPtr where;
};

struct DeleteStmt {
    std::string table;
    ExprPtr where;
};

// BEGIN TRANSACTION, COMMIT [TRANSACTION|WORK], ROLLBACK [TRANSACTION|WORK].
struct TransactionStmt {
    enum class Kind { kBegin, kCommit, kRollback } kind = Kind::kBegin;
};

using Statement = std::variant<SelectStmt, CreateTableStmt, DropTableStmt, CreateIndexStmt,
                               DropIndexStmt, InsertStmt, UpdateStmt, DeleteStmt, TransactionStmt>;

}  // namespace jet::sql
