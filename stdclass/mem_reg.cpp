// Memory registry.
#include "stdclass/mem_reg.h"

#include "stdclass/block_pool.h"
#include "stdclass/thread_mgr.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

int mem_rec_on = 0;
int mem_trace = 0;
int mem_pool_mode = 0;

Mem_Rec_Stru* Mem_Pool = nullptr;
int rec_count = 0;
TThread_Lock* mem_lock = nullptr;

const char* Name_Or_Default(const char* name) { return name != nullptr ? name : "undef_name"; }

// For the trace and table-full lines, which may see a null name.
const char* Printable(const char* name) { return name != nullptr ? name : "(null)"; }

// Gives a block back to the pool, or to the heap when the pool does not hold
// it. An address inside a large block that starts no carved block is neither
// the pool's to take nor the heap's to free: it is left alone.
void Release_Block(void* block) {
    if (block == nullptr) return;
    if (Map_Mem_Release(block) == 0 && !Map_Mem_Get()->Owns(block)) free(block);
}

void Ensure_Init() {
    if (Mem_Pool == nullptr) Mem_Init();
}

bool Pool_Routed() { return mem_pool_mode == 1 || mem_pool_mode == 2; }

}  // namespace

int Mem_Init() {
    rec_count = 0;
    mem_rec_on = 0;
    free(Mem_Pool);
    Mem_Pool = static_cast<Mem_Rec_Stru*>(calloc(Max_Rec_Num, sizeof(Mem_Rec_Stru)));
    if (Mem_Pool == nullptr) {
        printf("Mem_Init() Fail Cant Malloc Mem_Pool Max_Rec_Num %d\n", Max_Rec_Num);
        return 0;
    }
    if (mem_lock == nullptr) mem_lock = Thread_Create_Lock();
    return 1;
}

int Mem_Rec_Ptr(void* block, const char* name, int size) {
    Ensure_Init();
    if (mem_trace & 1) printf("Mem_Rec_Ptr %p Size %5d Name %s\n", block, size, Printable(name));
    if (mem_rec_on == 0 || Mem_Pool == nullptr) return 0;
    TThread_Safe guard(mem_lock);
    if (rec_count == Max_Rec_Num) {
        printf("Mem_Rec Pool Is Full, Cant Record Now %s\n", Printable(name));
        return 0;
    }
    Mem_Rec_Stru& r = Mem_Pool[rec_count];
    r.block = block;
    r.size = size;
    r.name[0] = 0;
    if (name != nullptr) {
        strncpy(r.name, name, MEM_REC_NAME_MAX);
        r.name[MEM_REC_NAME_MAX] = 0;
    }
    rec_count++;
    return 1;
}

int Mem_Del_Ptr(void* block, const char* name) {
    Ensure_Init();
    if (mem_trace & 2) printf("Mem_Del_Ptr %p Name %s\n", block, Printable(name));
    if (mem_rec_on == 0 || Mem_Pool == nullptr) return 0;
    TThread_Safe guard(mem_lock);
    for (int i = 0; i < rec_count; i++) {
        if (Mem_Pool[i].block == block) {
            Mem_Pool[i] = Mem_Pool[rec_count - 1];
            rec_count--;
            return 1;
        }
    }
    if (name != nullptr) {
        printf("Mem_Del_Ptr Cant Find Ptr %p Name Is %s\n", block, name);
    } else {
        printf("Mem_Del_Ptr Cant Find Ptr %p Name Is NULL\n", block);
    }
    return 0;
}

void* Mem_New(int size, const char* name) {
    Ensure_Init();
    name = Name_Or_Default(name);
    // A negative size is refused like an exhausted heap; malloc(0) may give
    // null, so an empty request takes one byte.
    void* block = size < 0 ? nullptr : malloc(size > 0 ? size : 1);
    if (block == nullptr) {
        printf("Unable to alloc mem for %s  size %d\n", name, size);
        return nullptr;
    }
    Mem_Rec_Ptr(block, name, size);
    return block;
}

void* Mem_Pool_New(int size, const char* name, const char* tag) {
    Ensure_Init();
    name = Name_Or_Default(name);
    TThread_Safe guard(mem_lock);
    void* block = nullptr;
    if (Pool_Routed()) {
        block = Map_Mem_Alloc(size, tag);
    } else if (size >= 0) {
        block = malloc(size > 0 ? size : 1);
    }
    if (block == nullptr) {
        printf("Unable to alloc mem for %s  size %d\n", name, size);
        return nullptr;
    }
    Mem_Rec_Ptr(block, name, size);
    return block;
}

int Mem_Free(void* block, const char* name) {
    Ensure_Init();
    name = Name_Or_Default(name);
    Mem_Del_Ptr(block, name);
    TThread_Safe guard(mem_lock);
    Release_Block(block);
    return 0;
}

int Mem_Pool_Free(void* block, const char* name) {
    Ensure_Init();
    name = Name_Or_Default(name);
    Mem_Del_Ptr(block, name);
    TThread_Safe guard(mem_lock);
    // Whatever the mode, a block goes back where it came from: the mode may
    // have changed since it was handed out.
    Release_Block(block);
    return 0;
}

void* Mem_Rec_Obj(void* block, const char* name, int size) {
    Mem_Rec_Ptr(block, name, size);
    return block;
}

int Mem_Del_Obj(void* block, const char* name) {
    Mem_Del_Ptr(block, name);
    return 0;
}

void Mem_Set_Rec_On(int on) {
    Ensure_Init();
    mem_rec_on = on;
}
void Mem_Set_Trace(int bits) { mem_trace = bits; }
void Mem_Set_Pool_Mode(int mode) { mem_pool_mode = mode; }
int Mem_Get_Rec_On() { return mem_rec_on; }
int Mem_Get_Trace() { return mem_trace; }
int Mem_Get_Pool_Mode() { return mem_pool_mode; }

int Mem_Rec_Count() {
    Ensure_Init();
    TThread_Safe guard(mem_lock);
    return rec_count;
}

int Mem_Get_Rec(int i, Mem_Rec_Stru* out) {
    Ensure_Init();
    TThread_Safe guard(mem_lock);
    if (i < 0 || i >= rec_count || out == nullptr) return 0;
    *out = Mem_Pool[i];
    return 1;
}
