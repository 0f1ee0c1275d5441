// Per-thread error manager.
#include "capture_stdout.h"
#include "stdclass/cpp/err/thr_err.h"
#include "stdclass/mem_reg.h"
#include "worker.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <barrier>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

class ThrErr : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("ZOLVAK_DLL_PATH", "/nonexistent/stdclass_modules", 1);
        Thr_Clear_Err();
    }
    void TearDown() override { Thr_Clear_Err(); }
};

std::string Err_Text(int* code = nullptr, int len = 0) {
    char buf[THR_ERR_MSG_LEN];
    memset(buf, 'G', sizeof(buf) - 1);  // garbage the call must overwrite
    buf[sizeof(buf) - 1] = 0;
    return Thr_Get_Err(code, buf, len);
}

void* Failing_Alloc(int, const char*) { return nullptr; }

}  // namespace

TEST_F(ThrErr, ThreadWithoutErrorReadsCodeZeroAndEmptyText) {
    int code = 77;
    EXPECT_EQ(Err_Text(&code), "");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Thr_Get_Err_Code(), 0);
    EXPECT_EQ(Thr_Clear_Err(), 1);
}

TEST_F(ThrErr, SetReturnsZeroAndNullTextReadsNotDefine) {
    EXPECT_EQ(Thr_Set_Err(-1, nullptr, nullptr), 0);
    int code = 0;
    EXPECT_EQ(Err_Text(&code), "not define");
    EXPECT_EQ(code, -1);
}

TEST_F(ThrErr, SecondSetFromOneThreadReplacesTheFirstInOneSlot) {
    Thr_Set_Err(1, "first");
    int count = Thr_Get_Err_Mgr()->count;
    Thr_Set_Err(2, "second");
    EXPECT_EQ(Thr_Get_Err_Mgr()->count, count);
    int code = 0;
    EXPECT_EQ(Err_Text(&code), "second");
    EXPECT_EQ(code, 2);
    Thr_Clear_Err();
    EXPECT_EQ(Thr_Get_Err_Code(), 0);
    EXPECT_EQ(Thr_Get_Err_Mgr()->count, count - 1);
}

TEST_F(ThrErr, GetErrCutsOnlyWhenLenIsShorterThanTheText) {
    Thr_Set_Err(3, "abcdefgh");
    struct Case {
        int len;
        const char* expected;
    };
    const Case cases[] = {{5, "abcde"}, {1, "a"}, {7, "abcdefg"}, {8, "abcdefgh"},
                          {9, "abcdefgh"}, {0, "abcdefgh"}, {-3, "abcdefgh"}};
    for (const Case& c : cases) EXPECT_EQ(Err_Text(nullptr, c.len), c.expected) << c.len;
    EXPECT_EQ(Thr_Get_Err(nullptr, nullptr, 0), nullptr);
}

TEST_F(ThrErr, FormattedMessage) {
    EXPECT_EQ(Thr_Set_Err_Fmt(99, "key attr %s not set", "id"), 0);
    EXPECT_EQ(Err_Text(), "key attr id not set");
    EXPECT_EQ(Thr_Get_Err_Code(), 99);
}

TEST_F(ThrErr, FormattedMessageTooLongKeepsTheCodeWithoutText) {
    std::string big(THR_ERR_MSG_LEN, 'x');
    std::string out = Capture_Stdout([&] { Thr_Set_Err_Fmt(-1, "%s", big.c_str()); });
    EXPECT_EQ(out, "Thr_Set_Err_Fmt message too long (2048 bytes)\n");
    int code = 0;
    EXPECT_EQ(Err_Text(&code), "not define");
    EXPECT_EQ(code, -1);
    big.pop_back();  // 2047 bytes fit
    Thr_Set_Err_Fmt(-2, "%s", big.c_str());
    EXPECT_EQ(Err_Text(), big);
}

// Three threads hold errors; clearing the first moves the third into its
// slot, which a fourth thread's error must not disturb.
TEST_F(ThrErr, ClearMovesTheLastEntryIntoTheFreedSlot) {
    auto err = std::make_unique<TThr_Err>();
    Worker t1, t2, t3, t4;
    int id[5] = {};
    auto set = [&](Worker& w, int n, const char* text) {
        w.Do([&, n, text] {
            id[n] = Thread_Get_Id();
            err->Set_Err(n, text);
        });
    };
    auto read = [&](Worker& w) {
        std::string text;
        int code = 0;
        w.Do([&] {
            char buf[64];
            text = err->Get_Err(&code, buf, 0);
        });
        return std::to_string(code) + ":" + text;
    };
    set(t1, 1, "one");
    set(t2, 2, "two");
    set(t3, 3, "three");
    ASSERT_EQ(err->count, 3);
    const char* text3 = err->entries[2].text;

    t1.Do([&] { EXPECT_EQ(err->Clear_Err(), 1); });
    ASSERT_EQ(err->count, 2);
    EXPECT_EQ(err->entries[0].thread_id, id[3]);
    EXPECT_EQ(err->entries[0].text, text3) << "moved, not copied";
    EXPECT_EQ(err->entries[2].text, nullptr) << "the vacated slot keeps no text";
    EXPECT_EQ(read(t2), "2:two");
    EXPECT_EQ(read(t3), "3:three");
    EXPECT_EQ(read(t1), "0:");

    set(t4, 4, "four");
    ASSERT_EQ(err->count, 3);
    EXPECT_EQ(err->entries[2].thread_id, id[4]);
    EXPECT_EQ(read(t3), "3:three");
    EXPECT_EQ(read(t4), "4:four");

    for (Worker* w : {&t2, &t3, &t4}) w->Do([&] { err->Clear_Err(); });
    EXPECT_EQ(err->count, 0);
}

// Sixty threads hold errors at the same time on the process-wide manager:
// the table grows past its first 50 entries and nothing is lost.
TEST_F(ThrErr, SixtyThreadsHoldErrorsAtOnce) {
    constexpr int kThreads = 60;
    Get_Thr_Err_Mgr();
    TThr_Err* mgr = Thr_Get_Err_Mgr();
    std::barrier all_set(kThreads + 1), checked(kThreads + 1), all_read(kThreads + 1);
    std::vector<std::string> got(kThreads);
    std::vector<int> codes(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; i++) {
        threads.emplace_back([&, i] {
            Thr_Set_Err(1000 + i, ("error of thread " + std::to_string(i)).c_str());
            all_set.arrive_and_wait();
            checked.arrive_and_wait();
            char buf[64];
            got[i] = Thr_Get_Err(&codes[i], buf, 0);
            all_read.arrive_and_wait();
            Thr_Clear_Err();
        });
    }
    all_set.arrive_and_wait();
    EXPECT_EQ(mgr->count, kThreads);
    EXPECT_EQ(mgr->capacity, 100);
    for (int i = kThreads; i < mgr->capacity; i++) EXPECT_EQ(mgr->entries[i].thread_id, -1) << i;
    checked.arrive_and_wait();
    all_read.arrive_and_wait();
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; i++) {
        EXPECT_EQ(codes[i], 1000 + i);
        EXPECT_EQ(got[i], "error of thread " + std::to_string(i));
    }
    EXPECT_EQ(mgr->count, 0);
}

TEST_F(ThrErr, MessageCopyFailure) {
    auto err = std::make_unique<TThr_Err>();
    err->MemSafe_Alloc = Failing_Alloc;
    // A thread without a slot: nothing is recorded.
    std::string out = Capture_Stdout([&] { EXPECT_EQ(err->Set_Err(5, "text"), 0); });
    EXPECT_EQ(out, "alloc fail stdclass/cpp/err 105\n");
    EXPECT_EQ(err->count, 0);
    EXPECT_EQ(err->Get_Err_Code(), 0);
    // A thread with a slot keeps the new code without text.
    err->MemSafe_Alloc = Mem_New;
    err->Set_Err(1, "old");
    err->MemSafe_Alloc = Failing_Alloc;
    Capture_Stdout([&] { err->Set_Err(2, "new"); });
    char buf[32];
    int code = 0;
    EXPECT_STREQ(err->Get_Err(&code, buf, 0), "not define");
    EXPECT_EQ(code, 2);
    err->Clear_Err();
}

TEST_F(ThrErr, GrowthFailureDropsTheErrorInsteadOfWritingPastTheTable) {
    auto err = std::make_unique<TThr_Err>();
    for (int i = 0; i < err->capacity; i++) err->entries[i].thread_id = -100 - i;  // other threads
    err->count = err->capacity;
    err->MemSafe_Alloc = Failing_Alloc;
    std::string out = Capture_Stdout([&] { EXPECT_EQ(err->Set_Err(7, nullptr), 0); });
    EXPECT_EQ(out, "alloc fail in TThr_Err::Expand_Mem\n");
    EXPECT_EQ(err->capacity, 50);
    EXPECT_EQ(err->count, 50);
    EXPECT_EQ(err->Get_Err_Code(), 0);
    err->MemSafe_Alloc = Mem_New;
    EXPECT_EQ(err->Set_Err(7, "grown"), 0);
    EXPECT_EQ(err->capacity, 100);
    EXPECT_EQ(err->count, 51);
    EXPECT_EQ(err->Get_Err_Code(), 7);
    EXPECT_EQ(err->entries[50].thread_id, Thread_Get_Id());
    EXPECT_EQ(err->entries[51].thread_id, -1);
    err->Clear_Err();
    err->count = 0;
}
