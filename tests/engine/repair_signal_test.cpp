// A repair stopped by a real signal: whatever the moment, no file appears at
// the target, the temporary file is gone, the source is untouched, and the
// run says so and exits with 130.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/run/repair_run.h"
#include "jet/table/database.h"
#include "repair_support.h"

extern char** environ;

using namespace repair_test;

namespace {

// A program started with its standard output on a pipe that the test reads
// line by line.
class Child {
  public:
    Child(const std::string& program, const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        fd_ = out[0];
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads until a whole line starting with prefix has arrived; false at
    // the end of the output.
    bool Wait_For_Line(const std::string& prefix) {
        for (;;) {
            std::size_t nl;
            while ((nl = pending_.find('\n')) != std::string::npos) {
                std::string line = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                lines_.push_back(line);
                if (line.rfind(prefix, 0) == 0) return true;
            }
            if (!Read_Some()) return false;
        }
    }

    void Signal(int sig) { kill(pid_, sig); }

    // Reads to the end and waits for the exit; the exit status, or 128 plus
    // the signal that ended it.
    int Finish() {
        while (Read_Some()) {
        }
        std::size_t nl;
        while ((nl = pending_.find('\n')) != std::string::npos) {
            lines_.push_back(pending_.substr(0, nl));
            pending_.erase(0, nl + 1);
        }
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    const std::vector<std::string>& lines() const { return lines_; }

  private:
    bool Read_Some() {
        char buf[4096];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) return true;
        if (n <= 0) return false;
        pending_.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string pending_;
    std::vector<std::string> lines_;
};

// While it lives, runs started by the test hold at the first line that
// begins with `line` until a signal ends them.
struct Hold_At {
    explicit Hold_At(const std::string& line) { setenv("ZOLVAK_TEST_HOLD_AT", line.c_str(), 1); }
    ~Hold_At() { unsetenv("ZOLVAK_TEST_HOLD_AT"); }
    Hold_At(const Hold_At&) = delete;
    Hold_At& operator=(const Hold_At&) = delete;
};

// Files in dir, folders left out.
std::vector<std::string> Files_In(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        if (!e.is_directory()) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A sample big enough that the run still works when the line arrives.
class Interrupted : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        sample_dir_ = new Scratch();
        std::string src = sample_dir_->path("big.mdb");
        Command_Result r =
            Run_Mdbrepair(*sample_dir_, {"--sample", src, "--rows", "40000"});
        ASSERT_EQ(r.status, 0) << r.err;
        sample_ = new std::string(Read_File(src));
    }
    static void TearDownTestSuite() {
        delete sample_dir_;
        delete sample_;
    }
    static Scratch* sample_dir_;
    static std::string* sample_;
};
Scratch* Interrupted::sample_dir_ = nullptr;
std::string* Interrupted::sample_ = nullptr;

TEST_F(Interrupted, AtEveryMomentNoTargetAndNoTemporaryFileRemain) {
    struct Case {
        const char* what;
        int sig;
        std::string line;  // the signal goes out once this line has arrived
        bool replace;
    } cases[] = {
        {"copying the first table, SIGINT", SIGINT, "正在复制对象 ", false},
        {"copying the largest table, SIGTERM", SIGTERM, "正在复制对象 Orders", false},
        {"building the indexes, SIGHUP", SIGHUP, "正在创建约束 ", false},
        {"--replace copying, SIGTERM", SIGTERM, "正在复制对象 Orders", true},
        {"--replace building the indexes, SIGINT", SIGINT, "正在创建约束 ", true},
    };
    for (const Case& k : cases) {
        Scratch s;
        std::string src = s.path("big.mdb");
        Write_File(src, *sample_);
        std::string target = s.path("big.mdb.new");
        std::vector<std::string> args = {src};
        if (k.replace) args.insert(args.begin(), "--replace");
        Hold_At hold(k.line);
        Child child(Mdbrepair(), args);
        ASSERT_TRUE(child.Wait_For_Line(k.line)) << k.what;
        child.Signal(k.sig);
        EXPECT_EQ(child.Finish(), 130) << k.what;
        ASSERT_FALSE(child.lines().empty());
        EXPECT_EQ(child.lines().back(), REPAIR_MSG_INTERRUPTED) << k.what;
        for (const auto& l : child.lines()) EXPECT_NE(l, "修复完成") << k.what;
        EXPECT_EQ(Files_In(s.dir()), std::vector<std::string>{"big.mdb"})
            << k.what << ": only the source is left";
        EXPECT_TRUE(Read_File(src) == *sample_) << k.what << ": the source is untouched";
    }
}

// Several sources at once: a signal to mdbrepair reaches every run under way.
// The lines of a run appear only when it ends, so the signal goes out once
// both runs have their temporary files (both are held at their first copy).
TEST_F(Interrupted, SeveralAtOnceAllStop) {
    Scratch s;
    std::vector<std::string> sources = {s.path("a.mdb"), s.path("b.mdb")};
    for (const auto& src : sources) Write_File(src, *sample_);
    Hold_At hold("正在复制对象 ");
    Child child(Mdbrepair(), {"-j", "2", sources[0], sources[1]});
    auto temps = [&] {
        int n = 0;
        for (const std::string& f : Files_In(s.dir()))
            n += f.size() == 8 && (f.rfind("a.", 0) == 0 || f.rfind("b.", 0) == 0);
        return n;
    };
    // Each run makes its temporary file before its first line; the loop
    // ends when both exist (a run cannot finish without one).
    for (;;) {
        if (temps() == 2) break;
        // A run that got through (the test then fails) ends the wait too.
        if (fs::exists(sources[0] + ".new") || fs::exists(sources[1] + ".new")) break;
        std::this_thread::yield();
    }
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Finish(), 130);
    int interrupted = 0;
    for (const auto& l : child.lines()) interrupted += l == REPAIR_MSG_INTERRUPTED;
    EXPECT_EQ(interrupted, 2);
    EXPECT_EQ(Files_In(s.dir()), (std::vector<std::string>{"a.mdb", "b.mdb"}));
}

// A reader that goes away does not end the run half-way: the new file is
// made and nothing else is left.
TEST_F(Interrupted, AClosedPipeLetsTheRunComplete) {
    Scratch s;
    std::string src = s.path("big.mdb");
    Write_File(src, *sample_);
    std::string cmd = Quote(Mdbrepair()) + " --verbose " + Quote(src) + " 2>&1 | head -c 1 >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(Files_In(s.dir()), (std::vector<std::string>{"big.mdb", "big.mdb.new"}));
    EXPECT_NO_THROW(jet::Database::open(src + ".new", ""));
}

// Without a signal the same run ends with the target in place and nothing
// else beside it.
TEST_F(Interrupted, ARunThatEndsLeavesOnlyTheTarget) {
    Scratch s;
    std::string src = s.path("big.mdb");
    Write_File(src, *sample_);
    Command_Result r = Run_Mdbrepair(s, {src});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Files_In(s.dir()), (std::vector<std::string>{".err", ".in", ".out", "big.mdb",
                                                           "big.mdb.new"}));
}

}  // namespace
