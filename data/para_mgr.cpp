// Parameter manager: parameters are created and destroyed through the
// manager's object hooks and allocate their name and value through it.
#include "data/para_mgr.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "stdclass/mem_reg.h"

ParaStru::ParaStru() : value(nullptr), name(nullptr), size(0), type(0), owner(nullptr) {}

ParaStru::~ParaStru() {
    if (name != nullptr) Give(name, "ParaStru::~ParaStru");
    if (value != nullptr) Give(value, "ParaStru::~ParaStru");
    name = nullptr;
    value = nullptr;
}

void* ParaStru::Take(int n, const char* tag) {
    return owner != nullptr ? owner->Alloc_Mem(n, tag) : Mem_New(n, tag);
}

void ParaStru::Give(void* block, const char* tag) {
    if (owner != nullptr) {
        owner->Free_Mem(block, tag);
    } else {
        Mem_Free(block, tag);
    }
}

int ParaStru::Set_Name(const char* text) {
    if (name != nullptr) {
        Give(name, "ParaStru::Set_Name");
        name = nullptr;
    }
    if (text == nullptr) text = "";
    std::size_t n = std::strlen(text);
    auto* copy = static_cast<char*>(Take(static_cast<int>(n + 1), "ParaStru::Set_Name"));
    if (copy == nullptr) return 0;
    std::memcpy(copy, text, n + 1);
    name = copy;
    return 1;
}

int ParaStru::Set_Value(const void* data, char new_type, int new_size) {
    type = new_type;
    int n;
    if (new_size >= 1) {
        n = new_type == 'S' ? new_size + 1 : new_size;
    } else if (new_type == 'C') {
        n = 1;
    } else if (new_type == 'F' || new_type == 'I') {
        n = 4;
    } else if (new_type == 'S') {
        n = data != nullptr ? static_cast<int>(std::strlen(static_cast<const char*>(data))) + 1 : 1;
    } else {
        return 0;
    }
    if (size > 0 && value != nullptr) Give(value, "ParaStru::Set_Value");
    value = nullptr;
    size = 0;
    auto* block = static_cast<char*>(Take(n, "ParaStru::Set_Value"));
    if (block == nullptr) return 0;  // no value: the parameter reads as empty
    size = n;
    value = block;
    std::memset(value, 0, static_cast<std::size_t>(n));
    if (data != nullptr) {
        std::size_t copy = static_cast<std::size_t>(n);
        if (new_type == 'S') {
            // A string is read up to its terminator, never past it.
            std::size_t have = std::strlen(static_cast<const char*>(data)) + 1;
            if (have < copy) copy = have;
        }
        std::memcpy(value, data, copy);
    }
    if (new_type == 'S') value[n - 1] = 0;
    return 1;
}

int ParaStru::Get_Text(char* buf) const {
    switch (type) {
        case 'I': {
            int v = 0;
            if (value != nullptr && size >= 4) std::memcpy(&v, value, sizeof v);
            std::sprintf(buf, "%d", v);
            break;
        }
        case 'C':
            std::sprintf(buf, "%d", value != nullptr ? static_cast<unsigned char>(value[0]) : 0);
            break;
        case 'F': {
            float f = 0;
            if (value != nullptr && size >= 4) std::memcpy(&f, value, sizeof f);
            std::sprintf(buf, "%f", static_cast<double>(f));
            break;
        }
        case 'S':
            std::strcpy(buf, value != nullptr ? value : "");
            break;
        default:
            break;
    }
    return 1;
}

namespace {

void* Para_New(int type, const char*, int) {
    if (type != 1) return nullptr;
    return new ParaStru();
}

int Para_Delete(int type, void* obj, const char*) {
    if (type != 1) return 0;
    delete static_cast<ParaStru*>(obj);
    return 1;
}

}  // namespace

TParaMgr::TParaMgr() {
    MemSafe_New = Para_New;
    MemSafe_Delete = Para_Delete;
}

TParaMgr::~TParaMgr() { Reset_Para(); }

int TParaMgr::Reserved_Clear(void* area) {
    std::memset(area, 0, 10);
    return 1;
}

int TParaMgr::Reserved_Ok() { return 1; }

int TParaMgr::Check_Name(const char* name) {
    if (name == nullptr) return 0;
    auto is_letter = [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 128;
    };
    auto* p = reinterpret_cast<const unsigned char*>(name);
    if (!is_letter(*p)) return 0;
    for (++p;; ++p) {
        unsigned char c = *p;
        if (is_letter(c) || (c >= '0' && c <= '9') || c == '.' || c == '#' || c == '$') continue;
        return c == 0 ? 1 : 0;
    }
}

ParaStru* TParaMgr::Find_Para(const char* name) {
    if (name == nullptr) return nullptr;
    for (TMemList_Node* node = para_list.head; node != nullptr; node = node->next) {
        auto* p = static_cast<ParaStru*>(node->data);
        if (p == nullptr) return nullptr;
        if (p->name != nullptr && std::strcmp(p->name, name) == 0) return p;
    }
    return nullptr;
}

int TParaMgr::Push_Para(const char* name, const void* data, char type, int size) {
    if (!Check_Name(name)) return 0;
    ParaStru* p = Find_Para(name);
    if (p == nullptr) {
        void* obj = getpid() != pid ? MemSafe_New(1, "TParaMgr::Push_Para", 0)
                                    : New(1, "TParaMgr::Push_Para", 0);
        if (obj == nullptr) return 0;
        p = static_cast<ParaStru*>(obj);
        p->owner = this;
        if (!p->Set_Name(name) || !para_list.AddTail(p)) {
            if (getpid() != pid) {
                MemSafe_Delete(1, p, "TParaMgr::Push_Para");
            } else {
                Delete(1, p, "TParaMgr::Push_Para");
            }
            return 0;
        }
    }
    p->Set_Value(data, type, size);
    return 1;
}

int TParaMgr::Push_Int(const char* name, int value) { return Push_Para(name, &value, 'I', 4); }

int TParaMgr::Push_Str(const char* name, const char* value) {
    return Push_Para(name, value, 'S', value != nullptr ? static_cast<int>(std::strlen(value)) : 0);
}

int TParaMgr::Reset_Para() {
    while (para_list.Count() > 0) {
        auto* p = static_cast<ParaStru*>(para_list.Last());
        if (p == nullptr) return 1;
        para_list.RemoveTail();
        if (getpid() != pid) {
            MemSafe_Delete(1, p, "TParaMgr::Reset_Para");
        } else {
            Delete(1, p, "TParaMgr::Reset_Para");
        }
    }
    return 1;
}
