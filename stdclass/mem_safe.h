// TMemSafe: base of the library's data classes. Every allocation an object
// makes for itself goes through its own named hooks, which default to the
// memory registry. The slot order of the six virtual operations is fixed.
#pragma once

typedef void* (*MemSafe_Alloc_Func)(int size, const char* name);
typedef int (*MemSafe_Free_Func)(void* block, const char* name);
typedef void* (*MemSafe_New_Func)(int type, const char* name, int extra);
typedef int (*MemSafe_Delete_Func)(int type, void* obj, const char* name);
typedef void* (*MemSafe_Pool_Alloc_Func)(int size, const char* name, const char* tag);
typedef int (*MemSafe_Pool_Free_Func)(void* block, const char* name);

class TMemSafe {
public:
    MemSafe_Alloc_Func MemSafe_Alloc;
    MemSafe_Free_Func MemSafe_Free;
    MemSafe_New_Func MemSafe_New;
    MemSafe_Delete_Func MemSafe_Delete;
    MemSafe_Pool_Alloc_Func MemSafe_Pool_Alloc;
    MemSafe_Pool_Free_Func MemSafe_Pool_Free;
    int pid;  // process identifier at construction

    TMemSafe();

    virtual void* Alloc_Mem(int size, const char* name);                  // slot 0
    virtual int Free_Mem(void* block, const char* name);                  // slot 1
    virtual void* New(int type, const char* name, int extra);             // slot 2
    virtual int Delete(int type, void* obj, const char* name);            // slot 3
    virtual void* Pool_Alloc(int size, const char* name, const char* tag); // slot 4
    virtual int Pool_Free(void* block, const char* name);                 // slot 5
    virtual ~TMemSafe();
};

// The default typed hooks: a warning line through Log_Print, null / 0.
void* MemSafe_Default_New(int type, const char* name, int extra);
int MemSafe_Default_Delete(int type, void* obj, const char* name);
