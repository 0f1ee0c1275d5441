// Thread manager: the shared or local manager, its locks and threads, and
// the optional vcthread.so binding.
#include "stdclass/thread_mgr.h"

#include "stdclass/pub_ptr.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>
#include <thread>

namespace {

TThread_Mgr* current_mgr = nullptr;
TThread_Mgr_Cb* local_mgr = nullptr;

struct Vc_Binding {
    int bound = 0;
    void* handle = nullptr;
    void* thread_run = nullptr;
    void* mutex_create_lock = nullptr;
    void* mutex_lock = nullptr;
    void* mutex_unlock = nullptr;
    void* mutex_free_lock = nullptr;
};
Vc_Binding vc;

// The optional threading module is looked up by its bare name through the
// ordinary library search; nothing of it is ever called.
void Vc_Bind() {
    vc.bound = 1;
    vc.handle = dlopen("vcthread.so", RTLD_NOW);
    if (vc.handle == nullptr) return;
    vc.thread_run = dlsym(vc.handle, "Vc_Thread_Run");
    vc.mutex_create_lock = dlsym(vc.handle, "Vc_Mutex_Create_Lock");
    vc.mutex_lock = dlsym(vc.handle, "Vc_Mutex_Lock");
    vc.mutex_unlock = dlsym(vc.handle, "Vc_Mutex_Unlock");
    vc.mutex_free_lock = dlsym(vc.handle, "Vc_Mutex_Free_Lock");
}

int Os_Thread_Id() { return static_cast<int>(syscall(SYS_gettid)); }

}  // namespace

TThread_Lock_Cb::TThread_Lock_Cb() : cs(new std::recursive_mutex) {}

TThread_Lock_Cb::~TThread_Lock_Cb() { Close(); }

int TThread_Lock_Cb::Lock() {
    if (cs != nullptr) cs->lock();
    return 1;
}

int TThread_Lock_Cb::Unlock() {
    if (cs != nullptr) cs->unlock();
    return 1;
}

int TThread_Lock_Cb::Close() {
    delete cs;
    cs = nullptr;
    return 1;
}

TThread_Cb::TThread_Cb(TThread_Func cb, int a, int b) : arg_a(a), arg_b(b), callback(cb) {
    // Started last, so the thread sees a completely constructed object.
    std::thread(&TThread_Cb::Execute, this).detach();
}

void TThread_Cb::Execute() {
    if (callback != nullptr) callback(arg_a, arg_b);
    delete this;
}

TThread_Mgr_Cb::TThread_Mgr_Cb() : lock(new TThread_Lock_Cb) {}

void* TThread_Mgr_Cb::Run(TThread_Func callback, int a, int b) {
    TThread_Cb* obj = nullptr;
    try {
        obj = new (std::nothrow) TThread_Cb(callback, a, b);
    } catch (...) {
        obj = nullptr;  // the thread could not be started
    }
    if (obj == nullptr) {
        printf("obj is NULL\n");
        fflush(stdout);
        exit(0);
    }
    return obj;
}

int TThread_Mgr_Cb::Count() {
    TThread_Safe guard(lock);
    return threads.Count();
}

int TThread_Mgr_Cb::Contains(void* obj) {
    TThread_Safe guard(lock);
    for (TMemList_Node* n = threads.head; n != nullptr; n = n->next) {
        if (n->data == obj) return 1;
    }
    return 0;
}

int TThread_Mgr_Cb::Remove(void* obj) {
    TThread_Safe guard(lock);
    for (TMemList_Node* n = threads.head; n != nullptr; n = n->next) {
        if (n->data == obj) {
            threads._RemoveNode(n);
            break;
        }
    }
    return 0;
}

TThread_Lock* TThread_Mgr_Cb::Create_Lock() { return new TThread_Lock_Cb; }

void TThread_Mgr_Cb::Free_Lock(TThread_Lock* l) { delete l; }

int TThread_Mgr_Cb::Thread_Id() { return Os_Thread_Id(); }

TThread_Safe::TThread_Safe(TThread_Lock* l) : lock(nullptr), locked(0) {
    if (l != nullptr) {
        lock = l;
        locked = 1;
        lock->Lock();
    }
}

TThread_Safe::~TThread_Safe() {
    if (locked) {
        locked = 0;
        lock->Unlock();
    }
}

int Get_Thread_Mgr() {
    if (current_mgr != nullptr) return 1;
    void* shared = Pub_Ptr_Get("thread_mgr");
    if (shared != nullptr) current_mgr = static_cast<TThread_Mgr*>(shared);
    if (current_mgr == nullptr && local_mgr == nullptr) {
        if (!vc.bound) Vc_Bind();
        local_mgr = new TThread_Mgr_Cb;
        current_mgr = local_mgr;
    }
    return 1;
}

TThread_Lock* Thread_Create_Lock() {
    Get_Thread_Mgr();
    return current_mgr->Create_Lock();
}

int Thread_Free_Lock(TThread_Lock* l) {
    Get_Thread_Mgr();
    current_mgr->Free_Lock(l);
    return 1;
}

int Thread_Get_Id() {
    Get_Thread_Mgr();
    return current_mgr->Thread_Id();
}

TThread_Mgr* Thread_Get_Mgr() { return current_mgr; }
TThread_Mgr_Cb* Thread_Get_Local_Mgr() { return local_mgr; }
int Thread_Vc_Bound() { return vc.bound; }
void* Thread_Vc_Handle() { return vc.handle; }
