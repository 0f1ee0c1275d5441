// TMemSafe: named allocation hooks of the library's data classes.
#include "stdclass/mem_safe.h"

#include "stdclass/log.h"
#include "stdclass/mem_reg.h"

#include <stdio.h>
#include <unistd.h>

namespace {

int Current_Pid() { return static_cast<int>(getpid()); }

}  // namespace

void* MemSafe_Default_New(int type, const char* name, int /*extra*/) {
    Log_Print("WARNNING Default MemSafe_New Is Called, Name: %s Type: %d", name, type);
    return nullptr;
}

int MemSafe_Default_Delete(int type, void* /*obj*/, const char* name) {
    Log_Print("WARNNING Default MemSafe_Delete Is Called, Name: %s Type: %d", name, type);
    return 0;
}

TMemSafe::TMemSafe()
    : MemSafe_Alloc(Mem_New),
      MemSafe_Free(Mem_Free),
      MemSafe_New(MemSafe_Default_New),
      MemSafe_Delete(MemSafe_Default_Delete),
      MemSafe_Pool_Alloc(Mem_Pool_New),
      MemSafe_Pool_Free(Mem_Pool_Free),
      pid(Current_Pid()) {}

TMemSafe::~TMemSafe() {}

void* TMemSafe::Alloc_Mem(int size, const char* name) {
    if (Current_Pid() == pid && MemSafe_Alloc != nullptr) return MemSafe_Alloc(size, name);
    return Mem_New(size, name);
}

int TMemSafe::Free_Mem(void* block, const char* name) {
    if (Current_Pid() == pid && MemSafe_Free != nullptr) return MemSafe_Free(block, name);
    return Mem_Free(block, name);
}

void* TMemSafe::Pool_Alloc(int size, const char* name, const char* tag) {
    if (Current_Pid() == pid && MemSafe_Pool_Alloc != nullptr) {
        return MemSafe_Pool_Alloc(size, name, tag);
    }
    return Mem_Pool_New(size, name, tag);
}

int TMemSafe::Pool_Free(void* block, const char* name) {
    if (Current_Pid() == pid && MemSafe_Pool_Free != nullptr) return MemSafe_Pool_Free(block, name);
    return Mem_Pool_Free(block, name);
}

void* TMemSafe::New(int type, const char* name, int extra) {
    int now = Current_Pid();
    if (now != pid) {
        printf("WARNNING TMemSafe::New called name %s pid %d and static pid is %d\n", name, now,
               pid);
    }
    if (MemSafe_New == nullptr) return nullptr;
    void* obj = MemSafe_New(type, name, extra);
    if (obj != nullptr) Mem_Rec_Ptr(obj, name, 99);
    return obj;
}

int TMemSafe::Delete(int type, void* obj, const char* name) {
    int now = Current_Pid();
    if (now != pid) {
        printf("WARNNING TMemSafe::New called name %s pid %d and static pid is %d\n", name, now,
               pid);
    }
    if (MemSafe_Delete == nullptr) return 0;
    Mem_Del_Ptr(obj, name);
    return MemSafe_Delete(type, obj, name);
}
