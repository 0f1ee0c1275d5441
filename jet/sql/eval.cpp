// Expression evaluation and value conversion (see sql_eval.h).
#include "jet/sql/eval.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "jet/base/error.h"
#include "jet/base/sort_general.h"
#include "jet/sql/parser.h"

namespace jet::sql {

namespace {

const char* const kMismatch = "Data type mismatch in criteria expression.";

bool is_text(const Value& v) { return std::holds_alternative<std::string>(v); }

std::string trim(std::string_view s) {
    std::size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return std::string(s.substr(a, b - a));
}

// A number read from text the way Jet reads one: blanks around, a sign,
// digits with an optional fraction and exponent, nothing else.
bool text_number(std::string_view text, double& out, bool& integral) {
    std::string t = trim(text);
    if (t.empty()) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtod(t.c_str(), &end);
    if (end == t.c_str() || *end != '\0' || errno == ERANGE) return false;
    if (t.find_first_of("xXpPnNiI") != std::string::npos) return false;  // hex, nan, inf
    integral = t.find_first_of(".eE") == std::string::npos;
    return true;
}

double decimal_to_double(const Decimal& d) {
    double v = 0;
    for (std::uint8_t b : d.magnitude) v = v * 256 + b;
    v /= std::pow(10.0, d.scale);
    return d.negative ? -v : v;
}

// A numeric view of a value: integers stay exact.
struct Number {
    bool integral = true;
    long long i = 0;
    double d = 0;
    bool date = false;
    bool currency = false;
    double real() const { return integral ? static_cast<double>(i) : d; }
};

bool number_of(const Value& v, Number& n) {
    if (auto p = std::get_if<bool>(&v)) return n.i = *p ? -1 : 0, true;
    if (auto p = std::get_if<std::uint8_t>(&v)) return n.i = *p, true;
    if (auto p = std::get_if<std::int16_t>(&v)) return n.i = *p, true;
    if (auto p = std::get_if<std::int32_t>(&v)) return n.i = *p, true;
    n.integral = false;
    if (auto p = std::get_if<float>(&v)) return n.d = *p, true;
    if (auto p = std::get_if<double>(&v)) return n.d = *p, true;
    if (auto p = std::get_if<DateTime>(&v)) return n.d = p->days, n.date = true, true;
    if (auto p = std::get_if<Currency>(&v)) {
        n.currency = true;
        return n.d = static_cast<double>(p->scaled) / 10000.0, true;
    }
    if (auto p = std::get_if<Decimal>(&v)) return n.d = decimal_to_double(*p), true;
    if (auto p = std::get_if<std::string>(&v)) {
        bool integral = false;
        double d = 0;
        if (!text_number(*p, d, integral)) return false;
        if (integral && std::fabs(d) < 9e15) {
            n.integral = true;
            n.i = static_cast<long long>(d);
        } else {
            n.d = d;
        }
        return true;
    }
    return false;
}

std::vector<std::uint8_t> text_key(std::string_view s) {
    std::vector<std::uint8_t> key;
    append_general_text_key(utf8_to_utf16(s), true, key);
    return key;
}

int compare_text(const std::string& a, const std::string& b) {
    auto ka = text_key(a), kb = text_key(b);
    if (ka != kb) return ka < kb ? -1 : 1;
    // Texts equal in the sort order but beyond the keyed length: compare the rest.
    if (a.size() > kMaxIndexTextLength || b.size() > kMaxIndexTextLength) {
        std::string la = a, lb = b;
        for (auto& c : la) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (auto& c : lb) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        while (!la.empty() && la.back() == ' ') la.pop_back();
        while (!lb.empty() && lb.back() == ' ') lb.pop_back();
        return la == lb ? 0 : (la < lb ? -1 : 1);
    }
    return 0;
}

bool parse_guid(std::string_view text, Guid& g) {
    std::string t = trim(text);
    if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
    if (t.size() != 36) return false;
    std::string hex;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (t[i] != '-') return false;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(t[i]))) return false;
        hex += t[i];
    }
    std::uint8_t raw[16];
    for (int i = 0; i < 16; ++i) raw[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
    // First three groups are stored little-endian.
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) g.bytes[order[i]] = raw[i];
    return true;
}

int sign(double x) { return x < 0 ? -1 : (x > 0 ? 1 : 0); }

}  // namespace

Value integral_result(long long v) {
    if (v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max()) {
        return static_cast<std::int32_t>(v);
    }
    return static_cast<double>(v);
}

std::optional<bool> truth(const Value& v) {
    if (is_null(v)) return std::nullopt;
    Number n;
    if (number_of(v, n)) return n.integral ? n.i != 0 : n.d != 0;
    if (is_text(v)) {
        std::string t = trim(std::get<std::string>(v));
        for (auto& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (t == "true" || t == "yes" || t == "on") return true;
        if (t == "false" || t == "no" || t == "off") return false;
    }
    throw Error(kMismatch);
}

std::optional<int> compare_values(const Value& a, const Value& b) {
    if (is_null(a) || is_null(b)) return std::nullopt;
    if (is_text(a) && is_text(b)) return compare_text(std::get<std::string>(a), std::get<std::string>(b));
    // A text beside a date is read as a date.
    if (is_text(a) && std::holds_alternative<DateTime>(b)) {
        double d = 0;
        if (!parse_date_text(std::get<std::string>(a), d)) throw Error(kMismatch);
        return sign(d - std::get<DateTime>(b).days);
    }
    if (is_text(b) && std::holds_alternative<DateTime>(a)) {
        double d = 0;
        if (!parse_date_text(std::get<std::string>(b), d)) throw Error(kMismatch);
        return sign(std::get<DateTime>(a).days - d);
    }
    if (auto ga = std::get_if<Guid>(&a)) {
        Guid gb;
        if (auto p = std::get_if<Guid>(&b)) {
            gb = *p;
        } else if (!is_text(b) || !parse_guid(std::get<std::string>(b), gb)) {
            throw Error(kMismatch);
        }
        return ga->bytes == gb.bytes ? 0 : (ga->bytes < gb.bytes ? -1 : 1);
    }
    if (std::holds_alternative<Guid>(b)) {
        auto r = compare_values(b, a);
        return r ? std::optional<int>(-*r) : r;
    }
    if (auto ba = std::get_if<Bytes>(&a)) {
        auto bb = std::get_if<Bytes>(&b);
        if (!bb) throw Error(kMismatch);
        return *ba == *bb ? 0 : (*ba < *bb ? -1 : 1);
    }
    Number x, y;
    if (!number_of(a, x) || !number_of(b, y)) throw Error(kMismatch);
    if (x.integral && y.integral) return x.i == y.i ? 0 : (x.i < y.i ? -1 : 1);
    return sign(x.real() - y.real());
}

bool like_match(std::string_view text, std::string_view pattern) {
    std::u16string t = utf8_to_utf16(text), p = utf8_to_utf16(pattern);
    auto fold = [](char16_t c) -> char16_t {
        if (c < 0x80) return static_cast<char16_t>(std::tolower(static_cast<int>(c)));
        return c;
    };
    // Iterative matcher with backtracking to the last '*'.
    std::size_t ti = 0, pi = 0, star_p = std::u16string::npos, star_t = 0;
    auto one = [&](std::size_t& pj, char16_t c) -> int {
        // Returns 1 matched (pj advanced), 0 not matched; -1 bad pattern.
        char16_t pc = p[pj];
        if (pc == u'?') return ++pj, 1;
        if (pc == u'#') {
            if (c >= u'0' && c <= u'9') return ++pj, 1;
            return 0;
        }
        if (pc == u'[') {
            std::size_t close = p.find(u']', pj + 1);
            if (close == std::u16string::npos) throw Error("Invalid pattern string in LIKE: '" + std::string(pattern) + "'.");
            std::size_t k = pj + 1;
            bool negate = k < close && p[k] == u'!';
            if (negate) ++k;
            bool hit = false;
            if (k == close) hit = false;
            while (k < close) {
                char16_t lo = fold(p[k]);
                if (k + 2 < close && p[k + 1] == u'-') {
                    char16_t hi = fold(p[k + 2]);
                    if (fold(c) >= lo && fold(c) <= hi) hit = true;
                    k += 3;
                } else {
                    if (fold(c) == lo) hit = true;
                    ++k;
                }
            }
            if (hit != negate) return pj = close + 1, 1;
            return 0;
        }
        if (fold(pc) == fold(c)) return ++pj, 1;
        return 0;
    };
    while (ti < t.size()) {
        if (pi < p.size() && p[pi] == u'*') {
            star_p = pi++;
            star_t = ti;
            continue;
        }
        std::size_t pj = pi;
        if (pi < p.size() && one(pj, t[ti]) == 1) {
            pi = pj;
            ++ti;
            continue;
        }
        if (star_p != std::u16string::npos) {
            pi = star_p + 1;
            ti = ++star_t;
            continue;
        }
        return false;
    }
    while (pi < p.size() && p[pi] == u'*') ++pi;
    return pi == p.size();
}

namespace {

Value arithmetic(const std::string& op, const Value& a, const Value& b) {
    if (op == "&") {
        return (is_null(a) ? std::string() : value_text(a)) + (is_null(b) ? std::string() : value_text(b));
    }
    if (is_null(a) || is_null(b)) return Null{};
    if (op == "+" && is_text(a) && is_text(b)) return std::get<std::string>(a) + std::get<std::string>(b);
    Number x, y;
    if (!number_of(a, x) || !number_of(b, y)) throw Error("Data type mismatch in expression: '" + op + "' needs numbers.");
    if (op == "+" || op == "-" || op == "*") {
        if (x.integral && y.integral && !x.date && !y.date) {
            long long r = op == "+" ? x.i + y.i : (op == "-" ? x.i - y.i : x.i * y.i);
            return integral_result(r);
        }
        double r = op == "+" ? x.real() + y.real() : (op == "-" ? x.real() - y.real() : x.real() * y.real());
        if ((op == "+" && (x.date != y.date)) || (op == "-" && x.date && !y.date)) return DateTime{r};
        if (x.currency || y.currency) return Currency{static_cast<std::int64_t>(std::llround(r * 10000))};
        return r;
    }
    if (op == "/") {
        if (y.real() == 0) throw Error("Division by zero.");
        return x.real() / y.real();
    }
    // \ and MOD work on whole numbers, rounded as Jet rounds (half to even).
    long long xi = x.integral ? x.i : static_cast<long long>(std::nearbyint(x.d));
    long long yi = y.integral ? y.i : static_cast<long long>(std::nearbyint(y.d));
    if (yi == 0) throw Error("Division by zero.");
    return integral_result(op == "MOD" ? xi % yi : xi / yi);
}

}  // namespace

Value evaluate(const Expr& e, std::span<const Value> row) {
    switch (e.kind) {
        case ExprKind::kLiteral:
            return e.literal;
        case ExprKind::kColumn:
            if (e.column < 0 || static_cast<std::size_t>(e.column) >= row.size()) {
                throw Error("The column '" + e.name + "' is not bound.");
            }
            return row[static_cast<std::size_t>(e.column)];
        case ExprKind::kUnary: {
            Value v = evaluate(*e.args[0], row);
            if (e.op == "NOT") {
                auto t = truth(v);
                if (!t) return Null{};
                return !*t;
            }
            if (is_null(v)) return Null{};
            if (e.op == "+") return v;
            Number n;
            if (!number_of(v, n)) throw Error("Data type mismatch in expression: '-' needs a number.");
            if (n.integral) return integral_result(-n.i);
            if (n.currency) return Currency{-std::get<Currency>(v).scaled};
            return -n.d;
        }
        case ExprKind::kBinary: {
            if (e.op == "AND" || e.op == "OR") {
                auto a = truth(evaluate(*e.args[0], row));
                if (e.op == "AND" && a && !*a) return false;
                if (e.op == "OR" && a && *a) return true;
                auto b = truth(evaluate(*e.args[1], row));
                if (e.op == "AND") {
                    if (b && !*b) return false;
                    if (!a || !b) return Null{};
                    return true;
                }
                if (b && *b) return true;
                if (!a || !b) return Null{};
                return false;
            }
            Value a = evaluate(*e.args[0], row);
            Value b = evaluate(*e.args[1], row);
            if (e.op == "=" || e.op == "<>" || e.op == "<" || e.op == ">" || e.op == "<=" || e.op == ">=") {
                auto c = compare_values(a, b);
                if (!c) return Null{};
                if (e.op == "=") return *c == 0;
                if (e.op == "<>") return *c != 0;
                if (e.op == "<") return *c < 0;
                if (e.op == ">") return *c > 0;
                if (e.op == "<=") return *c <= 0;
                return *c >= 0;
            }
            return arithmetic(e.op, a, b);
        }
        case ExprKind::kIsNull: {
            bool n = is_null(evaluate(*e.args[0], row));
            return e.negated ? !n : n;
        }
        case ExprKind::kLike: {
            Value a = evaluate(*e.args[0], row);
            Value p = evaluate(*e.args[1], row);
            if (is_null(a) || is_null(p)) return Null{};
            bool m = like_match(value_text(a), value_text(p));
            return e.negated ? !m : m;
        }
        case ExprKind::kIn: {
            Value a = evaluate(*e.args[0], row);
            if (is_null(a)) return Null{};
            bool saw_null = false;
            for (std::size_t i = 1; i < e.args.size(); ++i) {
                auto c = compare_values(a, evaluate(*e.args[i], row));
                if (!c) {
                    saw_null = true;
                } else if (*c == 0) {
                    return !e.negated;
                }
            }
            if (saw_null) return Null{};
            return e.negated;
        }
        case ExprKind::kBetween: {
            Value a = evaluate(*e.args[0], row);
            auto lo = compare_values(a, evaluate(*e.args[1], row));
            auto hi = compare_values(a, evaluate(*e.args[2], row));
            if (!lo || !hi) return Null{};
            bool in = *lo >= 0 && *hi <= 0;
            return e.negated ? !in : in;
        }
        case ExprKind::kAggregate:
            throw Error("The aggregate " + e.name +
                        " cannot stand in this place (only in the field list of a query).");
    }
    return Null{};
}

bool has_aggregate(const Expr& e) {
    if (e.kind == ExprKind::kAggregate) return true;
    for (const auto& a : e.args) {
        if (has_aggregate(*a)) return true;
    }
    return false;
}

Value evaluate_with_aggregates(const Expr& e, std::span<const Value> aggregates, std::size_t& next) {
    if (e.kind == ExprKind::kAggregate) {
        if (next >= aggregates.size()) throw Error("Internal: aggregate count mismatch.");
        return aggregates[next++];
    }
    if (!has_aggregate(e)) {
        // Outside an aggregate, a column has no single value over the table.
        std::vector<const Expr*> stack{&e};
        while (!stack.empty()) {
            const Expr* x = stack.back();
            stack.pop_back();
            if (x->kind == ExprKind::kColumn) {
                throw Error("You tried to execute a query that does not include the specified "
                            "expression '" + x->name + "' as part of an aggregate function.");
            }
            for (const auto& a : x->args) stack.push_back(a.get());
        }
        return evaluate(e, {});
    }
    Expr copy;
    copy.kind = e.kind;
    copy.op = e.op;
    copy.negated = e.negated;
    std::vector<Value> vals;
    for (const auto& a : e.args) vals.push_back(evaluate_with_aggregates(*a, aggregates, next));
    for (auto& v : vals) {
        auto lit = std::make_unique<Expr>();
        lit->kind = ExprKind::kLiteral;
        lit->literal = std::move(v);
        copy.args.push_back(std::move(lit));
    }
    return evaluate(copy, {});
}

void Aggregator::add(std::span<const Value> row) {
    if (expr_.star) {
        ++count_;
        return;
    }
    Value v = evaluate(*expr_.args[0], row);
    if (is_null(v)) return;
    ++count_;
    const std::string& f = expr_.name;
    if (f == "MIN" || f == "MAX") {
        if (is_null(best_)) {
            best_ = v;
        } else {
            auto c = compare_values(v, best_);
            if (c && ((f == "MIN" && *c < 0) || (f == "MAX" && *c > 0))) best_ = v;
        }
    } else if (f == "SUM" || f == "AVG") {
        Number n;
        if (!number_of(v, n)) throw Error("Data type mismatch in criteria expression: " + f + " needs numbers.");
        if (n.currency) any_currency_ = true;
        if (n.integral) {
            int_sum_ += n.i;
        } else {
            all_integral_ = false;
        }
        sum_ += n.real();
    }
}

Value Aggregator::result() const {
    const std::string& f = expr_.name;
    if (f == "COUNT") return integral_result(count_);
    if (f == "MIN" || f == "MAX") return best_;
    if (count_ == 0) return Null{};
    if (f == "SUM") {
        if (any_currency_) return Currency{static_cast<std::int64_t>(std::llround(sum_ * 10000))};
        if (all_integral_) return integral_result(int_sum_);
        return sum_;
    }
    return sum_ / static_cast<double>(count_);  // AVG
}

namespace {

[[noreturn]] void cannot_store(const Value& v, const ColumnTarget& c, std::string_view why = {}) {
    std::string shown = is_null(v) ? "Null" : value_text(v);
    if (shown.size() > 60) shown = shown.substr(0, 60) + "...";
    throw Error("Data type mismatch: the value '" + shown + "' cannot be stored in the column '" +
                c.name + "' (" + column_type_name(static_cast<std::uint8_t>(c.type)) + ")" +
                (why.empty() ? std::string() : ": " + std::string(why)) + ".");
}

// Rounds half to even, as Jet does when it stores a number in a whole-number column.
bool whole_number(const Value& v, long long& out) {
    Number n;
    if (!number_of(v, n)) return false;
    if (n.integral) return out = n.i, true;
    if (!std::isfinite(n.d) || std::fabs(n.d) > 9e18) return false;
    out = static_cast<long long>(std::nearbyint(n.d));
    return true;
}

// Parses "-123.45" into a decimal of the column's scale.
bool text_to_decimal(std::string_view text, std::uint8_t precision, std::uint8_t scale, Decimal& d,
                     std::string& why) {
    std::string t = trim(text);
    std::size_t i = 0;
    bool neg = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) neg = t[i++] == '-';
    std::string whole, frac;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) whole += t[i++];
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) frac += t[i++];
    }
    if (i != t.size() || (whole.empty() && frac.empty())) return false;
    // Round the fraction to the scale, half away from zero.
    bool round_up = frac.size() > scale && frac[scale] >= '5';
    frac.resize(scale, '0');
    std::string digits = whole + frac;
    if (round_up) {
        int k = static_cast<int>(digits.size()) - 1;
        while (k >= 0 && digits[static_cast<std::size_t>(k)] == '9') digits[static_cast<std::size_t>(k--)] = '0';
        if (k < 0) {
            digits.insert(digits.begin(), '1');
        } else {
            digits[static_cast<std::size_t>(k)]++;
        }
    }
    std::size_t nz = digits.find_first_not_of('0');
    std::string significant = nz == std::string::npos ? "" : digits.substr(nz);
    if (significant.size() > precision) {
        why = "it has more digits than the precision " + std::to_string(precision) + " allows";
        return false;
    }
    d = Decimal{};
    d.negative = neg && !significant.empty();
    d.precision = precision;
    d.scale = scale;
    for (char c : significant) {
        unsigned carry = static_cast<unsigned>(c - '0');
        for (int k = 15; k >= 0; --k) {
            unsigned cur = d.magnitude[static_cast<std::size_t>(k)] * 10u + carry;
            d.magnitude[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(cur & 0xFF);
            carry = cur >> 8;
        }
    }
    return true;
}

std::string number_text(double d, int digits) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*g", digits, d);
    return buf;
}

}  // namespace

Value coerce_to_column(const Value& v, const ColumnTarget& c) {
    if (is_null(v)) return Null{};
    switch (c.type) {
        case ColumnType::kBoolean: {
            std::optional<bool> t;
            try {
                t = truth(v);
            } catch (const Error&) {
                cannot_store(v, c);
            }
            return t.value_or(false);
        }
        case ColumnType::kByte:
        case ColumnType::kInteger:
        case ColumnType::kLong: {
            long long n = 0;
            if (!whole_number(v, n)) cannot_store(v, c);
            if (c.type == ColumnType::kByte) {
                if (n < 0 || n > 255) cannot_store(v, c, "Overflow");
                return static_cast<std::uint8_t>(n);
            }
            if (c.type == ColumnType::kInteger) {
                if (n < -32768 || n > 32767) cannot_store(v, c, "Overflow");
                return static_cast<std::int16_t>(n);
            }
            if (n < std::numeric_limits<std::int32_t>::min() || n > std::numeric_limits<std::int32_t>::max()) {
                cannot_store(v, c, "Overflow");
            }
            return static_cast<std::int32_t>(n);
        }
        case ColumnType::kCurrency: {
            if (auto p = std::get_if<Currency>(&v)) return *p;
            Decimal d;
            std::string why;
            std::string text = is_text(v) ? std::get<std::string>(v) : value_text(v);
            if (std::holds_alternative<double>(v) || std::holds_alternative<float>(v)) {
                Number n;
                number_of(v, n);
                if (std::fabs(n.d) > 9.2e14) cannot_store(v, c, "Overflow");
                return Currency{static_cast<std::int64_t>(std::llround(n.d * 10000))};
            }
            if (!text_to_decimal(text, 19, 4, d, why)) cannot_store(v, c, why);
            unsigned __int128 m = 0;
            for (std::uint8_t b : d.magnitude) m = (m << 8) | b;
            if (m > static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max())) cannot_store(v, c, "Overflow");
            auto s = static_cast<std::int64_t>(m);
            return Currency{d.negative ? -s : s};
        }
        case ColumnType::kSingle:
        case ColumnType::kDouble: {
            Number n;
            if (std::holds_alternative<DateTime>(v) || !number_of(v, n)) cannot_store(v, c);
            double d = n.real();
            if (c.type == ColumnType::kSingle) {
                if (std::fabs(d) > std::numeric_limits<float>::max()) cannot_store(v, c, "Overflow");
                return static_cast<float>(d);
            }
            return d;
        }
        case ColumnType::kDateTime: {
            if (auto p = std::get_if<DateTime>(&v)) return *p;
            if (is_text(v)) {
                double d = 0;
                if (!parse_date_text(std::get<std::string>(v), d)) cannot_store(v, c);
                return DateTime{d};
            }
            Number n;
            if (!number_of(v, n)) cannot_store(v, c);
            return DateTime{n.real()};
        }
        case ColumnType::kText:
        case ColumnType::kMemo:
            if (is_text(v)) return v;
            if (std::holds_alternative<Bytes>(v)) cannot_store(v, c);
            return value_text(v);
        case ColumnType::kBinary:
        case ColumnType::kOle:
            if (std::holds_alternative<Bytes>(v)) return v;
            if (is_text(v)) {
                const auto& s = std::get<std::string>(v);
                return Bytes(s.begin(), s.end());
            }
            cannot_store(v, c);
        case ColumnType::kGuid: {
            if (std::holds_alternative<Guid>(v)) return v;
            Guid g;
            if (!is_text(v) || !parse_guid(std::get<std::string>(v), g)) cannot_store(v, c);
            return g;
        }
        case ColumnType::kNumeric: {
            Decimal d;
            std::string why;
            std::string text;
            if (auto p = std::get_if<Decimal>(&v)) {
                text = decimal_text(*p);
            } else if (is_text(v)) {
                text = std::get<std::string>(v);
            } else {
                Number n;
                if (!number_of(v, n)) cannot_store(v, c);
                text = n.integral ? std::to_string(n.i) : number_text(n.d, 17);
                if (text.find_first_of("eE") != std::string::npos) {
                    char buf[400];
                    std::snprintf(buf, sizeof buf, "%.*f", static_cast<int>(c.scale) + 1, n.d);
                    text = buf;
                }
            }
            if (!text_to_decimal(text, c.precision, c.scale, d, why)) cannot_store(v, c, why);
            return d;
        }
        case ColumnType::kComplex:
        case ColumnType::kBigInt:
        case ColumnType::kDateTimeExt:
            // ACE types: the engine reads them but does not write ACE files.
            break;
    }
    cannot_store(v, c, "the column type is not known");
}

std::string value_text(const Value& v) {
    struct Visitor {
        std::string operator()(const Null&) const { return {}; }
        std::string operator()(bool b) const { return b ? "True" : "False"; }
        std::string operator()(std::uint8_t x) const { return std::to_string(x); }
        std::string operator()(std::int16_t x) const { return std::to_string(x); }
        std::string operator()(std::int32_t x) const { return std::to_string(x); }
        std::string operator()(std::int64_t x) const { return std::to_string(x); }
        std::string operator()(const DateTimeExt& d) const { return datetime_ext_text(d); }
        std::string operator()(Currency c) const {
            std::string t = currency_text(c);
            while (t.back() == '0') t.pop_back();
            if (t.back() == '.') t.pop_back();
            return t;
        }
        std::string operator()(float f) const { return number_text(f, 7); }
        std::string operator()(double d) const {
            std::string t = number_text(d, 15);
            if (std::strtod(t.c_str(), nullptr) != d) t = number_text(d, 17);
            return t;
        }
        std::string operator()(DateTime d) const {
            std::string t = datetime_text(d);
            if (d.days == std::floor(d.days) && d.days != 0) return t.substr(0, 10);
            if (d.days > -1 && d.days < 1 && d.days != 0) return t.substr(11);
            return d.days == 0 ? t.substr(11) : t;
        }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(const Bytes& b) const {
            static const char* hex = "0123456789ABCDEF";
            std::string out;
            for (std::uint8_t x : b) {
                out += hex[x >> 4];
                out += hex[x & 15];
            }
            return out;
        }
        std::string operator()(const Guid& g) const { return guid_text(g); }
        std::string operator()(const Decimal& d) const {
            std::string t = decimal_text(d);
            if (t.find('.') != std::string::npos) {
                while (t.back() == '0') t.pop_back();
                if (t.back() == '.') t.pop_back();
            }
            return t;
        }
    };
    return std::visit(Visitor{}, v);
}

ColumnType value_type(const Value& v) {
    struct Visitor {
        ColumnType operator()(const Null&) const { return ColumnType::kText; }
        ColumnType operator()(bool) const { return ColumnType::kBoolean; }
        ColumnType operator()(std::uint8_t) const { return ColumnType::kByte; }
        ColumnType operator()(std::int16_t) const { return ColumnType::kInteger; }
        ColumnType operator()(std::int32_t) const { return ColumnType::kLong; }
        ColumnType operator()(Currency) const { return ColumnType::kCurrency; }
        ColumnType operator()(float) const { return ColumnType::kSingle; }
        ColumnType operator()(double) const { return ColumnType::kDouble; }
        ColumnType operator()(DateTime) const { return ColumnType::kDateTime; }
        ColumnType operator()(const std::string&) const { return ColumnType::kText; }
        ColumnType operator()(const Bytes&) const { return ColumnType::kBinary; }
        ColumnType operator()(const Guid&) const { return ColumnType::kGuid; }
        ColumnType operator()(const Decimal&) const { return ColumnType::kNumeric; }
        ColumnType operator()(std::int64_t) const { return ColumnType::kBigInt; }
        ColumnType operator()(const DateTimeExt&) const { return ColumnType::kDateTimeExt; }
    };
    return std::visit(Visitor{}, v);
}

}  // namespace jet::sql
