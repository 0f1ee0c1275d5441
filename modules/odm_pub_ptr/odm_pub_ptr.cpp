// odm_pub_ptr: the registry shared by every module of a process. Modules
// look their managers up here, so that all of them see one table whatever
// copy of the registry functions they carry themselves.
#include <string.h>

namespace {

constexpr int kMaxEntries = 200;
constexpr int kNameLen = 60;

struct Entry {
    char name[kNameLen];
    void* ptr;
};

Entry table[kMaxEntries];
int count = 0;

// The exported functions call these directly: the program exports functions
// of the same names, and a call through the exported symbol from inside this
// module would reach the program's table instead of this one.
void* Get(const char* name) {
    if (name == nullptr) return nullptr;
    for (int i = 0; i < count; i++) {
        if (strcmp(table[i].name, name) == 0) return table[i].ptr;
    }
    return nullptr;
}

int Set(const char* name, void* ptr) {
    if (ptr == nullptr || name == nullptr) return 0;
    if (Get(name) != nullptr) return 1;
    if (count >= kMaxEntries) return 0;
    if (strlen(name) >= static_cast<size_t>(kNameLen)) return 0;
    strcpy(table[count].name, name);
    table[count].ptr = ptr;
    count++;
    return 1;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int App_Set_Pub_Ptr(const char* name, void* ptr) {
    return Set(name, ptr);
}

extern "C" __attribute__((visibility("default"))) void* App_Get_Pub_Ptr(const char* name) {
    return Get(name);
}
