// Memory registry: every named allocation of the library passes through here.
// It can keep a table of live blocks (recording), trace allocations to
// standard output, and route the pool variants to the block pool. All three
// are off by default; releases always give the block pool the first chance
// to take a block back.
#pragma once

constexpr int Max_Rec_Num = 200;
constexpr int MEM_REC_NAME_MAX = 24;  // longer names are recorded cut to 24

struct Mem_Rec_Stru {
    void* block;
    int size;
    char name[MEM_REC_NAME_MAX + 1];
};

int Mem_Init();
int Mem_Rec_Ptr(void* block, const char* name, int size);
int Mem_Del_Ptr(void* block, const char* name);
void* Mem_New(int size, const char* name);
void* Mem_Pool_New(int size, const char* name, const char* tag);
int Mem_Free(void* block, const char* name);
int Mem_Pool_Free(void* block, const char* name);
void* Mem_Rec_Obj(void* block, const char* name, int size);
int Mem_Del_Obj(void* block, const char* name);

// Settings (the tool keeps the defaults). Recording can only be switched on
// after Mem_Init, which switches it off. mem_trace: bit 0 traces Mem_Rec_Ptr,
// bit 1 Mem_Del_Ptr. Pool modes 1 and 2 route the pool variants to the pool.
void Mem_Set_Rec_On(int on);
void Mem_Set_Trace(int bits);
void Mem_Set_Pool_Mode(int mode);
int Mem_Get_Rec_On();
int Mem_Get_Trace();
int Mem_Get_Pool_Mode();
// Live records and a copy of record i (0 when i is out of range).
int Mem_Rec_Count();
int Mem_Get_Rec(int i, Mem_Rec_Stru* out);
