// The local thread manager: made when no registry module publishes one.
#include "capture_stdout.h"
#include "stdclass/thread_mgr.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

int Os_Tid() { return static_cast<int>(syscall(SYS_gettid)); }

// No registry module in this directory: the binding fails silently.
void Use_Empty_Module_Dir() { setenv("ZOLVAK_DLL_PATH", "/nonexistent/stdclass_modules", 1); }

}  // namespace

TEST(LocalThreadMgr, CreatedOnceSilentlyWithoutRegistryOrThreadingModule) {
    Use_Empty_Module_Dir();
    std::string out = Capture_Stdout([] {
        EXPECT_EQ(Get_Thread_Mgr(), 1);
        EXPECT_EQ(Get_Thread_Mgr(), 1);
    });
    EXPECT_EQ(out, "");
    TThread_Mgr_Cb* local = Thread_Get_Local_Mgr();
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(Thread_Get_Mgr(), static_cast<TThread_Mgr*>(local));
    EXPECT_EQ(Thread_Vc_Bound(), 1);
    EXPECT_EQ(Thread_Vc_Handle(), nullptr);
}

TEST(LocalThreadMgr, ThreadIdIsTheOsThreadId) {
    Use_Empty_Module_Dir();
    EXPECT_EQ(Thread_Get_Id(), Os_Tid());
    int other = 0, other_os = 0;
    std::thread t([&] {
        other = Thread_Get_Id();
        other_os = Os_Tid();
    });
    t.join();
    EXPECT_EQ(other, other_os);
    EXPECT_NE(other, Thread_Get_Id());
}

TEST(LocalThreadMgr, LockTakenTwiceIsHeldUntilReleasedTwice) {
    Use_Empty_Module_Dir();
    TThread_Lock* lock = Thread_Create_Lock();
    auto* cb = dynamic_cast<TThread_Lock_Cb*>(lock);
    ASSERT_NE(cb, nullptr);
    auto other_can_take = [&] {
        bool took = false;
        std::thread t([&] {
            took = cb->cs->try_lock();
            if (took) cb->cs->unlock();
        });
        t.join();
        return took;
    };
    EXPECT_EQ(lock->Lock(), 1);
    EXPECT_EQ(lock->Lock(), 1);
    EXPECT_FALSE(other_can_take());
    EXPECT_EQ(lock->Unlock(), 1);
    EXPECT_FALSE(other_can_take()) << "still held once";
    EXPECT_EQ(lock->Unlock(), 1);
    EXPECT_TRUE(other_can_take());

    // A thread that asks for the lock waits for the holder's last release.
    std::vector<std::string> order;
    std::mutex m;
    std::condition_variable cv;
    bool waiting = false;
    std::thread t;
    {
        TThread_Safe outer(lock);
        TThread_Safe inner(lock);
        t = std::thread([&] {
            {
                std::lock_guard<std::mutex> g(m);
                waiting = true;
            }
            cv.notify_one();
            TThread_Safe guard(lock);
            order.push_back("other");
        });
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [&] { return waiting; });
        order.push_back("holder");
    }
    t.join();
    EXPECT_EQ(order, (std::vector<std::string>{"holder", "other"}));
    EXPECT_EQ(Thread_Free_Lock(lock), 1);
}

TEST(LocalThreadMgr, GuardedCounterIsExactAcrossThreads) {
    Use_Empty_Module_Dir();
    TThread_Lock* lock = Thread_Create_Lock();
    long counter = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++) {
        threads.emplace_back([&] {
            for (int k = 0; k < 20000; k++) {
                TThread_Safe outer(lock);
                TThread_Safe inner(lock);  // re-entered by the same thread
                counter++;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 80000);
    Thread_Free_Lock(lock);
}

TEST(LocalThreadMgr, NullGuardAndNullLockDoNothing) {
    Use_Empty_Module_Dir();
    {
        TThread_Safe guard(nullptr);
        EXPECT_EQ(guard.locked, 0);
        EXPECT_EQ(guard.lock, nullptr);
    }
    EXPECT_EQ(Thread_Free_Lock(nullptr), 1);
    TThread_Lock_Cb closed;
    EXPECT_EQ(closed.Close(), 1);
    EXPECT_EQ(closed.cs, nullptr);
    EXPECT_EQ(closed.Close(), 1);
}

namespace {

std::mutex run_m;
std::condition_variable run_cv;
int run_a = 0, run_b = 0, run_tid = 0;
bool run_done = false;

int Run_Callback(int a, int b) {
    std::lock_guard<std::mutex> g(run_m);
    run_a = a;
    run_b = b;
    run_tid = Thread_Get_Id();
    run_done = true;
    run_cv.notify_one();
    return 0;
}

}  // namespace

TEST(LocalThreadMgr, RunStartsAThreadThatIsNotListed) {
    Use_Empty_Module_Dir();
    Get_Thread_Mgr();
    TThread_Mgr* mgr = Thread_Get_Mgr();
    void* obj = mgr->Run(Run_Callback, 7, 9);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(mgr->Count(), 0);
    EXPECT_EQ(mgr->Contains(obj), 0);
    std::unique_lock<std::mutex> g(run_m);
    run_cv.wait(g, [] { return run_done; });
    EXPECT_EQ(run_a, 7);
    EXPECT_EQ(run_b, 9);
    EXPECT_NE(run_tid, Thread_Get_Id());
}

TEST(LocalThreadMgr, ContainsAndRemoveWalkTheList) {
    Use_Empty_Module_Dir();
    Get_Thread_Mgr();
    TThread_Mgr_Cb* mgr = Thread_Get_Local_Mgr();
    int a = 0, b = 0;
    mgr->threads.AddTail(&a);
    mgr->threads.AddTail(&b);
    EXPECT_EQ(mgr->Count(), 2);
    EXPECT_EQ(mgr->Contains(&b), 1);
    EXPECT_EQ(mgr->Remove(&a), 0) << "Remove reports 0 in every case";
    EXPECT_EQ(mgr->Contains(&a), 0);
    EXPECT_EQ(mgr->Count(), 1);
    EXPECT_EQ(mgr->Remove(&a), 0);
    EXPECT_EQ(mgr->Remove(&b), 0);
    EXPECT_EQ(mgr->Count(), 0);
}
