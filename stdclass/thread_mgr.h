// Thread manager: every lock and thread identifier of the library comes from
// one process-wide TThread_Mgr. A module of the process may publish its own
// manager under "thread_mgr" in the shared registry; otherwise the program
// creates a local TThread_Mgr_Cb over std::thread and std::recursive_mutex.
//
// The slot order of the virtual operations of TThread_Mgr and TThread_Lock is
// part of the interface (instances cross module boundaries), so new virtual
// operations may only be added after the existing ones.
#pragma once

#include "stdclass/mem_list.h"

#include <mutex>

typedef int (*TThread_Func)(int a, int b);

// Recursive lock interface; each operation returns 1.
class TThread_Lock {
public:
    virtual int Lock() = 0;    // slot 0
    virtual int Unlock() = 0;  // slot 1
    virtual int Close() = 0;   // slot 2
    virtual ~TThread_Lock() {}
};

class TThread_Mgr {
public:
    virtual void* Run(TThread_Func callback, int a, int b) = 0;  // slot 0
    virtual int Count() = 0;                                     // slot 1
    virtual int Remove(void* obj) = 0;                           // slot 2
    virtual int Contains(void* obj) = 0;                         // slot 3
    virtual TThread_Lock* Create_Lock() = 0;                     // slot 4
    virtual void Free_Lock(TThread_Lock* lock) = 0;              // slot 5
    virtual int Thread_Id() = 0;                                 // slot 6

protected:
    // Managers live for the whole process and are never deleted through
    // this interface.
    ~TThread_Mgr() {}
};

// The local lock: a recursive mutex owned through a pointer, so Close can
// dispose of it before the object goes away.
class TThread_Lock_Cb : public TThread_Lock {
public:
    std::recursive_mutex* cs;

    TThread_Lock_Cb();
    ~TThread_Lock_Cb() override;
    TThread_Lock_Cb(const TThread_Lock_Cb&) = delete;
    TThread_Lock_Cb& operator=(const TThread_Lock_Cb&) = delete;
    int Lock() override;
    int Unlock() override;
    int Close() override;
};

// A detached thread that runs one callback and then deletes itself.
class TThread_Cb {
public:
    int arg_a;
    int arg_b;
    TThread_Func callback;

    TThread_Cb(TThread_Func callback, int arg_a, int arg_b);

private:
    void Execute();
};

class TThread_Mgr_Cb : public TThread_Mgr {
public:
    TMemList threads;
    TThread_Lock_Cb* lock;

    TThread_Mgr_Cb();
    void* Run(TThread_Func callback, int a, int b) override;
    int Count() override;
    int Remove(void* obj) override;
    int Contains(void* obj) override;
    TThread_Lock* Create_Lock() override;
    void Free_Lock(TThread_Lock* lock) override;
    int Thread_Id() override;
};

// Scope guard: holds a lock (if any) from construction to destruction.
class TThread_Safe {
public:
    TThread_Lock* lock;
    int locked;

    explicit TThread_Safe(TThread_Lock* lock);
    ~TThread_Safe();
    TThread_Safe(const TThread_Safe&) = delete;
    TThread_Safe& operator=(const TThread_Safe&) = delete;
};

int Get_Thread_Mgr();
TThread_Lock* Thread_Create_Lock();
int Thread_Free_Lock(TThread_Lock* lock);
int Thread_Get_Id();

// The current manager (null before the first Get_Thread_Mgr) and the locally
// created one (null when a shared manager was found).
TThread_Mgr* Thread_Get_Mgr();
TThread_Mgr_Cb* Thread_Get_Local_Mgr();
// 1 once the optional vcthread.so binding has been attempted; the module
// handle (null when it was not found).
int Thread_Vc_Bound();
void* Thread_Vc_Handle();
