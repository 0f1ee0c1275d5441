// mdb-export's CSV as the tests read it, and binary values in the hex form
// the tests print them in.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "jet/table/table_def.h"
#include "jet/base/value.h"

namespace mdb_csv {

struct Cell {
    bool quoted = false;
    std::string text;
    bool operator<(const Cell& o) const { return std::tie(quoted, text) < std::tie(o.quoted, o.text); }
    bool operator==(const Cell& o) const = default;
};
using CsvRow = std::vector<Cell>;

// mdb-export's CSV: quoted fields may hold commas, doubled quotes and newlines.
inline std::vector<CsvRow> parse_csv(const std::string& s) {
    std::vector<CsvRow> rows;
    CsvRow row;
    Cell cell;
    std::size_t i = 0;
    bool at_field_start = true;
    while (i < s.size()) {
        char c = s[i];
        if (at_field_start && c == '"') {
            cell.quoted = true;
            ++i;
            while (i < s.size()) {
                if (s[i] == '"') {
                    if (i + 1 < s.size() && s[i + 1] == '"') {
                        cell.text += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                cell.text += s[i++];
            }
            at_field_start = false;
            continue;
        }
        if (c == ',') {
            row.push_back(std::move(cell));
            cell = Cell{};
            at_field_start = true;
        } else if (c == '\n') {
            row.push_back(std::move(cell));
            cell = Cell{};
            rows.push_back(std::move(row));
            row.clear();
            at_field_start = true;
        } else {
            cell.text += c;
            at_field_start = false;
        }
        ++i;
    }
    if (!row.empty() || !cell.text.empty()) {
        row.push_back(std::move(cell));
        rows.push_back(std::move(row));
    }
    return rows;
}

inline std::string hex(const std::uint8_t* p, std::size_t n) {
    static const char* d = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += d[p[i] >> 4];
        out += d[p[i] & 15];
    }
    return out;
}

// What mdbtools 1.0 does beyond its plain form (see the users' comments):
//   unmapped_as_question: a Jet 3 byte the code page leaves unmapped prints
//     as '?' (our reader gives the C1 control of the same value, as Windows);
//   long_value_habits: an empty memo prints as an empty unquoted field (like
//     NULL), a memo longer than kMdbExportMemoLimit bytes of UTF-8 is cut
//     there, and an OLE value is always quoted, an empty one as "".
// The text with every C1 control character (U+0080-U+009F) as '?': how
// mdbtools prints a Jet 3 byte of 0x80-0x9F that the code page leaves
// unassigned, which our reader decodes to that character.
inline std::string c1_as_question(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (static_cast<unsigned char>(s[i]) == 0xC2 && i + 1 < s.size() &&
            static_cast<unsigned char>(s[i + 1]) >= 0x80 && static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
            out += '?';
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

struct CellRules {
    bool unmapped_as_question = false;
    bool long_value_habits = false;
};

inline constexpr std::size_t kMdbExportMemoLimit = 199999;

// One value as mdb-export prints it: NULL as an empty unquoted field,
// booleans 0/1, Currency with 4 decimals, Single %.8g, Double %.16g, dates
// "%Y-%m-%d %H:%M:%S" (before 1899-12-30 as "1900-01-00 00:00:00"), texts
// without trailing U+0000, binary as upper-case hex (a Binary column's value
// cut at its first 0x00 byte), Replication IDs as the hex of the text
// {8-4-4-16}.
inline Cell export_cell(const jet::Value& v, const jet::Column& col, const CellRules& rules) {
    char buf[64];
    return std::visit(
        [&](const auto& x) -> Cell {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, jet::Null>) {
                return {false, ""};
            } else if constexpr (std::is_same_v<T, bool>) {
                return {false, x ? "1" : "0"};
            } else if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::int16_t> ||
                                 std::is_same_v<T, std::int32_t>) {
                return {false, std::to_string(x)};
            } else if constexpr (std::is_same_v<T, jet::Currency>) {
                return {false, jet::currency_text(x)};
            } else if constexpr (std::is_same_v<T, float>) {
                std::snprintf(buf, sizeof buf, "%.8g", static_cast<double>(x));
                return {false, buf};
            } else if constexpr (std::is_same_v<T, double>) {
                std::snprintf(buf, sizeof buf, "%.16g", x);
                return {false, buf};
            } else if constexpr (std::is_same_v<T, jet::DateTime>) {
                if (x.days < 0) return {true, "1900-01-00 00:00:00"};
                return {true, jet::datetime_text(x)};
            } else if constexpr (std::is_same_v<T, std::string>) {
                std::string s = x;
                while (!s.empty() && s.back() == '\0') s.pop_back();
                if (rules.unmapped_as_question) s = c1_as_question(s);
                if (rules.long_value_habits && col.column_type() == jet::ColumnType::kMemo) {
                    if (s.empty()) return {false, ""};
                    if (s.size() > kMdbExportMemoLimit) s.resize(kMdbExportMemoLimit);
                }
                return {true, s};
            } else if constexpr (std::is_same_v<T, jet::Bytes>) {
                bool binary = col.column_type() == jet::ColumnType::kBinary;
                std::size_t n = x.size();
                if (binary) {
                    for (std::size_t i = 0; i < x.size(); ++i) {
                        if (x[i] == 0) {
                            n = i;
                            break;
                        }
                    }
                }
                bool quoted = rules.long_value_habits && !binary ? true : n > 0;
                return {quoted, hex(x.data(), n)};
            } else if constexpr (std::is_same_v<T, jet::Guid>) {
                std::string g = jet::guid_text(x);
                g.erase(24, 1);  // mdbtools drops the dash after the 4th group
                return {true, hex(reinterpret_cast<const std::uint8_t*>(g.data()), g.size())};
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return {false, std::to_string(x)};
            } else if constexpr (std::is_same_v<T, jet::DateTimeExt>) {
                return {false, ""};  // mdbtools does not know the type and prints nothing
            } else {
                return {false, jet::decimal_text(x)};
            }
        },
        v);
}

}  // namespace mdb_csv
