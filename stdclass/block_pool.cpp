// Block pool.
#include "stdclass/block_pool.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

CMapMem* pool = nullptr;

void Put_U32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

uint32_t Get_U32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Descriptor k of a large block: 10 bytes counted down from its end.
unsigned char* Desc(const Map_Mem_Block_Stru& b, int k) {
    return reinterpret_cast<unsigned char*>(b.base) + b.size - MAP_MEM_DESC_SIZE * (k + 1);
}

}  // namespace

CMapMem::CMapMem() : count(0) { memset(static_cast<void*>(blocks), 0, sizeof(blocks)); }

CMapMem::~CMapMem() {
    for (int i = 0; i < count; i++) free(blocks[i].base);
}

void* CMapMem::Alloc(int size, const char* tag) {
    if (tag == nullptr) tag = MAP_MEM_DEFAULT_TAG;
    if (strlen(tag) >= static_cast<size_t>(MAP_MEM_TAG_LEN)) {
        printf("CMapMem::Alloc tag too long %s\n", tag);
        return nullptr;
    }
    if (size <= 0 || size > INT32_MAX - 2 * MAP_MEM_DESC_SIZE) return nullptr;

    Map_Mem_Block_Stru* chosen = nullptr;
    long long offset = 0;
    for (int i = 0; i < count && chosen == nullptr; i++) {
        Map_Mem_Block_Stru& b = blocks[i];
        if (strcmp(b.tag, tag) != 0) continue;
        long long free_space;
        long long candidate;
        if (b.count == 0) {
            free_space = b.size - MAP_MEM_DESC_SIZE;
            candidate = 0;
        } else {
            const unsigned char* last = Desc(b, b.count - 1);
            long long o = Get_U32(last);
            long long s = Get_U32(last + 4);
            free_space = b.size - o - s - MAP_MEM_DESC_SIZE * (b.count + 1LL);
            candidate = o + s;
        }
        if (free_space >= size) {
            chosen = &b;
            offset = candidate;
        }
    }
    if (chosen == nullptr) {
        if (count >= MAP_MEM_MAX_BLOCKS) {
            printf("too much mem block alloced\n");
            return nullptr;
        }
        int block_size = MAP_MEM_BLOCK_SIZE;
        if (size + MAP_MEM_DESC_SIZE > block_size) block_size = size + MAP_MEM_DESC_SIZE;
        printf("now alloc large block\n");
        char* base = static_cast<char*>(malloc(block_size));
        if (base == nullptr) {
            printf("cant alloc memory\n");
            return nullptr;
        }
        Map_Mem_Block_Stru& b = blocks[count++];
        strcpy(b.tag, tag);
        b.base = base;
        b.size = block_size;
        b.count = 0;
        chosen = &b;
        offset = 0;
    }
    unsigned char* d = Desc(*chosen, chosen->count);
    Put_U32(d, static_cast<uint32_t>(offset));
    Put_U32(d + 4, static_cast<uint32_t>(size));
    d[8] = 0;
    chosen->count++;
    return chosen->base + offset;
}

int CMapMem::Find(const void* block) const {
    // Compared as integers: the address may belong to no block at all.
    uintptr_t a = reinterpret_cast<uintptr_t>(block);
    for (int i = 0; i < count; i++) {
        uintptr_t base = reinterpret_cast<uintptr_t>(blocks[i].base);
        if (base <= a && a <= base + blocks[i].size) return i;
    }
    return -1;
}

int CMapMem::Owns(const void* block) const { return Find(block) >= 0 ? 1 : 0; }

int CMapMem::Release(void* block) {
    char* addr = static_cast<char*>(block);
    int index = Find(block);
    if (index < 0) return 0;
    Map_Mem_Block_Stru& b = blocks[index];
    uint32_t offset = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(addr) -
                                            reinterpret_cast<uintptr_t>(b.base));
    int k = 0;
    while (k < b.count && Get_U32(Desc(b, k)) != offset) k++;
    if (k == b.count) {
        printf("cant release small block not match\n");
        return 0;
    }
    Desc(b, k)[8] = 1;
    if (k == b.count - 1) {
        while (b.count > 0 && Desc(b, b.count - 1)[8] == 1) b.count--;
    }
    if (b.count == 0) {
        free(b.base);
        memmove(static_cast<void*>(&blocks[index]), &blocks[index + 1],
                (count - index - 1) * sizeof(Map_Mem_Block_Stru));
        printf("now release large block\n");
        count--;
    }
    return 1;
}

CMapMem* Map_Mem_Get() {
    if (pool == nullptr) pool = new CMapMem;
    return pool;
}

void* Map_Mem_Alloc(int size, const char* tag) { return Map_Mem_Get()->Alloc(size, tag); }

int Map_Mem_Release(void* block) { return Map_Mem_Get()->Release(block); }
