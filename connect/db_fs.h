// File store: whole files kept for the application, each described by a row
// of app_fs_file and held as one disk file "odf<8-digit number>[.<ext>]" in
// the store directory. TDb_Fs is the interface a connection holds;
// TDb_Fs_Path keeps the files in a directory.
#pragma once

#include "data/tab_entity.h"
#include "stdclass/mem_list.h"
#include "stdclass/path_size.h"
#include "stdclass/tstr.h"

class TDb_Connect;

constexpr int DB_FS_NAME_SIZE = 20;
constexpr int DB_FS_PATH_SIZE = PATH_FIELD_SIZE;       // the store directory
constexpr int DB_FS_FILE_PATH_SIZE = PATH_FIELD_SIZE;  // disk paths of single files
constexpr int DB_FS_INVERT_LEN = 8192;     // bytes inverted when encrypt_flag is set

// The record that travels between a caller and the store.
struct Tab_Db_Fs_File {
    int file_id;  // 0: no number yet
    char storage_id[12];
    int storage_pos;
    char file_type[31];
    char obj_id[33];
    int file_size;  // bytes of data to store
    char file_ext[31];
    char org_file_name[81];
    char desc_info[84];
    int encrypt_flag;  // non-zero: the disk file holds the contents inverted
    tstr data;

    Tab_Db_Fs_File();
};

// Description of app_fs_file for the statement builder.
class TTab_Db_Fs_File : public TTab_Entity {
public:
    TTab_Db_Fs_File();
};

class TDb_Fs {
public:
    TDb_Connect* conn;
    char name[DB_FS_NAME_SIZE];

    TDb_Fs();
    TDb_Fs(const TDb_Fs&) = delete;
    TDb_Fs& operator=(const TDb_Fs&) = delete;

    virtual int Read(int file_id, Tab_Db_Fs_File* file);  // 0
    virtual int Delete(int file_id);                      // 1
    virtual int Write(Tab_Db_Fs_File* file);              // 2
    virtual int Clear_Orphans();                          // 3
    virtual int Reserved_4();                             // 4
    virtual int Reserved_5();                             // 5
    virtual ~TDb_Fs();

    // Copies the text into name; 0 (name unchanged) when it does not fit.
    int Set_Name(const char* text);
};

class TDb_Fs_Path : public TDb_Fs {
public:
    char path[DB_FS_PATH_SIZE];

    TDb_Fs_Path();
    int Read(int file_id, Tab_Db_Fs_File* file) override;
    int Delete(int file_id) override;
    int Write(Tab_Db_Fs_File* file) override;
    int Clear_Orphans() override;
    // 1 when the directory exists or was created (one level only).
    virtual int Set_Path(const char* dir);

    // Disk path of a file number and extension into out (DB_FS_FILE_PATH_SIZE
    // bytes); 0 when it does not fit.
    int File_Path(int file_id, const char* ext, char* out);
};

// One node of a directory listing.
class TPath_Tree {
public:
    char* name;
    char* full_path;
    int is_file;
    int size;
    char mtime[16];
    int file_count;
    int dir_count;
    TMemList dirs;   // child nodes of subdirectories, owned
    TMemList files;  // child nodes of files, owned

    TPath_Tree();
    ~TPath_Tree();
    TPath_Tree(const TPath_Tree&) = delete;
    TPath_Tree& operator=(const TPath_Tree&) = delete;

    int Set_Name(const char* entry_name, const char* entry_path);
    void Clear();
    // flags: 1 keep subdirectories, 2 keep files, 4 descend into kept
    // subdirectories. 0 when the directory cannot be listed.
    int Scan(const char* dir, int flags);
    TPath_Tree* Get_File(int index);
};

// The inversion of stored contents: every bit of the first 8192 bytes flipped.
void Fs_Invert(tstr& data);
