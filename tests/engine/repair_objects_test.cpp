// A repaired file keeps the source's objects besides its tables: the
// catalog rows of forms, reports, macros, modules, queries and
// relationships, the rows of Access's own tables, the stored queries'
// rows, the relationships' indexes in both tables' definitions, and the
// property documents. Checked with our reader (row for row, byte for byte
// after renumbering table Ids) and with mdbtools where it can tell
// (mdb-queries, mdb-prop, mdb-export of MSysRelationships).
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/run/repair_run.h"
#include "jet/table/catalog.h"
#include "jet/table/database.h"
#include "jet/table/rows.h"
#include "jet/write/restore_objects.h"
#include "jet/write/writer.h"
#include "repair_support.h"

using namespace repair_test;

namespace {

std::string Shell(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
    return out;
}

std::string Text(const jet::Value& v) {
    if (std::holds_alternative<jet::Null>(v)) return "NULL";
    if (auto p = std::get_if<std::string>(&v)) return "'" + *p + "'";
    if (auto p = std::get_if<jet::Bytes>(&v)) {
        std::string s = "<";
        char h[3];
        for (auto b : *p) {
            std::snprintf(h, sizeof h, "%02x", b);
            s += h;
        }
        return s + ">";
    }
    if (auto p = std::get_if<std::int32_t>(&v)) return std::to_string(*p);
    if (auto p = std::get_if<std::int16_t>(&v)) return std::to_string(*p);
    if (auto p = std::get_if<std::uint8_t>(&v)) return std::to_string(*p);
    if (auto p = std::get_if<bool>(&v)) return *p ? "true" : "false";
    return "?";
}

// The rows of a table as text, named columns only (the target's catalog
// tables have columns a Jet 3 source lacks), sorted; `fix` may rewrite a
// value by column name first.
std::multiset<std::string> Rows(jet::Database& db, const std::string& table,
                                const std::vector<std::string>& columns,
                                const std::function<void(const std::string&, jet::Value&)>& fix = {}) {
    std::multiset<std::string> out;
    jet::TableDef def = db.table_def(table);
    db.scan(def, [&](const jet::RowId&, const jet::Row& row) {
        std::string line;
        for (const auto& c : columns) {
            jet::Value v = jet::Null{};
            for (std::size_t k = 0; k < def.columns.size(); ++k) {
                if (def.columns[k].name == c) v = row[k];
            }
            if (fix) fix(c, v);
            line += Text(v) + "|";
        }
        out.insert(line);
        return true;
    });
    return out;
}

std::vector<std::string> All_Columns(jet::Database& db, const std::string& table) {
    std::vector<std::string> out;
    for (const auto& c : db.table_def(table).columns) out.push_back(c.name);
    return out;
}

struct Case {
    std::string folder;  // "fixtures" or "design"
    std::string file;
    int relationships;   // relationship catalog rows the source has
    int queries;         // stored queries
};

std::string Folder(const Case& c) {
    return c.folder == "design" ? std::string(ZOLVAK_DESIGN_DIR) : Fixtures();
}

class Object_Repair : public ::testing::TestWithParam<Case> {};

TEST_P(Object_Repair, TargetKeepsTheSourcesObjects) {
    const Case& c = GetParam();
    const std::string source = Folder(c) + "/" + c.file;
    if (!fs::exists(source)) GTEST_SKIP() << source << " absent";
    Scratch s;
    const std::string target = s.path("new.mdb");
    Collecting collect;
    int result = Repair_Mdb(source.c_str(), "", target.c_str());
    std::string log;
    for (const auto& l : Lines()) log += l + "\n";
    ASSERT_EQ(result, 1) << log;
    EXPECT_EQ(log.find("出错了"), std::string::npos) << log;
    EXPECT_NE(log.find("正在恢复窗体、报表、宏和模块"), std::string::npos) << log;
    EXPECT_NE(log.find("正在恢复表间关系"), std::string::npos) << log;

    auto src = jet::Database::open(source);
    auto dst = jet::Database::open(target);

    // Catalog: every source object is in the target, under the same parent,
    // with its type and flags; tables' Ids are renumbered, nothing else.
    std::map<std::int32_t, std::string> src_names, dst_names;
    for (const auto& e : src->catalog()) src_names[e.id] = e.name;
    for (const auto& e : dst->catalog()) dst_names[e.id] = e.name;
    auto parent_name = [](const std::map<std::int32_t, std::string>& names, std::int32_t id) {
        auto it = names.find(id);
        return it == names.end() ? std::to_string(id) : it->second;
    };
    std::multiset<std::string> src_objects, dst_objects;
    std::map<std::int32_t, std::int32_t> table_ids;  // source -> target
    for (const auto& e : src->catalog()) {
        if (e.type == jet::kObjectTable && !dst->find_table(e.name)) continue;  // not copied: its own report
        src_objects.insert(parent_name(src_names, e.parent_id) + "/" + e.name + "/" +
                           std::to_string(e.type) + "/" + std::to_string(e.flags) + "/" + e.connect +
                           "/" + e.foreign_name);
        if (e.type == jet::kObjectTable) table_ids[e.id] = dst->find_table(e.name)->id;
    }
    for (const auto& e : dst->catalog()) {
        dst_objects.insert(parent_name(dst_names, e.parent_id) + "/" + e.name + "/" +
                           std::to_string(e.type) + "/" + std::to_string(e.flags) + "/" + e.connect +
                           "/" + e.foreign_name);
    }
    EXPECT_EQ(src_objects, dst_objects);
    int relationships = 0, queries = 0;
    for (const auto& e : dst->catalog()) {
        relationships += e.type == 8;
        queries += e.type == jet::kObjectQuery;
    }
    EXPECT_EQ(relationships, c.relationships);
    EXPECT_EQ(queries, c.queries);
    auto renumber = [&](const std::string& col, jet::Value& v) {
        if (col != "Id" && col != "ParentId" && col != "ObjectId") return;
        if (auto p = std::get_if<std::int32_t>(&v)) {
            auto it = table_ids.find(*p);
            if (it != table_ids.end()) v = it->second;
        }
    };

    // Access's own tables and the rows of queries, relationships and access
    // rights, byte for byte once table Ids are renumbered.
    for (const auto& e : src->catalog()) {
        const bool access = e.type == jet::kObjectTable && (e.flags & jet::kFlagSystem) &&
                            !(static_cast<std::uint32_t>(e.flags) & jet::kFlagJetSystem);
        if (!access) continue;
        SCOPED_TRACE(e.name);
        ASSERT_NE(dst->find_table(e.name), nullptr);
        auto cols = All_Columns(*src, e.name);
        // The navigation pane names objects by Id.
        const std::set<std::string> ids =
            e.name == "MSysNavPaneObjectIDs" ? std::set<std::string>{"Id"}
            : e.name == "MSysNavPaneGroupToObjects" || e.name == "MSysNavPaneGroups"
                ? std::set<std::string>{"ObjectID"}
                : std::set<std::string>{};
        EXPECT_EQ(Rows(*src, e.name, cols,
                       [&](const std::string& col, jet::Value& v) {
                           if (!ids.count(col)) return;
                           if (auto p = std::get_if<std::int32_t>(&v); p && table_ids.count(*p))
                               v = table_ids[*p];
                       }),
                  Rows(*dst, e.name, cols));
    }
    // ACE: MSysComplexColumns names the same tables by their new Ids.
    if (src->find_table("MSysComplexColumns")) {
        auto cols = All_Columns(*src, "MSysComplexColumns");
        EXPECT_EQ(Rows(*src, "MSysComplexColumns", cols,
                       [&](const std::string& col, jet::Value& v) {
                           if (col != "ConceptualTableID" && col != "FlatTableID" && col != "ComplexTypeObjectID") return;
                           if (auto p = std::get_if<std::int32_t>(&v); p && table_ids.count(*p))
                               v = table_ids[*p];
                       }),
                  Rows(*dst, "MSysComplexColumns", cols));
    }
    for (const char* t : {"MSysQueries", "MSysRelationships"}) {
        SCOPED_TRACE(t);
        auto cols = All_Columns(*src, t);
        EXPECT_EQ(Rows(*src, t, cols, renumber), Rows(*dst, t, cols));
    }
    // Access rights: every object the source has rights for has the same
    // ones in the target (named by its parent, name and type, as Ids are
    // renumbered); objects it has none for keep those of a new file.
    {
        auto rights = [&](jet::Database& db) {
            std::map<std::int32_t, std::string> names, object;
            for (const auto& e : db.catalog()) names[e.id] = e.name;
            for (const auto& e : db.catalog())
                object[e.id] = parent_name(names, e.parent_id) + "/" + e.name + "/" + std::to_string(e.type);
            std::map<std::string, std::multiset<std::string>> out;
            jet::TableDef def = db.table_def("MSysACEs");
            db.scan(def, [&](const jet::RowId&, const jet::Row& row) {
                std::string key, line;
                for (std::size_t k = 0; k < def.columns.size(); ++k) {
                    if (def.columns[k].name == "ObjectId") {
                        auto p = std::get_if<std::int32_t>(&row[k]);
                        key = p && object.count(*p) ? object[*p] : "?" + Text(row[k]);
                    } else {
                        line += def.columns[k].name + "=" + Text(row[k]) + "|";
                    }
                }
                out[key].insert(line);
                return true;
            });
            return out;
        };
        auto from = rights(*src), to = rights(*dst);
        for (const auto& [object, lines] : from) EXPECT_EQ(to[object], lines) << object;
    }

    // Properties: the document of every object both files have, as a
    // Jet 4 file keeps it.
    const unsigned cp = src->header().code_page ? src->header().code_page : 1252;
    auto props = [&](jet::Database& db, bool convert) {
        std::map<std::string, std::string> out;
        jet::TableDef def = db.table_def("MSysObjects");
        db.scan(def, [&](const jet::RowId&, const jet::Row& row) {
            std::string key;
            jet::Value lv = jet::Null{};
            for (std::size_t k = 0; k < def.columns.size(); ++k) {
                if (def.columns[k].name == "Name" || def.columns[k].name == "Type") key += Text(row[k]);
                if (def.columns[k].name == "LvProp") lv = row[k];
            }
            if (auto p = std::get_if<jet::Bytes>(&lv); p && convert) lv = jet::jet3_properties_to_jet4(*p, cp);
            if (!std::holds_alternative<jet::Null>(lv)) out[key] = Text(lv);
            return true;
        });
        return out;
    };
    auto src_props = props(*src, src->format() == jet::Format::Jet3);
    auto dst_props = props(*dst, false);
    for (const auto& [key, doc] : src_props) {
        EXPECT_EQ(dst_props[key], doc) << key;
    }

    // mdbtools: the relationships' rows, the SQL of every stored query and
    // the properties of every table whose name no other object shares (it
    // finds an object by name alone, so a form named like its table makes
    // it show one or the other depending on catalog order).
    auto q = [](const std::string& f) { return Quote(f); };
    EXPECT_EQ(Shell("mdb-export " + q(source) + " MSysRelationships | sort"),
              Shell("mdb-export " + q(target) + " MSysRelationships | sort"));
    std::map<std::string, int> uses;
    for (const auto& e : src->catalog()) ++uses[e.name];
    for (const auto& e : src->catalog()) {
        if (uses[e.name] != 1) continue;
        if (e.type == jet::kObjectQuery) {
            EXPECT_EQ(Shell("mdb-queries " + q(source) + " " + q(e.name) + " 2>&1"),
                      Shell("mdb-queries " + q(target) + " " + q(e.name) + " 2>&1"))
                << e.name;
        }
        // mdbtools shows the database's properties for a Jet system table,
        // and stale bytes for a table without properties (ace12-indexes'
        // MSysCompactError): those are compared by our reader above.
        const bool has_props = src_props.count("'" + e.name + "'" + std::to_string(e.type)) != 0;
        if (e.type == jet::kObjectTable && e.flags == 0 && has_props && dst->find_table(e.name)) {
            EXPECT_EQ(Shell("mdb-prop " + q(source) + " " + q(e.name) + " 2>&1"),
                      Shell("mdb-prop " + q(target) + " " + q(e.name) + " 2>&1"))
                << e.name;
        }
    }
    EXPECT_EQ(Shell("mdb-prop " + q(source) + " MSysDb 2>&1"),
              Shell("mdb-prop " + q(target) + " MSysDb 2>&1"));

    // Relationship indexes: each source one has its counterpart, naming the
    // same table and the same index there, with the same cascades.
    auto links = [](jet::Database& db) {
        std::multiset<std::string> out;
        std::map<std::uint32_t, jet::TableDef> defs;
        for (const auto& t : db.tables()) {
            if (t.entry && t.entry->type == jet::kObjectTable) defs[t.entry->tdef_page()] = db.table_def(*t.entry);
        }
        for (const auto& [page, def] : defs) {
            for (const auto& ix : def.indexes) {
                if (!ix.foreign_key()) continue;
                std::string other = "?", other_index = "?";
                auto it = defs.find(ix.rel_table_page);
                if (it != defs.end()) {
                    other = it->second.name;
                    for (const auto& ox : it->second.indexes) {
                        if (ox.index_number == static_cast<std::uint32_t>(ix.rel_index_number)) other_index = ox.name;
                    }
                }
                std::string cols;
                for (const auto& ic : ix.columns) cols += def.columns[ic.column].name + ",";
                out.insert(def.name + "." + ix.name + "(" + cols + ") side " +
                           std::to_string(ix.rel_table_type) + " -> " + other + "." + other_index +
                           " cu " + std::to_string(ix.cascade_updates) + " cd " +
                           std::to_string(ix.cascade_deletes) + " unique " + std::to_string(ix.unique()));
            }
        }
        return out;
    };
    EXPECT_EQ(links(*src), links(*dst));

    // What runs after this step can still write the file in place.
    EXPECT_NO_THROW(jet::DatabaseWriter::open(target, "")->close());
}

INSTANTIATE_TEST_SUITE_P(
    Files, Object_Repair,
    ::testing::Values(Case{"fixtures", "jet4-indexes.mdb", 2, 0}, Case{"fixtures", "jet4-queries.mdb", 0, 9},
                      Case{"design", "jet3-northwind.mdb", 7, 22},
                      Case{"design", "jet4-vbaproject.mdb", 0, 0},
                      // ACE (ace12-complex: the two relationships are those
                      // of Access's navigation-pane tables).
                      Case{"fixtures", "ace12-indexes.accdb", 2, 0},
                      Case{"fixtures", "ace12-complex.accdb", 2, 0},
                      Case{"fixtures", "ace14-queries.accdb", 0, 9},
                      // Calculated columns' Expression and ResultType are
                      // column properties: the documents compare byte for
                      // byte (both files' two relationships are those of
                      // the navigation pane's tables).
                      Case{"fixtures", "ace14-calc.accdb", 2, 0},
                      Case{"fixtures", "ace17-extdate.accdb", 2, 0}),
    [](const auto& info) {
        std::string n = info.param.file.substr(0, info.param.file.find('.'));
        for (char& ch : n) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return n;
    });

// A Jet 3 property document: names and texts widen to UTF-16, lengths
// follow, other data stays; what does not parse comes back unchanged.
TEST(Jet3Properties, BecomeJet4Documents) {
    const jet::Bytes jet3 = {
        'K', 'K', 'D', 0,
        // names: "Ab", "C\xE9" (é in 1252)
        14, 0, 0, 0, 0x80, 0, 2, 0, 'A', 'b', 2, 0, 'C', 0xE9,
        // the table itself: header 6, empty name; one text entry "x", one Long
        33, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0,
        9, 0, 0, 0x0A, 0, 0, 1, 0, 'x',
        12, 0, 0, 0x04, 1, 0, 4, 0, 7, 0, 0, 0,
    };
    const jet::Bytes jet4 = {
        'M', 'R', '2', 0,
        18, 0, 0, 0, 0x80, 0, 4, 0, 'A', 0, 'b', 0, 4, 0, 'C', 0, 0xE9, 0,
        34, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0,
        10, 0, 0, 0x0A, 0, 0, 2, 0, 'x', 0,
        12, 0, 0, 0x04, 1, 0, 4, 0, 7, 0, 0, 0,
    };
    EXPECT_EQ(jet::jet3_properties_to_jet4(jet3, 1252), jet4);
    struct Unchanged {
        const char* why;
        jet::Bytes doc;
    };
    const Unchanged cases[] = {
        {"already Jet 4", jet4},
        {"cut inside a chunk", jet::Bytes(jet3.begin(), jet3.begin() + 20)},
        {"a chunk longer than the document", {'K', 'K', 'D', 0, 99, 0, 0, 0, 0x80, 0}},
        {"empty", {}},
    };
    for (const auto& u : cases) {
        EXPECT_EQ(jet::jet3_properties_to_jet4(u.doc, 1252), u.doc) << u.why;
    }
}

}  // namespace
