// Complex columns of ACE files: attachments, multi-value fields and the
// version history of append-only memos.
//
// A complex column (type 0x12) holds in each row only a complex value id.
// MSysComplexColumns names, for each column (by its ComplexID), the table
// it belongs to, the template table that gives its value columns
// (MSysComplexType_Text, ..._Attachment, MSysComplexTypeVH_<hex>) and the
// hidden flat table f_<hex>_<column> that holds the values: the template's
// columns, an autonumber key, and a Long "_<column>" with the owning row's
// complex value id. All three are catalog ids, i.e. definition pages.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "jet/base/value.h"
#include "jet/table/database.h"

namespace jet {

enum class ComplexKind { kAttachment, kMultiValue, kVersionHistory };

struct ComplexColumnInfo {
    std::string table;   // the table the column belongs to
    std::string column;  // the complex column
    std::int32_t complex_id = 0;
    std::int32_t table_id = 0;      // ConceptualTableID
    std::int32_t type_table_id = 0; // ComplexTypeObjectID
    std::int32_t flat_table_id = 0; // FlatTableID
    std::string type_table;         // the template's name
    std::string flat_table;         // the hidden flat table's name
    ComplexKind kind = ComplexKind::kMultiValue;
    std::string value_id_column;            // "_<column>" in the flat table
    std::vector<std::string> value_columns; // the template's columns, in its order
};

// The complex columns of `table` (every table's when empty), from
// MSysComplexColumns. Throws jet::Error when a row names a table the
// catalog does not have.
std::vector<ComplexColumnInfo> complex_columns(Database& db, std::string_view table = {});

// The flat rows that belong to one complex value id, each with the
// template's columns in value_columns order, in the flat table's row order.
std::vector<Row> read_complex_values(Database& db, const ComplexColumnInfo& column, std::int32_t value_id);

// An attachment's file, decoded from its flat row.
struct Attachment {
    std::string name;  // FileName
    std::string type;  // FileType (the extension)
    std::optional<DateTime> time_stamp;
    std::int32_t flags = 0;
    std::string url;   // FileURL (empty for a stored file)
    bool compressed = false;  // FileData was deflate-compressed
    Bytes data;        // the file's bytes
};

// FileData as stored: int32 0 (raw) or 1 (a zlib stream), int32 length of
// what it decodes to, then that: int32 header length, int32, int32
// extension length in characters with its NUL, the extension in UTF-16,
// then the file. Throws jet::Error (naming `where`) when it does not decode.
Bytes decode_attachment_data(std::span<const std::uint8_t> stored, std::string_view where, bool* compressed = nullptr);

// The attachments of one complex value id of an attachment column.
std::vector<Attachment> read_attachments(Database& db, const ComplexColumnInfo& column, std::int32_t value_id);

}  // namespace jet
