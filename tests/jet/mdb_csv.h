// mdb-export's CSV as the tests read it, and binary values in the hex form
// the tests print them in.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

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

}  // namespace mdb_csv
