// Block pool: small blocks carved one after another out of large heap blocks
// and taken back in reverse order. Large blocks carry a tag; a request is
// served only from large blocks with the same tag. Each large block keeps
// the descriptors of its small blocks at its end, growing downwards, 10 bytes
// each: offset (u32 big-endian), size (u32 big-endian), released flag, one
// unused byte. No lock of its own: the memory registry calls it under its lock.
#pragma once

constexpr int MAP_MEM_MAX_BLOCKS = 2000;
constexpr int MAP_MEM_BLOCK_SIZE = 409600;
constexpr int MAP_MEM_DESC_SIZE = 10;
constexpr int MAP_MEM_TAG_LEN = 40;  // tags of at most 39 bytes
#define MAP_MEM_DEFAULT_TAG "KVXMEM"

struct Map_Mem_Block_Stru {
    char* base;
    int size;
    int count;  // descriptors in use
    char tag[MAP_MEM_TAG_LEN];
};

class CMapMem {
public:
    Map_Mem_Block_Stru blocks[MAP_MEM_MAX_BLOCKS];
    int count;

    CMapMem();
    ~CMapMem();  // gives every large block back to the heap
    CMapMem(const CMapMem&) = delete;
    CMapMem& operator=(const CMapMem&) = delete;

    // Null for a size below 1, a tag longer than 39 bytes (with a line on
    // standard output), a full table or an exhausted heap.
    void* Alloc(int size, const char* tag);
    // 1 when the address lies in one of the pool's large blocks and starts a
    // carved block, else 0.
    int Release(void* block);
    // 1 when the address lies inside one of the pool's large blocks.
    int Owns(const void* block) const;

private:
    int Find(const void* block) const;  // index of the large block, or -1
};

void* Map_Mem_Alloc(int size, const char* tag);
int Map_Mem_Release(void* block);
// The process-wide pool, created on first use.
CMapMem* Map_Mem_Get();
