// Public pointer registry, module loader and path helpers.
//
// Modules of one process share single instances of the library's managers
// through a registry of names and pointers. The program exports its own copy
// (App_Set_Pub_Ptr / App_Get_Pub_Ptr); library lookups go through the shared
// registry module odm_pub_ptr.so, bound once per process by Pub_Ptr_Get.
// Diagnostics of this unit go to standard output with printf.
#pragma once

#include "stdclass/path_size.h"

#if defined(__GNUC__)
#define STDCLASS_EXPORT __attribute__((visibility("default")))
#else
#define STDCLASS_EXPORT
#endif

// Registry limits: 200 entries, names of at most 59 bytes.
constexpr int PUB_PTR_MAX = 200;
constexpr int PUB_PTR_NAME_LEN = 60;

// Buffer sizes of the loader and the path helpers.
constexpr int DLL_PATH_LEN = PATH_FIELD_SIZE;       // T_Dll::path, paths given to Load
constexpr int DLL_FILE_NAME_LEN = PATH_FIELD_SIZE;  // out of Dll_Get_File_Name must hold this
constexpr int DLL_ENTRY_NAME_MAX = 50;  // longest entry-point name for Get_Ptr
constexpr int PATH_BUF_LEN = PATH_FIELD_SIZE;       // out of Path_File_Name must hold this
constexpr int PATH_DIR_MAX = PATH_FIELD_SIZE - 1;   // longest result of Path_Dir_Name

extern "C" {
// The program's exported registry. First value stored under a name wins.
STDCLASS_EXPORT int App_Set_Pub_Ptr(const char* name, void* ptr);
STDCLASS_EXPORT void* App_Get_Pub_Ptr(const char* name);
}

// Value stored under name in the shared registry module, or null when the
// module is absent (the binding is tried once per process).
void* Pub_Ptr_Get(const char* name);
// The one-time binding to odm_pub_ptr; returns the stored binding result.
int Pub_Ptr_Bind();

// Module loader over dlopen/dlsym/dlclose. Destruction does not unload.
class T_Dll {
public:
    void* handle;
    char path[DLL_PATH_LEN];

    T_Dll();
    int Load(const char* path);
    void* Get_Ptr(const char* name);
    int Unload();
};

// Builds "$ZOLVAK_DLL_PATH/<base>.so" (or "<base>.so" when the variable is
// unset) into out, which must hold DLL_FILE_NAME_LEN bytes; ".so.so" and
// ".dll.dll" are collapsed. A result that does not fit is refused: a line on
// standard output, out left empty, null returned.
char* Dll_Get_File_Name(const char* base, char* out);

// Path helpers; "/" is the separator.
char* Path_File_Name(const char* path, char* out);
int Path_Exists(const char* path);
int Path_Set_Sep(char* path, char sep);
int Path_Make_Dir(const char* path);
char* Path_Dir_Name(const char* path, char* out);
