// The engine against the fixture oracles: header fields, every catalog row,
// the table kinds, and every table's columns, row count and indexes (with
// the index details the TDEF holds: real/logical numbers, flags, first page,
// foreign-key links).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "fixture_support.h"
#include "jet/table/complex.h"
#include "jet/table/database.h"
#include "jet/base/error.h"

namespace {

// mdb-schema names the ACE types by their type byte.
std::string type_name_for_oracle(const jet::Column& c) {
    if (c.type >= 0x11 && c.type <= 0x14) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "Unknown_%04X", c.type);
        return buf;
    }
    return jet::column_type_name(c.type);
}

class OracleTest : public ::testing::TestWithParam<std::string> {};
// What only ACE files have, over the ACE fixtures.
class AceOracleTest : public ::testing::TestWithParam<std::string> {};

TEST_P(OracleTest, HeaderAndCatalogAgree) {
    SKIP_WITHOUT_FIXTURES();
    const auto o = fixtures::oracle(GetParam());
    auto db = jet::Database::open(fixtures::mdb_path(GetParam()), fixtures::password(o));
    const auto& h = db->header();
    EXPECT_EQ(h.page_size, o["page_size"].as_int());
    EXPECT_EQ(static_cast<int>(h.version), o["jet_version"]["header_byte_0x14"].as_int());
    EXPECT_EQ(h.format, h.version == jet::FileVersion::kJet3 ? jet::Format::Jet3 : jet::Format::Jet4);
    if (jet::is_ace(h.version)) {
        EXPECT_EQ(jet::file_version_name(h.version), o["jet_version"]["mdb_ver"].text);
        EXPECT_EQ(h.sort_order_version, o["header"]["sort_order_version_0x71"].as_int());
    }
    EXPECT_EQ(db->file().page_count(), o["page_count"].as_int());
    EXPECT_EQ(h.code_page, o["header"]["code_page_0x3c"].as_int());
    EXPECT_EQ(h.sort_order, o["header"]["sort_order_id"].as_int());
    if (const auto* d = o["header"].find("creation_date_double_0x72")) {
        EXPECT_DOUBLE_EQ(h.creation_date, d->number);
    }
    EXPECT_EQ(h.password, fixtures::password(o));

    // MSysObjects rows, compared as a set: mdbtools lists a row that was
    // moved to another page (overflow) where its data now lives, the engine
    // where its slot is.
    std::multiset<std::tuple<long long, long long, std::string, long long, long long>> want, got;
    for (const auto& r : o["objects"].items) {
        want.emplace(r["id"].as_int(), r["parent_id"].as_int(), r["name"].text, r["type"].as_int(),
                     r["flags"].as_int());
    }
    for (const auto& e : db->catalog()) got.emplace(e.id, e.parent_id, e.name, e.type, e.flags);
    EXPECT_EQ(got, want);

    // Local and linked tables with their kind; queries separately.
    std::set<std::pair<std::string, std::string>> want_tables, got_tables;
    for (const auto& t : o["tables"].items) {
        const bool system = t["kind"].text == "system";
        std::string kind = "TABLE";
        if (system) kind = (t["flags"].as_int() & 0x80000000LL) || t["flags"].as_int() < 0
                               ? "SYSTEM TABLE" : "ACCESS TABLE";
        if (t["catalog_type"].as_int() != 1) kind = "LINK";
        want_tables.emplace(t["name"].text, kind);
    }
    std::set<std::string> want_views, got_views;
    for (const auto& q : o["queries"].items)
        if (q["flags"].as_int() == 0) want_views.insert(q["name"].text);
    for (const auto& t : db->tables()) {
        if (t.kind == jet::TableKind::kView) got_views.insert(t.name);
        else got_tables.emplace(t.name, std::string(jet::table_kind_name(t.kind)));
    }
    EXPECT_EQ(got_tables, want_tables);
    EXPECT_EQ(got_views, want_views);
}

TEST_P(OracleTest, TableDefinitionsAgree) {
    SKIP_WITHOUT_FIXTURES();
    const auto o = fixtures::oracle(GetParam());
    auto db = jet::Database::open(fixtures::mdb_path(GetParam()), fixtures::password(o));
    for (const auto& [name, details] : o["table_details"].members) {
        SCOPED_TRACE(GetParam() + " / " + name);
        const jet::TableDef def = db->table_def(name);

        const auto& cols = details["columns"].items;
        ASSERT_EQ(def.columns.size(), cols.size());
        for (std::size_t i = 0; i < cols.size(); ++i) {
            const jet::Column& c = def.columns[i];
            EXPECT_EQ(c.name, cols[i]["name"].text);
            EXPECT_EQ(type_name_for_oracle(c), cols[i]["type"].text);
            // A calculated Memo result is a Text column of length 0 holding a
            // long value; mdb-schema shows it as 255.
            if (c.column_type() == jet::ColumnType::kText && !(c.is_calculated() && c.length == 0)) {
                EXPECT_EQ(c.display_size(def.format).value_or(0), cols[i]["size"].as_int());
            }
            const auto& mr = cols[i]["mdb_reader"];
            if (const auto* fixed = mr.find("fixed_length")) {
                EXPECT_EQ(c.is_fixed(), fixed->b);
            }
            if (const auto* a = mr.find("auto_long")) {
                EXPECT_EQ((c.flags & jet::kColumnAutoLong) != 0, a->b);
            }
            if (const auto* a = mr.find("auto_uuid")) {
                EXPECT_EQ((c.flags & jet::kColumnAutoGuid) != 0, a->b);
            }
        }

        const auto& td = details["tdef"];
        // ACE oracles also describe every column's descriptor.
        if (const auto* tc = td.find("columns")) {
            EXPECT_EQ(def.complex_autonumber, td["complex_autonumber"].as_int());
            for (const auto& w : tc->items) {
                const jet::Column* c = def.find_column(w["name"].text);
                ASSERT_NE(c, nullptr) << w["name"].text;
                SCOPED_TRACE(c->name);
                EXPECT_EQ(c->misc_flags, w["ext_flags"].as_int());
                EXPECT_EQ(c->length, w["length"].as_int());
                if (const auto* v = w.find("sort_order_version")) EXPECT_EQ(c->sort_order_version, v->as_int());
                if (const auto* v = w.find("sort_order")) EXPECT_EQ(c->sort_order, v->as_int());
                if (const auto* v = w.find("complex_id")) EXPECT_EQ(c->complex_id, v->as_int());
            }
        }
        EXPECT_EQ(def.row_count, td["num_rows"].as_int());
        EXPECT_EQ(def.pages.size(), td["pages"].items.size());
        EXPECT_EQ(def.table_type, td["table_type"].as_int());
        EXPECT_EQ(def.max_cols, td["max_cols"].as_int());
        EXPECT_EQ(def.real_indexes.size(), static_cast<std::size_t>(td["num_real_idx"].as_int()));
        EXPECT_EQ(jet::count_rows(db->file(), def), static_cast<std::uint64_t>(details["row_count"].as_int()));

        const auto& idx = details["indexes"].items;
        ASSERT_EQ(def.indexes.size(), idx.size());
        for (std::size_t i = 0; i < idx.size(); ++i) {
            const jet::Index& ix = def.indexes[i];
            const auto& w = idx[i];
            SCOPED_TRACE(ix.name);
            EXPECT_EQ(ix.name, w["name"].text);
            ASSERT_EQ(ix.columns.size(), w["columns"].items.size());
            for (std::size_t k = 0; k < ix.columns.size(); ++k) {
                EXPECT_EQ(def.columns[ix.columns[k].column].name, w["columns"].items[k]["name"].text);
                EXPECT_EQ(ix.columns[k].descending, w["columns"].items[k]["desc"].b);
            }
            EXPECT_EQ(ix.unique(), w["unique"].b);
            EXPECT_EQ(ix.primary_key(), w["primary_key"].b);
            EXPECT_EQ(ix.foreign_key(), w["foreign_key"].b);
            EXPECT_EQ(ix.ignore_nulls(), w["ignore_nulls"].b);
            EXPECT_EQ(ix.required(), w["required"].b);
            EXPECT_EQ(ix.index_number, w["index_num"].as_int());
            EXPECT_EQ(ix.real_index, w["real_index"].as_int());
            EXPECT_EQ(ix.flags, w["real_flags"].as_int());
            EXPECT_EQ(ix.first_page, w["first_page"].as_int());
            if (ix.foreign_key()) {
                EXPECT_EQ(ix.rel_index_number, w["fk_other_index_num"].as_int());
                EXPECT_EQ(ix.rel_table_type, w["fk_rel_tbl_type"].as_int());
                EXPECT_EQ(ix.cascade_updates, w["fk_cascade_updates"].b);
                EXPECT_EQ(ix.cascade_deletes, w["fk_cascade_deletes"].b);
                const jet::CatalogEntry* other = db->find_table(w["fk_other_table"].text);
                ASSERT_NE(other, nullptr);
                EXPECT_EQ(ix.rel_table_page, other->tdef_page());
            }
        }
    }
}

// The text form of a decoded value as the oracle writes calculated values.
std::string oracle_text(const jet::Value& v) {
    if (auto p = std::get_if<std::string>(&v)) return *p;
    if (auto p = std::get_if<jet::Currency>(&v)) return jet::currency_text(*p);
    if (auto p = std::get_if<jet::Decimal>(&v)) return jet::decimal_text(*p);
    if (auto p = std::get_if<jet::DateTime>(&v)) return jet::datetime_text(*p);
    return "?";
}

// ACE values the mdbtools export cannot show: calculated columns (their
// decoded results against the oracle's), Date/Time Extended (its text as
// Access shows it, which the fixture keeps in a Text column beside it).
TEST_P(AceOracleTest, AceValuesAgree) {
    SKIP_WITHOUT_FIXTURES();
    const auto o = fixtures::oracle(GetParam());
    auto db = jet::Database::open(fixtures::mdb_path(GetParam()), fixtures::password(o));
    ASSERT_TRUE(jet::is_ace(db->header().version));
    for (const auto& [name, details] : o["table_details"].members) {
        SCOPED_TRACE(GetParam() + " / " + name);
        const jet::TableDef def = db->table_def(name);
        const auto rows = db->read_all(def);
        auto column = [&](const std::string& n) {
            for (std::size_t i = 0; i < def.columns.size(); ++i)
                if (def.columns[i].name == n) return i;
            ADD_FAILURE() << "no column " << n;
            return std::size_t{0};
        };
        if (const auto* calc = details.find("calculated_columns")) {
            for (const auto& cc : calc->items) {
                const std::size_t k = column(cc["name"].text);
                EXPECT_TRUE(def.columns[k].is_calculated());
                EXPECT_EQ(def.columns[k].calc_result_type, cc["result_type"].as_int()) << cc["name"].text;
                // Compared as a multiset of texts: mdb-export lists rows in
                // another order than their slots where rows were moved.
                const auto& want = cc["values"].items;
                ASSERT_EQ(want.size(), rows.size());
                std::multiset<std::string> want_texts, got_texts;
                const bool single = cc["result_type"].as_int() == static_cast<int>(jet::ColumnType::kSingle);
                for (const auto& w : want) {
                    if (w.is_null()) want_texts.insert("NULL");
                    else if (w.kind == testjson::Value::Kind::Bool) want_texts.insert(w.b ? "true" : "false");
                    else if (w.kind == testjson::Value::Kind::Number && single)
                        want_texts.insert(std::to_string(static_cast<double>(static_cast<float>(w.number))));
                    else if (w.kind == testjson::Value::Kind::Number) want_texts.insert(std::to_string(w.number));
                    else want_texts.insert(w.text);
                }
                for (const auto& row : rows) {
                    const jet::Value& v = row[k];
                    if (jet::is_null(v)) got_texts.insert("NULL");
                    else if (auto b = std::get_if<bool>(&v)) got_texts.insert(*b ? "true" : "false");
                    else if (auto f = std::get_if<float>(&v)) got_texts.insert(std::to_string(static_cast<double>(*f)));
                    else if (auto l = std::get_if<std::int32_t>(&v)) got_texts.insert(std::to_string(static_cast<double>(*l)));
                    else got_texts.insert(oracle_text(v));
                }
                EXPECT_EQ(got_texts, want_texts) << cc["name"].text;
            }
        }
        if (def.find_column("DateExt") && def.find_column("DateExtStr")) {
            const std::size_t ext = column("DateExt"), str = column("DateExtStr");
            for (const auto& row : rows) {
                if (jet::is_null(row[str])) {
                    EXPECT_TRUE(jet::is_null(row[ext]));
                    continue;
                }
                ASSERT_TRUE(std::holds_alternative<jet::DateTimeExt>(row[ext]));
                EXPECT_EQ(jet::datetime_ext_display(std::get<jet::DateTimeExt>(row[ext])),
                          std::get<std::string>(row[str]));
            }
        }
    }
}

std::string sha256_of(const jet::Bytes& data) {
    char name[] = "/tmp/oracle_sha_XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return "";
    const bool written = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    close(fd);
    std::string out = written ? fixtures::run(std::string("sha256sum ") + name).out.substr(0, 64) : "";
    unlink(name);
    return out;
}

// Complex columns against the oracle: MSysComplexColumns, the kind, the
// value ids the rows hold, and per value id its linked flat rows (as texts)
// or its attachments (name, type, storage and the decoded bytes' SHA-256).
TEST_P(AceOracleTest, ComplexValuesAgree) {
    SKIP_WITHOUT_FIXTURES();
    const auto o = fixtures::oracle(GetParam());
    auto db = jet::Database::open(fixtures::mdb_path(GetParam()), fixtures::password(o));
    ASSERT_TRUE(jet::is_ace(db->header().version));
    std::size_t seen = 0;
    for (const auto& [name, details] : o["table_details"].members) {
        const auto* cc = details.find("complex_columns");
        if (!cc) continue;
        const auto ours = jet::complex_columns(*db, name);
        ASSERT_EQ(ours.size(), cc->items.size()) << name;
        const jet::TableDef def = db->table_def(name);
        for (const auto& w : cc->items) {
            SCOPED_TRACE(GetParam() + " / " + name + " / " + w["column"].text);
            const jet::ComplexColumnInfo* c = nullptr;
            for (const auto& x : ours)
                if (x.column == w["column"].text) c = &x;
            ASSERT_NE(c, nullptr);
            ++seen;
            EXPECT_EQ(c->complex_id, w["complex_id"].as_int());
            EXPECT_EQ(def.find_column(c->column)->complex_id, static_cast<std::uint32_t>(c->complex_id));
            EXPECT_EQ(c->flat_table_id, w["msys_complex_columns"]["FlatTableID"].as_int());
            EXPECT_EQ(c->type_table, w["type_table"].text);
            EXPECT_EQ(c->flat_table, w["flat_table"].text);
            EXPECT_EQ(c->value_id_column, w["flat_fk_column"].text);
            const std::string kind = w["kind"].text;
            EXPECT_EQ(c->kind, kind == "attachment" ? jet::ComplexKind::kAttachment
                               : kind == "multi-value" ? jet::ComplexKind::kMultiValue
                                                        : jet::ComplexKind::kVersionHistory);
            std::vector<std::string> value_columns;
            for (const auto& v : w["value_columns"].items) value_columns.push_back(v.text);
            EXPECT_EQ(c->value_columns, value_columns);

            // The value ids the rows hold.
            std::multiset<long long> want_ids, got_ids;
            for (const auto& r : w["rows"].items) want_ids.insert(r["value_id"].as_int());
            const std::size_t col = static_cast<std::size_t>(def.find_column(c->column) - def.columns.data());
            for (const auto& row : db->read_all(def))
                if (auto id = std::get_if<std::int32_t>(&row[col])) got_ids.insert(*id);
            EXPECT_EQ(got_ids, want_ids);

            for (const auto& r : w["rows"].items) {
                const auto id = static_cast<std::int32_t>(r["value_id"].as_int());
                SCOPED_TRACE("value id " + std::to_string(id));
                if (c->kind == jet::ComplexKind::kAttachment) {
                    const auto files = jet::read_attachments(*db, *c, id);
                    const auto& want = r["attachments"].items;
                    ASSERT_EQ(files.size(), want.size());
                    std::map<std::string, const jet::Attachment*> by_name;
                    for (const auto& f : files) by_name[f.name] = &f;
                    for (const auto& a : want) {
                        const auto it = by_name.find(a["file_name"].text);
                        ASSERT_NE(it, by_name.end()) << a["file_name"].text;
                        EXPECT_EQ(it->second->type, a["file_type"].text);
                        EXPECT_EQ(it->second->compressed, a["compressed"].b);
                        EXPECT_EQ(it->second->data.size(), static_cast<std::size_t>(a["data_bytes"].as_int()));
                        EXPECT_EQ(sha256_of(it->second->data), a["data_sha256"].text);
                    }
                } else {
                    std::multiset<std::vector<std::string>> want, got;
                    for (const auto& v : r["values"].items) {
                        std::vector<std::string> t;
                        for (const auto& x : v.items) t.push_back(x.is_null() ? "NULL" : x.text);
                        want.insert(t);
                    }
                    for (const auto& row : jet::read_complex_values(*db, *c, id)) {
                        std::vector<std::string> t;
                        for (const auto& x : row) {
                            if (jet::is_null(x)) t.push_back("NULL");
                            else if (auto d = std::get_if<jet::DateTime>(&x)) t.push_back(jet::datetime_text(*d));
                            else if (auto str = std::get_if<std::string>(&x)) t.push_back(*str);
                            else t.push_back("?");
                        }
                        got.insert(t);
                    }
                    EXPECT_EQ(got, want);
                }
            }
        }
    }
    std::printf("%s: %zu complex columns agree\n", GetParam().c_str(), seen);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, OracleTest, ::testing::ValuesIn(fixtures::or_none(fixtures::all_names())),
                         [](const auto& info) {
                             std::string s = info.param;
                             for (char& c : s)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return s;
                         });

std::vector<std::string> ace_fixture_names() {
    auto n = fixtures::ace_names();
    if (n.empty()) n.push_back("none");  // one case that skips with its message
    return n;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, AceOracleTest, ::testing::ValuesIn(ace_fixture_names()),
                         [](const auto& info) {
                             std::string s = info.param;
                             for (char& c : s)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return s;
                         });

}  // namespace
