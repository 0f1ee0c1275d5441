// The writer's private parts, shared by the files that implement
// DatabaseWriter (writer*.cpp): the texts of its errors, its small helpers
// and the state it keeps per table.
#pragma once

#include "jet/write/writer.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <limits>
#include <optional>
#include <random>

#include "jet/table/database.h"
#include "jet/base/error.h"
#include "jet/base/text.h"
#include "jet/index/key.h"
#include "jet/index/page.h"
#include "jet/page/format.h"
#include "jet/base/sort_general.h"
#include "jet/write/index_build.h"

namespace jet {

using write::Bytes;
using write::RowSlotImage;

namespace writer_detail {

inline constexpr std::string_view kDuplicateKeyMessage =
    "The changes you requested to the table were not successful because they would create "
    "duplicate values in the index, primary key, or relationship. Change the data in the field "
    "or fields that contain duplicate data, remove the index, or redefine the index to permit "
    "duplicate entries and try again.";
inline constexpr std::string_view kFieldTooSmallMessage =
    "The field is too small to accept the amount of data you attempted to add. Try inserting or "
    "pasting less data.";
inline constexpr std::string_view kRecordTooLargeMessage = "Record is too large.";

// Inline long values up to this size, when the row has room.
inline constexpr std::size_t kInlineLongValueMax = 1024;
// Bytes of one long-value chunk in a chained value (row = next pointer + chunk).
inline constexpr std::size_t kLongValueChunk = write::kMaxRowSize - 4;

inline std::size_t utf8_length(std::string_view s) {
    return utf8_to_utf16(s).size();
}

inline void check_object_name(std::string_view name, std::string_view what) {
    std::size_t n = utf8_length(name);
    if (n == 0 || n > 64) {
        throw Error("The " + std::string(what) + " name '" + std::string(name) +
                    "' is not valid: it must have 1 to 64 characters.");
    }
    if (name.find_first_of(".!`[]") != std::string_view::npos || name.front() == ' ') {
        throw Error("The " + std::string(what) + " name '" + std::string(name) +
                    "' is not valid: it contains a character Jet does not allow.");
    }
}

template <class T>
inline const T* get_if_value(const Value& v) {
    return std::get_if<T>(&v);
}

// Integral view of a value for the integer column types.
inline bool integral_value(const Value& v, std::int64_t& out) {
    if (auto p = std::get_if<std::uint8_t>(&v)) return out = *p, true;
    if (auto p = std::get_if<std::int16_t>(&v)) return out = *p, true;
    if (auto p = std::get_if<std::int32_t>(&v)) return out = *p, true;
    if (auto p = std::get_if<bool>(&v)) return out = *p ? 1 : 0, true;
    if (auto p = std::get_if<std::int64_t>(&v)) return out = *p, true;
    return false;
}

inline bool real_value(const Value& v, double& out) {
    std::int64_t i = 0;
    if (integral_value(v, i)) return out = static_cast<double>(i), true;
    if (auto p = std::get_if<float>(&v)) return out = *p, true;
    if (auto p = std::get_if<double>(&v)) return out = *p, true;
    if (auto p = std::get_if<DateTime>(&v)) return out = p->days, true;
    if (auto p = std::get_if<Currency>(&v)) return out = static_cast<double>(p->scaled) / 10000.0, true;
    return false;
}

// A column's length in the definition: the stored width, and 1 for a
// Boolean, which lives in the null mask but is declared one byte long.
inline std::uint16_t fixed_length(ColumnType type) {
    if (type == ColumnType::kBoolean) return 1;
    return static_cast<std::uint16_t>(fixed_type_size(type));
}

inline bool is_fixed_type(ColumnType type) { return fixed_length(type) != 0; }

// A Text column's length in the definition: two bytes per character.
inline std::uint16_t text_bytes(const ColumnSpec& c) {
    std::uint16_t chars = c.size ? c.size : 255;
    if (chars > 255) throw Error("Text field '" + c.name + "' is longer than 255.");
    return static_cast<std::uint16_t>(chars * 2);
}

inline bool is_long_type(ColumnType type) { return type == ColumnType::kMemo || type == ColumnType::kOle; }

// A calculated column's definition length when its result is of a fixed
// type: the wrapper around the widest such value.
inline constexpr std::uint16_t kCalculatedLength = 39;
// Bytes around a calculated column's value: 16 zero bytes and its length
// before it, 3 zero bytes after it.
inline constexpr std::size_t kCalculatedHead = 20;
inline constexpr std::size_t kCalculatedTail = 3;

// Whether a column's values go to long-value pages (memo and OLE, and a
// calculated column of such a type or of a Text without a length).
inline bool stores_long_value(const ColumnSpec& c, const write::TdefColumn& w) {
    if (is_long_type(c.type)) return true;
    return c.calculated && c.type == ColumnType::kText && w.length == 0;
}

inline bool is_text_type(ColumnType type) { return type == ColumnType::kText || type == ColumnType::kMemo; }

inline std::string type_mismatch(const ColumnSpec& c) {
    return "Data type mismatch in column '" + c.name + "' (" +
           column_type_name(static_cast<std::uint8_t>(c.type)) + ").";
}


[[noreturn]] inline void refuse_open(const std::string& path, const std::string& why) {
    throw Error("Database '" + path + "' cannot be opened for writing in place: " + why + ".");
}

}  // namespace writer_detail

// ---- internal state ----------------------------------------------------------

// ---- internal state ----------------------------------------------------------

struct DatabaseWriter::MapRef {
    std::uint32_t page = 0;  // owner-0 page holding the map row
    std::uint8_t row = 0;
    std::vector<std::uint32_t> reference_pages;  // type-5 pages of a type-1 map
    std::uint32_t pointer() const { return write::row_pointer(page, row); }
};

struct DatabaseWriter::LongColumn {
    std::size_t column = 0;
    MapRef used, free;
    std::vector<std::uint32_t> pages;
    std::uint32_t current = 0;  // LVAL page being filled (0 = none)
    std::vector<RowSlotImage> rows;
    // More pages being filled beside `current`: a value goes to the page it
    // fills best, so pages of values of a few kilobytes end up nearly full
    // instead of keeping the gap the next value did not fit. Written when a
    // new page pushes the fullest one out, or at flush (which keeps only
    // `current`, the page the free-space map names).
    struct OpenPage {
        std::uint32_t page = 0;
        std::vector<RowSlotImage> rows;
    };
    std::vector<OpenPage> others;
};
// Pages filled at once per memo/OLE column (`current` and the others).
inline constexpr std::size_t kOpenLongValuePages = 8;

// The relationship a logical index belongs to: which side of it this table
// is, and the other table's logical index of the same relationship, named
// so that renumbering indexes on either side never leaves it pointing at
// the wrong one (numbers and the other table's page are looked up when the
// definition is written).
struct DatabaseWriter::IndexLink {
    std::uint8_t side = 0;  // kRelationReferenced or kRelationForeign
    std::string table;      // the other table
    std::string index;      // its logical index
    bool cascade_updates = false;
    bool cascade_deletes = false;
    // As an opened file names the other side, until link_loaded_indexes
    // turns it into names.
    std::uint32_t loaded_page = 0;
    std::uint32_t loaded_index = 0;
};

struct DatabaseWriter::IndexState {
    IndexSpec layout;
    std::optional<IndexLink> link;  // a relationship's index that owns its B-tree
    std::vector<std::pair<std::size_t, bool>> columns;  // position, descending
    std::uint8_t flags = 0;
    std::uint8_t index_type = 0;
    std::uint32_t number = 0;
    MapRef map;
    std::vector<std::uint32_t> pages;  // pages the B-tree occupies
    std::uint32_t first_page = 0;
    std::set<Bytes> entries;  // key + 4-byte row pointer, in index order
    // Where each row's entry is, to take it out again (set iterators stay valid).
    std::unordered_map<std::uint32_t, std::set<Bytes>::const_iterator> entry_of_row;
    bool dirty = true;
    // An index built over a table's rows lives on its pages only; its entries
    // are read back (load_index_entries) when a change of the table needs them.
    bool loaded = true;
    std::uint32_t stored_entries = 0;  // while !loaded
    std::uint32_t entry_count() const {
        return loaded ? static_cast<std::uint32_t>(entries.size()) : stored_entries;
    }
};

struct DatabaseWriter::Table {
    TableSpec layout;
    bool system = false;
    std::uint32_t tdef_page = 0;
    std::vector<std::uint32_t> tdef_pages;
    std::vector<write::TdefColumn> columns;  // parallel to layout.columns
    std::uint16_t fixed_size = 0;
    std::uint16_t var_count = 0;
    std::uint32_t rows = 0;
    std::uint32_t autonumber = 0;
    MapRef used, free;
    std::vector<std::uint32_t> data_pages;
    std::uint32_t current = 0;  // data page being filled (0 = none)
    std::vector<RowSlotImage> current_rows;
    std::vector<LongColumn> longs;
    std::vector<int> long_of_column;  // -1 or index into longs
    std::vector<std::unique_ptr<IndexState>> indexes;
    // Logical indexes of relationships that use the B-tree of one of
    // `indexes` (Jet shares a real index between logical indexes on the same
    // columns). Numbered after the real indexes, in this order.
    struct SharedIndex {
        std::string name;
        const IndexState* real = nullptr;
        IndexLink link;
    };
    std::vector<SharedIndex> shared;
    bool dirty = true;
};

struct DatabaseWriter::RowScratch {
    Bytes mask, fixed, chunk, held_chunk, value;
    std::vector<Bytes> var;                              // by variable index
    std::vector<Bytes> long_data;                        // memo/OLE data before it is stored
    std::vector<std::pair<std::size_t, std::size_t>> longs;  // column, slot in long_data
    std::vector<std::size_t> streams;                    // columns whose value streams
    std::vector<std::size_t> by_size;
    std::vector<bool> inline_ok;
    std::vector<std::uint16_t> offsets;
    std::vector<FieldInput> inputs;                      // encode_row's view of its values
};

}  // namespace jet
