// Two connections on one file, in one process and in two: one writer at a
// time, readers see committed data, nothing is lost or damaged.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "jet/write/create_database.h"
#include "jet/base/error.h"
#include "jet/sql/connection.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class ConcurrencyDir : public zolvak_test::ScratchDir {
public:
    ConcurrencyDir() : ScratchDir("zolvak-conc") {}
};

std::string scalar(jet::Connection& c, const std::string& sql) {
    auto rs = c.query(sql);
    rs->move_first();
    return rs->eof() ? std::string("<none>") : rs->text(0);
}

std::string counter_db(const ConcurrencyDir& dir) {
    std::string path = dir.file("c.mdb");
    jet::create_database(path)->close();
    auto c = jet::Connection::open(path);
    c->execute("CREATE TABLE counter (name TEXT(10), v LONG)");
    c->execute("INSERT INTO counter VALUES ('n', 0)");
    return path;
}

jet::ConnectionOptions timeout(std::chrono::milliseconds t) {
    jet::ConnectionOptions o;
    o.lock_timeout = t;
    return o;
}

}  // namespace

TEST(TxnConcurrency, SecondWriterInOneProcessGetsALockedError) {
    ConcurrencyDir dir;
    std::string path = counter_db(dir);
    auto a = jet::Connection::open(path, {}, timeout(50ms));
    auto b = jet::Connection::open(path, {}, timeout(50ms));
    a->begin_transaction();
    a->execute("UPDATE counter SET v = 5");
    // b reads committed data while a writes, and cannot write itself.
    EXPECT_EQ(scalar(*b, "SELECT v FROM counter"), "0");
    EXPECT_EQ(scalar(*a, "SELECT v FROM counter"), "5");
    try {
        b->execute("UPDATE counter SET v = 7");
        ADD_FAILURE() << "the second writer was let in";
    } catch (const jet::Error& e) {
        EXPECT_NE(std::string(e.what()).find("is locked: another connection is writing to it"),
                  std::string::npos)
            << e.what();
    }
    // A failed statement leaves b usable; a's commit becomes visible to b.
    a->commit();
    EXPECT_EQ(scalar(*b, "SELECT v FROM counter"), "5");
    EXPECT_EQ(b->execute("UPDATE counter SET v = v + 1").rows_affected, 1u);
    EXPECT_EQ(scalar(*a, "SELECT v FROM counter"), "6");
    // A transaction that only reads takes no lock.
    a->begin_transaction();
    EXPECT_EQ(scalar(*a, "SELECT v FROM counter"), "6");
    EXPECT_EQ(b->execute("UPDATE counter SET v = 1").rows_affected, 1u);
    a->roll_back();
    // Rolling back frees the lock too.
    a->begin_transaction();
    a->execute("INSERT INTO counter VALUES ('m', 1)");
    a->roll_back();
    EXPECT_EQ(b->execute("INSERT INTO counter VALUES ('k', 2)").rows_affected, 1u);
    EXPECT_EQ(scalar(*a, "SELECT COUNT(*) FROM counter"), "2");
}

TEST(TxnConcurrency, TwoProcessesWritingInTurnLoseNothing) {
    ConcurrencyDir dir;
    std::string path = counter_db(dir);
    constexpr int kRounds = 25;
    pid_t kids[2];
    for (pid_t& kid : kids) {
        kid = ::fork();
        ASSERT_GE(kid, 0);
        if (kid == 0) {
            int code = 0;
            try {
                auto c = jet::Connection::open(path, {}, timeout(60000ms));
                for (int i = 0; i < kRounds; ++i) {
                    c->begin_transaction();
                    c->execute("UPDATE counter SET v = v + 1 WHERE name = 'n'");
                    c->execute("INSERT INTO counter (name, v) VALUES ('p" +
                               std::to_string(::getpid() % 1000) + "', " + std::to_string(i) + ")");
                    c->commit();
                }
            } catch (const std::exception& e) {
                std::fprintf(stderr, "child failed: %s\n", e.what());
                code = 1;
            }
            ::_exit(code);
        }
    }
    for (pid_t kid : kids) {
        int status = 0;
        ::waitpid(kid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto c = jet::Connection::open(path);
    EXPECT_EQ(scalar(*c, "SELECT v FROM counter WHERE name = 'n'"), std::to_string(2 * kRounds));
    EXPECT_EQ(scalar(*c, "SELECT COUNT(*) FROM counter"), std::to_string(1 + 2 * kRounds));
    EXPECT_FALSE(fs::exists(path + ".txn"));
}

TEST(TxnConcurrency, MakeTableReadsASourceThatAnotherConnectionWrites) {
    ConcurrencyDir dir;
    std::string source = counter_db(dir);
    std::string target = dir.file("target.mdb");
    jet::create_database(target)->close();
    // A connection reads the source, so its writer goes through a shadow copy
    // and the make-table reads the committed file meanwhile.
    auto viewer = jet::Connection::open(source);
    EXPECT_EQ(scalar(*viewer, "SELECT v FROM counter"), "0");
    auto writer = jet::Connection::open(source);
    writer->begin_transaction();
    writer->execute("UPDATE counter SET v = 99");
    EXPECT_FALSE(fs::exists(source + "-journal"));
    auto t = jet::Connection::open(target);
    EXPECT_EQ(t->execute("SELECT * INTO copied FROM [" + source + "].counter").rows_affected, 1u);
    // The copy holds the committed row, not the uncommitted change.
    EXPECT_EQ(scalar(*t, "SELECT v FROM copied"), "0");
    writer->commit();
    EXPECT_EQ(scalar(*writer, "SELECT v FROM counter"), "99");
    EXPECT_EQ(scalar(*viewer, "SELECT v FROM counter"), "99");
}

TEST(TxnConcurrency, NobodyReadsAFileWhileItChangesInPlace) {
    ConcurrencyDir dir;
    std::string source = counter_db(dir);
    std::string target = dir.file("target.mdb");
    jet::create_database(target)->close();
    auto writer = jet::Connection::open(source);
    writer->begin_transaction();
    writer->execute("UPDATE counter SET v = 99");
    ASSERT_TRUE(fs::exists(source + "-journal")) << "alone on the file, the writer works in place";
    auto expect_locked = [&](const std::function<void()>& read) {
        try {
            read();
            ADD_FAILURE() << "read a file during an in-place transaction";
        } catch (const jet::Error& e) {
            EXPECT_NE(std::string(e.what()).find("is locked: another connection is writing to it"),
                      std::string::npos)
                << e.what();
        }
    };
    // A new connection and the source of a make-table wait, then fail.
    expect_locked([&] { jet::Connection::open(source, {}, timeout(50ms)); });
    auto t = jet::Connection::open(target, {}, timeout(50ms));
    expect_locked([&] { t->execute("SELECT * INTO copied FROM [" + source + "].counter"); });
    // The writer reads its own change.
    EXPECT_EQ(scalar(*writer, "SELECT v FROM counter"), "99");
    writer->commit();
    EXPECT_FALSE(fs::exists(source + "-journal"));
    EXPECT_EQ(t->execute("SELECT * INTO copied FROM [" + source + "].counter").rows_affected, 1u);
    EXPECT_EQ(scalar(*t, "SELECT v FROM copied"), "99");
    // Roll-back in place: the next reader sees the file as it was.
    writer->begin_transaction();
    writer->execute("DELETE FROM counter");
    writer->roll_back();
    auto r = jet::Connection::open(source, {}, timeout(50ms));
    EXPECT_EQ(scalar(*r, "SELECT COUNT(*) FROM counter"), "1");
}

TEST(TxnConcurrency, ASecondWriterWaitsForTheFirst) {
    ConcurrencyDir dir;
    std::string path = counter_db(dir);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t kid = ::fork();
    ASSERT_GE(kid, 0);
    if (kid == 0) {
        ::close(fds[0]);
        auto c = jet::Connection::open(path);
        c->begin_transaction();
        c->execute("UPDATE counter SET v = 10");
        char b = 'L';
        if (::write(fds[1], &b, 1) != 1) ::_exit(2);
        ::usleep(200000);
        c->commit();
        ::_exit(0);
    }
    ::close(fds[1]);
    char b = 0;
    ASSERT_EQ(::read(fds[0], &b, 1), 1);  // the child holds the lock now
    ::close(fds[0]);
    auto c = jet::Connection::open(path, {}, timeout(60000ms));
    EXPECT_EQ(c->execute("UPDATE counter SET v = v + 1").rows_affected, 1u);
    int status = 0;
    ::waitpid(kid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(scalar(*c, "SELECT v FROM counter"), "11");
}
