// Public pointer registry, the binding to the shared registry module, the
// module loader and the path helpers.
#include "stdclass/pub_ptr.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Pub_Ptr_Entry {
    char name[PUB_PTR_NAME_LEN];
    void* ptr;
};

Pub_Ptr_Entry pub_ptr_table[PUB_PTR_MAX];
int pub_ptr_count = 0;

typedef int (*Pub_Set_Func)(const char*, void*);
typedef void* (*Pub_Get_Func)(const char*);

int bind_attempted = 0;
int bind_result = 0;
Pub_Set_Func bound_set = nullptr;  // kept, never called: the library only reads
Pub_Get_Func bound_get = nullptr;

char path_file_buf[PATH_BUF_LEN];
char path_dir_buf[PATH_BUF_LEN];

// Copies text into out when it fits in size bytes including the terminator.
bool Copy_Fit(char* out, int size, const char* text) {
    size_t n = strlen(text);
    if (n >= static_cast<size_t>(size)) return false;
    memcpy(out, text, n + 1);
    return true;
}

}  // namespace

extern "C" int App_Set_Pub_Ptr(const char* name, void* ptr) {
    if (ptr == nullptr || name == nullptr) return 0;
    if (App_Get_Pub_Ptr(name) != nullptr) return 1;
    if (pub_ptr_count >= PUB_PTR_MAX) return 0;
    if (strlen(name) >= static_cast<size_t>(PUB_PTR_NAME_LEN)) {
        printf("App_Set_Pub_Ptr name too long %s\n", name);
        return 0;
    }
    Pub_Ptr_Entry& e = pub_ptr_table[pub_ptr_count];
    strcpy(e.name, name);
    e.ptr = ptr;
    pub_ptr_count++;
    return 1;
}

extern "C" void* App_Get_Pub_Ptr(const char* name) {
    if (name == nullptr) return nullptr;
    for (int i = 0; i < pub_ptr_count; i++) {
        if (strcmp(pub_ptr_table[i].name, name) == 0) return pub_ptr_table[i].ptr;
    }
    return nullptr;
}

int Pub_Ptr_Bind() {
    if (bind_attempted) return bind_result;
    bind_attempted = 1;
    char file[DLL_FILE_NAME_LEN];
    if (Dll_Get_File_Name("odm_pub_ptr", file) == nullptr) {
        bind_result = 0;
        return 0;
    }
    T_Dll dll;
    bind_result = dll.Load(file);
    if (bind_result == 0) return 0;
    bound_set = reinterpret_cast<Pub_Set_Func>(dll.Get_Ptr("App_Set_Pub_Ptr"));
    bound_get = reinterpret_cast<Pub_Get_Func>(dll.Get_Ptr("App_Get_Pub_Ptr"));
    bind_result = 1;
    return 1;
}

void* Pub_Ptr_Get(const char* name) {
    if (bound_get == nullptr) Pub_Ptr_Bind();
    if (bound_get == nullptr) return nullptr;
    return bound_get(name);
}

T_Dll::T_Dll() : handle(nullptr) {}

int T_Dll::Load(const char* p) {
    if (handle != nullptr) Unload();
    if (p == nullptr) return 0;
    if (strlen(p) >= sizeof(path)) {
        printf("T_Dll::Load path too long %s\n", p);
        return 0;
    }
    handle = dlopen(p, RTLD_NOW);
    strcpy(path, p);
    if (handle == nullptr) return 0;
    printf("LOAD %s OK\n", p);
    return 1;
}

void* T_Dll::Get_Ptr(const char* name) {
    if (name == nullptr) return nullptr;
    if (handle == nullptr) {
        printf("no dll loaded,unable to get module %s\n", name);
        return nullptr;
    }
    if (strlen(name) > static_cast<size_t>(DLL_ENTRY_NAME_MAX)) {
        printf("T_Dll::Get_Ptr name too long %s\n", name);
        return nullptr;
    }
    void* addr = nullptr;
    if (name[0] == '_') {
        addr = dlsym(handle, name);
    } else {
        char decorated[DLL_ENTRY_NAME_MAX + 2];
        snprintf(decorated, sizeof(decorated), "_%s", name);
        addr = dlsym(handle, decorated);
        if (addr == nullptr) addr = dlsym(handle, name);
    }
    if (addr == nullptr) {
        printf("unable to get ptr of module '%s' in lib %s\n", name, path);
    }
    return addr;
}

int T_Dll::Unload() {
    if (handle == nullptr) return 0;
    dlclose(handle);
    handle = nullptr;
    return 1;
}

char* Dll_Get_File_Name(const char* base, char* out) {
    if (base == nullptr || out == nullptr) return nullptr;
    const char* dir = getenv("ZOLVAK_DLL_PATH");
    int n;
    if (dir == nullptr || dir[0] == 0) {
        printf("Dll_Get_File_Name dll path not set\n");
        n = snprintf(out, DLL_FILE_NAME_LEN, "%s.so", base);
    } else {
        n = snprintf(out, DLL_FILE_NAME_LEN, "%s/%s.so", dir, base);
    }
    if (n < 0 || n >= DLL_FILE_NAME_LEN) {
        printf("Dll_Get_File_Name name too long %s\n", base);
        out[0] = 0;
        return nullptr;
    }
    char* p = strstr(out, ".so.so");
    if (p != nullptr) strcpy(p, ".so");
    p = strstr(out, ".dll.dll");
    if (p != nullptr) strcpy(p, ".dll");
    return out;
}

char* Path_File_Name(const char* path, char* out) {
    char* target = out != nullptr ? out : path_file_buf;
    if (path == nullptr) return nullptr;
    const char* sep = strrchr(path, '/');
    const char* name = sep != nullptr ? sep + 1 : path;
    if (!Copy_Fit(target, PATH_BUF_LEN, name)) {
        printf("Path_File_Name path too long %s\n", path);
        target[0] = 0;
        return nullptr;
    }
    return target;
}

int Path_Exists(const char* path) {
    if (path == nullptr) return 0;
    return access(path, F_OK) == 0 ? 1 : 0;
}

int Path_Set_Sep(char* path, char sep) {
    if (sep == 0) sep = '/';
    if (path == nullptr) return 1;
    for (char* p = path; *p; p++) {
        if (*p == '\\' || *p == '/') *p = sep;
    }
    return 1;
}

int Path_Make_Dir(const char* path) {
    if (path == nullptr) return -1;
    return mkdir(path, 0777) == 0 ? 0 : -1;
}

char* Path_Dir_Name(const char* path, char* out) {
    if (path == nullptr) return nullptr;
    if (!Copy_Fit(path_dir_buf, PATH_BUF_LEN, path)) {
        printf("Path_Dir_Name path too long %s\n", path);
        if (out != nullptr) out[0] = 0;
        return nullptr;
    }
    // The directory part resolved with realpath stands in for changing into
    // it and reading the current directory back; the process's current
    // directory is never changed.
    char resolved[PATH_MAX];
    bool found = false;
    bool too_long = false;
    char* sep = strrchr(path_dir_buf, '/');
    if (sep != nullptr) {
        if (sep == path_dir_buf) {
            sep[1] = 0;  // "/name": the root directory
        } else {
            *sep = 0;
        }
        struct stat st;
        errno = 0;
        found = realpath(path_dir_buf, resolved) != nullptr && stat(resolved, &st) == 0 &&
                S_ISDIR(st.st_mode);
        // A directory whose absolute form is longer than the system takes is
        // not a missing one: answering with the current directory would put
        // the caller's files somewhere else.
        too_long = !found && errno == ENAMETOOLONG;
    }
    if (!found && !too_long) found = getcwd(resolved, sizeof(resolved)) != nullptr;
    if (!found || strlen(resolved) > static_cast<size_t>(PATH_DIR_MAX)) {
        printf("Path_Dir_Name directory too long %s\n", path);
        path_dir_buf[0] = 0;
        if (out != nullptr) out[0] = 0;
        return nullptr;
    }
    strcpy(path_dir_buf, resolved);
    if (out == nullptr) return path_dir_buf;
    strcpy(out, path_dir_buf);
    return out;
}
