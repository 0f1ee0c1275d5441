// A module loaded by the program publishes its own thread manager in the
// shared registry module found through ZOLVAK_DLL_PATH; the library must use
// that manager and create no local one. The probe's Thread_Id is 123.
#include "capture_stdout.h"
#include "stdclass/cpp/err/thr_err.h"
#include "stdclass/log.h"
#include "stdclass/pub_ptr.h"
#include "stdclass/thread_mgr.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

struct Probe {
    void* mgr = nullptr;
    int (*locks_created)() = nullptr;
    int (*id_calls)() = nullptr;
    int (*registry_set)(const char*, void*) = nullptr;
};

// Runs before anything of the library looks at the registry, in whatever
// order the tests of this program run.
const Probe& Published() {
    static Probe probe = [] {
        Probe p;
        setenv("ZOLVAK_DLL_PATH", ZOLVAK_MODULE_DIR, 1);
        T_Dll module;
        std::string path = std::string(STDCLASS_TEST_MODULE_DIR) + "/probe_mgr.so";
        if (!module.Load(path.c_str())) return p;
        auto publish = reinterpret_cast<int (*)()>(module.Get_Ptr("Probe_Publish"));
        auto mgr = reinterpret_cast<void* (*)()>(module.Get_Ptr("Probe_Mgr_Ptr"));
        p.locks_created = reinterpret_cast<int (*)()>(module.Get_Ptr("Probe_Locks_Created"));
        p.id_calls = reinterpret_cast<int (*)()>(module.Get_Ptr("Probe_Id_Calls"));
        if (!publish || !mgr || !p.locks_created || !p.id_calls || publish() != 1) return p;
        p.mgr = mgr();
        // The registry module the probe published into, opened the same way.
        T_Dll registry;
        char file[DLL_FILE_NAME_LEN];
        if (Dll_Get_File_Name("odm_pub_ptr", file) && registry.Load(file)) {
            p.registry_set =
                reinterpret_cast<int (*)(const char*, void*)>(registry.Get_Ptr("App_Set_Pub_Ptr"));
        }
        return p;
    }();
    return probe;
}

}  // namespace

TEST(SharedRegistry, ThreadManagerComesFromTheModule) {
    const Probe& probe = Published();
    ASSERT_NE(probe.mgr, nullptr) << "probe module not loaded or not published";

    EXPECT_EQ(Pub_Ptr_Get("thread_mgr"), probe.mgr);
    EXPECT_EQ(Pub_Ptr_Get("Thread_Mgr"), nullptr) << "keys are case-sensitive";
    EXPECT_EQ(App_Get_Pub_Ptr("thread_mgr"), nullptr)
        << "the program's own copy is not where the library looks";

    EXPECT_EQ(Get_Thread_Mgr(), 1);
    EXPECT_EQ(Get_Thread_Mgr(), 1);
    EXPECT_EQ(static_cast<void*>(Thread_Get_Mgr()), probe.mgr);
    EXPECT_EQ(Thread_Get_Local_Mgr(), nullptr) << "no local manager is created";
    EXPECT_EQ(Thread_Vc_Bound(), 0) << "the threading module is only tried for a local manager";

    int ids = probe.id_calls();
    EXPECT_EQ(Thread_Get_Id(), 123);
    EXPECT_EQ(probe.id_calls(), ids + 1);
    int locks = probe.locks_created();
    TThread_Lock* lock = Thread_Create_Lock();
    EXPECT_EQ(probe.locks_created(), locks + 1);
    {
        TThread_Safe outer(lock);
        TThread_Safe inner(lock);
    }
    EXPECT_EQ(Thread_Free_Lock(lock), 1);
}

TEST(SharedRegistry, ErrorManagerFromTheRegistryIsUsed) {
    const Probe& probe = Published();
    ASSERT_NE(probe.registry_set, nullptr);
    static TThr_Err* shared = new TThr_Err;  // lives for the process, like any manager
    ASSERT_EQ(probe.registry_set("thr_err_mgr", shared), 1);
    Thr_Set_Err(-1, "disk full");
    EXPECT_EQ(Thr_Get_Err_Mgr(), shared);
    EXPECT_EQ(shared->Get_Err_Code(), -1);
    ASSERT_EQ(shared->count, 1);
    EXPECT_EQ(shared->entries[0].thread_id, 123) << "keyed by the shared manager's identifier";
    Thr_Clear_Err();
    EXPECT_EQ(shared->count, 0);
}

TEST(SharedRegistry, LogFileLineCarriesTheManagersThreadId) {
    Published();
    Get_Thread_Mgr();  // binds the registry module, which prints its LOAD line
    char dir[] = "/tmp/stdclass_logXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/log.txt";
    ASSERT_EQ(Log_Set_File_Name(file.c_str()), 1);
    std::string out = Capture_Stdout([] { EXPECT_EQ(Log_Print("hello %d", 7), 1); });
    Log_Set_File_Name("");
    EXPECT_EQ(out, "hello 7\n");
    std::ifstream in(file);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line.substr(0, 6), "  123 ") << line;
    EXPECT_EQ(line.substr(20), " hello 7") << line;
    unlink(file.c_str());
    rmdir(dir);
}
