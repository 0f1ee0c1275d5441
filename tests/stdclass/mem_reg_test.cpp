// Memory registry: defaults, recording, tracing, pool routing.
#include "capture_stdout.h"
#include "stdclass/block_pool.h"
#include "stdclass/mem_reg.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

std::string Ptr_Text(const void* p) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%p", p);
    return buf;
}

class MemReg : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("ZOLVAK_DLL_PATH", "/nonexistent/stdclass_modules", 1);
        Mem_Init();
    }
    void TearDown() override {
        Mem_Set_Trace(0);
        Mem_Set_Pool_Mode(0);
        Mem_Init();  // drops the records, recording off
    }
};

}  // namespace

TEST_F(MemReg, DefaultsHandOutHeapBlocksSilently) {
    void* p = nullptr;
    std::string out = Capture_Stdout([&] {
        p = Mem_New(16, "x");
        ASSERT_NE(p, nullptr);
        memset(p, 1, 16);
        EXPECT_EQ(Mem_Free(p, "x"), 0);
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(Mem_Rec_Count(), 0);
    EXPECT_EQ(Mem_Get_Rec_On(), 0);
}

TEST_F(MemReg, RefusedSizeReportsTheDefaultName) {
    void* p = &p;
    EXPECT_EQ(Capture_Stdout([&] { p = Mem_New(-1, nullptr); }),
              "Unable to alloc mem for undef_name  size -1\n");
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(Capture_Stdout([&] { p = Mem_Pool_New(-5, "pool_user", nullptr); }),
              "Unable to alloc mem for pool_user  size -5\n");
    EXPECT_EQ(p, nullptr);
}

TEST_F(MemReg, RecordTableHolds200Blocks) {
    Mem_Set_Rec_On(1);
    std::vector<void*> blocks;
    for (int i = 0; i < Max_Rec_Num; i++) blocks.push_back(Mem_New(8, "rec"));
    EXPECT_EQ(Mem_Rec_Count(), Max_Rec_Num);
    void* extra = nullptr;
    EXPECT_EQ(Capture_Stdout([&] { extra = Mem_New(8, "one_too_many"); }),
              "Mem_Rec Pool Is Full, Cant Record Now one_too_many\n");
    EXPECT_NE(extra, nullptr) << "the block is still handed out";
    EXPECT_EQ(Capture_Stdout([&] { EXPECT_EQ(Mem_Rec_Ptr(extra, "again", 8), 0); }),
              "Mem_Rec Pool Is Full, Cant Record Now again\n");
    Capture_Stdout([&] { Mem_Free(extra, "one_too_many"); });  // unrecorded: not-found line

    Mem_Free(blocks.back(), "rec");
    blocks.pop_back();
    void* fits = Mem_New(8, "fits_again");
    EXPECT_EQ(Mem_Rec_Count(), Max_Rec_Num);
    Mem_Rec_Stru last{};
    ASSERT_EQ(Mem_Get_Rec(Max_Rec_Num - 1, &last), 1);
    EXPECT_EQ(last.block, fits);
    EXPECT_STREQ(last.name, "fits_again");
    blocks.push_back(fits);
    for (void* b : blocks) EXPECT_EQ(Capture_Stdout([&] { Mem_Free(b, "rec"); }), "");
    EXPECT_EQ(Mem_Rec_Count(), 0);
}

TEST_F(MemReg, RecordedNamesAreCutTo24Characters) {
    Mem_Set_Rec_On(1);
    std::string name30 = "abcdefghijklmnopqrstuvwxyz0123";
    void* p = Mem_New(32, name30.c_str());
    Mem_Rec_Stru r{};
    ASSERT_EQ(Mem_Get_Rec(0, &r), 1);
    EXPECT_STREQ(r.name, name30.substr(0, 24).c_str());
    EXPECT_EQ(r.size, 32);
    EXPECT_EQ(r.block, p);
    Mem_Free(p, "x");
}

TEST_F(MemReg, SecondReleaseOfABlockIsReported) {
    Mem_Set_Rec_On(1);
    void* p = Mem_New(8, "twice");
    EXPECT_EQ(Mem_Del_Ptr(p, "twice"), 1);
    EXPECT_EQ(Capture_Stdout([&] { EXPECT_EQ(Mem_Del_Ptr(p, "twice"), 0); }),
              "Mem_Del_Ptr Cant Find Ptr " + Ptr_Text(p) + " Name Is twice\n");
    EXPECT_EQ(Capture_Stdout([&] { EXPECT_EQ(Mem_Del_Ptr(p, nullptr), 0); }),
              "Mem_Del_Ptr Cant Find Ptr " + Ptr_Text(p) + " Name Is NULL\n");
    Capture_Stdout([&] { Mem_Free(p, "twice"); });
}

TEST_F(MemReg, RecordedObjects) {
    Mem_Set_Rec_On(1);
    int obj = 0;
    EXPECT_EQ(Mem_Rec_Obj(&obj, "TDb_Connect_Ado::BatchInsert", 608), &obj);
    Mem_Rec_Stru r{};
    ASSERT_EQ(Mem_Get_Rec(0, &r), 1);
    EXPECT_EQ(r.size, 608);
    EXPECT_EQ(Mem_Del_Obj(&obj, "TDb_Connect_Ado::BatchInsert"), 0);
    EXPECT_EQ(Mem_Rec_Count(), 0);
}

TEST_F(MemReg, InitAgainDropsRecordsAndSwitchesRecordingOff) {
    Mem_Set_Rec_On(1);
    void* p = Mem_New(8, "kept");
    EXPECT_EQ(Mem_Rec_Count(), 1);
    EXPECT_EQ(Mem_Init(), 1);
    EXPECT_EQ(Mem_Rec_Count(), 0);
    EXPECT_EQ(Mem_Get_Rec_On(), 0);
    EXPECT_EQ(Capture_Stdout([&] { Mem_Free(p, "kept"); }), "");
}

TEST_F(MemReg, TraceLinesAlsoWhileRecordingIsOff) {
    Mem_Set_Trace(3);
    void* p = nullptr;
    std::string out = Capture_Stdout([&] {
        p = Mem_New(40, "traced");
        Mem_Free(p, "traced");
    });
    EXPECT_EQ(out, "Mem_Rec_Ptr " + Ptr_Text(p) + " Size    40 Name traced\n" +
                       "Mem_Del_Ptr " + Ptr_Text(p) + " Name traced\n");
    Mem_Set_Trace(1);
    out = Capture_Stdout([&] {
        p = Mem_New(7, nullptr);
        Mem_Free(p, nullptr);
    });
    EXPECT_EQ(out, "Mem_Rec_Ptr " + Ptr_Text(p) + " Size     7 Name undef_name\n");
}

TEST_F(MemReg, PoolModeRoutesPoolVariantsAndFreeGivesPoolBlocksBack) {
    Mem_Set_Pool_Mode(1);
    Mem_Set_Rec_On(1);  // Mem_Pool_New holds the lock while recording takes it again
    void* a = nullptr;
    void* b = nullptr;
    std::string out = Capture_Stdout([&] {
        a = Mem_Pool_New(100, "pool_a", "MEM_TEST");
        b = Mem_Pool_New(50, "pool_b", "MEM_TEST");
    });
    EXPECT_EQ(out, "now alloc large block\n");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(static_cast<char*>(b), static_cast<char*>(a) + 100);
    EXPECT_EQ(Mem_Rec_Count(), 2);
    // Mem_Free asks the pool first whatever the mode.
    Mem_Set_Pool_Mode(0);
    EXPECT_EQ(Capture_Stdout([&] { Mem_Free(b, "pool_b"); }), "");
    EXPECT_EQ(Capture_Stdout([&] { Mem_Free(a, "pool_a"); }), "now release large block\n");
    EXPECT_EQ(Mem_Rec_Count(), 0);

    // Mode 2 routes too; Mem_Pool_Free gives the block back to the pool.
    Mem_Set_Pool_Mode(2);
    out = Capture_Stdout([&] {
        a = Mem_Pool_New(10, "pool_c", nullptr);
        Mem_Pool_Free(a, "pool_c");
    });
    EXPECT_EQ(out, "now alloc large block\nnow release large block\n");
}

TEST_F(MemReg, OtherPoolModesUseTheHeap) {
    for (int mode : {0, 3, -1}) {
        Mem_Set_Pool_Mode(mode);
        void* p = nullptr;
        std::string out = Capture_Stdout([&] {
            p = Mem_Pool_New(100, "heap", "MEM_TEST");
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(Map_Mem_Release(p), 0) << "not a pool block";
            Mem_Pool_Free(p, "heap");
        });
        EXPECT_EQ(out, "") << mode;
    }
}

TEST_F(MemReg, BlocksGoBackWhereTheyCameFromWhateverTheModeIsNow) {
    // A heap block released while the pool mode is on is freed to the heap
    // (the leak checker of the sanitizer build would see it otherwise).
    void* heap = Mem_Pool_New(32, "heap_first", nullptr);
    Mem_Set_Pool_Mode(1);
    EXPECT_EQ(Capture_Stdout([&] { Mem_Pool_Free(heap, "heap_first"); }), "");

    // A pool block released after the mode went back to 0 returns to the pool.
    void* pooled = nullptr;
    Capture_Stdout([&] { pooled = Mem_Pool_New(32, "pool_first", "MEM_MODE"); });
    Mem_Set_Pool_Mode(0);
    EXPECT_EQ(Capture_Stdout([&] { Mem_Pool_Free(pooled, "pool_first"); }),
              "now release large block\n");
}

TEST_F(MemReg, AnAddressInsideAPoolBlockIsNeverFreedToTheHeap) {
    Mem_Set_Pool_Mode(1);
    char* p = nullptr;
    Capture_Stdout([&] { p = static_cast<char*>(Mem_Pool_New(64, "inner", "MEM_INNER")); });
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Capture_Stdout([&] { Mem_Free(p + 8, "inner"); }),
              "cant release small block not match\n");
    EXPECT_EQ(Capture_Stdout([&] { Mem_Free(p, "inner"); }), "now release large block\n");
}
