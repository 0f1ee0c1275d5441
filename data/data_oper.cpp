// Plain-function entries of the result table's function table: each only
// forwards to the table operation of the same name.
#include "data/data_oper.h"

#include "data/db_data_mgr.h"

namespace {
int Op_Init(DBDataMgr* t) { return t->Init(); }
int Op_CFree(DBDataMgr* t) { return t->CFree(); }
int Op_Set_Error(DBDataMgr* t, int code, const char* msg) { return t->Set_Error(code, msg); }
int Op_Set_Table_Name(DBDataMgr* t, const char* name) { return t->Set_Table_Name(name); }
int Op_Set_Field_Name(DBDataMgr* t, int i, const char* name) { return t->Set_Field_Name(i, name); }
int Op_Set_Field_Type(DBDataMgr* t, int i, char type) { return t->Set_Field_Type(i, type); }
int Op_Set_Field_Size(DBDataMgr* t, int i, int v) { return t->Set_Field_Size(i, v); }
int Op_Set_Field_Scale(DBDataMgr* t, int i, int v) { return t->Set_Field_Scale(i, v); }
int Op_Set_Field_Count(DBDataMgr* t, int n) { return t->Set_Field_Count(n); }
int Op_Set_Row_Count(DBDataMgr* t, int n) { return t->Set_Row_Count(n); }
int Op_Set_Handle(DBDataMgr* t, int h) { return t->Set_Handle(h); }
int Op_Set_Value(DBDataMgr* t, int c, const char* v) { return t->Set_Value(c, v); }
int Op_Set_Value_With_Len(DBDataMgr* t, int c, const void* d, int n) {
    return t->Set_Value_With_Len(c, d, n);
}
char* Op_Get_Table_Name(DBDataMgr* t) { return t->Get_Table_Name(); }
char* Op_Get_Field_Name(DBDataMgr* t, int i) { return t->Get_Field_Name(i); }
char Op_Get_Field_Type(DBDataMgr* t, int i) { return t->Get_Field_Type(i); }
int Op_Get_Field_Size(DBDataMgr* t, int i) { return t->Get_Field_Size(i); }
int Op_Get_Field_Scale(DBDataMgr* t, int i) { return t->Get_Field_Scale(i); }
int Op_Get_Field_Count(DBDataMgr* t) { return t->Get_Field_Count(); }
int Op_Get_Row_Count(DBDataMgr* t) { return t->Get_Row_Count(); }
int Op_Get_Handle(DBDataMgr* t) { return t->Get_Handle(); }
char* Op_Get_Value(DBDataMgr* t, int c) { return t->Get_Value(c); }
int Op_Add_Row(DBDataMgr* t) { return t->Add_Row(); }
int Op_Has_Next(DBDataMgr* t) { return t->Has_Next(); }
int Op_Next(DBDataMgr* t) { return t->Next(); }
int Op_First(DBDataMgr* t) { return t->First(); }
int Op_Go_Row(DBDataMgr* t, int r) { return t->Go_Row(r); }
}  // namespace

int Init_Data_Oper(Data_Oper_Table* ops) {
    ops->Init = Op_Init;
    ops->CFree = Op_CFree;
    ops->Set_Error = Op_Set_Error;
    ops->Set_Table_Name = Op_Set_Table_Name;
    ops->Set_Field_Name = Op_Set_Field_Name;
    ops->Set_Field_Type = Op_Set_Field_Type;
    ops->Set_Field_Size = Op_Set_Field_Size;
    ops->Set_Field_Scale = Op_Set_Field_Scale;
    ops->Set_Field_Count = Op_Set_Field_Count;
    ops->Set_Row_Count = Op_Set_Row_Count;
    ops->Set_Handle = Op_Set_Handle;
    ops->Set_Value = Op_Set_Value;
    ops->Set_Value_With_Len = Op_Set_Value_With_Len;
    ops->Get_Table_Name = Op_Get_Table_Name;
    ops->Get_Field_Name = Op_Get_Field_Name;
    ops->Get_Field_Type = Op_Get_Field_Type;
    ops->Get_Field_Size = Op_Get_Field_Size;
    ops->Get_Field_Scale = Op_Get_Field_Scale;
    ops->Get_Field_Count = Op_Get_Field_Count;
    ops->Get_Row_Count = Op_Get_Row_Count;
    ops->Get_Handle = Op_Get_Handle;
    ops->Get_Value = Op_Get_Value;
    ops->Add_Row = Op_Add_Row;
    ops->Has_Next = Op_Has_Next;
    ops->Next = Op_Next;
    ops->First = Op_First;
    ops->Go_Row = Op_Go_Row;
    return 1;
}
