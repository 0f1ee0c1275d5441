// The writer on an existing file: DatabaseWriter::open, drop_table and
// drop_index, and transactions in place through the rollback journal,
// killed at every page write of a commit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fixture_support.h"
#include "jet/table/database.h"
#include "jet/base/error.h"
#include "jet/txn/journal.h"
#include "jet/write/writer.h"
#include "write_readers.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

class OpenDir : public zolvak_test::ScratchDir {
public:
    OpenDir() : ScratchDir("jet-open") {}
};

std::string memo_of(int i) { return std::string(static_cast<std::size_t>(i * 37 % 9000), 'a' + i % 26); }

// A file made by the writer: a table with every kind of storage (fixed,
// text, memo inline and chained) and three indexes.
void make_base(const std::string& path, int rows) {
    auto w = jet::DatabaseWriter::create(path, {"", 45000.5});
    jet::TableSpec layout{"people",
                        {{"id", jet::ColumnType::kLong, 0, 18, 0, true},
                         {"name", jet::ColumnType::kText, 50},
                         {"score", jet::ColumnType::kDouble},
                         {"notes", jet::ColumnType::kMemo}}};
    auto t = w->create_table(layout);
    for (int i = 0; i < rows; ++i) {
        std::vector<jet::Value> v{jet::Null{}, "name " + std::to_string(i), i * 1.5, memo_of(i)};
        w->insert_row(t, v);
    }
    w->create_index(t, {"pk", {{"id"}}, true});
    w->create_index(t, {"by_name", {{"name"}}, false, true});
    w->create_index(t, {"by_score", {{"score", true}}});
    w->create_table({"other", {{"k", jet::ColumnType::kText, 10}, {"v", jet::ColumnType::kLong}}});
    w->close();
}

std::vector<std::pair<jet::RowId, jet::Row>> rows_of(const std::string& path, const std::string& table) {
    auto db = jet::Database::open(path);
    std::vector<std::pair<jet::RowId, jet::Row>> out;
    db->scan(db->table_def(table), [&](const jet::RowId& id, const jet::Row& r) {
        out.emplace_back(id, r);
        return true;
    });
    return out;
}

// Changes of every kind on an opened writer.
void change(jet::DatabaseWriter& w, const std::vector<std::pair<jet::RowId, jet::Row>>& before) {
    auto t = w.table("people");
    for (int i = 0; i < 40; ++i) {
        std::vector<jet::Value> v{jet::Null{}, "new " + std::to_string(i), -1.0 * i, memo_of(i + 5)};
        w.insert_row(t, v);
    }
    for (std::size_t k = 0; k < before.size(); k += 7) {
        jet::Row r = before[k].second;
        r[1] = std::string("renamed ") + std::to_string(k);
        r[3] = memo_of(static_cast<int>(k) + 3);
        w.update_row(t, before[k].first, r);
    }
    for (std::size_t k = 3; k < before.size(); k += 11) w.delete_row(t, before[k].first);
    auto o = w.table("other");
    w.insert_row(o, std::vector<jet::Value>{std::string("x"), std::int32_t{1}});
    w.create_index(o, {"ok", {{"k"}}, false, true});
    auto n = w.create_table({"added", {{"a", jet::ColumnType::kLong}, {"b", jet::ColumnType::kMemo}}});
    for (int i = 0; i < 30; ++i) w.insert_row(n, std::vector<jet::Value>{std::int32_t{i}, memo_of(i)});
}

}  // namespace

TEST(WriterOpen, ChangesAnExistingFileAndReadersSeeThem) {
    OpenDir dir;
    std::string path = dir.file("a.mdb");
    make_base(path, 400);
    auto before = rows_of(path, "people");
    ASSERT_EQ(before.size(), 400u);
    {
        auto w = jet::DatabaseWriter::open(path, "");
        EXPECT_EQ(w->row_count(w->table("people")), 400u);
        EXPECT_EQ(w->table_names(), (std::vector<std::string>{"people", "other"}));
        change(*w, before);
        // A duplicate key still fails on the loaded index.
        std::vector<jet::Value> dup{before[1].second[0], std::string("dup"), 0.0, jet::Null{}};
        EXPECT_THROW(w->insert_row(w->table("people"), dup), jet::Error);
        w->close();
    }
    auto after = rows_of(path, "people");
    std::size_t deleted = 0;
    for (std::size_t k = 3; k < before.size(); k += 11) ++deleted;
    EXPECT_EQ(after.size(), 400u + 40u - deleted);
    // Autonumbers went on from the stored counter.
    std::int32_t max_id = 0;
    for (const auto& [id, r] : after) max_id = std::max(max_id, std::get<std::int32_t>(r[0]));
    EXPECT_EQ(max_id, 440);
    // Our reader, mdbtools and mdb-reader agree on the changed file, and
    // every index holds every row once, in key order.
    auto back = writer_test::check_with_readers(path);
    EXPECT_EQ(back.tables, (std::vector<std::string>{"people", "other", "added"}));
    for (const char* t : {"people", "other", "added"}) writer_test::check_indexes(path, t);
    auto db = jet::Database::open(path);
    EXPECT_EQ(db->read_all(db->table_def("added")).size(), 30u);
    EXPECT_EQ(db->table_def("other").indexes.size(), 1u);
    // A second open sees the first one's changes as its starting point.
    auto w = jet::DatabaseWriter::open(path, "");
    EXPECT_EQ(w->row_count(w->table("people")), after.size());
    w->close();
}

// A writer that opens a file this process's last writer closed skips the
// proof of its index trees only while the file is as that writer left it:
// one byte changed since, even where no reader looks, refuses the open.
TEST(WriterOpen, AFileChangedSinceItsLastWriterIsProvedAgain) {
    OpenDir dir;
    std::string path = dir.file("a.mdb");
    make_base(path, 120);
    jet::DatabaseWriter::open(path, "")->close();
    EXPECT_NO_THROW(jet::DatabaseWriter::open(path, "")->close());  // as it was left
    const std::uint32_t leaf = jet::Database::open(path)->table_def("people").real_indexes.at(0).first_page;
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(leaf) * 4096 + 4095);
        f.put('\x5A');
    }
    EXPECT_THROW(jet::DatabaseWriter::open(path, ""), jet::Error);
}

TEST(WriterOpen, DropTableAndIndex) {
    OpenDir dir;
    std::string path = dir.file("d.mdb");
    make_base(path, 120);
    {
        auto w = jet::DatabaseWriter::open(path, "");
        w->drop_index(w->table("people"), "BY_NAME");
        EXPECT_THROW(w->drop_index(w->table("people"), "by_name"), jet::Error);
        w->drop_table(w->table("other"));
        EXPECT_THROW(w->table("other"), jet::Error);
        EXPECT_THROW(w->drop_table(w->table("MSysObjects")), jet::Error);
        // The name is free again.
        w->create_table({"other", {{"z", jet::ColumnType::kByte}}});
        w->close();
    }
    auto db = jet::Database::open(path);
    auto def = db->table_def("people");
    ASSERT_EQ(def.indexes.size(), 2u);
    EXPECT_EQ(db->read_all(def).size(), 120u);
    EXPECT_EQ(db->table_def("other").columns.at(0).name, "z");
    auto back = writer_test::check_with_readers(path);
    EXPECT_EQ(back.tables, (std::vector<std::string>{"people", "other"}));
    writer_test::check_indexes(path, "people");
    // And the result opens for writing again.
    EXPECT_NO_THROW(jet::DatabaseWriter::open(path, "")->close());
}

TEST(WriterOpen, RollBackPutsEveryByteBack) {
    OpenDir dir;
    std::string path = dir.file("r.mdb");
    make_base(path, 200);
    const std::string original = zolvak_test::file_bytes(path);
    auto before = rows_of(path, "people");
    auto w = jet::DatabaseWriter::open(path, "");
    w->begin();
    change(*w, before);
    w->flush();  // the changes reach the file ...
    EXPECT_NE(zolvak_test::file_bytes(path), original);
    w->roll_back();  // ... and go again
    EXPECT_EQ(zolvak_test::file_bytes(path), original);
    EXPECT_FALSE(fs::exists(jet::RollbackJournal::path_for(path)));
    EXPECT_THROW(w->insert_row(0, {}), jet::Error);  // closed after a roll-back
}

TEST(WriterOpen, FixturesOpenOrAreRefusedUntouched) {
    if (!fixtures::available()) GTEST_SKIP() << "fixtures folder absent";
    OpenDir dir;
    int opened = 0;
    for (const std::string& name : fixtures::names()) {
        std::string path = dir.file(name + ".mdb");
        fs::copy_file(fixtures::mdb_path(name), path);
        const std::string original = zolvak_test::file_bytes(path);
        std::string pw = fixtures::password(fixtures::oracle(name));
        try {
            auto w = jet::DatabaseWriter::open(path, pw);
            w->close();
            ++opened;
        } catch (const jet::Error& e) {
            EXPECT_NE(std::string(e.what()).find("cannot be opened for writing"), std::string::npos)
                << name << ": " << e.what();
        }
        EXPECT_EQ(zolvak_test::file_bytes(path), original) << name;
    }
    std::printf("fixtures opened for writing: %d\n", opened);
}

// A commit in place killed after each page write (and just before each,
// once the original image is in the journal): the next open finds the file
// exactly as before the transaction or exactly as after it.
TEST(WriterOpen, KillAtEveryPageWriteOfACommit) {
    OpenDir dir;
    std::string base = dir.file("base.mdb");
    make_base(base, 60);
    const std::string before = zolvak_test::file_bytes(base);
    auto rows = rows_of(base, "people");

    auto run = [&](const std::string& path, const jet::PageWriter::WriteObserver& observer) {
        auto w = jet::DatabaseWriter::open(path, "");
        w->begin();
        w->set_write_observer(observer);
        change(*w, rows);
        w->commit();
        w->close();  // writes the same pages again, past the commit point
    };
    std::string full = dir.file("full.mdb");
    fs::copy_file(base, full);
    int points = 0;
    run(full, [&](std::uint32_t, bool) { ++points; });
    const std::string after = zolvak_test::file_bytes(full);
    ASSERT_NE(before, after);
    ASSERT_GE(points, 100) << "too few kill points";

    int saw_before = 0, saw_after = 0;
    for (int k = 1; k <= points; ++k) {
        std::string path = dir.file("victim.mdb");
        fs::remove(path);
        fs::remove(jet::RollbackJournal::path_for(path));
        fs::copy_file(base, path);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int n = 0;
            try {
                run(path, [&](std::uint32_t, bool) {
                    if (++n == k) ::raise(SIGKILL);
                });
            } catch (...) {
                ::_exit(3);
            }
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "point " << k;
        // The next writer plays the journal back.
        ASSERT_NO_THROW(jet::DatabaseWriter::open(path, "")->close()) << "point " << k;
        std::string got = zolvak_test::file_bytes(path);
        if (got == before) {
            ++saw_before;
        } else {
            EXPECT_EQ(got, after) << "kill point " << k << " left the file in between";
            ++saw_after;
        }
    }
    EXPECT_GT(saw_before, 0);
    std::printf("kill points: %d (before: %d, after: %d)\n", points, saw_before, saw_after);
    RecordProperty("kill_points", points);
}
