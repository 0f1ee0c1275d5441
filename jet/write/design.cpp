// Restoring a copied table's design (see design.h).
#include "jet/write/design.h"

#include <algorithm>
#include <string>
#include <vector>

#include "jet/base/error.h"
#include "jet/base/text.h"
#include "jet/write/copy.h"

namespace jet {

IndexSpec index_layout(const TableDef& def, const Index& ix) {
    IndexSpec layout;
    layout.name = ix.name;
    for (const IndexColumn& ic : ix.columns) {
        if (ic.column >= def.columns.size()) {
            throw Error("The index '" + ix.name + "' of the table '" + def.name +
                        "' names a column that does not exist.");
        }
        layout.columns.push_back({def.columns[ic.column].name, ic.descending});
    }
    layout.primary_key = ix.primary_key();
    layout.unique = ix.unique();
    layout.ignore_nulls = ix.ignore_nulls();
    layout.required = ix.required();
    return layout;
}

namespace {

// The source's indexes as the writer makes them; foreign keys are left out.
std::vector<IndexSpec> index_design(const TableDef& def) {
    std::vector<IndexSpec> out;
    for (const Index& ix : def.indexes) {
        if (!ix.foreign_key()) out.push_back(index_layout(def, ix));
    }
    return out;
}

bool same_index(const IndexSpec& a, const IndexSpec& b) {
    if (a.columns.size() != b.columns.size()) return false;
    for (std::size_t k = 0; k < a.columns.size(); ++k) {
        if (!same_name(a.columns[k].column, b.columns[k].column) ||
            a.columns[k].descending != b.columns[k].descending) {
            return false;
        }
    }
    // A primary key is unique and required whatever its flags say.
    return a.primary_key == b.primary_key && (a.unique || a.primary_key) == (b.unique || b.primary_key) &&
           a.ignore_nulls == b.ignore_nulls && (a.required || a.primary_key) == (b.required || b.primary_key);
}

bool same_flags(const ColumnSpec& a, const ColumnSpec& b) {
    return a.autonumber == b.autonumber && a.required == b.required &&
           a.compressed == b.compressed && a.hyperlink == b.hyperlink &&
           a.extra_flags == b.extra_flags;
}

// Makes the indexes of `table` those of `wanted`: an index of the same name
// that differs is dropped and made again, a missing one is made; indexes
// the source does not have are kept.
std::size_t restore_indexes(DatabaseWriter& w, TableHandle table, const std::vector<IndexSpec>& wanted) {
    std::size_t changed = 0;
    // A table holds one primary key: one of another name goes before an
    // index becomes it.
    std::vector<IndexSpec> have = w.index_layouts(table);
    for (const IndexSpec& want : wanted) {
        auto it = std::find_if(have.begin(), have.end(),
                               [&](const IndexSpec& h) { return same_name(h.name, want.name); });
        if (it != have.end() && same_index(*it, want)) continue;
        std::vector<IndexSpec> dropped;
        if (it != have.end()) dropped.push_back(*it);
        if (want.primary_key) {
            for (const IndexSpec& h : have) {
                if (h.primary_key && !same_name(h.name, want.name)) dropped.push_back(h);
            }
        }
        for (const IndexSpec& d : dropped) w.drop_index(table, d.name);
        try {
            w.create_index(table, want);
        } catch (...) {
            // The copy keeps the indexes it had (a unique index where the
            // primary key cannot be made over nulls, for instance).
            for (const IndexSpec& d : dropped) {
                try {
                    w.create_index(table, d);
                } catch (const Error&) {
                }
            }
            throw;
        }
        ++changed;
        have = w.index_layouts(table);
    }
    return changed;
}

void restore_counter(DatabaseWriter& w, TableHandle table, const TableDef& def, DesignChanges& out) {
    if (def.next_autonumber > w.autonumber(table)) {
        w.set_autonumber(table, def.next_autonumber);
        out.autonumber = true;
    }
}

// A table whose rows need another layout is copied again from the source
// under a passing name, given its design, and takes the place of the copy.
TableHandle rebuild(Database& source, const TableDef& def, DatabaseWriter& w, TableHandle table,
                    const std::vector<ColumnSpec>& design, SalvageCounts* salvage,
                    DesignChanges& out) {
    const std::string name = w.table_spec(table).name;
    std::string passing;
    for (int k = 1;; ++k) {
        passing = "~design" + std::to_string(k);
        bool taken = false;
        for (const std::string& n : w.table_names()) taken = taken || same_name(n, passing);
        if (!taken) break;
    }
    // Rows go in before the autonumber: the copy's fast path takes a table
    // without one.
    TableSpec layout;
    layout.name = passing;
    layout.complex_autonumber = def.complex_autonumber;
    for (ColumnSpec c : design) {
        c.autonumber = false;
        layout.columns.push_back(std::move(c));
    }
    TableHandle fresh = w.create_table(layout);
    try {
        SalvageCounts counts;
        copy_rows(source, def, w, fresh, {}, salvage ? &counts : nullptr);
        for (const ColumnSpec& c : design) {
            if (c.autonumber) w.alter_column(fresh, c.name, c);
        }
        restore_counter(w, fresh, def, out);
        out.indexes += restore_indexes(w, fresh, index_design(def));
    } catch (...) {
        w.drop_table(w.table(passing));
        throw;
    }
    w.drop_table(w.table(name));
    fresh = w.table(passing);
    w.rename_table(fresh, name);
    out.rebuilt = true;
    out.columns = design.size();
    return fresh;
}

}  // namespace

DesignChanges restore_design(Database& source, const TableDef& def, DatabaseWriter& w,
                             TableHandle table, SalvageCounts* salvage) {
    DesignChanges out;
    std::vector<ColumnSpec> design;
    for (const Column& c : def.columns) {
        // The target's version: a source whose header was rebuilt says Jet 4.
        design.push_back(column_spec(c, def.format, ColumnDesign::kWhole, def.name,
                                     def.format == Format::Jet4 ? w.version() : FileVersion::kJet4));
    }
    const TableSpec& have = w.table_spec(table);
    if (have.columns.size() != design.size()) {
        throw Error("The table '" + have.name + "' does not have the columns of its source.");
    }
    bool relayout = false;
    std::vector<const ColumnSpec*> current;
    for (const ColumnSpec& want : design) {
        auto it = std::find_if(have.columns.begin(), have.columns.end(),
                               [&](const ColumnSpec& c) { return same_name(c.name, want.name); });
        if (it == have.columns.end() || it->type != want.type) {
            throw Error("The table '" + have.name + "' does not have the columns of its source.");
        }
        relayout = relayout || it->fixed_length != want.fixed_length;
        current.push_back(&*it);
    }
    if (relayout) {
        rebuild(source, def, w, table, design, salvage, out);
        return out;
    }
    for (std::size_t k = 0; k < design.size(); ++k) {
        if (same_flags(*current[k], design[k])) continue;
        w.alter_column(table, design[k].name, design[k]);
        ++out.columns;
    }
    restore_counter(w, table, def, out);
    out.indexes = restore_indexes(w, table, index_design(def));
    return out;
}

}  // namespace jet
