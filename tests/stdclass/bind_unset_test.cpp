// Without ZOLVAK_DLL_PATH the registry module is not found: the binding says
// so once, is never retried, and the program creates its own managers.
#include "capture_stdout.h"
#include "stdclass/cpp/err/thr_err.h"
#include "stdclass/pub_ptr.h"
#include "stdclass/thread_mgr.h"

#include <gtest/gtest.h>
#include <stdlib.h>

TEST(Binding, WithoutModuleDirectoryEveryLookupIsNullAndLocalManagersAreMade) {
    unsetenv("ZOLVAK_DLL_PATH");
    void* found = &found;
    EXPECT_EQ(Capture_Stdout([&] { found = Pub_Ptr_Get("thread_mgr"); }),
              "Dll_Get_File_Name dll path not set\n");
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(Pub_Ptr_Bind(), 0);

    // Even once the module could be found, the binding is not tried again.
    setenv("ZOLVAK_DLL_PATH", ZOLVAK_MODULE_DIR, 1);
    std::string later = Capture_Stdout([&] {
        found = Pub_Ptr_Get("thr_err_mgr");
        Get_Thread_Mgr();
        Thr_Set_Err(5, "five");
    });
    EXPECT_EQ(later, "");
    EXPECT_EQ(found, nullptr);
    ASSERT_NE(Thread_Get_Local_Mgr(), nullptr);
    EXPECT_EQ(Thread_Get_Mgr(), static_cast<TThread_Mgr*>(Thread_Get_Local_Mgr()));
    EXPECT_NE(Thr_Get_Err_Mgr(), nullptr);
    EXPECT_EQ(Thr_Get_Err_Code(), 5);
    Thr_Clear_Err();
}
