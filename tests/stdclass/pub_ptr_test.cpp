// Registry (the program's copy and the odm_pub_ptr module), module loader,
// module file names and path helpers.
#include "capture_stdout.h"
#include "stdclass/pub_ptr.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace {

typedef int (*Set_Func)(const char*, void*);
typedef void* (*Get_Func)(const char*);

const std::string kModuleDir = ZOLVAK_MODULE_DIR;
const std::string kTestModuleDir = STDCLASS_TEST_MODULE_DIR;

// Both registries follow the same rules; each test below fills one of them.
void Check_Registry_Rules(Set_Func set, Get_Func get, int already) {
    int a = 1, b = 2;
    EXPECT_EQ(set("thread_mgr", &a), 1);
    EXPECT_EQ(set("thread_mgr", &b), 1) << "a second value reports success";
    EXPECT_EQ(get("thread_mgr"), &a) << "the first value stored under a name wins";
    EXPECT_EQ(get("Thread_Mgr"), nullptr) << "names are case-sensitive";
    EXPECT_EQ(get("THREAD_MGR"), nullptr);
    EXPECT_EQ(set("null_value", nullptr), 0);
    EXPECT_EQ(get("null_value"), nullptr);
    EXPECT_EQ(get(nullptr), nullptr);

    std::string longest(59, 'n');
    EXPECT_EQ(set(longest.c_str(), &a), 1);
    EXPECT_EQ(get(longest.c_str()), &a);
    std::string too_long(60, 'n');
    EXPECT_EQ(set(too_long.c_str(), &b), 0);
    EXPECT_EQ(get(too_long.c_str()), nullptr);

    // Two more entries are in use; fill the table up to its 200 entries.
    static int values[PUB_PTR_MAX];
    for (int i = 2 + already; i < PUB_PTR_MAX; i++) {
        std::string name = "key_" + std::to_string(i);
        ASSERT_EQ(set(name.c_str(), &values[i]), 1) << name;
    }
    EXPECT_EQ(set("key_201", &a), 0) << "the 201st distinct name is refused";
    EXPECT_EQ(get("key_201"), nullptr);
    EXPECT_EQ(set("thread_mgr", &b), 1) << "a name already present still reports success";
    EXPECT_EQ(get("key_199"), &values[199]);
}

}  // namespace

TEST(Registry, ProgramCopyRules) {
    std::string out = Capture_Stdout([] { Check_Registry_Rules(App_Set_Pub_Ptr, App_Get_Pub_Ptr, 0); });
    EXPECT_EQ(out, "App_Set_Pub_Ptr name too long " + std::string(60, 'n') + "\n");
}

TEST(Registry, ModuleCopyRulesAndOwnTable) {
    void* h = dlopen((kModuleDir + "/odm_pub_ptr.so").c_str(), RTLD_NOW);
    ASSERT_NE(h, nullptr) << dlerror();
    auto set = reinterpret_cast<Set_Func>(dlsym(h, "App_Set_Pub_Ptr"));
    auto get = reinterpret_cast<Get_Func>(dlsym(h, "App_Get_Pub_Ptr"));
    ASSERT_NE(set, nullptr);
    ASSERT_NE(get, nullptr);
    ASSERT_NE(reinterpret_cast<void*>(get), reinterpret_cast<void*>(&App_Get_Pub_Ptr));
    // The module keeps its own table, also while the program exports
    // functions of the same names.
    static int c = 3;
    EXPECT_EQ(set("only_in_module", &c), 1);
    EXPECT_EQ(get("only_in_module"), &c);
    EXPECT_EQ(App_Get_Pub_Ptr("only_in_module"), nullptr);
    Check_Registry_Rules(set, get, 1);
}

TEST(Registry, ProgramExportsItsCopy) {
    void* self = dlopen(nullptr, RTLD_NOW);
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(dlsym(self, "App_Set_Pub_Ptr"), reinterpret_cast<void*>(&App_Set_Pub_Ptr));
    EXPECT_EQ(dlsym(self, "App_Get_Pub_Ptr"), reinterpret_cast<void*>(&App_Get_Pub_Ptr));
}

TEST(DllFileName, BuildsNamesFromTheModuleDirectory) {
    struct Case {
        const char* dir;  // null: ZOLVAK_DLL_PATH unset
        const char* base;
        const char* expected;
        const char* printed;
    };
    const Case cases[] = {
        {"/mods", "odm_pub_ptr", "/mods/odm_pub_ptr.so", ""},
        {"/mods", "x.so", "/mods/x.so", ""},
        {"/mods", "a.so.so", "/mods/a.so", ""},
        {"/mods", "x.dll", "/mods/x.dll.so", ""},
        {"/mods", "b.dll.dll", "/mods/b.dll", ""},
        {"/mods", "c.so.so.tail", "/mods/c.so", ""},
        {nullptr, "odm_pub_ptr", "odm_pub_ptr.so", "Dll_Get_File_Name dll path not set\n"},
        {"", "odm_pub_ptr", "odm_pub_ptr.so", "Dll_Get_File_Name dll path not set\n"},
    };
    for (const Case& c : cases) {
        if (c.dir) {
            setenv("ZOLVAK_DLL_PATH", c.dir, 1);
        } else {
            unsetenv("ZOLVAK_DLL_PATH");
        }
        char out[DLL_FILE_NAME_LEN];
        char* result = nullptr;
        std::string printed = Capture_Stdout([&] { result = Dll_Get_File_Name(c.base, out); });
        EXPECT_EQ(result, out) << c.base;
        EXPECT_STREQ(out, c.expected) << c.base;
        EXPECT_EQ(printed, c.printed) << c.base;
    }
    unsetenv("ZOLVAK_DLL_PATH");
}

TEST(DllFileName, RefusesNamesLongerThanItsBuffer) {
    // dir + "/" + base + ".so" is exactly DLL_FILE_NAME_LEN - 1 bytes: fits.
    std::string dir = "/" + std::string(DLL_FILE_NAME_LEN - 16, 'd');
    setenv("ZOLVAK_DLL_PATH", dir.c_str(), 1);
    char out[DLL_FILE_NAME_LEN + 8];
    memset(out, 'Z', sizeof(out));
    std::string base(DLL_FILE_NAME_LEN - 1 - dir.size() - 4, 'b');
    EXPECT_EQ(Dll_Get_File_Name(base.c_str(), out), out);
    EXPECT_EQ(strlen(out), size_t(DLL_FILE_NAME_LEN - 1));

    memset(out, 'Z', sizeof(out));
    base += "b";
    char* result = out;
    std::string printed = Capture_Stdout([&] { result = Dll_Get_File_Name(base.c_str(), out); });
    EXPECT_EQ(result, nullptr);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(printed, "Dll_Get_File_Name name too long " + base + "\n");
    EXPECT_EQ(out[DLL_FILE_NAME_LEN], 'Z') << "nothing written past the buffer";
    unsetenv("ZOLVAK_DLL_PATH");
}

TEST(TDll, LoadMissingModuleIsSilentButKeepsThePath) {
    T_Dll dll;
    std::string missing = kTestModuleDir + "/no_such_module.so";
    int loaded = 1;
    EXPECT_EQ(Capture_Stdout([&] { loaded = dll.Load(missing.c_str()); }), "");
    EXPECT_EQ(loaded, 0);
    EXPECT_EQ(dll.handle, nullptr);
    EXPECT_STREQ(dll.path, missing.c_str());
    void* p = &dll;
    EXPECT_EQ(Capture_Stdout([&] { p = dll.Get_Ptr("Probe_Entry"); }),
              "no dll loaded,unable to get module Probe_Entry\n");
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(dll.Unload(), 0);
}

TEST(TDll, PrefersTheUnderscoreExportAndReportsMissingNames) {
    T_Dll dll;
    std::string path = kTestModuleDir + "/probe_names.so";
    EXPECT_EQ(Capture_Stdout([&] { EXPECT_EQ(dll.Load(path.c_str()), 1); }),
              "LOAD " + path + " OK\n");
    typedef int (*Entry)();
    struct Case {
        const char* name;
        int value;  // 0: not found
    };
    const Case cases[] = {
        {"Probe_Entry", 1},   // "_Probe_Entry" exists and wins
        {"_Probe_Entry", 1},  // tried as it is
        {"Probe_Plain", 3},   // falls back to the undecorated export
        {"_Probe_Plain", 0},  // an underscore name is not stripped
        {"Missing", 0},
    };
    for (const Case& c : cases) {
        void* p = nullptr;
        std::string printed = Capture_Stdout([&] { p = dll.Get_Ptr(c.name); });
        if (c.value) {
            ASSERT_NE(p, nullptr) << c.name;
            EXPECT_EQ(reinterpret_cast<Entry>(p)(), c.value) << c.name;
            EXPECT_EQ(printed, "") << c.name;
        } else {
            EXPECT_EQ(p, nullptr) << c.name;
            EXPECT_EQ(printed, "unable to get ptr of module '" + std::string(c.name) +
                                   "' in lib " + path + "\n");
        }
    }
    std::string name50(50, 'e');
    EXPECT_EQ(Capture_Stdout([&] { dll.Get_Ptr(name50.c_str()); }),
              "unable to get ptr of module '" + name50 + "' in lib " + path + "\n");
    std::string name51(51, 'e');
    EXPECT_EQ(Capture_Stdout([&] { EXPECT_EQ(dll.Get_Ptr(name51.c_str()), nullptr); }),
              "T_Dll::Get_Ptr name too long " + name51 + "\n");
    EXPECT_EQ(dll.Unload(), 1);
    EXPECT_EQ(dll.Unload(), 0);
}

TEST(TDll, RefusesPathsLongerThanItsBuffer) {
    T_Dll dll;
    std::string path(DLL_PATH_LEN, 'p');
    int loaded = 1;
    EXPECT_EQ(Capture_Stdout([&] { loaded = dll.Load(path.c_str()); }),
              "T_Dll::Load path too long " + path + "\n");
    EXPECT_EQ(loaded, 0);
    EXPECT_EQ(dll.handle, nullptr);
}

TEST(PathHelpers, FileNameTakesWhatFollowsTheLastSlash) {
    struct Case {
        const char* path;
        const char* expected;
    };
    const Case cases[] = {
        {"a/b.txt", "b.txt"},       {"/x/y/z.mdb", "z.mdb"}, {"plain.mdb", "plain.mdb"},
        {"a\\b.txt", "a\\b.txt"},  // the backslash is no separator here
        {"dir/", ""},
    };
    for (const Case& c : cases) {
        char out[PATH_BUF_LEN];
        EXPECT_EQ(Path_File_Name(c.path, out), out);
        EXPECT_STREQ(out, c.expected) << c.path;
        const char* shared = Path_File_Name(c.path, nullptr);
        ASSERT_NE(shared, nullptr);
        EXPECT_STREQ(shared, c.expected) << c.path;
    }
    std::string fits = "d/" + std::string(PATH_BUF_LEN - 1, 'f');
    EXPECT_EQ(strlen(Path_File_Name(fits.c_str(), nullptr)), size_t(PATH_BUF_LEN - 1));
    std::string too_long = "d/" + std::string(PATH_BUF_LEN, 'f');
    char* result = nullptr;
    EXPECT_EQ(Capture_Stdout([&] { result = Path_File_Name(too_long.c_str(), nullptr); }),
              "Path_File_Name path too long " + too_long + "\n");
    EXPECT_EQ(result, nullptr);
}

TEST(PathHelpers, SetSepRewritesBothSeparators) {
    char a[] = "a\\b/c\\d";
    EXPECT_EQ(Path_Set_Sep(a, 0), 1);
    EXPECT_STREQ(a, "a/b/c/d");
    char b[] = "a\\b/c";
    EXPECT_EQ(Path_Set_Sep(b, '\\'), 1);
    EXPECT_STREQ(b, "a\\b\\c");
}

class PathDirs : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/stdclass_pathXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        char real[PATH_MAX];
        ASSERT_NE(realpath(tmpl, real), nullptr);
        root = real;
        ASSERT_NE(getcwd(saved_cwd, sizeof(saved_cwd)), nullptr);
        ASSERT_EQ(chdir(root.c_str()), 0);
    }
    void TearDown() override {
        ASSERT_EQ(chdir(saved_cwd), 0);
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string root;
    char saved_cwd[PATH_MAX];
};

TEST_F(PathDirs, MakeDirCreatesOneLevelAndExistsSeesIt) {
    EXPECT_EQ(Path_Exists("one"), 0);
    EXPECT_EQ(Path_Make_Dir("one"), 0);
    EXPECT_EQ(Path_Exists("one"), 1);
    EXPECT_EQ(Path_Make_Dir("one"), -1) << "already there";
    EXPECT_EQ(Path_Make_Dir("two/three"), -1) << "no parents are created";
    EXPECT_EQ(Path_Exists("two"), 0);
    FILE* f = fopen("one/file.txt", "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(Path_Exists("one/file.txt"), 1);
    EXPECT_EQ(Path_Exists(nullptr), 0);
}

TEST_F(PathDirs, DirNameIsAbsoluteAndLeavesTheCurrentDirectory) {
    ASSERT_EQ(Path_Make_Dir("a"), 0);
    ASSERT_EQ(Path_Make_Dir("a/b"), 0);
    struct Case {
        const char* path;
        std::string expected;
    };
    const Case cases[] = {
        {"a/b/c.txt", root + "/a/b"},
        {"./a/b/../c.txt", root + "/a"},
        {"missing/c.txt", root},  // no such directory: the current one
        {"c.txt", root},          // no separator: the current one
        {"/c.txt", "/"},
    };
    for (const Case& c : cases) {
        char out[PATH_DIR_MAX + 1];
        EXPECT_EQ(Path_Dir_Name(c.path, out), out) << c.path;
        EXPECT_EQ(std::string(out), c.expected) << c.path;
        const char* shared = Path_Dir_Name(c.path, nullptr);
        ASSERT_NE(shared, nullptr);
        EXPECT_EQ(std::string(shared), c.expected) << c.path;
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
        EXPECT_EQ(std::string(cwd), root);
    }
}

// Makes nested directories (names of at most 200 bytes, as the system takes
// them) whose relative path is length bytes long; returns that path.
std::string Make_Chain(char c, std::size_t length) {
    std::string chain;
    while (chain.size() < length) {
        if (!chain.empty()) chain += '/';
        chain += std::string(std::min<std::size_t>(200, length - chain.size()), c);
        if (Path_Make_Dir(chain.c_str()) != 0) return "";
    }
    return chain;
}

TEST_F(PathDirs, DirNameRefusesDirectoriesLongerThanItsBuffer) {
    // The relative path fits; the directory's absolute path is one byte
    // longer than the system takes.
    std::string deep = Make_Chain('x', PATH_DIR_MAX - root.size());
    ASSERT_FALSE(deep.empty());
    std::string path = deep + "/f.txt";
    ASSERT_LT(path.size(), size_t(PATH_BUF_LEN));
    static char out[PATH_DIR_MAX + 1];
    char* result = out;
    EXPECT_EQ(Capture_Stdout([&] { result = Path_Dir_Name(path.c_str(), out); }),
              "Path_Dir_Name directory too long " + path + "\n");
    EXPECT_EQ(result, nullptr);
    EXPECT_STREQ(out, "");

    std::string fits = Make_Chain('y', PATH_DIR_MAX - root.size() - 1);  // exactly PATH_DIR_MAX
    ASSERT_FALSE(fits.empty());
    path = fits + "/f.txt";
    EXPECT_EQ(Path_Dir_Name(path.c_str(), out), out);
    EXPECT_EQ(std::string(out), root + "/" + fits);
}
