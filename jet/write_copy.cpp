// Table copy between databases (see write_copy.h).
#include "jet/write_copy.h"

#include "jet/error.h"

namespace jet {

TableSpec make_table_spec(const TableDef& source, std::string_view target_name) {
    TableSpec layout;
    layout.name = std::string(target_name);
    for (const Column& c : source.columns) {
        if (!is_known_column_type(c.type)) {
            throw Error("Table '" + source.name + "': column '" + c.name + "' has a data type (" +
                        column_type_name(c.type) + ") that cannot be copied.");
        }
        ColumnSpec s;
        s.name = c.name;
        s.type = c.column_type();
        switch (s.type) {
            case ColumnType::kText:
            case ColumnType::kBinary:
                s.size = static_cast<std::uint16_t>(c.display_size(source.format).value_or(255));
                if (s.size == 0 || s.size > 255) s.size = 255;
                break;
            case ColumnType::kNumeric:
                s.precision = c.precision ? c.precision : 18;
                s.scale = c.scale;
                break;
            default:
                break;
        }
        // Jet 4 compresses what it writes; a Jet 3 source had no such flag.
        s.compressed = source.format == Format::Jet3 || (c.misc_flags & 0x01) != 0;
        s.hyperlink = (c.flags & kColumnHyperlink) != 0 && s.type == ColumnType::kMemo;
        layout.columns.push_back(std::move(s));
    }
    return layout;
}

TableHandle copy_table(Database& source, std::string_view source_table, DatabaseWriter& target,
                       std::string_view target_name) {
    TableDef def = source.table_def(source_table);
    TableHandle t = target.create_table(make_table_spec(def, target_name));
    std::uint64_t n = 0;
    source.scan(def, [&](const RowId&, const Row& row) {
        try {
            target.insert_row(t, row);
        } catch (const Error& e) {
            throw Error("Copying row " + std::to_string(n + 1) + " of table '" + def.name +
                        "': " + e.what());
        }
        ++n;
        return true;
    });
    return t;
}

}  // namespace jet
