// File storage on a SQLite connection and a real store directory: numbering,
// replacing, the inversion of stored bytes, reading back, deleting and the
// removal of disk files without a row.
#include <sys/stat.h>

#include "connect/db_fs.h"
#include "sqlite_fixture.h"

namespace {

namespace fs = std::filesystem;

class FileStore : public SqliteTest {
protected:
    void SetUp() override {
        SqliteTest::SetUp();
        Sql("create table app_fs_file(file_id integer, storage_id text, storage_pos integer,"
            " file_type text, obj_id text, file_size integer, file_ext text,"
            " org_file_name text, desc_info text, encrypt_flag integer)");
        store_dir = dir + "/test_file";
        auto* store = new TDb_Fs_Path();
        store->Set_Name("base");
        testing::internal::CaptureStdout();
        EXPECT_EQ(store->Set_Path(store_dir.c_str()), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        store->conn = conn;
        conn->Set_Storage(store);
    }

    // Writes contents under a number (0: new); returns the number or 0.
    int Write(int id, const char* ext, const std::string& bytes, int encrypt = 0) {
        Tab_Db_Fs_File f;
        f.file_id = id;
        std::strcpy(f.file_ext, ext);
        std::strcpy(f.org_file_name, "orig name.txt");
        f.encrypt_flag = encrypt;
        f.data.Append(bytes.data(), static_cast<int>(bytes.size()));
        f.file_size = static_cast<int>(bytes.size());
        DBDataMgr t;
        testing::internal::CaptureStdout();
        int r = conn->Fs_Write(&t, &f);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::string(f.data.Str(), f.data.Length()), bytes);  // caller's bytes again
        if (!r) ADD_FAILURE() << t.Get_Err_Msg();
        return r ? f.file_id : 0;
    }

    std::string Disk(const std::string& name) { return Read_File(store_dir + "/" + name); }

    std::vector<std::string> Listing() {
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator(store_dir)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string store_dir;
};

TEST_F(FileStore, NewFilesAreNumberedFromTheLargestRow) {
    EXPECT_EQ(Write(0, "txt", "hello"), 1);
    EXPECT_EQ(Write(0, "", "raw"), 2);
    EXPECT_EQ(Write(99, "bin", "x"), 3);  // a number without a row is treated as new
    EXPECT_EQ(Listing(), (std::vector<std::string>{"odf00000001.txt", "odf00000002", "odf00000003.bin"}));
    EXPECT_EQ(Disk("odf00000001.txt"), "hello");
    EXPECT_EQ(Value("select file_size||':'||file_ext||':'||org_file_name from app_fs_file "
                    "where file_id=1"),
              "5:txt:orig name.txt");
}

TEST_F(FileStore, ReplacingRemovesTheOldDiskFileAndRow) {
    ASSERT_EQ(Write(0, "txt", "first"), 1);
    ASSERT_EQ(Write(1, "doc", "second"), 1);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"odf00000001.doc"}));
    EXPECT_EQ(Value("select count(*)||':'||max(file_ext) from app_fs_file"), "1:doc");

    Tab_Db_Fs_File back;
    DBDataMgr t;
    ASSERT_EQ(conn->Fs_Read(&t, 1, &back), 1);
    EXPECT_EQ(std::string(back.data.Str(), back.data.Length()), "second");
}

TEST_F(FileStore, EncryptedContentsAreInvertedOnDiskAndRestoredOnRead) {
    std::string bytes(8200, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    ASSERT_EQ(Write(0, "dat", bytes, 1), 1);
    std::string disk = Disk("odf00000001.dat");
    ASSERT_EQ(disk.size(), bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        unsigned char want = i < 8192 ? 255 - static_cast<unsigned char>(bytes[i])
                                      : static_cast<unsigned char>(bytes[i]);
        ASSERT_EQ(static_cast<unsigned char>(disk[i]), want) << i;
    }
    Tab_Db_Fs_File back;
    DBDataMgr t;
    ASSERT_EQ(conn->Fs_Read(&t, 1, &back), 1);
    EXPECT_EQ(std::string(back.data.Str(), back.data.Length()), bytes);
    EXPECT_EQ(back.encrypt_flag, 1);
    EXPECT_STREQ(back.file_ext, "dat");
}

TEST_F(FileStore, ReadFailures) {
    DBDataMgr t;
    t.Set_Error(5, "before");
    Tab_Db_Fs_File f;
    EXPECT_EQ(conn->Fs_Read(&t, 4, &f), 0);  // no row: no error of its own
    EXPECT_EQ(t.Get_Err_Code(), 5);
    EXPECT_STREQ(t.Get_Err_Msg(), "before");

    ASSERT_EQ(Write(0, "txt", "abc"), 1);
    fs::remove(store_dir + "/odf00000001.txt");
    EXPECT_EQ(conn->Fs_Read(&t, 1, &f), 0);
    EXPECT_EQ(t.Get_Err_Code(), -1);
    EXPECT_EQ(std::string(t.Get_Err_Msg()),
              "unable to open file " + store_dir + "/odf00000001.txt while disk storage read");
    EXPECT_EQ(Thr_Get_Err_Code(), 0);  // moved into the table
}

TEST_F(FileStore, DeleteRemovesRowAndDiskFile) {
    ASSERT_EQ(Write(0, "txt", "a"), 1);
    ASSERT_EQ(Write(0, "txt", "b"), 2);
    DBDataMgr t;
    EXPECT_EQ(conn->Fs_Delete(&t, 1), 1);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"odf00000002.txt"}));
    EXPECT_EQ(Value("select group_concat(file_id) from app_fs_file"), "2");
    EXPECT_EQ(conn->Fs_Delete(&t, 1), 1);  // no row: nothing to do
    EXPECT_EQ(Listing(), (std::vector<std::string>{"odf00000002.txt"}));
}

TEST_F(FileStore, WriteRefusesASizeBeyondTheDataBeforeTouchingAnything) {
    ASSERT_EQ(Write(0, "txt", "keep"), 1);
    Tab_Db_Fs_File f;
    f.file_id = 1;
    f.data = "ab";
    f.file_size = 10;
    DBDataMgr t;
    EXPECT_EQ(conn->Fs_Write(&t, &f), 0);
    EXPECT_EQ(t.Get_Err_Code(), -1);
    EXPECT_EQ(Disk("odf00000001.txt"), "keep");
}

TEST_F(FileStore, EmptyContentsAreStoredAndReadBack) {
    ASSERT_EQ(Write(0, "txt", ""), 1);
    Tab_Db_Fs_File back;
    back.data = "old";
    DBDataMgr t;
    ASSERT_EQ(conn->Fs_Read(&t, 1, &back), 1);
    EXPECT_EQ(back.data.Length(), 0);
}

TEST_F(FileStore, ConnectionWithoutStoreAnswersNotSupported) {
    TDb_Connect bare;
    Tab_Db_Fs_File f;
    struct Case {
        const char* what;
        int (*op)(TDb_Connect&, DBDataMgr*, Tab_Db_Fs_File*);
    } cases[] = {
        {"write", [](TDb_Connect& c, DBDataMgr* t, Tab_Db_Fs_File* f) { return c.Fs_Write(t, f); }},
        {"read", [](TDb_Connect& c, DBDataMgr* t, Tab_Db_Fs_File* f) { return c.Fs_Read(t, 1, f); }},
        {"delete", [](TDb_Connect& c, DBDataMgr* t, Tab_Db_Fs_File*) { return c.Fs_Delete(t, 1); }},
    };
    for (const Case& c : cases) {
        DBDataMgr t;
        EXPECT_EQ(c.op(bare, &t, &f), 0) << c.what;
        EXPECT_EQ(t.Get_Err_Code(), -2) << c.what;
        EXPECT_STREQ(t.Get_Err_Msg(), "disk storage not support") << c.what;
    }
}

TEST_F(FileStore, ClearOrphansRemovesOnlyOdfFilesWithoutARow) {
    ASSERT_EQ(Write(0, "txt", "1"), 1);
    ASSERT_EQ(Write(0, "", "2"), 2);
    fs::rename(store_dir + "/odf00000001.txt", store_dir + "/ODF00000001.TXT");
    for (const char* name : {"odf00000003.doc", "ODF00000009", "notes.txt"}) {
        std::ofstream(store_dir + "/" + name) << "x";
    }
    fs::create_directory(store_dir + "/odf00000004");
    std::ofstream(store_dir + "/odf00000004/odf00000005") << "x";

    ASSERT_EQ(conn->storage->Clear_Orphans(), 1);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"ODF00000001.TXT", "notes.txt", "odf00000002",
                                                   "odf00000004"}));
    EXPECT_TRUE(fs::exists(store_dir + "/odf00000004/odf00000005"));

    // Without a readable table nothing is taken for an orphan.
    Sql("drop table app_fs_file");
    ASSERT_EQ(conn->storage->Clear_Orphans(), 1);
    EXPECT_EQ(Listing().size(), 4u);
}

TEST(FileStorePath, SetPathCreatesOneLevelOnly) {
    char tmpl[] = "/tmp/zolvak_fspath_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string base = tmpl;
    struct Case {
        std::string dir;
        int result;
        std::string out;
    } cases[] = {
        {base, 1, ""},
        {base + "/one", 1, ""},
        {base + "/two/levels", 0, "Unable to create directory " + base + "/two/levels\n"},
    };
    for (const Case& c : cases) {
        TDb_Fs_Path store;
        testing::internal::CaptureStdout();
        EXPECT_EQ(store.Set_Path(c.dir.c_str()), c.result) << c.dir;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_STREQ(store.path, c.dir.c_str());
    }
    fs::remove_all(base);
}

TEST(FileStorePath, ScanKeepsWhatTheFlagsAsk) {
    char tmpl[] = "/tmp/zolvak_scan_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string base = tmpl;
    std::ofstream(base + "/a.txt") << "abc";
    fs::create_directory(base + "/sub");
    std::ofstream(base + "/sub/b.txt") << "x";
    struct Case {
        int flags;
        int files, dirs, sub_files;
    } cases[] = {{0, 0, 0, 0}, {2, 1, 0, 0}, {1, 0, 1, 0}, {7, 1, 1, 1}};
    for (const Case& c : cases) {
        TPath_Tree node;
        EXPECT_EQ(node.Scan(base.c_str(), c.flags), 1);
        EXPECT_EQ(node.file_count, c.files) << c.flags;
        EXPECT_EQ(node.dir_count, c.dirs) << c.flags;
        if (c.dirs > 0) {
            auto* sub = static_cast<TPath_Tree*>(node.dirs.GetAt(0));
            EXPECT_EQ(sub->file_count, c.sub_files);
        }
        if (c.files > 0) {
            EXPECT_STREQ(node.Get_File(0)->name, "a.txt");
            EXPECT_EQ(node.Get_File(0)->size, 3);
            EXPECT_EQ(std::strlen(node.Get_File(0)->mtime), 14u);
        }
    }
    TPath_Tree node;
    EXPECT_EQ(node.Scan((base + "/missing").c_str(), 2), 0);
    fs::remove_all(base);
}

}  // namespace
