// Expression evaluation: Jet's rules for comparing, combining and storing
// values.
//
// Comparisons follow Jet: a null on either side gives null (neither true nor
// false), texts compare without regard to case in the General sort order,
// a text next to a number or a date is read as one. Storing a value into a
// column converts it to the column's type or fails with a message that names
// the column and the value.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "jet/sql/ast.h"
#include "jet/base/value.h"

namespace jet::sql {

// The truth of a condition's value: nullopt for null.
std::optional<bool> truth(const Value& v);

// <0, 0, >0; nullopt when either side is null. Throws jet::Error "Data type
// mismatch in criteria expression." for values that cannot be compared.
std::optional<int> compare_values(const Value& a, const Value& b);

// Jet's LIKE: * any run, ? one character, # one digit, [abc], [!abc], [a-z];
// letters compare without regard to case.
bool like_match(std::string_view text, std::string_view pattern);

// Evaluates `e` on one row (values in the table's column order); column
// references must have been bound (Expr::column). Aggregates are not
// evaluated here (see Aggregator).
Value evaluate(const Expr& e, std::span<const Value> row);

// COUNT / MIN / MAX / SUM / AVG over the rows fed to it.
class Aggregator {
public:
    explicit Aggregator(const Expr& aggregate) : expr_(aggregate) {}
    void add(std::span<const Value> row);
    Value result() const;

private:
    const Expr& expr_;
    long long count_ = 0;
    Value best_;
    double sum_ = 0;
    long long int_sum_ = 0;
    bool all_integral_ = true;
    bool any_currency_ = false;
};

// True when an expression holds an aggregate somewhere.
bool has_aggregate(const Expr& e);
// Evaluates an expression whose aggregates were computed already: `values`
// receives them in the order has_aggregate's walk (pre-order) meets them.
Value evaluate_with_aggregates(const Expr& e, std::span<const Value> aggregates,
                               std::size_t& next);

// What a column needs to know to store a value.
struct ColumnTarget {
    std::string name;
    ColumnType type = ColumnType::kText;
    std::uint8_t precision = 18;
    std::uint8_t scale = 0;
};

// Converts `v` to the column's type. Throws jet::Error naming the column
// for a value that does not convert or does not fit.
Value coerce_to_column(const Value& v, const ColumnTarget& column);

// The value as text, as the provider hands it out: "" for null, "True" /
// "False", numbers without exponent where possible, dates as
// "YYYY-MM-DD[ HH:MM:SS]", binary as hex.
std::string value_text(const Value& v);

// The column type a value would need (for computed fields of a query).
ColumnType value_type(const Value& v);

// Integer results become Long when they fit, else Double.
Value integral_result(long long v);

}  // namespace jet::sql
