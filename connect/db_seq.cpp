// Named sequences kept in the table app_sequence, on top of the connection's
// own ExecuteSql so that every connection kind has them.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "connect/db_connect.h"
#include "data/db_data_mgr.h"

namespace {

constexpr int kSeqSqlSize = 300;  // a name of up to 234 characters fits

class Seq_Table {
public:
    explicit Seq_Table(DBDataMgr* given) : table(given), own(nullptr) {
        if (table == nullptr) table = own = new DBDataMgr();
        table->CFree();
        table->Set_Error(0, "");
    }
    ~Seq_Table() { delete own; }
    Seq_Table(const Seq_Table&) = delete;
    Seq_Table& operator=(const Seq_Table&) = delete;
    DBDataMgr* table;

private:
    DBDataMgr* own;
};

// Formats and runs one statement; 1 when it did not fail. A statement that
// does not fit the buffer is not run: the table reports it.
template <typename... Args>
int Run(TDb_Connect* conn, DBDataMgr* table, const char* format, Args... args) {
    char sql[kSeqSqlSize];
    int n = std::snprintf(sql, sizeof sql, format, args...);
    if (n < 0 || n >= static_cast<int>(sizeof sql)) {
        table->Set_Error(-1, "sequence name too long");
        return 0;
    }
    conn->ExecuteSql(table, sql);
    return table->Get_Err_Code() == 0 ? 1 : 0;
}

// The name as it goes between single quotes: an apostrophe inside it is
// doubled, so that a name can never end its literal and become SQL.
std::string Quote_Name(const char* name) {
    std::string q;
    for (const char* p = name != nullptr ? name : ""; *p; ++p) {
        if (*p == '\'') q += '\'';
        q += *p;
    }
    return q;
}

// Decimal integer of a text: leading blanks and a sign allowed; no digits
// gives 0; beyond the int range the value is held at its limit.
int Text_To_Int(const char* text) {
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    return static_cast<int>(v);
}

// Reads the value of a sequence, creating its row at 1 when it has none.
int Read_Value(TDb_Connect* conn, DBDataMgr* table, const char* name, int* out) {
    // name is already quoted by the caller.
    if (!Run(conn, table, "select seq_val from app_sequence where seq_name='%s'", name)) return 0;
    int value;
    if (table->Get_Row_Count() != 0) {
        const char* text = table->Get_Value(0);
        if (text == nullptr) return 0;
        value = Text_To_Int(text);
    } else {
        if (!Run(conn, table, "insert into app_sequence(seq_name,seq_val) values('%s',1)", name)) {
            return 0;
        }
        value = 1;
    }
    if (out != nullptr) *out = value;
    return value;
}

}  // namespace

int TDb_Connect::Get_Seq(DBDataMgr* given, const char* name, int* out) {
    if (out != nullptr) *out = 0;
    Seq_Table t(given);
    std::string q = Quote_Name(name);
    return Read_Value(this, t.table, q.c_str(), out);
}

int TDb_Connect::Next_Seq(DBDataMgr* given, const char* name, int* out) {
    if (out != nullptr) *out = 0;
    Seq_Table t(given);
    std::string q = Quote_Name(name);
    const char* n = q.c_str();
    if (!Run(this, t.table, "update app_sequence set seq_val=seq_val+1 where seq_name='%s'", n)) {
        return 0;
    }
    return Read_Value(this, t.table, n, out);
}

int TDb_Connect::Set_Seq(DBDataMgr* given, const char* raw_name, int value) {
    Seq_Table t(given);
    std::string q = Quote_Name(raw_name);
    const char* name = q.c_str();
    if (!Run(this, t.table, "update app_sequence set seq_val=%d where seq_name='%s'", value, name)) {
        return 0;
    }
    if (!Run(this, t.table, "select seq_val from app_sequence where seq_name='%s'", name)) return 0;
    if (t.table->Get_Row_Count() == 0) {
        return Run(this, t.table, "insert into app_sequence(seq_name,seq_val) values('%s',%d)", name,
                   value);
    }
    return 1;
}
