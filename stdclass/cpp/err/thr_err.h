// Per-thread error manager: one process-wide table with at most one current
// error (code and message) per thread, keyed by Thread_Get_Id. It may be
// shared between modules under "thr_err_mgr" in the shared registry.
#pragma once

#include "stdclass/mem_safe.h"
#include "stdclass/thread_mgr.h"

#if defined(__GNUC__)
#define THR_ERR_PRINTF_CHECK __attribute__((format(printf, 2, 3)))
#else
#define THR_ERR_PRINTF_CHECK
#endif

constexpr int THR_ERR_GROW = 50;
constexpr int THR_ERR_MSG_LEN = 2048;

struct Thr_Err_Entry {
    int thread_id;  // -1 in slots filled by growth
    int code;
    char* text;     // owned copy of the message, or null
    void* user;     // stored as given, never used
};

class TThr_Err : public TMemSafe {
public:
    int capacity;
    int count;
    Thr_Err_Entry* entries;
    TThread_Lock* lock;

    TThr_Err();
    ~TThr_Err() override;
    TThr_Err(const TThr_Err&) = delete;
    TThr_Err& operator=(const TThr_Err&) = delete;

    int Set_Err(int code, const char* text, void* user = nullptr);  // always 0
    int Clear_Err();                                      // 1
    char* Get_Err(int* out_code, char* buf, int len);
    int Get_Err_Code();
    int Expand_Mem();

private:
    int Find_Slot(int id);
};

int Get_Thr_Err_Mgr();
// The current error manager (null before the first use).
TThr_Err* Thr_Get_Err_Mgr();

int Thr_Set_Err(int code, const char* text, void* user = nullptr);
int Thr_Set_Err_Fmt(int code, const char* format, ...) THR_ERR_PRINTF_CHECK;
int Thr_Get_Err_Code();
int Thr_Clear_Err();
char* Thr_Get_Err(int* out_code, char* buf, int len);
