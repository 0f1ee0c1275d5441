// Index builds over a table's rows: entries sorted in bounded memory (spilled
// runs merged), B-trees written bottom-up exactly as the writer has always
// laid them out, duplicates in unique indexes refused without a trace, and
// indexes kept current by later changes.
#include "jet/write/index_build.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>

#include "jet/write/create_database.h"
#include "jet/table/database.h"
#include "jet/base/error.h"
#include "jet/index/check.h"
#include "jet/index/page.h"
#include "jet/base/text.h"
#include "jet/write/writer.h"
#include "jet/write/format.h"
#include "write_readers.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;
using jet::write::Bytes;

namespace {

class IndexBuildDir : public zolvak_test::ScratchDir {
public:
    IndexBuildDir() : ScratchDir("zolvak-index-build") {}
};

std::size_t open_descriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// The B-tree layout the writer used before trees were streamed: every leaf
// packed from the sorted entries, then each level above, all page numbers of
// a level taken before the next level's.
std::map<std::uint32_t, Bytes> reference_tree(const std::vector<Bytes>& entries,
                                              std::uint32_t owner, std::uint32_t first,
                                              std::uint32_t& root) {
    std::map<std::uint32_t, Bytes> out;
    std::uint32_t next_page = first;
    struct Child {
        std::uint32_t page;
        Bytes last;
    };
    auto write_level = [&](std::vector<jet::write::IndexPageImage>& pages,
                           std::vector<Bytes>& lasts) {
        std::vector<Child> children;
        std::vector<std::uint32_t> numbers;
        for (std::size_t i = 0; i < pages.size(); ++i) numbers.push_back(next_page++);
        for (std::size_t i = 0; i < pages.size(); ++i) {
            pages[i].owner = owner;
            pages[i].prev = i > 0 ? numbers[i - 1] : 0;
            pages[i].next = i + 1 < pages.size() ? numbers[i + 1] : 0;
            out[numbers[i]] = jet::write::encode_index_page(pages[i]);
            children.push_back(Child{numbers[i], lasts[i]});
        }
        return children;
    };
    std::vector<jet::write::IndexPageImage> leaves(1);
    std::vector<Bytes> lasts;
    std::size_t used = 0;
    for (const Bytes& e : entries) {
        if (used + e.size() > jet::write::kIndexEntrySpace && !leaves.back().entries.empty()) {
            lasts.push_back(leaves.back().entries.back());
            leaves.emplace_back();
            used = 0;
        }
        leaves.back().entries.push_back(e);
        used += e.size();
    }
    lasts.push_back(leaves.back().entries.empty() ? Bytes{} : leaves.back().entries.back());
    std::vector<Child> children = write_level(leaves, lasts);
    while (children.size() > 1) {
        std::vector<std::vector<Child>> groups(1);
        std::size_t size = 0;
        for (auto& c : children) {
            auto& g = groups.back();
            std::size_t grow = g.empty() ? 0 : g.back().last.size() + 4;
            if (!g.empty() && size + grow > jet::write::kIndexEntrySpace) {
                groups.emplace_back();
                size = 0;
                grow = 0;
            }
            size += grow;
            groups.back().push_back(c);
        }
        std::vector<jet::write::IndexPageImage> nodes(groups.size());
        std::vector<Bytes> node_lasts;
        for (std::size_t g = 0; g < groups.size(); ++g) {
            nodes[g].leaf = false;
            for (std::size_t k = 0; k + 1 < groups[g].size(); ++k) {
                Bytes e = groups[g][k].last;
                for (int sh = 24; sh >= 0; sh -= 8)
                    e.push_back(static_cast<std::uint8_t>(groups[g][k].page >> sh));
                nodes[g].entries.push_back(std::move(e));
            }
            nodes[g].tail = groups[g].back().page;
            node_lasts.push_back(groups[g].back().last);
        }
        children = write_level(nodes, node_lasts);
    }
    root = children.front().page;
    return out;
}

std::vector<Bytes> random_entries(std::size_t n, std::size_t min_size, std::size_t max_size,
                                  std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Bytes> out(n);
    for (auto& e : out) {
        e.resize(min_size + rng() % (max_size - min_size + 1));
        // A small alphabet, so many entries share long prefixes.
        for (auto& b : e) b = static_cast<std::uint8_t>(rng() % 3);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

TEST(IndexTreeWriter, WritesTheSamePagesAsTheWholeTreeLayout) {
    struct Case {
        const char* name;
        std::vector<Bytes> entries;
    } cases[] = {
        {"empty", {}},
        {"one entry", {Bytes{0x7F, 1, 2, 3, 0, 0, 9, 1}}},
        {"pages filled exactly", random_entries(1000, 32, 32, 1)},  // 113 entries fill a page
        {"two levels", random_entries(5000, 8, 40, 2)},
        {"three levels", random_entries(9000, 150, 250, 3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint32_t want_root = 0;
        auto want = reference_tree(c.entries, 77, 500, want_root);
        std::map<std::uint32_t, Bytes> got;
        std::uint32_t next_page = 500;
        jet::write::IndexTreeWriter tree(
            77, [&] { return next_page++; },
            [&](std::uint32_t p, const Bytes& image) {
                EXPECT_TRUE(got.emplace(p, image).second);
            });
        for (const Bytes& e : c.entries) tree.add(e);
        EXPECT_EQ(tree.finish(), want_root);
        ASSERT_EQ(got.size(), want.size());
        for (const auto& [page, image] : want) EXPECT_TRUE(got[page] == image) << "page " << page;
    }
}

TEST(IndexEntrySorter, SpilledRunsMergeToTheSortedOrder) {
    IndexBuildDir dir;
    std::mt19937 rng(5);
    struct Item {
        Bytes entry;
        bool mark;
    };
    std::vector<Item> items;
    for (int i = 0; i < 5000; ++i) {
        Bytes key(1 + rng() % 30);
        for (auto& b : key) b = static_cast<std::uint8_t>(rng() % 4);  // many equal prefixes
        items.push_back(Item{key, rng() % 2 == 0});
        jet::write::append_index_row_pointer(items.back().entry,
                                             static_cast<std::uint32_t>(i / 50 + 3),
                                             static_cast<std::uint8_t>(i % 50));
    }
    std::size_t before = open_descriptors();
    for (std::size_t budget : {std::size_t{1} << 30, std::size_t{4096}}) {
        SCOPED_TRACE("budget " + std::to_string(budget));
        jet::write::IndexEntrySorter sorter(dir.file(""), budget);
        for (const Item& it : items) {
            std::span<const std::uint8_t> e(it.entry);
            std::uint32_t page = (e[e.size() - 4] << 16) | (e[e.size() - 3] << 8) | e[e.size() - 2];
            sorter.add(e.first(e.size() - 4), page, e.back(), it.mark);
        }
        std::vector<Item> got;
        sorter.merge([&](std::span<const std::uint8_t> e, bool mark) {
            got.push_back(Item{Bytes(e.begin(), e.end()), mark});
        });
        EXPECT_EQ(sorter.size(), items.size());
        if (budget == 4096) {
            EXPECT_GT(sorter.runs(), 10u);
        } else {
            EXPECT_EQ(sorter.runs(), 0u);
        }
        auto want = items;
        std::sort(want.begin(), want.end(),
                  [](const Item& a, const Item& b) { return a.entry < b.entry; });
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].entry, want[i].entry) << "entry " << i;
            ASSERT_EQ(got[i].mark, want[i].mark) << "entry " << i;
        }
        EXPECT_EQ(dir.names(), std::vector<std::string>{}) << "run files must not stay visible";
    }
    EXPECT_EQ(open_descriptors(), before) << "run files must be closed";
}

// ---- through the writer --------------------------------------------------------

using writer_test::col;

jet::IndexSpec index(std::string name, std::vector<jet::IndexColumnSpec> columns,
                     bool unique = false, bool primary_key = false, bool ignore_nulls = false) {
    jet::IndexSpec s;
    s.name = std::move(name);
    s.columns = std::move(columns);
    s.unique = unique;
    s.primary_key = primary_key;
    s.ignore_nulls = ignore_nulls;
    return s;
}

const char* kCities[] = {"Zürich", "Ålesund", "北京", "Bern", "bern", "Basel", "Århus", "Genève"};

// ID, Name (unique unless `duplicate_at` repeats the name of row 3), City
// (null for every seventh row), Born, Score.
std::vector<jet::Value> person(int i, int duplicate_at = -1) {
    int n = (i * 7919) % 100003;  // distinct for i < 100003, not in row order
    std::string name = "name " + std::to_string(i == duplicate_at ? (3 * 7919) % 100003 : n);
    jet::Value city =
        i % 7 == 0 ? jet::Value{jet::Null{}} : jet::Value{std::string(kCities[i % 8])};
    return {static_cast<std::int32_t>(i + 1), name, city,
            jet::DateTime{20000.0 + (i * 37) % 9000 + 0.25},
            static_cast<double>((i * 31) % 1000) / 8.0};
}

// A new file with a fixed creation date (so that two builds give the same
// bytes) whose index sorts have `budget` bytes of memory.
std::unique_ptr<jet::DatabaseWriter> new_file(const std::string& path, std::size_t budget) {
    jet::CreateOptions o;
    o.creation_date = 45000.5;
    auto w = jet::create_database(path, o);
    w->set_index_sort_budget(budget);
    return w;
}

// A database with a table of `rows` people, the primary key built over the
// rows; returns the writer.
std::unique_ptr<jet::DatabaseWriter> people(const std::string& path, int rows, std::size_t budget,
                                            int duplicate_at = -1) {
    auto w = new_file(path, budget);
    jet::TableSpec layout{
        "People",
        {col("ID", jet::ColumnType::kLong), col("Name", jet::ColumnType::kText, 60),
         col("City", jet::ColumnType::kText, 30), col("Born", jet::ColumnType::kDateTime),
         col("Score", jet::ColumnType::kDouble)}};
    auto t = w->create_table(layout);
    for (int i = 0; i < rows; ++i) w->insert_row(t, person(i, duplicate_at));
    w->create_index(t, index("PrimaryKey", {{"ID", false}}, true, true));
    return w;
}

void build_secondary(jet::DatabaseWriter& w) {
    auto t = w.table("People");
    w.create_index(t, index("Name", {{"Name", false}}, true));
    w.create_index(t, index("CityBorn", {{"City", true}, {"Born", false}, {"Score", true}}));
    w.create_index(t, index("City", {{"City", false}}, false, false, true));
}

Bytes file_bytes(const std::string& path) {
    Bytes out(fs::file_size(path));
    FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_EQ(std::fread(out.data(), 1, out.size(), f), out.size());
    std::fclose(f);
    return out;
}

TEST(WriteIndexBuild, SpilledBuildWritesTheSameFileAsTheBuildInMemory) {
    IndexBuildDir dir;
    const std::string small = dir.file("small.mdb"), large = dir.file("large.mdb");
    std::size_t fds = open_descriptors();
    for (const auto& [path, budget] :
         {std::pair{small, std::size_t{4096}}, std::pair{large, std::size_t{64} << 20}}) {
        auto w = people(path, 3000, budget);
        if (budget == 4096) {
            EXPECT_GT(w->last_index_runs(), 5u);
        } else {
            EXPECT_EQ(w->last_index_runs(), 0u);
        }
        build_secondary(*w);
        EXPECT_EQ(w->last_index_runs() > 0, budget == 4096);
        EXPECT_EQ(dir.names().size(), path == small ? 1u : 2u) << "no temporary file in the folder";
        w->close();
    }
    EXPECT_EQ(open_descriptors(), fds);
    EXPECT_TRUE(file_bytes(small) == file_bytes(large));
    writer_test::check_indexes(small, "People");
    // Reopening proves that the writer would lay every tree out the same way
    // again from its entries and its set of pages.
    jet::DatabaseWriter::open(small, "")->close();
    EXPECT_TRUE(file_bytes(small) == file_bytes(large));
}

TEST(WriteIndexBuild, DuplicateAcrossRunsLeavesNoIndexBehind) {
    IndexBuildDir dir;
    const std::string path = dir.file("dup.mdb");
    std::size_t fds = open_descriptors();
    {
        auto w = people(path, 3000, 4096, 2990);  // row 2990 repeats row 3's name
        auto t = w->table("People");
        w->create_index(t, index("CityBorn", {{"City", true}, {"Born", false}}));
        w->close();
    }
    const auto before = file_bytes(path);
    {
        auto w = jet::DatabaseWriter::open(path, "");
        w->set_index_sort_budget(4096);
        auto t = w->table("People");
        try {
            w->create_index(t, index("Name", {{"Name", false}}, true));
            ADD_FAILURE() << "a duplicate name was accepted";
        } catch (const jet::Error& e) {
            EXPECT_NE(std::string(e.what()).find("duplicate values in the index"),
                      std::string::npos)
                << e.what();
        }
        EXPECT_EQ(dir.names(), std::vector<std::string>{"dup.mdb"});
        // The writer goes on: a non-unique index over the same column is fine.
        w->create_index(t, index("NameAny", {{"Name", false}}));
        w->close();
    }
    EXPECT_EQ(open_descriptors(), fds);
    auto db = jet::Database::open(path);
    auto def = db->table_def("People");
    std::vector<std::string> names;
    for (const auto& ix : def.indexes) names.push_back(ix.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"CityBorn", "NameAny", "PrimaryKey"}));
    writer_test::check_indexes(path, "People");
    jet::DatabaseWriter::open(path, "")->close();  // its pages still reproduce
    EXPECT_NE(before.size(), 0u);
}

TEST(WriteIndexBuild, ChangesAfterABuildKeepEveryIndexCorrect) {
    IndexBuildDir dir;
    const std::string path = dir.file("changes.mdb");
    {
        auto w = people(path, 2500, 4096);
        build_secondary(*w);
        auto t = w->table("People");
        // The unique indexes were built on pages only; a duplicate still fails.
        EXPECT_THROW(w->insert_row(t, person(3)), jet::Error);
        auto dup_name = person(4000);
        std::get<std::string>(dup_name[1]) = std::get<std::string>(person(17)[1]);
        EXPECT_THROW(w->insert_row(t, dup_name), jet::Error);
        EXPECT_EQ(w->row_count(t), 2500u);
        // Inserts, an update, a delete.
        std::vector<jet::RowId> added;
        for (int i = 2500; i < 2600; ++i) added.push_back(w->insert_row(t, person(i)));
        auto moved = person(5000);
        moved[0] = static_cast<std::int32_t>(2551);  // the ID of row 2550
        w->update_row(t, added[50], moved);
        w->delete_row(t, added[10]);
        EXPECT_EQ(w->row_count(t), 2599u);
        w->close();
    }
    writer_test::check_indexes(path, "People");
    {
        auto w = jet::DatabaseWriter::open(path, "");
        auto t = w->table("People");
        EXPECT_THROW(w->insert_row(t, person(20)), jet::Error);  // ID 21 is there
        w->insert_row(t, person(6000));
        w->close();
    }
    writer_test::check_indexes(path, "People");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"changes.mdb"});
}

TEST(WriteIndexBuild, NullInARequiredIndexFailsAndLeavesNoIndex) {
    IndexBuildDir dir;
    const std::string path = dir.file("nulls.mdb");
    auto w = people(path, 500, 4096);
    auto t = w->table("People");
    auto required = index("CityKey", {{"City", false}});
    required.required = true;
    EXPECT_THROW(w->create_index(t, required), jet::Error);
    w->create_index(t, index("City", {{"City", false}}));
    w->close();
    auto db = jet::Database::open(path);
    EXPECT_EQ(db->table_def("People").indexes.size(), 2u);
    writer_test::check_indexes(path, "People");
}

TEST(WriteIndexBuild, OpenRefusesIndexPagesTheRowsDoNotGiveBack) {
    IndexBuildDir dir;
    const std::string path = dir.file("damaged.mdb");
    {
        auto w = people(path, 2500, 4096);
        build_secondary(*w);
        w->close();
    }
    auto db = jet::Database::open(path);
    auto def = db->table_def("People");
    std::uint32_t root = def.real_indexes.at(1).first_page;
    std::uint32_t leaf = 0;
    for (std::uint32_t p = 2; p < db->file().page_count() && !leaf; ++p) {
        auto page = db->file().page(p)->span();
        if (page[0] == 0x04 && page[4] == (def.tdef_page & 0xFF) &&
            page[5] == (def.tdef_page >> 8 & 0xFF))
            leaf = p;
    }
    db.reset();
    ASSERT_NE(leaf, 0u);
    struct Case {
        const char* name;
        std::uint32_t page;
        std::size_t at;
    } cases[] = {
        {"a key byte of a leaf", leaf, jet::write::kIndexEntryStart + 2},
        {"the tail pointer of a root", root, jet::index_page_layout(jet::Format::Jet4).tail_offset},
    };
    const Bytes good = file_bytes(path);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bad = good;
        bad[std::size_t{c.page} * 4096 + c.at] ^= 0x01;
        {
            FILE* f = std::fopen(path.c_str(), "wb");
            std::fwrite(bad.data(), 1, bad.size(), f);
            std::fclose(f);
        }
        try {
            jet::DatabaseWriter::open(path, "");
            ADD_FAILURE() << "opened";
        } catch (const jet::Error& e) {
            EXPECT_NE(std::string(e.what()).find("cannot be opened for writing in place"),
                      std::string::npos)
                << e.what();
        }
        EXPECT_TRUE(file_bytes(path) == bad) << "the file was changed";
        EXPECT_EQ(dir.names(), std::vector<std::string>{"damaged.mdb"});
    }
}

}  // namespace

// ---- several indexes from one read of the rows ----------------------------------

namespace {

// A table whose rows carry memo and OLE values on long-value pages next to
// the key columns: ID, Name (repeats row 3's name at `duplicate_at`), City
// (null every seventh row), Born, Score, Notes (Memo), Blob (OLE).
std::unique_ptr<jet::DatabaseWriter> documents(const std::string& path, int rows, std::size_t budget,
                                               int duplicate_at) {
    auto w = new_file(path, budget);
    jet::TableSpec layout{
        "Docs",
        {col("ID", jet::ColumnType::kLong), col("Name", jet::ColumnType::kText, 60),
         col("City", jet::ColumnType::kText, 30), col("Born", jet::ColumnType::kDateTime),
         col("Score", jet::ColumnType::kDouble), col("Notes", jet::ColumnType::kMemo),
         col("Blob", jet::ColumnType::kOle)}};
    auto t = w->create_table(layout);
    for (int i = 0; i < rows; ++i) {
        std::vector<jet::Value> v = person(i, duplicate_at);
        v.push_back(std::string(300 + i % 900, static_cast<char>('a' + i % 26)));
        v.push_back(Bytes(i % 5 == 0 ? 0 : 2500, static_cast<std::uint8_t>(i)));
        if (i % 5 == 0) v.back() = jet::Null{};
        w->insert_row(t, v);
    }
    return w;
}

std::string error_text(const std::exception_ptr& e) {
    if (!e) return "";
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return x.what();
    }
    return "?";
}

std::uint64_t problem_count(const std::string& path) {
    std::uint64_t n = 0;
    jet::check_database(path, "", [&](const jet::CheckProblem& p) {
        ADD_FAILURE() << p.table << " page " << p.page << ": " << p.text;
        ++n;
    });
    return n;
}

TEST(WriteIndexBuild, IndexesFromOneReadEqualThoseBuiltOneByOne) {
    auto pk = index("PrimaryKey", {{"ID", false}}, true, true);
    auto required_city = index("CityKey", {{"City", false}});
    required_city.required = true;
    struct Case {
        const char* name;
        int rows;
        int duplicate_at;
        std::size_t budget;
        std::vector<jet::IndexSpec> indexes;
        // A part of each index's error, "" for an index made.
        std::vector<std::string> errors;
    } cases[] = {
        {"several, a failing unique among them", 1200, 1100, 64 << 20,
         {pk, index("Name", {{"Name", false}}, true),
          index("CityBorn", {{"City", true}, {"Born", false}, {"Score", true}}),
          index("City", {{"City", false}}, false, false, true)},
         {"", "duplicate values in the index", "", ""}},
        {"spilled runs, descending texts", 1500, -1, 4096,
         {index("NameDown", {{"Name", true}}, true), index("Born", {{"Born", true}}), pk,
          index("CityScore", {{"City", false}, {"Score", false}})},
         {"", "", "", ""}},
        {"a Null in a required index", 700, -1, 64 << 20,
         {index("City", {{"City", false}}), required_city, pk},
         {"", "cannot contain a Null value", ""}},
        {"names and keys that clash within the list", 300, -1, 64 << 20,
         {pk, index("Name", {{"Name", false}}), index("name", {{"City", false}}),
          index("Other", {{"Born", false}}, true, true), index("Missing", {{"Nope", false}}),
          index("Blob", {{"Blob", false}}), index("Notes", {{"Notes", false}})},
         {"", "", "already exists", "already has a primary key", "is not in table",
          "cannot be indexed", ""}},
        {"a failed unique frees its name for a later one", 400, 350, 64 << 20,
         {index("Name", {{"Name", false}}, true), index("Name", {{"Name", false}})},
         {"duplicate values in the index", ""}},
        {"an empty table", 0, -1, 64 << 20,
         {pk, index("Name", {{"Name", false}}, true), index("Name", {{"City", false}})},
         {"", "", "already exists"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IndexBuildDir dir;
        const std::string one = dir.file("one.mdb"), all = dir.file("all.mdb");
        std::vector<std::string> one_errors;
        {
            auto w = documents(one, c.rows, c.budget, c.duplicate_at);
            auto t = w->table("Docs");
            for (const auto& ix : c.indexes) {
                try {
                    w->create_index(t, ix);
                    one_errors.push_back("");
                } catch (const jet::Error& e) {
                    one_errors.push_back(e.what());
                }
            }
            w->close();
        }
        std::vector<std::exception_ptr> all_errors;
        {
            auto w = documents(all, c.rows, c.budget, c.duplicate_at);
            std::vector<jet::IndexSpec> layouts = c.indexes;
            all_errors = w->create_indexes(w->table("Docs"), layouts);
            w->close();
        }
        ASSERT_EQ(all_errors.size(), c.indexes.size());
        for (std::size_t k = 0; k < c.indexes.size(); ++k) {
            SCOPED_TRACE(c.indexes[k].name);
            EXPECT_EQ(error_text(all_errors[k]), one_errors[k]);
            if (c.errors[k].empty()) {
                EXPECT_EQ(one_errors[k], "");
            } else {
                EXPECT_NE(one_errors[k].find(c.errors[k]), std::string::npos) << one_errors[k];
            }
        }
        EXPECT_TRUE(file_bytes(one) == file_bytes(all)) << "the files differ";
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"all.mdb", "one.mdb"}))
            << "no run file stays behind";
        writer_test::check_indexes(all, "Docs");
        EXPECT_EQ(problem_count(all), 0u);
        jet::DatabaseWriter::open(all, "")->close();  // its trees reproduce
    }
}

// A unique index that becomes the primary key (what a repair's design step
// does after the index step) takes its keys from the dropped tree instead of
// the rows; the file must be the one a build from the rows writes.
TEST(WriteIndexBuild, IndexFromADroppedTreeEqualsABuildFromTheRows) {
    struct Case {
        const char* name;
        jet::IndexSpec before;
        jet::IndexSpec after;
        bool null_id;       // one more row, whose ID is Null
        bool change_rows;   // a row inserted between the drop and the build
        bool from_tree;     // the dropped tree serves
        std::string error;  // part of the build's error
    } cases[] = {
        {"unique index to primary key", index("PrimaryKey", {{"ID", false}}, true),
         index("PrimaryKey", {{"ID", false}}, true, true), false, false, true, ""},
        {"two columns, one descending", index("K", {{"ID", false}, {"Born", true}}, true),
         index("PK", {{"ID", false}, {"Born", true}}, true, true), false, false, true, ""},
        {"a Null kept by the unique index fails the primary key", index("U", {{"ID", false}}, true),
         index("PK", {{"ID", false}}, true, true), true, false, true, "cannot contain a Null value"},
        {"ignore-nulls index leaves the Null out", index("I", {{"ID", true}}),
         index("I2", {{"ID", true}}, true, false, true), true, false, true, ""},
        {"other direction: rows read", index("S", {{"Score", false}}),
         index("S2", {{"Score", true}}), false, false, false, ""},
        {"text key: rows read", index("N", {{"Name", false}}, true),
         index("N", {{"Name", false}}, true, true), false, false, false, ""},
        {"rows changed since: rows read", index("PrimaryKey", {{"ID", false}}, true),
         index("PrimaryKey", {{"ID", false}}, true, true), false, true, false, ""},
        {"a repeated key fails as from the rows", index("B", {{"Born", false}}),
         index("B", {{"Born", false}}, true), false, false, true, "duplicate values in the index"},
    };
    // Born repeats from row 9000 on (i * 37 % 9000).
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IndexBuildDir dir;
        const std::string tree = dir.file("tree.mdb"), rows = dir.file("rows.mdb");
        std::string errors[2];
        for (int pass = 0; pass < 2; ++pass) {
            const std::string& path = pass == 0 ? tree : rows;
            {
                auto w = people(path, 9100, 64 << 20);
                auto t = w->table("People");
                w->drop_index(t, "PrimaryKey");
                if (c.null_id) {
                    auto v = person(30000);
                    v[0] = jet::Null{};
                    w->insert_row(t, v);
                }
                w->create_index(t, c.before);
                w->close();
            }
            auto w = jet::DatabaseWriter::open(path, "");
            auto t = w->table("People");
            w->drop_index(t, c.before.name);
            if (c.change_rows) w->insert_row(t, person(20000));
            if (pass == 1) w->flush();  // the dropped tree is gone: a build from the rows
            try {
                w->create_index(t, c.after);
            } catch (const jet::Error& e) {
                errors[pass] = e.what();
            }
            EXPECT_EQ(w->last_index_from_dropped_tree(), pass == 0 && c.from_tree);
            w->close();
        }
        EXPECT_EQ(errors[0], errors[1]);
        if (c.error.empty()) {
            EXPECT_EQ(errors[0], "");
        } else {
            EXPECT_NE(errors[0].find(c.error), std::string::npos) << errors[0];
        }
        EXPECT_TRUE(file_bytes(tree) == file_bytes(rows)) << "the files differ";
        writer_test::check_indexes(tree, "People");
        EXPECT_EQ(problem_count(tree), 0u);
        jet::DatabaseWriter::open(tree, "")->close();
    }
}

}  // namespace
