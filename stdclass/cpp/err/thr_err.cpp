// Per-thread error manager.
#include "stdclass/cpp/err/thr_err.h"

#include "stdclass/pub_ptr.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

TThr_Err* current_err_mgr = nullptr;

}  // namespace

TThr_Err::TThr_Err() : capacity(0), count(0), entries(nullptr), lock(nullptr) {
    lock = Thread_Create_Lock();
    capacity = THR_ERR_GROW;
    count = 0;
    int bytes = THR_ERR_GROW * static_cast<int>(sizeof(Thr_Err_Entry));
    entries = static_cast<Thr_Err_Entry*>(Alloc_Mem(bytes, "Set_Err"));
    if (entries != nullptr) {
        memset(static_cast<void*>(entries), 0, bytes);
    } else {
        capacity = 0;  // the first Set_Err grows the table
    }
}

TThr_Err::~TThr_Err() {
    // The process-wide manager is never destroyed; a table made for a shorter
    // life gives back everything it holds, the live messages and its lock too.
    if (entries != nullptr) {
        for (int i = 0; i < count; i++) {
            if (entries[i].text != nullptr) Free_Mem(entries[i].text, "TThr_Err::~TThr_Err");
        }
        Free_Mem(entries, "TThr_Err::~TThr_Err");
    }
    entries = nullptr;
    count = 0;
    if (lock != nullptr) Thread_Free_Lock(lock);
    lock = nullptr;
}

int TThr_Err::Find_Slot(int id) {
    for (int i = 0; i < count; i++) {
        if (entries[i].thread_id == id) return i;
    }
    return -1;
}

int TThr_Err::Set_Err(int code, const char* text, void* user) {
    int id = Thread_Get_Id();
    TThread_Safe guard(lock);
    int slot = Find_Slot(id);
    bool is_new = slot < 0;
    if (is_new) slot = count;
    // A table that cannot grow drops the error rather than write past its end.
    if (slot == capacity && Expand_Mem() == 0) return 0;
    Thr_Err_Entry& e = entries[slot];
    e.thread_id = id;
    e.code = code;
    e.user = user;
    if (e.text != nullptr) {
        Free_Mem(e.text, "Set_Err");
        e.text = nullptr;
    }
    if (text != nullptr) {
        size_t n = strlen(text);
        char* copy = static_cast<char*>(Alloc_Mem(static_cast<int>(n + 1), "Set_Err"));
        if (copy == nullptr) {
            printf("alloc fail %s %d\n", "stdclass/cpp/err", 105);
            return 0;
        }
        memcpy(copy, text, n + 1);
        e.text = copy;
    }
    if (is_new) count++;
    return 0;
}

int TThr_Err::Expand_Mem() {
    int new_capacity = capacity + THR_ERR_GROW;
    int bytes = new_capacity * static_cast<int>(sizeof(Thr_Err_Entry));
    Thr_Err_Entry* table = static_cast<Thr_Err_Entry*>(Alloc_Mem(bytes, "Set_Err"));
    if (table == nullptr) {
        printf("alloc fail in TThr_Err::Expand_Mem\n");
        return 0;
    }
    memset(static_cast<void*>(table), 0, bytes);
    for (int i = capacity; i < new_capacity; i++) table[i].thread_id = -1;
    if (entries != nullptr) {
        memcpy(static_cast<void*>(table), entries, capacity * sizeof(Thr_Err_Entry));
        Free_Mem(entries, "Set_Err");
    }
    entries = table;
    capacity = new_capacity;
    return 1;
}

int TThr_Err::Clear_Err() {
    int id = Thread_Get_Id();
    TThread_Safe guard(lock);
    int slot = Find_Slot(id);
    if (slot < 0) return 1;
    Thr_Err_Entry& e = entries[slot];
    e.thread_id = 0;
    if (e.text != nullptr) Free_Mem(e.text, "Clear_Err");
    e.text = nullptr;
    count--;
    if (count > 0) {
        if (slot != count) entries[slot] = entries[count];
        entries[count].text = nullptr;  // the moved entry owns its message
        entries[count].thread_id = 0;
    }
    return 1;
}

char* TThr_Err::Get_Err(int* out_code, char* buf, int len) {
    if (out_code != nullptr) *out_code = 0;
    if (buf != nullptr) buf[0] = 0;
    int id = Thread_Get_Id();
    TThread_Safe guard(lock);
    int slot = Find_Slot(id);
    if (slot < 0) return buf;
    const Thr_Err_Entry& e = entries[slot];
    if (out_code != nullptr) *out_code = e.code;
    if (buf == nullptr) return buf;
    if (e.text == nullptr) {
        strcpy(buf, "not define");
    } else {
        int n = static_cast<int>(strlen(e.text));
        if (len > 0 && len < n) {
            memcpy(buf, e.text, len);
            buf[len] = 0;
        } else {
            memcpy(buf, e.text, n + 1);
        }
    }
    return buf;
}

int TThr_Err::Get_Err_Code() {
    int id = Thread_Get_Id();
    TThread_Safe guard(lock);
    int slot = Find_Slot(id);
    return slot < 0 ? 0 : entries[slot].code;
}

int Get_Thr_Err_Mgr() {
    if (current_err_mgr != nullptr) return 1;
    void* shared = Pub_Ptr_Get("thr_err_mgr");
    if (shared != nullptr) current_err_mgr = static_cast<TThr_Err*>(shared);
    Get_Thread_Mgr();
    if (current_err_mgr == nullptr) current_err_mgr = new TThr_Err;
    return 1;
}

TThr_Err* Thr_Get_Err_Mgr() { return current_err_mgr; }

int Thr_Set_Err(int code, const char* text, void* user) {
    Get_Thr_Err_Mgr();
    return current_err_mgr->Set_Err(code, text, user);
}

int Thr_Set_Err_Fmt(int code, const char* format, ...) {
    Get_Thr_Err_Mgr();
    char msg[THR_ERR_MSG_LEN];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(msg, sizeof(msg), format, ap);
    va_end(ap);
    if (n < 0 || n >= THR_ERR_MSG_LEN) {
        // The code still tells the caller what failed; a cut message could
        // end inside a character, so none is kept.
        printf("Thr_Set_Err_Fmt message too long (%d bytes)\n", n);
        return Thr_Set_Err(code, nullptr, nullptr);
    }
    return Thr_Set_Err(code, msg, nullptr);
}

int Thr_Get_Err_Code() {
    Get_Thr_Err_Mgr();
    return current_err_mgr->Get_Err_Code();
}

int Thr_Clear_Err() {
    Get_Thr_Err_Mgr();
    return current_err_mgr->Clear_Err();
}

char* Thr_Get_Err(int* out_code, char* buf, int len) {
    Get_Thr_Err_Mgr();
    return current_err_mgr->Get_Err(out_code, buf, len);
}
