// Test module: a thread manager of its own, published under "thread_mgr" in
// the shared registry module found through ZOLVAK_DLL_PATH, as a module of
// another build would do. Its Thread_Id is fixed at 123 so the callers'
// use of it is visible.
#include "stdclass/thread_mgr.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <mutex>

namespace {

std::atomic<int> locks_created{0};
std::atomic<int> id_calls{0};

class Probe_Lock : public TThread_Lock {
public:
    int Lock() override {
        m.lock();
        return 1;
    }
    int Unlock() override {
        m.unlock();
        return 1;
    }
    int Close() override { return 1; }

private:
    std::recursive_mutex m;
};

class Probe_Mgr : public TThread_Mgr {
public:
    void* Run(TThread_Func, int, int) override { return nullptr; }
    int Count() override { return 0; }
    int Remove(void*) override { return 0; }
    int Contains(void*) override { return 0; }
    TThread_Lock* Create_Lock() override {
        locks_created++;
        return new Probe_Lock;
    }
    void Free_Lock(TThread_Lock* lock) override { delete lock; }
    int Thread_Id() override {
        id_calls++;
        return 123;
    }
};

Probe_Mgr probe_mgr;

}  // namespace

extern "C" __attribute__((visibility("default"))) int Probe_Publish() {
    const char* dir = getenv("ZOLVAK_DLL_PATH");
    if (dir == nullptr) return 0;
    char path[512];
    snprintf(path, sizeof(path), "%s/odm_pub_ptr.so", dir);
    void* h = dlopen(path, RTLD_NOW);
    if (h == nullptr) return 0;
    auto set = reinterpret_cast<int (*)(const char*, void*)>(dlsym(h, "App_Set_Pub_Ptr"));
    if (set == nullptr) return 0;
    return set("thread_mgr", static_cast<TThread_Mgr*>(&probe_mgr));
}

extern "C" __attribute__((visibility("default"))) void* Probe_Mgr_Ptr() {
    return static_cast<TThread_Mgr*>(&probe_mgr);
}

extern "C" __attribute__((visibility("default"))) int Probe_Locks_Created() {
    return locks_created;
}

extern "C" __attribute__((visibility("default"))) int Probe_Id_Calls() { return id_calls; }
