// Crash safety of commit: a child process runs a transaction and is killed
// at one point of it; the file must then hold exactly the state before the
// transaction or exactly the state after it, must open, and must take the
// next writer. Both ways of writing are killed: in place under the rollback
// journal (the writer alone on the file; a kill point before and after every
// page write) and through the shadow copy (another connection reads the
// file meanwhile).
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "jet/write/create_database.h"
#include "jet/base/error.h"
#include "jet/index/page.h"
#include "jet/sql/connection.h"
#include "jet/sql/eval.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

class CrashDir : public zolvak_test::ScratchDir {
public:
    CrashDir() : ScratchDir("zolvak-crash") {}
};

// Everything a reader sees: tables, columns, indexes with their entry
// counts, rows (sorted). Throws when the file does not read. Read through a
// connection, which plays back the journal a killed commit left.
std::string fingerprint(const std::string& path) {
    auto c = jet::Connection::open(path);
    jet::Database* db = &c->database();
    std::string out;
    for (const auto& t : db->tables()) {
        if (t.kind != jet::TableKind::kTable) continue;
        jet::TableDef def = db->table_def(t.name);
        out += t.name + ":";
        for (const auto& c : def.columns) out += c.name + ",";
        std::multiset<std::string> rows;
        for (const auto& r : db->read_all(def)) {
            std::string line;
            for (const auto& v : r) line += jet::sql::value_text(v) + "|";
            rows.insert(line);
        }
        for (const auto& ix : def.indexes) {
            auto entries = jet::read_index_entries(
                [&](std::uint32_t n) {
                    static thread_local jet::PageRef keep;
                    keep = db->file().page(n);
                    return keep->span();
                },
                def.format, ix.first_page, db->file().page_count(), def.name);
            out += " idx " + ix.name + "=" + std::to_string(entries.size());
            if (entries.size() != rows.size()) out += "(INDEX AND ROWS DISAGREE)";
        }
        out += "\n";
        for (const auto& r : rows) out += "  " + r + "\n";
    }
    return out;
}

void make_base(const std::string& path) {
    jet::create_database(path)->close();
    auto c = jet::Connection::open(path);
    c->begin_transaction();
    c->execute("CREATE TABLE acct (id LONG, name TEXT(20), amount LONG, note MEMO)");
    for (int i = 0; i < 20; ++i) {
        c->execute("INSERT INTO acct VALUES (" + std::to_string(i) + ", 'name " +
                   std::to_string(i) + "', " + std::to_string(i * 10) + ", '" +
                   std::string(static_cast<std::size_t>(i * 150), 'm') + "')");
    }
    c->execute("CREATE UNIQUE INDEX acct_id ON acct (id)");
    c->commit();
}

// The transaction under test: every kind of change, then commit. With
// `shadow`, another connection reads the file all along, so the transaction
// writes through the shadow copy; alone it writes in place.
void run_transaction(const std::string& path, const std::function<void(std::string_view)>& hook,
                     bool shadow) {
    std::unique_ptr<jet::Connection> reader;
    if (shadow) reader = jet::Connection::open(path);
    jet::ConnectionOptions o;
    o.crash_point = hook;
    auto c = jet::Connection::open(path, {}, o);
    c->begin_transaction();
    for (int i = 100; i < 160; ++i) {
        c->execute("INSERT INTO acct (id, name, amount) VALUES (" + std::to_string(i) + ", 'new " +
                   std::to_string(i) + "', " + std::to_string(i) + ")");
    }
    c->execute("UPDATE acct SET amount = amount + 1 WHERE id < 10");
    c->execute("DELETE FROM acct WHERE id >= 150");
    c->execute("CREATE INDEX acct_name ON acct (name)");
    c->execute("CREATE TABLE extra (k LONG, v TEXT(10))");
    c->execute("INSERT INTO extra VALUES (1, 'one')");
    c->execute("DROP INDEX acct_id ON acct");
    // New tables only the commit writes out (definitions, maps, keys).
    for (int i = 0; i < 6; ++i) {
        std::string t = "more" + std::to_string(i);
        c->execute("CREATE TABLE " + t + " (k LONG PRIMARY KEY, v TEXT(10))");
        c->execute("INSERT INTO " + t + " VALUES (" + std::to_string(i) + ", 'v')");
    }
    c->commit();
}

std::string copy_of(const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    return to;
}

}  // namespace

std::string fresh_victim(const CrashDir& dir, const std::string& base) {
    std::string path = dir.file("victim.mdb");
    for (const char* left : {".txn", ".txn~", "-journal"}) fs::remove(path + left);
    return copy_of(base, path);
}

class TxnCrash : public ::testing::TestWithParam<bool> {};

// Kills the child at every point the transaction passes (the shadow path:
// named points of copying, writing and committing; in place: those and
// every page write, before and after the bytes reach the file).
TEST_P(TxnCrash, KillAtEveryPointOfACommit) {
    const bool shadow = GetParam();
    CrashDir dir;
    std::string base = dir.file("base.mdb");
    make_base(base);
    const std::string before = fingerprint(base);

    // The state after, the points the transaction passes, and where its
    // commit begins.
    std::string full = copy_of(base, dir.file("full.mdb"));
    int points = 0, commit_from = 0;
    run_transaction(
        full,
        [&](std::string_view p) {
            ++points;
            if (p == "commit:begin") commit_from = points;
        },
        shadow);
    const std::string after = fingerprint(full);
    ASSERT_NE(before, after);
    ASSERT_GT(commit_from, 0);
    ASSERT_GE(points, 100) << "too few kill points";
    EXPECT_FALSE(fs::exists(full + "-journal"));

    int saw_before = 0, saw_after = 0, journals = 0, shadows = 0;
    for (int k = 1; k <= points; ++k) {
        std::string path = fresh_victim(dir, base);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int n = 0;
            try {
                run_transaction(
                    path,
                    [&](std::string_view) {
                        if (++n == k) ::raise(SIGKILL);
                    },
                    shadow);
            } catch (...) {
                ::_exit(3);
            }
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "point " << k;
        journals += fs::exists(path + "-journal");
        shadows += fs::exists(path + ".txn") || fs::exists(path + ".txn~");
        std::string got;
        ASSERT_NO_THROW(got = fingerprint(path)) << "point " << k;
        EXPECT_FALSE(fs::exists(path + "-journal")) << "point " << k;
        if (got == before) {
            ++saw_before;
        } else {
            EXPECT_EQ(got, after) << "kill point " << k << " left the file in between";
            ++saw_after;
        }
        // The next writer finds the file usable (a dead writer's shadow,
        // journal and locks are gone).
        auto c = jet::Connection::open(path);
        EXPECT_NO_THROW(c->execute("INSERT INTO acct (id, name) VALUES (999, 'next')")) << k;
    }
    // Killed before the commit point: old state; after it: new state.
    EXPECT_GT(saw_before, 0);
    EXPECT_GT(saw_after, 0);
    if (shadow) {
        EXPECT_EQ(journals, 0);
        EXPECT_GT(shadows, 0);
    } else {
        EXPECT_GT(journals, 0);
        EXPECT_EQ(shadows, 0);
        EXPECT_GE(points - commit_from + 1, 100) << "too few kill points inside the commit";
    }
    RecordProperty("kill_points", points);
    std::printf("%s: kill points: %d, %d of them in the commit (before: %d, after: %d)\n",
                shadow ? "shadow" : "in place", points, points - commit_from + 1, saw_before,
                saw_after);
}

// Kills inside the writer's own page writes, which the named points do not
// reach: the parent kills the child at staggered moments after it began to
// commit. Whatever moment the kill hits, the verdict is the same.
TEST_P(TxnCrash, KillDuringTheWritersPageWrites) {
    const bool shadow = GetParam();
    CrashDir dir;
    std::string base = dir.file("base.mdb");
    make_base(base);
    const std::string before = fingerprint(base);
    std::string full = copy_of(base, dir.file("full.mdb"));
    run_transaction(full, {}, shadow);
    const std::string after = fingerprint(full);

    for (int k = 0; k < 40; ++k) {
        std::string path = fresh_victim(dir, base);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            try {
                run_transaction(
                    path,
                    [&](std::string_view point) {
                        if (point == "commit:begin") {
                            char b = 'c';
                            if (::write(fds[1], &b, 1) != 1) ::_exit(4);
                        }
                    },
                    shadow);
            } catch (...) {
                ::_exit(3);
            }
            ::_exit(0);
        }
        ::close(fds[1]);
        char b = 0;
        bool reached = ::read(fds[0], &b, 1) == 1;
        ::close(fds[0]);
        if (reached) {
            ::usleep(static_cast<useconds_t>(k * 150));
            ::kill(pid, SIGKILL);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        std::string got;
        ASSERT_NO_THROW(got = fingerprint(path)) << "delay step " << k;
        EXPECT_TRUE(got == before || got == after) << "delay step " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, TxnCrash, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Shadow" : "InPlace");
                         });
