// The function table through which driver modules reach result tables. A
// module is not built against DBDataMgr: it finds each operation by its slot
// in Data_Oper_Table, whose order is the whole interface. This header needs
// nothing else of the library, so modules may include it on its own.
#pragma once

class DBDataMgr;

extern "C" {

struct Data_Oper_Table {
    int (*Init)(DBDataMgr* t);                                       // 0
    int (*CFree)(DBDataMgr* t);                                      // 1
    int (*Set_Error)(DBDataMgr* t, int code, const char* msg);       // 2
    int (*Set_Table_Name)(DBDataMgr* t, const char* name);           // 3
    int (*Set_Field_Name)(DBDataMgr* t, int index, const char* name);  // 4
    int (*Set_Field_Type)(DBDataMgr* t, int index, char type);       // 5
    int (*Set_Field_Size)(DBDataMgr* t, int index, int value);       // 6
    int (*Set_Field_Scale)(DBDataMgr* t, int index, int value);      // 7
    int (*Set_Field_Count)(DBDataMgr* t, int count);                 // 8
    int (*Set_Row_Count)(DBDataMgr* t, int count);                   // 9
    int (*Set_Handle)(DBDataMgr* t, int handle);                     // 10
    int (*Set_Value)(DBDataMgr* t, int col, const char* value);      // 11
    int (*Set_Value_With_Len)(DBDataMgr* t, int col, const void* data, int len);  // 12
    char* (*Get_Table_Name)(DBDataMgr* t);                           // 13
    char* (*Get_Field_Name)(DBDataMgr* t, int index);                // 14
    char (*Get_Field_Type)(DBDataMgr* t, int index);                 // 15
    int (*Get_Field_Size)(DBDataMgr* t, int index);                  // 16
    int (*Get_Field_Scale)(DBDataMgr* t, int index);                 // 17
    int (*Get_Field_Count)(DBDataMgr* t);                            // 18
    int (*Get_Row_Count)(DBDataMgr* t);                              // 19
    int (*Get_Handle)(DBDataMgr* t);                                 // 20
    char* (*Get_Value)(DBDataMgr* t, int col);                       // 21
    int (*Add_Row)(DBDataMgr* t);                                    // 22
    int (*Has_Next)(DBDataMgr* t);                                   // 23
    int (*Next)(DBDataMgr* t);                                       // 24
    int (*First)(DBDataMgr* t);                                      // 25
    int (*Go_Row)(DBDataMgr* t, int row);                            // 26
};

// Entry points a driver module may export (with C linkage). The connection
// resolves them by these names; the argument order is fixed.
typedef int (*Set_Data_Oper_Handle_Fn)(Data_Oper_Table* ops);
typedef int (*Connect_Handle_Fn)(DBDataMgr* t, int kind, const char* data_source,
                                 const char* user, const char* password, const char* extra,
                                 int option);
typedef int (*Disconnect_Handle_Fn)(DBDataMgr* t);
typedef int (*Commit_Handle_Fn)(DBDataMgr* t);
typedef int (*Rollback_Handle_Fn)(DBDataMgr* t);
typedef int (*ExecuteSql_Handle_Fn)(DBDataMgr* t, const char* sql);
typedef int (*ExecuteProc_Handle_Fn)(DBDataMgr* t, void* arg);
typedef int (*SelectRow_Handle_Fn)(DBDataMgr* t, void* a, void* b, void* c, void* d);
typedef int (*BatchInsert_Handle_Fn)(DBDataMgr* t);
}

// Fills the 27 slots in the order above. Always 1.
int Init_Data_Oper(Data_Oper_Table* ops);
