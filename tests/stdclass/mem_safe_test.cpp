// TMemSafe hooks.
#include "capture_stdout.h"
#include "stdclass/mem_reg.h"
#include "stdclass/mem_safe.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace {

int hook_calls = 0;
int created_object = 0;

void* Counting_Alloc(int size, const char* name) {
    hook_calls++;
    return Mem_New(size, name);
}

void* Creating_New(int, const char*, int) {
    hook_calls++;
    return &created_object;
}

int Counting_Delete(int type, void*, const char*) {
    hook_calls++;
    return type;
}

class MemSafe : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("ZOLVAK_DLL_PATH", "/nonexistent/stdclass_modules", 1);
        Mem_Init();
        Mem_Set_Rec_On(1);
        hook_calls = 0;
    }
    void TearDown() override { Mem_Init(); }
};

}  // namespace

TEST_F(MemSafe, DefaultHooksGoToTheRegistry) {
    TMemSafe obj;
    EXPECT_EQ(obj.pid, static_cast<int>(getpid()));
    void* p = obj.Alloc_Mem(24, "TMemSafe_Test::a");
    ASSERT_NE(p, nullptr);
    Mem_Rec_Stru r{};
    ASSERT_EQ(Mem_Get_Rec(0, &r), 1);
    EXPECT_EQ(r.block, p);
    EXPECT_STREQ(r.name, "TMemSafe_Test::a");
    EXPECT_EQ(obj.Free_Mem(p, "TMemSafe_Test::a"), 0);
    EXPECT_EQ(Mem_Rec_Count(), 0);

    void* q = obj.Pool_Alloc(8, "pool", nullptr);
    EXPECT_EQ(Mem_Rec_Count(), 1);
    EXPECT_EQ(obj.Pool_Free(q, "pool"), 0);
    EXPECT_EQ(Mem_Rec_Count(), 0);
}

TEST_F(MemSafe, NullHooksStillReachTheRegistry) {
    TMemSafe obj;
    obj.MemSafe_Alloc = nullptr;
    obj.MemSafe_Free = nullptr;
    obj.MemSafe_Pool_Alloc = nullptr;
    obj.MemSafe_Pool_Free = nullptr;
    void* p = obj.Alloc_Mem(8, "nullhook");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Mem_Rec_Count(), 1);
    obj.Free_Mem(p, "nullhook");
    void* q = obj.Pool_Alloc(8, "nullhook", nullptr);
    ASSERT_NE(q, nullptr);
    obj.Pool_Free(q, "nullhook");
    EXPECT_EQ(Mem_Rec_Count(), 0);
}

TEST_F(MemSafe, DefaultTypedHooksWarnThroughTheLogWriter) {
    Mem_Set_Rec_On(0);  // nothing to find in the registry for this object
    TMemSafe obj;
    void* made = &made;
    EXPECT_EQ(Capture_Stdout([&] { made = obj.New(3, "TSQLCA::New", 0); }),
              "WARNNING Default MemSafe_New Is Called, Name: TSQLCA::New Type: 3\n");
    EXPECT_EQ(made, nullptr);
    int obj_value = 0;
    int r = 1;
    EXPECT_EQ(Capture_Stdout([&] { r = obj.Delete(4, &obj_value, "TSQLCA::Del"); }),
              "WARNNING Default MemSafe_Delete Is Called, Name: TSQLCA::Del Type: 4\n");
    EXPECT_EQ(r, 0);
}

TEST_F(MemSafe, NullTypedHooks) {
    TMemSafe obj;
    obj.MemSafe_New = nullptr;
    obj.MemSafe_Delete = nullptr;
    int other = 0;
    Mem_Rec_Obj(&other, "recorded", 4);
    EXPECT_EQ(obj.New(1, "x", 0), nullptr);
    EXPECT_EQ(obj.Delete(1, &other, "recorded"), 0);
    EXPECT_EQ(Mem_Rec_Count(), 1) << "Delete without a hook leaves the registry alone";
    Mem_Del_Obj(&other, "recorded");
}

TEST_F(MemSafe, ReplacedTypedHooksRecordObjectsWithSize99) {
    TMemSafe obj;
    obj.MemSafe_New = Creating_New;
    obj.MemSafe_Delete = Counting_Delete;
    EXPECT_EQ(obj.New(1, "DBDataMgr", 0), &created_object);
    Mem_Rec_Stru r{};
    ASSERT_EQ(Mem_Get_Rec(0, &r), 1);
    EXPECT_EQ(r.size, 99);
    EXPECT_EQ(r.block, &created_object);
    EXPECT_EQ(obj.Delete(1, &created_object, "DBDataMgr"), 1);
    EXPECT_EQ(Mem_Rec_Count(), 0);
    EXPECT_EQ(hook_calls, 2);
}

TEST_F(MemSafe, ForeignProcessBypassesPlainHooksButWarnsOnTypedOnes) {
    TMemSafe obj;
    obj.MemSafe_Alloc = Counting_Alloc;
    obj.MemSafe_New = Creating_New;
    obj.MemSafe_Delete = Counting_Delete;
    int now = static_cast<int>(getpid());
    obj.pid = now + 1;
    void* p = obj.Alloc_Mem(8, "bypass");
    EXPECT_EQ(hook_calls, 0) << "plain allocation goes straight to Mem_New";
    EXPECT_EQ(Mem_Rec_Count(), 1);
    obj.Free_Mem(p, "bypass");

    std::string warn = "WARNNING TMemSafe::New called name typed pid " + std::to_string(now) +
                       " and static pid is " + std::to_string(now + 1) + "\n";
    void* made = nullptr;
    EXPECT_EQ(Capture_Stdout([&] { made = obj.New(1, "typed", 0); }), warn);
    EXPECT_EQ(made, &created_object);
    EXPECT_EQ(Capture_Stdout([&] { obj.Delete(1, made, "typed"); }), warn);
    EXPECT_EQ(hook_calls, 2);
}
