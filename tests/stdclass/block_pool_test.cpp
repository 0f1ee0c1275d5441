// Block pool: layout of large blocks and their descriptors, release order.
#include "capture_stdout.h"
#include "stdclass/block_pool.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <memory>
#include <string>

namespace {

struct Desc {
    uint32_t offset;
    uint32_t size;
    int released;
};

uint32_t Be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Descriptor k read straight from the bytes at the end of the large block.
Desc Read_Desc(const Map_Mem_Block_Stru& b, int k) {
    const unsigned char* d =
        reinterpret_cast<const unsigned char*>(b.base) + b.size - MAP_MEM_DESC_SIZE * (k + 1);
    return {Be32(d), Be32(d + 4), d[8]};
}

class BlockPool : public ::testing::Test {
protected:
    std::unique_ptr<CMapMem> pool = std::make_unique<CMapMem>();

    void* Alloc(int size, const char* tag = nullptr) {
        void* p = nullptr;
        last_out = Capture_Stdout([&] { p = pool->Alloc(size, tag); });
        return p;
    }
    int Release(void* p) {
        int r = -1;
        last_out = Capture_Stdout([&] { r = pool->Release(p); });
        return r;
    }
    std::string last_out;
};

}  // namespace

TEST_F(BlockPool, SmallBlocksFromTheStartDescriptorsFromTheEndBigEndian) {
    char* a = static_cast<char*>(Alloc(100));
    EXPECT_EQ(last_out, "now alloc large block\n");
    ASSERT_EQ(pool->count, 1);
    const Map_Mem_Block_Stru& b = pool->blocks[0];
    EXPECT_EQ(a, b.base);
    EXPECT_EQ(b.size, 409600);
    EXPECT_STREQ(b.tag, "KVXMEM");
    char* c = static_cast<char*>(Alloc(50));
    EXPECT_EQ(last_out, "");
    EXPECT_EQ(c, a + 100);
    EXPECT_EQ(b.count, 2);

    const unsigned char* end = reinterpret_cast<const unsigned char*>(b.base) + b.size;
    const unsigned char d0[9] = {0, 0, 0, 0, 0, 0, 0, 100, 0};
    const unsigned char d1[9] = {0, 0, 0, 100, 0, 0, 0, 50, 0};
    EXPECT_EQ(memcmp(end - 10, d0, 9), 0);
    EXPECT_EQ(memcmp(end - 20, d1, 9), 0);

    Alloc(0x0304);
    Desc d2 = Read_Desc(b, 2);
    EXPECT_EQ(d2.offset, 150u);
    EXPECT_EQ(d2.size, 0x0304u);
    EXPECT_EQ(end[-30 + 6], 0x03);
    EXPECT_EQ(end[-30 + 7], 0x04);
}

TEST_F(BlockPool, LargeRequestGetsItsOwnBlockOfRequestPlusTen) {
    char* p = static_cast<char*>(Alloc(409600));
    ASSERT_EQ(pool->count, 1);
    EXPECT_EQ(pool->blocks[0].size, 409610);
    EXPECT_EQ(p, pool->blocks[0].base);
    EXPECT_EQ(Read_Desc(pool->blocks[0], 0).size, 409600u);
}

TEST_F(BlockPool, FreeSpaceReservesTheNextDescriptor) {
    // 409590 = 409600 minus one descriptor: exactly fills a default block.
    char* whole = static_cast<char*>(Alloc(409590));
    EXPECT_EQ(pool->count, 1);
    EXPECT_EQ(whole, pool->blocks[0].base);
    char* next = static_cast<char*>(Alloc(1));
    EXPECT_EQ(last_out, "now alloc large block\n") << "no room for a second descriptor";
    EXPECT_EQ(pool->count, 2);
    EXPECT_EQ(next, pool->blocks[1].base);

    // In the second block: 409600 - 1 - 3 * 10 bytes are left for a third block.
    char* third = static_cast<char*>(Alloc(409600 - 1 - 30));
    EXPECT_EQ(third, next + 1);
    EXPECT_EQ(pool->count, 2);
}

TEST_F(BlockPool, ReleaseMarksUntilTheLastBlockGoesThenTrimsAndFrees) {
    void* a = Alloc(100);
    void* b = Alloc(50);
    EXPECT_EQ(Release(a), 1);
    EXPECT_EQ(last_out, "");
    EXPECT_EQ(pool->blocks[0].count, 2) << "an earlier block is only marked";
    EXPECT_EQ(Read_Desc(pool->blocks[0], 0).released, 1);
    EXPECT_EQ(Release(b), 1);
    EXPECT_EQ(last_out, "now release large block\n");
    EXPECT_EQ(pool->count, 0);
}

TEST_F(BlockPool, SpaceAboveTheLastLiveBlockIsReused) {
    char* a = static_cast<char*>(Alloc(100));
    void* b = Alloc(200);
    void* c = Alloc(300);
    EXPECT_EQ(Release(b), 1);
    EXPECT_EQ(pool->blocks[0].count, 3);
    EXPECT_EQ(Release(c), 1);
    EXPECT_EQ(pool->blocks[0].count, 1) << "c and the released b are trimmed";
    EXPECT_EQ(static_cast<char*>(Alloc(10)), a + 100);
    EXPECT_EQ(pool->blocks[0].count, 2);
}

TEST_F(BlockPool, TagsNeverShareALargeBlock) {
    char* a = static_cast<char*>(Alloc(100));
    char* t = static_cast<char*>(Alloc(100, "OTHER"));
    EXPECT_EQ(last_out, "now alloc large block\n");
    ASSERT_EQ(pool->count, 2);
    EXPECT_STREQ(pool->blocks[1].tag, "OTHER");
    EXPECT_EQ(t, pool->blocks[1].base);
    EXPECT_EQ(static_cast<char*>(Alloc(1, "KVXMEM")), a + 100) << "null tag means KVXMEM";
    EXPECT_EQ(pool->count, 2);
    Alloc(1, "kvxmem");
    EXPECT_EQ(pool->count, 3) << "tags are case-sensitive";
}

TEST_F(BlockPool, RemovingALargeBlockKeepsTheOthersInOrder) {
    Alloc(10, "A");
    void* b = Alloc(10, "B");
    Alloc(10, "C");
    EXPECT_EQ(Release(b), 1);
    ASSERT_EQ(pool->count, 2);
    EXPECT_STREQ(pool->blocks[0].tag, "A");
    EXPECT_STREQ(pool->blocks[1].tag, "C");
}

TEST_F(BlockPool, AddressesThatAreNotCarvedBlocks) {
    char* a = static_cast<char*>(Alloc(100));
    EXPECT_EQ(Release(a + 1), 0);
    EXPECT_EQ(last_out, "cant release small block not match\n");
    int outside = 0;
    EXPECT_EQ(Release(&outside), 0);
    EXPECT_EQ(last_out, "") << "outside every large block: silent";
    EXPECT_EQ(pool->blocks[0].count, 1);
}

TEST_F(BlockPool, RefusedRequests) {
    std::string tag39(39, 't');
    EXPECT_NE(Alloc(10, tag39.c_str()), nullptr);
    std::string tag40(40, 't');
    EXPECT_EQ(Alloc(10, tag40.c_str()), nullptr);
    EXPECT_EQ(last_out, "CMapMem::Alloc tag too long " + tag40 + "\n");
    EXPECT_EQ(Alloc(0), nullptr);
    EXPECT_EQ(Alloc(-8), nullptr);
    EXPECT_EQ(pool->count, 1);
}

TEST_F(BlockPool, At2000LargeBlocksNoMoreAreMade) {
    for (int i = 0; i < MAP_MEM_MAX_BLOCKS; i++) ASSERT_NE(Alloc(409590), nullptr) << i;
    EXPECT_EQ(pool->count, MAP_MEM_MAX_BLOCKS);
    EXPECT_EQ(Alloc(1), nullptr);
    EXPECT_EQ(last_out, "too much mem block alloced\n");
}

TEST(BlockPoolGlobal, CreatedOnFirstUse) {
    EXPECT_EQ(Map_Mem_Release(nullptr), 0);
    CMapMem* pool = Map_Mem_Get();
    ASSERT_NE(pool, nullptr);
    void* p = nullptr;
    Capture_Stdout([&] { p = Map_Mem_Alloc(16, "GLOBAL"); });
    EXPECT_EQ(pool->count, 1);
    EXPECT_EQ(Capture_Stdout([&] { EXPECT_EQ(Map_Mem_Release(p), 1); }),
              "now release large block\n");
    EXPECT_EQ(pool->count, 0);
}
