// File store on a directory: rows of app_fs_file plus one disk file each,
// the connection slots that reach the store, and the directory listing used
// to remove disk files that have no row.
#include "connect/db_fs.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "connect/db_connect.h"
#include "data/date_time.h"
#include "data/db_data_mgr.h"
#include "data/fixed_text.h"
#include "data/para_mgr.h"
#include "data/sqlca.h"
#include "stdclass/cpp/err/thr_err.h"
#include "stdclass/pub_ptr.h"

Tab_Db_Fs_File::Tab_Db_Fs_File()
    : file_id(0), storage_pos(0), file_size(0), encrypt_flag(0) {
    storage_id[0] = 0;
    file_type[0] = 0;
    obj_id[0] = 0;
    file_ext[0] = 0;
    org_file_name[0] = 0;
    desc_info[0] = 0;
}

TTab_Db_Fs_File::TTab_Db_Fs_File() : TTab_Entity("app_fs_file") {
    Define("file_id", 'I', 1, "文件序号");
    Define("storage_id", 'S', 0, "分组标识");
    Define("storage_pos", 'I', 0, "文件位置");
    Define("file_type", 'S', 0, "文件类型");
    Define("obj_id", 'S', 0, "全局对象标识");
    Define("file_size", 'I', 0, "文件大小");
    Define("file_ext", 'S', 0, "文件扩展名");
    Define("org_file_name", 'S', 0, "原始文件名");
    Define("desc_info", 'S', 0, "描述信息");
    Define("encrypt_flag", 'I', 0, "加密标志");
}

void Fs_Invert(tstr& data) {
    int n = data.Length() < DB_FS_INVERT_LEN ? data.Length() : DB_FS_INVERT_LEN;
    for (int i = 0; i < n; ++i) data.buf[i] = static_cast<char>(255 - static_cast<unsigned char>(data.buf[i]));
}

// ---------------------------------------------------------------------------
// TDb_Fs

TDb_Fs::TDb_Fs() : conn(nullptr) { name[0] = 0; }

TDb_Fs::~TDb_Fs() {}

int TDb_Fs::Read(int, Tab_Db_Fs_File*) { return 1; }
int TDb_Fs::Delete(int) { return 1; }
int TDb_Fs::Write(Tab_Db_Fs_File*) { return 1; }
int TDb_Fs::Clear_Orphans() { return 1; }
int TDb_Fs::Reserved_4() { return 1; }
int TDb_Fs::Reserved_5() { return 1; }

int TDb_Fs::Set_Name(const char* text) { return Fixed_Copy(name, sizeof name, text); }

// ---------------------------------------------------------------------------
// TDb_Fs_Path

TDb_Fs_Path::TDb_Fs_Path() { path[0] = 0; }

int TDb_Fs_Path::Set_Path(const char* dir) {
    if (dir == nullptr) dir = "";
    if (!Fixed_Copy(path, sizeof path, dir)) {
        std::printf("Unable to create directory %s\n", dir);
        return 0;
    }
    char work[DB_FS_PATH_SIZE];
    std::strcpy(work, dir);
    Path_Set_Sep(work, 0);
    if (Path_Exists(work)) return 1;
    if (Path_Make_Dir(work) == 0) return 1;
    std::printf("Unable to create directory %s\n", work);
    return 0;
}

int TDb_Fs_Path::File_Path(int file_id, const char* ext, char* out) {
    int n = (ext != nullptr && ext[0] != 0)
                ? std::snprintf(out, DB_FS_FILE_PATH_SIZE, "%s/odf%08d.%s", path, file_id, ext)
                : std::snprintf(out, DB_FS_FILE_PATH_SIZE, "%s/odf%08d", path, file_id);
    if (n < 0 || n >= DB_FS_FILE_PATH_SIZE) {
        out[0] = 0;
        return Thr_Set_Err_Fmt(-1, "file path too long in store %s", path);
    }
    Path_Set_Sep(out, 0);
    return 1;
}

namespace {

// Copies column col of the area's cursor row into a record text field.
int Load_Text(TSQLCA& ca, int col, char* field, std::size_t size, const char* column) {
    const char* v = ca.Get_Value(col);
    if (Fixed_Copy(field, size, v)) return 1;
    field[0] = 0;
    return Thr_Set_Err_Fmt(-1, "%s of app_fs_file too long for the file record", column);
}

// 1 row loaded, 0 missing (or a failed select, already reported), -1 a text
// of the row does not fit the record (thread error set).
int Load_Row(TSQLCA& ca, int file_id, Tab_Db_Fs_File* f) {
    TTab_Db_Fs_File ent;
    char cond[40];
    std::snprintf(cond, sizeof cond, "file_id=%d", file_id);
    ent.Select_Where(cond, &ca, nullptr);
    if (ca.Get_Row_Count() == 0 || ca.Get_Sqlcode() != 0) return 0;
    ca.Get_Int(0, &f->file_id);
    if (!Load_Text(ca, 1, f->storage_id, sizeof f->storage_id, "storage_id")) return -1;
    ca.Get_Int(2, &f->storage_pos);
    if (!Load_Text(ca, 3, f->file_type, sizeof f->file_type, "file_type")) return -1;
    if (!Load_Text(ca, 4, f->obj_id, sizeof f->obj_id, "obj_id")) return -1;
    ca.Get_Int(5, &f->file_size);
    if (!Load_Text(ca, 6, f->file_ext, sizeof f->file_ext, "file_ext")) return -1;
    if (!Load_Text(ca, 7, f->org_file_name, sizeof f->org_file_name, "org_file_name")) return -1;
    if (!Load_Text(ca, 8, f->desc_info, sizeof f->desc_info, "desc_info")) return -1;
    ca.Get_Int(9, &f->encrypt_flag);
    return 1;
}

}  // namespace

int TDb_Fs_Path::Read(int file_id, Tab_Db_Fs_File* f) {
    TSQLCA ca(conn);
    if (Load_Row(ca, file_id, f) != 1) return 0;
    char file_path[DB_FS_FILE_PATH_SIZE];
    if (!File_Path(file_id, f->file_ext, file_path)) return 0;
    FILE* fp = std::fopen(file_path, "rb");
    if (fp == nullptr) {
        return Thr_Set_Err_Fmt(-1, "unable to open file %s while disk storage read", file_path);
    }
    std::fseek(fp, 0, SEEK_END);
    long size = std::ftell(fp);
    std::fseek(fp, 0, SEEK_SET);
    ~f->data;
    if (size < 0 || size > 0x7FFFFFFE || (size > 0 && !f->data.ma(static_cast<int>(size)))) {
        std::fclose(fp);
        return Thr_Set_Err_Fmt(-1, "unable to malloc %d bytes while disk storage read",
                               static_cast<int>(size));
    }
    // An empty disk file reads as empty contents.
    if (size > 0) {
        if (std::fread(f->data.buf, static_cast<std::size_t>(size), 1, fp) != 1) {
            std::fclose(fp);
            return Thr_Set_Err(-1, "read file data fail where  disk storage read", nullptr);
        }
        f->data.Set_Length(static_cast<int>(size));
    }
    std::fclose(fp);
    if (f->encrypt_flag != 0) Fs_Invert(f->data);
    return 1;
}

int TDb_Fs_Path::Delete(int file_id) {
    TSQLCA ca(conn);
    Tab_Db_Fs_File f;
    int loaded = Load_Row(ca, file_id, &f);
    if (loaded == 0) return 1;
    if (loaded < 0) return 0;
    ca.Execute_Fmt("delete from app_fs_file where file_id=%d", file_id);
    if (ca.Get_Sqlcode() != 0) return ca.Report_Err();
    char file_path[DB_FS_FILE_PATH_SIZE];
    if (File_Path(file_id, f.file_ext, file_path)) {
        unlink(file_path);
    } else {
        Thr_Clear_Err();  // the row is gone; a path that cannot be built names no file
    }
    return 1;
}

int TDb_Fs_Path::Write(Tab_Db_Fs_File* f) {
    // Contents the record does not hold cannot be written: refuse before the
    // previous version is touched.
    if (f->file_size < 0 || f->file_size > f->data.Length()) {
        return Thr_Set_Err_Fmt(-1, "file size %d exceeds the %d bytes of data while disk storage write",
                               f->file_size, f->data.Length());
    }
    TSQLCA ca(conn);
    TParaMgr paras;
    TTab_Db_Fs_File ent;
    char file_path[DB_FS_FILE_PATH_SIZE];
    if (f->file_id != 0) {
        ca.Execute_Fmt("select file_ext from app_fs_file where file_id=%d", f->file_id);
        if (ca.Get_Row_Count() > 0 && ca.Get_Sqlcode() == 0) {
            if (File_Path(f->file_id, ca.Get_Value(0), file_path)) unlink(file_path);
            Thr_Clear_Err();
            ca.Execute_Fmt("delete from app_fs_file where file_id=%d", f->file_id);
            if (ca.Get_Sqlcode() != 0) return ca.Report_Err();
        } else {
            f->file_id = 0;
        }
    }
    if (f->file_id == 0) {
        ca.Execute("select max(file_id) from app_fs_file");
        int max_id = 0;
        if (ca.Get_Row_Count() > 0) ca.Get_Int(0, &max_id);
        f->file_id = max_id + 1;
    }
    if (!File_Path(f->file_id, f->file_ext, file_path)) return 0;
    FILE* fp = std::fopen(file_path, "wb");
    if (fp == nullptr) {
        return Thr_Set_Err_Fmt(-1, "unable to open file %s while disk storage write", file_path);
    }
    paras.Push_Int("file_id", f->file_id);
    paras.Push_Str("storage_id", f->storage_id);
    paras.Push_Int("storage_pos", f->storage_pos);
    paras.Push_Str("file_type", f->file_type);
    paras.Push_Str("obj_id", f->obj_id);
    paras.Push_Int("file_size", f->file_size);
    paras.Push_Str("file_ext", f->file_ext);
    paras.Push_Str("org_file_name", f->org_file_name);
    paras.Push_Str("desc_info", f->desc_info);
    paras.Push_Int("encrypt_flag", f->encrypt_flag);
    if (!ent.Insert(&paras)) {
        std::fclose(fp);
        return 0;
    }
    if (f->encrypt_flag != 0) Fs_Invert(f->data);
    // Empty contents write nothing and leave an empty disk file.
    if (f->file_size > 0 &&
        std::fwrite(f->data.buf, static_cast<std::size_t>(f->file_size), 1, fp) != 1) {
        if (f->encrypt_flag != 0) Fs_Invert(f->data);
        std::fclose(fp);
        return Thr_Set_Err(-1, "write file data fail where disk storage write", nullptr);
    }
    if (f->encrypt_flag != 0) Fs_Invert(f->data);
    if (std::fflush(fp) != 0) {
        std::fclose(fp);
        return Thr_Set_Err(-1, "fflush file data fail where disk storage write", nullptr);
    }
    if (std::fclose(fp) != 0) {
        return Thr_Set_Err(-1, "fflush file data fail where disk storage write", nullptr);
    }
    return 1;
}

int TDb_Fs_Path::Clear_Orphans() {
    TSQLCA a(conn);
    TSQLCA known(nullptr);
    TPath_Tree node;
    a.Execute("select file_id,file_ext from app_fs_file");
    known.Set_Field_Count(1);
    int rows = a.Get_Row_Count();
    if (a.Get_Sqlcode() != 0) rows = 0;
    a.First();
    for (int i = 0; i < rows; ++i) {
        int id = 0;
        a.Get_Int(0, &id);
        const char* v = a.Get_Value(1);
        char ext[32];
        if (!Fixed_Copy(ext, sizeof ext, v)) ext[0] = 0;
        char name[80];
        if (ext[0] != 0) {
            std::snprintf(name, sizeof name, "odf%08d.%s", id, ext);
        } else {
            std::snprintf(name, sizeof name, "odf%08d", id);
        }
        Str_Lower(name);
        known.Add_Row();
        known.Set_Value(0, name);
        a.Next();
    }
    // When the rows cannot be read every odf file would look orphaned:
    // remove nothing then.
    if (a.Get_Sqlcode() != 0) return 1;
    char dir[DB_FS_PATH_SIZE];
    std::strcpy(dir, path);
    node.Scan(dir, 2);
    for (int i = 0; i < node.file_count; ++i) {
        TPath_Tree* child = node.Get_File(i);
        if (child == nullptr || child->name == nullptr || child->is_file != 1) continue;
        Str_Lower(child->name);
        if (std::strncmp(child->name, "odf", 3) == 0 && !known.Find_First(0, child->name)) {
            unlink(child->full_path);
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// TPath_Tree

namespace {

char* Heap_Copy(const char* text) {
    if (text == nullptr) return nullptr;
    std::size_t n = std::strlen(text) + 1;
    auto* p = static_cast<char*>(std::malloc(n));
    if (p != nullptr) std::memcpy(p, text, n);
    return p;
}

}  // namespace

TPath_Tree::TPath_Tree()
    : name(nullptr), full_path(nullptr), is_file(0), size(0), file_count(0), dir_count(0) {
    mtime[0] = 0;
}

TPath_Tree::~TPath_Tree() {
    Clear();
    std::free(name);
    std::free(full_path);
}

int TPath_Tree::Set_Name(const char* entry_name, const char* entry_path) {
    std::free(name);
    std::free(full_path);
    name = Heap_Copy(entry_name);
    full_path = Heap_Copy(entry_path);
    return 1;
}

void TPath_Tree::Clear() {
    for (TMemList* list : {&dirs, &files}) {
        while (list->Count() > 0) {
            auto* child = static_cast<TPath_Tree*>(list->Last());
            list->RemoveTail();
            delete child;
        }
    }
    is_file = 0;
    size = 0;
    mtime[0] = 0;
    file_count = 0;
    dir_count = 0;
}

TPath_Tree* TPath_Tree::Get_File(int index) { return static_cast<TPath_Tree*>(files.GetAt(index)); }

int TPath_Tree::Scan(const char* dir_text, int flags) {
    Clear();
    if (flags == 0) return 1;
    char dir[DB_FS_PATH_SIZE];
    if (!Fixed_Copy(dir, sizeof dir, dir_text)) return 0;
    Path_Set_Sep(dir, 0);
    DIR* d = opendir(dir);
    if (d == nullptr) return 0;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        char full[DB_FS_PATH_SIZE];
        int n = std::snprintf(full, sizeof full, "%s/%s", dir, e->d_name);
        if (n < 0 || n >= static_cast<int>(sizeof full)) continue;  // no room for its path
        Path_Set_Sep(full, 0);
        struct stat st;
        if (stat(full, &st) != 0) continue;
        bool is_dir = S_ISDIR(st.st_mode);
        if (is_dir ? !(flags & 1) : !(flags & 2)) continue;
        auto* child = new TPath_Tree();
        child->Set_Name(e->d_name, full);
        Time_To_Str14(st.st_mtime, child->mtime);
        child->size = static_cast<int>(st.st_size);
        if (is_dir) {
            dirs.AddTail(child);
            if (flags & 4) child->Scan(full, flags);
        } else {
            child->is_file = 1;
            files.AddTail(child);
        }
    }
    closedir(d);
    file_count = files.Count();
    dir_count = dirs.Count();
    return 1;
}

// ---------------------------------------------------------------------------
// Connection slots 14 to 16

int TDb_Connect::Fs_Write(DBDataMgr* table, Tab_Db_Fs_File* file) {
    if (storage == nullptr) {
        if (table != nullptr) table->Set_Error(-2, "disk storage not support");
        return 0;
    }
    Thr_Clear_Err();
    if (storage->Write(file)) return 1;
    Fs_Take_Err(table);
    return 0;
}

int TDb_Connect::Fs_Read(DBDataMgr* table, int file_id, Tab_Db_Fs_File* file) {
    if (storage == nullptr) {
        if (table != nullptr) table->Set_Error(-2, "disk storage not support");
        return 0;
    }
    Thr_Clear_Err();
    if (storage->Read(file_id, file)) return 1;
    Fs_Take_Err(table);
    return 0;
}

int TDb_Connect::Fs_Delete(DBDataMgr* table, int file_id) {
    if (storage == nullptr) {
        if (table != nullptr) table->Set_Error(-2, "disk storage not support");
        return 0;
    }
    Thr_Clear_Err();
    if (storage->Delete(file_id)) return 1;
    Fs_Take_Err(table);
    return 0;
}
