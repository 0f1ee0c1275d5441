// The rollback journal on a plain file of pages: an in-place commit killed
// at any step is undone by recovery, with its syncs or with them deferred;
// a finished one stays.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "jet/write/create_database.h"
#include "jet/base/error.h"
#include "jet/page/sync.h"
#include "jet/sql/connection.h"
#include "jet/txn/journal.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kJournalPage = 512;
constexpr std::uint32_t kPages = 80;

class JournalDir : public zolvak_test::ScratchDir {
public:
    JournalDir() : ScratchDir("zolvak-journal") {}
};

std::vector<std::uint8_t> image(std::uint32_t page, std::uint8_t generation) {
    std::vector<std::uint8_t> b(kJournalPage);
    for (std::uint32_t i = 0; i < kJournalPage; ++i) b[i] = static_cast<std::uint8_t>(page * 7 + i + generation * 101);
    return b;
}

void write_original(const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (std::uint32_t p = 0; p < kPages; ++p) {
        auto b = image(p, 0);
        out.write(reinterpret_cast<const char*>(b.data()), kJournalPage);
    }
}

// An in-place commit: every second page overwritten (some twice), four pages
// appended, the file synced, the journal deleted. `step` is called between
// all of these.
void commit_in_place(const std::string& path, const std::function<void()>& step) {
    int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    auto j = jet::RollbackJournal::begin(path, kJournalPage, std::uint64_t{kPages} * kJournalPage);
    step();
    auto put = [&](std::uint32_t page, std::uint8_t gen) {
        if (page < kPages) {
            std::vector<std::uint8_t> old(kJournalPage);
            ASSERT_EQ(::pread(fd, old.data(), kJournalPage, static_cast<off_t>(page) * kJournalPage), kJournalPage);
            j.save(page, old);
            step();
        }
        auto b = image(page, gen);
        ASSERT_EQ(::pwrite(fd, b.data(), kJournalPage, static_cast<off_t>(page) * kJournalPage), kJournalPage);
        step();
    };
    for (std::uint32_t p = 0; p < kPages; p += 2) put(p, 1);
    for (std::uint32_t p = 0; p < kPages; p += 9) put(p, 2);  // again: saved once
    for (std::uint32_t p = kPages; p < kPages + 4; ++p) put(p, 1);
    ASSERT_EQ(::fsync(fd), 0);
    step();
    j.commit();
    step();
    ::close(fd);
}

// Kills a commit at each of its steps in turn and recovers: the file is
// either as before or as after. With `deferred`, the commit runs with its
// syncs deferred, as a new file written under a temporary name does.
void kill_at_every_step(bool deferred) {
    JournalDir dir;
    std::string base = dir.file("base.db");
    write_original(base);
    const std::string before = zolvak_test::file_bytes(base);
    std::string done = dir.file("done.db");
    fs::copy_file(base, done);
    int steps = 0;
    commit_in_place(done, [&] { ++steps; });
    const std::string after = zolvak_test::file_bytes(done);
    ASSERT_NE(before, after);
    ASSERT_GE(steps, 100);

    int saw_before = 0, saw_after = 0;
    for (int k = 1; k <= steps; ++k) {
        std::string path = dir.file("victim.db");
        fs::remove(path);
        fs::remove(jet::RollbackJournal::path_for(path));
        fs::copy_file(base, path);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (deferred) jet::defer_syncs(path);
            int n = 0;
            commit_in_place(path, [&] {
                if (++n == k) ::raise(SIGKILL);
            });
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << k;
        int restored = jet::RollbackJournal::recover(path);
        std::string got = zolvak_test::file_bytes(path);
        if (got == before) {
            ++saw_before;
        } else {
            EXPECT_EQ(got, after) << "step " << k << " (restored " << restored << ")";
            EXPECT_EQ(restored, -1) << "a committed file has no journal left";
            ++saw_after;
        }
        EXPECT_FALSE(fs::exists(jet::RollbackJournal::path_for(path)));
    }
    EXPECT_GT(saw_before, 0);
    EXPECT_GT(saw_after, 0);
    std::printf("journal kill steps: %d (before: %d, after: %d)\n", steps, saw_before, saw_after);
}

}  // namespace

TEST(TxnJournal, KillAtEveryStepThenRecover) {
    kill_at_every_step(false);
}

// A killed process loses nothing the page cache holds: the journal needs no
// sync for that, only for a lost machine.
TEST(TxnJournal, KillAtEveryStepWithDeferredSyncsThenRecover) {
    kill_at_every_step(true);
}

TEST(DeferredSyncs, CoverTheFileAndItsSideFilesUntilEnded) {
    JournalDir dir;
    const std::string path = dir.file("new.mdb");
    write_original(path);
    jet::defer_syncs(path);
    struct Case {
        std::string file;
        bool needed;
    };
    const Case cases[] = {
        {path, false},
        {path + "-journal", false},
        {path + ".txn", false},
        {fs::path(path).parent_path().string() + "/./new.mdb", false},
        {dir.file("new.md"), true},
        {dir.file("other.mdb"), true},
    };
    for (const Case& c : cases) EXPECT_EQ(jet::sync_needed(c.file), c.needed) << c.file;
    EXPECT_NO_THROW(jet::end_deferred_syncs(path));
    EXPECT_TRUE(jet::sync_needed(path));
    EXPECT_TRUE(jet::sync_needed(path + "-journal"));
    // A file that is gone cannot be made durable: an error, not a success.
    jet::defer_syncs(dir.file("gone.mdb"));
    EXPECT_THROW(jet::end_deferred_syncs(dir.file("gone.mdb")), jet::Error);
    EXPECT_TRUE(jet::sync_needed(dir.file("gone.mdb")));
}

TEST(TxnJournal, RollBackTornRecordAndSecondJournal) {
    JournalDir dir;
    std::string path = dir.file("a.db");
    write_original(path);
    const std::string before = zolvak_test::file_bytes(path);
    int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    {
        auto j = jet::RollbackJournal::begin(path, kJournalPage, std::uint64_t{kPages} * kJournalPage);
        EXPECT_THROW(jet::RollbackJournal::begin(path, kJournalPage, 0), jet::Error);
        for (std::uint32_t p : {3u, 4u}) {
            std::vector<std::uint8_t> old(kJournalPage);
            ASSERT_EQ(::pread(fd, old.data(), kJournalPage, static_cast<off_t>(p) * kJournalPage), kJournalPage);
            j.save(p, old);
            auto b = image(p, 9);
            ASSERT_EQ(::pwrite(fd, b.data(), kJournalPage, static_cast<off_t>(p) * kJournalPage), kJournalPage);
        }
        EXPECT_TRUE(j.saved(3));
        EXPECT_FALSE(j.saved(5));
        j.roll_back();
    }
    EXPECT_EQ(zolvak_test::file_bytes(path), before);
    // A torn last record (its page never written) is ignored; the rest is played back.
    {
        auto j = jet::RollbackJournal::begin(path, kJournalPage, std::uint64_t{kPages} * kJournalPage);
        std::vector<std::uint8_t> old(kJournalPage);
        ASSERT_EQ(::pread(fd, old.data(), kJournalPage, 0), kJournalPage);
        j.save(0, old);
        auto b = image(0, 9);
        ASSERT_EQ(::pwrite(fd, b.data(), kJournalPage, 0), kJournalPage);
        ASSERT_EQ(::pread(fd, old.data(), kJournalPage, kJournalPage), kJournalPage);
        j.save(1, old);
    }
    std::string jp = jet::RollbackJournal::path_for(path);
    fs::resize_file(jp, fs::file_size(jp) - 10);
    EXPECT_EQ(jet::RollbackJournal::recover(path), 1);
    EXPECT_EQ(zolvak_test::file_bytes(path), before);
    EXPECT_EQ(jet::RollbackJournal::recover(path), -1);
    ::close(fd);
}

// A connection that opens a database left with a journal plays it back first.
TEST(TxnJournal, ConnectionRecoversAJournalAtOpen) {
    JournalDir dir;
    std::string path = dir.file("db.mdb");
    jet::create_database(path)->close();
    {
        auto c = jet::Connection::open(path);
        c->execute("CREATE TABLE t (a LONG)");
        c->execute("INSERT INTO t VALUES (42)");
    }
    const std::string before = zolvak_test::file_bytes(path);
    // An in-place commit that died after wiping the catalog's page.
    int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    {
        auto j = jet::RollbackJournal::begin(path, 4096, fs::file_size(path));
        std::vector<std::uint8_t> old(4096);
        ASSERT_EQ(::pread(fd, old.data(), 4096, 2 * 4096), 4096);
        j.save(2, old);
        std::vector<std::uint8_t> zeros(4096, 0);
        ASSERT_EQ(::pwrite(fd, zeros.data(), 4096, 2 * 4096), 4096);
        ASSERT_EQ(::pwrite(fd, zeros.data(), 4096, static_cast<off_t>(fs::file_size(path))), 4096);
    }
    ::close(fd);
    auto c = jet::Connection::open(path);
    EXPECT_EQ(zolvak_test::file_bytes(path), before);
    auto rs = c->query("SELECT a FROM t");
    rs->move_first();
    EXPECT_EQ(rs->text(0), "42");
    EXPECT_FALSE(fs::exists(jet::RollbackJournal::path_for(path)));
}
