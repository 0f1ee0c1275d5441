// The Access connection: slots 3 to 10 over the provider.
#include "connect/db_connect_ado.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "connect/db_fs.h"
#include "connect/msg_box.h"
#include "data/db_data_mgr.h"
#include "data/fixed_text.h"
#include "stdclass/cpp/err/thr_err.h"
#include "stdclass/mem_reg.h"
#include "stdclass/pub_ptr.h"
#include "stdclass/tstr.h"

namespace {

int area_counter = 1;

constexpr const char* kTemplateWithPassword =
    "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=%s;User ID=%s;Data "
    "Source=%s;Persist Security Info=False";
constexpr const char* kTemplateNoPassword =
    "Provider=Microsoft.Jet.OLEDB.4.0;Password=%s;User ID=%s;Data Source=%s;Persist Security "
    "Info=False";

constexpr const char* kBatchName = "TDb_Connect_Ado::BatchInsert";
constexpr int kBatchObjSize = 608;

// A refused Connect: the reason as the thread's error, result 0.
int refuse(const char* what, const char* text) {
    std::printf("TDb_Connect_Ado::Connect %s too long: %s\n", what, text);
    return Thr_Set_Err_Fmt(-1, "%s too long", what);
}

// The query object of BatchInsert recorded in the memory registry for as
// long as it lives.
struct Batch_Query {
    std::unique_ptr<provider::Recordset> rs = std::make_unique<provider::Recordset>();
    Batch_Query() { Mem_Rec_Obj(rs.get(), kBatchName, kBatchObjSize); }
    ~Batch_Query() { Mem_Del_Obj(rs.get(), kBatchName); }
    Batch_Query(const Batch_Query&) = delete;
    Batch_Query& operator=(const Batch_Query&) = delete;
};

bool is_integer_field(provider::DataType t) {
    return t == provider::DataType::kSmallInt || t == provider::DataType::kInteger ||
           t == provider::DataType::kUnsignedSmallInt;
}

bool is_bcd_field(provider::DataType t) {
    return t == provider::DataType::kNumeric || t == provider::DataType::kDecimal ||
           t == provider::DataType::kCurrency;
}

}  // namespace

int Ado_Area_Counter() { return area_counter; }

TDb_Connect_Ado::~TDb_Connect_Ado() = default;

int TDb_Connect_Ado::Connect(int kind_, const char* source, const char* user_,
                             const char* password_, const char*, int) {
    if (source == nullptr) source = "";
    if (user_ == nullptr) user_ = "";
    if (password_ == nullptr) password_ = "";

    char file_name[PATH_BUF_LEN];
    char dir[PATH_BUF_LEN];
    if (Path_File_Name(source, file_name) == nullptr || Path_Dir_Name(source, dir) == nullptr)
        return refuse("data source", source);
    char full[DB_CONN_SOURCE_SIZE];
    int n = std::snprintf(full, sizeof full, "%s/%s", dir, file_name);
    if (n < 0 || n >= static_cast<int>(sizeof full)) return refuse("data source", source);
    if (std::strlen(user_) >= sizeof user) return refuse("user", user_);
    if (std::strlen(password_) >= sizeof password) return refuse("password", "***");
    char conn_str[ADO_CONN_STR_SIZE];
    n = std::snprintf(conn_str, sizeof conn_str,
                      password_[0] != 0 ? kTemplateWithPassword : kTemplateNoPassword, password_,
                      user_, source);
    if (n < 0 || n >= static_cast<int>(sizeof conn_str)) return refuse("connection string", source);
    // What the diagnostics print: the same string with the password masked,
    // since standard output lands in terminals, logs and bug reports.
    char shown[ADO_CONN_STR_SIZE];
    std::snprintf(shown, sizeof shown,
                  password_[0] != 0 ? kTemplateWithPassword : kTemplateNoPassword,
                  password_[0] != 0 ? "***" : "", user_, source);

    std::strcpy(data_source, full);
    kind = kind_;
    std::strcpy(user, user_);
    std::strcpy(password, password_);
    connected = 0;

    char area[32];
    std::snprintf(area, sizeof area, "ado_area_%d", area_counter);
    ++area_counter;

    ado_conn = std::make_unique<provider::Connection>();
    try {
        ado_conn->set_name(area);
        ado_conn->set_connection_string(conn_str);
        ado_conn->set_login_prompt(false);
        ado_conn->set_salvage(salvage);
        ado_conn->open();
    } catch (const provider::Error& e) {
        std::printf("dbconnect %s fail\n", shown);
        std::printf("ErrorMsg Is %s", e.what());
        std::fflush(stdout);
        Write_Trace("Link to %s fail err: %s", source, e.what());
        Thr_Set_Err(-1, e.what());
        Msg_Box_Show(e.what(), ADO_CONNECT_ERR_CAPTION);
        return 0;
    } catch (...) {
        return 0;
    }

    ado_conn->begin_trans();
    connected = 1;
    std::printf("dbconnect %s ok\n", shown);

    // The store directory: the file name cut at its first dot, "_file"
    // appended, in the database's directory.
    char store_name[PATH_BUF_LEN];
    char store_parent[PATH_BUF_LEN];
    Path_File_Name(data_source, store_name);
    if (char* dot = std::strchr(store_name, '.'); dot != nullptr) *dot = 0;
    if (Path_Dir_Name(data_source, store_parent) == nullptr) store_parent[0] = 0;
    char store_dir[ADO_STORE_DIR_SIZE];
    n = std::snprintf(store_dir, sizeof store_dir, "%s/%s_file", store_parent, store_name);
    auto* store = new TDb_Fs_Path();
    store->Set_Name("base");
    if (n < 0 || n >= static_cast<int>(sizeof store_dir)) {
        std::printf("Unable to create directory %s/%s_file\n", store_parent, store_name);
    } else {
        store->Set_Path(store_dir);
    }
    store->conn = this;
    Set_Storage(store);
    std::fflush(stdout);
    return 1;
}

int TDb_Connect_Ado::Disconnect() {
    // After a failed Connect the object was never opened: nothing to roll
    // back, only the object to release.
    if (ado_conn && ado_conn->is_open()) {
        Rollback(nullptr);
        ado_conn->close();
    }
    ado_conn.reset();
    connected = 0;
    return 1;
}

int TDb_Connect_Ado::Commit(DBDataMgr*) {
    if (!ado_conn) throw provider::Error(std::string(provider::kMsgObjectClosed));
    ado_conn->commit_trans();
    ado_conn->begin_trans();
    return 1;
}

int TDb_Connect_Ado::Rollback(DBDataMgr*) {
    if (!ado_conn) throw provider::Error(std::string(provider::kMsgObjectClosed));
    ado_conn->rollback_trans();
    ado_conn->begin_trans();
    return 1;
}

int TDb_Connect_Ado::ExecuteSql(DBDataMgr* table, const char* sql) {
    if (sql == nullptr) sql = "";
    std::printf("ado want run '%s'\n", sql);
    std::fflush(stdout);
    if (table != nullptr) table->Set_Error(0, "");
    if (std::strcmp(sql, "commit") == 0) return Commit(nullptr);
    if (std::strcmp(sql, "rollback") == 0) return Rollback(nullptr);

    auto cur = std::make_unique<provider::Recordset>();
    const char* p = sql;
    while (*p == ' ') ++p;
    const bool is_query = std::strncmp(p, "select", 6) == 0;

    auto fail = [&](const provider::Error& e) {
        if (table != nullptr) table->Set_Error(-100, e.what());
        return 0;
    };
    if (!is_query) {
        try {
            if (!ado_conn) throw provider::Error(std::string(provider::kMsgObjectClosed));
            ado_conn->execute(sql);
        } catch (const provider::Error& e) {
            return fail(e);
        }
        return 1;
    }
    try {
        if (!ado_conn) throw provider::Error(std::string(provider::kMsgObjectClosed));
        cur->close();
        cur->open(sql, *ado_conn);
        // The records are read here, so that a table the engine cannot read
        // fails like a query that cannot be opened.
        cur->move_first();
    } catch (const provider::Error& e) {
        return fail(e);
    }

    const int fields = cur->field_count();
    if (table != nullptr) {
        table->CFree();
        table->Set_Row_Count(0);
        table->Set_Field_Count(fields);
        for (int i = 0; i < fields; ++i) table->Set_Field_Name(i, cur->field_name(i).c_str());
    }
    static thread_local char value[ADO_VALUE_SIZE];
    for (long r = 0; r < cur->record_count(); ++r) {
        if (table != nullptr) table->Add_Row();
        for (int i = 0; i < fields; ++i) {
            const std::string text = cur->text(i);
            Cut_Copy(value, sizeof value - 1, text.c_str());
            Str_Trim_Right(value);
            if (table != nullptr) table->Set_Value(i, value);
        }
        cur->move_next();
    }
    return 1;
}

int TDb_Connect_Ado::ExecuteProc(DBDataMgr*, void*) {
    std::printf("TDb_Connect_Ado::ExecuteProc not support\n");
    std::fflush(stdout);
    return 1;
}

int TDb_Connect_Ado::SelectRow(DBDataMgr*, void*, void*, void*, void*) {
    std::printf("TDb_Connect_Ado::SelectRow not support\n");
    std::fflush(stdout);
    return 1;
}

int TDb_Connect_Ado::BatchInsert(DBDataMgr* table) {
    if (table == nullptr || table->Get_Row_Count() <= 0) return 1;

    Batch_Query cur;
    tstr stmt("SELECT ");
    const int fields = table->Get_Field_Count();
    for (int i = 0; i < fields; ++i) {
        if (i > 0) stmt += ", ";
        const char* name = table->Get_Field_Name(i);
        stmt += name != nullptr ? name : "";
    }
    stmt += " FROM ";
    stmt += table->Get_Table_Name();
    if (stmt.Length() >= ADO_BATCH_SQL_SIZE) {
        table->Set_Error(-100, "TDb_Connect_Ado::BatchInsert statement too long");
        return 0;
    }

    try {
        if (!ado_conn) throw provider::Error(std::string(provider::kMsgObjectClosed));
        cur.rs->open(stmt.Str(), *ado_conn);
    } catch (const provider::Error& e) {
        table->Set_Error(-100, e.what());
        return 0;
    }

    // The rows along their chain; the caller's cursor is put back after.
    const int saved_row = table->Get_Cur_Row_No();
    struct Restore {
        DBDataMgr* t;
        int row;
        ~Restore() {
            if (row >= 0) t->Go_Row(row);
        }
    } restore{table, saved_row};

    if (!table->First()) return 1;
    const int rs_fields = cur.rs->field_count();
    do {
        try {
            cur.rs->add_new();
        } catch (const provider::Error& e) {
            table->Set_Error(-100, e.what());
            return 0;
        }
        for (int i = 0; i < fields; ++i) {
            const char* v = table->Get_Value(i);
            std::string text = v != nullptr ? v : "";
            const provider::DataType type =
                i < rs_fields ? cur.rs->field_type(i) : provider::DataType::kEmpty;
            jet::Value value;
            if (is_integer_field(type)) {
                value = jet::Value{static_cast<std::int32_t>(Str_To_Fixed(text.c_str(), 0))};
            } else if (!text.empty()) {
                value = jet::Value{std::move(text)};
            } else if (is_bcd_field(type)) {
                value = jet::Value{std::string("0")};
            } else {
                value = jet::Value{std::string()};
            }
            const char* name = table->Get_Field_Name(i);
            cur.rs->set_value(name != nullptr ? name : "", std::move(value));
        }
    } while (table->Next());

    try {
        cur.rs->update();
    } catch (const provider::Error& e) {
        table->Set_Error(-100, e.what());
        return 0;
    }
    return 1;
}
