// Table entity statement builder. Values are written into the statement text:
// a text value is quoted with every single quote inside it doubled, and a
// value for a numeric attribute is written bare only when it is a number, so
// no value can end its literal and turn into SQL.
#include "data/tab_entity.h"

#include <cstdio>
#include <cstring>

#include "data/fixed_text.h"
#include "data/para_mgr.h"
#include "data/sqlca.h"
#include "stdclass/cpp/err/thr_err.h"
#include "stdclass/tstr.h"

namespace {

void Append_Quoted(tstr& sql, const char* text) {
    sql += '\'';
    for (const char* p = text; p != nullptr && *p; ++p) {
        if (*p == '\'') sql += '\'';
        sql += *p;
    }
    sql += '\'';
}

// A plain number literal: optional sign, digits with at most one point (at
// least one digit), optional exponent.
bool Is_Number_Text(const char* s) {
    if (*s == '+' || *s == '-') ++s;
    int digits = 0;
    while (*s >= '0' && *s <= '9') ++s, ++digits;
    if (*s == '.') {
        ++s;
        while (*s >= '0' && *s <= '9') ++s, ++digits;
    }
    if (digits == 0) return false;
    if (*s == 'e' || *s == 'E') {
        ++s;
        if (*s == '+' || *s == '-') ++s;
        if (!(*s >= '0' && *s <= '9')) return false;
        while (*s >= '0' && *s <= '9') ++s;
    }
    return *s == 0;
}

}  // namespace

TTab_Entity::TTab_Entity(const char* name) : attr_count(0) {
    std::memset(attrs, 0, sizeof attrs);
    table_name[0] = 0;
    if (name != nullptr && !Fixed_Copy(table_name, sizeof table_name, name)) {
        std::printf("TTab_Entity: table name too long: %s\n", name);
    }
}

TTab_Entity::~TTab_Entity() {}

int TTab_Entity::Define(const char* name, char type, int key, const char* caption) {
    if (attr_count >= TAB_MAX_ATTR) {
        return Thr_Set_Err(99, "too much attr in TTab_Entity::Define", nullptr);
    }
    if (caption == nullptr) caption = name;
    Tab_Attr_Stru& a = attrs[attr_count];
    if (name == nullptr || !Fixed_Copy(a.name, sizeof a.name, name) ||
        !Fixed_Copy(a.caption, sizeof a.caption, caption)) {
        a.name[0] = 0;
        a.caption[0] = 0;
        return Thr_Set_Err_Fmt(99, "attr name too long in TTab_Entity::Define: %s",
                               name != nullptr ? name : "");
    }
    a.type = type;
    a.key = key;
    ++attr_count;
    return 1;
}

Tab_Attr_Stru* TTab_Entity::Find_Attr(const char* name) {
    if (name == nullptr) return nullptr;
    for (int i = 0; i < attr_count; ++i) {
        if (std::strcmp(attrs[i].name, name) == 0) return &attrs[i];
    }
    return nullptr;
}

int TTab_Entity::Append_Value(tstr& sql, char attr_type, ParaStru* para) {
    char buf[100];
    const char* text;
    if (para->type == 'S') {
        text = para->value;
    } else {
        std::memset(buf, 0, sizeof buf);
        para->Get_Text(buf);
        text = buf;
    }
    switch (attr_type) {
        case 'S':
            Append_Quoted(sql, text);
            break;
        case 'I':
        case 'F':
        case 'N':
            if (text == nullptr || text[0] == 0) {
                sql += "0";
            } else if (Is_Number_Text(text)) {
                sql += text;
            } else {
                // Not a number: written as a quoted text, which the database
                // compares or refuses, instead of as statement text.
                Append_Quoted(sql, text);
            }
            break;
        default:
            break;
    }
    return 1;
}

int TTab_Entity::Run_Own(const char* sql) {
    TSQLCA ca(nullptr);
    ca.Execute(sql);
    if (ca.Get_Sqlcode() != 0) {
        ca.Report_Err();
        ca.Exec_Rollback();
        return 0;
    }
    return 1;
}

int TTab_Entity::Insert(TParaMgr* paras) {
    tstr cols, vals;
    cols += "insert into ";
    cols += table_name;
    cols += "(";
    vals += " values(";
    int n = 0;
    TMemList& list = paras->para_list;
    for (TMemList_Node* node = list.head; node != nullptr; node = node->next) {
        auto* p = static_cast<ParaStru*>(node->data);
        if (p == nullptr) break;
        Tab_Attr_Stru* a = Find_Attr(p->name);
        if (a == nullptr) continue;
        if (n++ > 0) {
            cols += ",";
            vals += ",";
        }
        cols += a->name;
        Append_Value(vals, a->type, p);
    }
    cols += ")";
    vals += ")";
    cols += vals.Str();
    TSQLCA ca(nullptr);
    ca.Execute(cols.Str());
    std::printf("insert sql: %s\n", cols.Str());
    if (ca.Get_Sqlcode() != 0) {
        ca.Report_Err();
        ca.Exec_Rollback();
        return 0;
    }
    return 1;
}

void TTab_Entity::Append_Conditions(tstr& sql, TParaMgr* paras) {
    int n = 0;
    for (TMemList_Node* node = paras->para_list.head; node != nullptr; node = node->next) {
        auto* p = static_cast<ParaStru*>(node->data);
        if (p == nullptr) break;
        Tab_Attr_Stru* a = Find_Attr(p->name);
        if (a == nullptr) continue;
        sql += n++ == 0 ? " where " : " and ";
        sql += a->name;
        sql += "=";
        Append_Value(sql, a->type, p);
    }
}

int TTab_Entity::Delete(TParaMgr* paras) {
    tstr sql;
    sql += "delete from ";
    sql += table_name;
    Append_Conditions(sql, paras);
    std::printf("delete sql: %s\n", sql.Str());
    return Run_Own(sql.Str());
}

int TTab_Entity::Update(TParaMgr* paras) {
    tstr sql, cond;
    sql += "update ";
    sql += table_name;
    sql += " set ";
    int keys = 0;
    for (int i = 0; i < attr_count; ++i) {
        if (!attrs[i].key) continue;
        ParaStru* p = paras->Find_Para(attrs[i].name);
        if (p == nullptr) return Thr_Set_Err_Fmt(99, "key attr %s not set", attrs[i].name);
        cond += keys++ == 0 ? " where " : " and ";
        cond += attrs[i].name;
        cond += "=";
        Append_Value(cond, attrs[i].type, p);
    }
    int n = 0;
    for (TMemList_Node* node = paras->para_list.head; node != nullptr; node = node->next) {
        auto* p = static_cast<ParaStru*>(node->data);
        if (p == nullptr) break;
        Tab_Attr_Stru* a = Find_Attr(p->name);
        if (a == nullptr || a->key) continue;
        if (n++ > 0) sql += ",";
        sql += a->name;
        sql += "=";
        Append_Value(sql, a->type, p);
    }
    sql += cond.Str();
    return Run_Own(sql.Str());
}

int TTab_Entity::Batch_Insert(TSQLCA* ca) {
    ca->Set_Table_Name(table_name);
    ca->Batch_Insert();
    if (ca->Get_Sqlcode() != 0) {
        ca->Report_Err();
        ca->Exec_Rollback();
        return 0;
    }
    return 1;
}

int TTab_Entity::Update_Rows(TSQLCA* ca) {
    TParaMgr paras;
    ca->First();
    int rows = ca->Get_Row_Count();
    for (int i = 0; i < rows; ++i) {
        ca->Row_To_Para(&paras);
        if (!Update(&paras)) return 0;
        ca->Next();
    }
    return 1;
}

void TTab_Entity::Append_Select_Head(tstr& sql) {
    sql += "select ";
    for (int i = 0; i < attr_count; ++i) {
        if (i > 0) sql += ",";
        sql += attrs[i].name;
    }
    sql += " from ";
    sql += table_name;
}

int TTab_Entity::Select(TParaMgr* paras, TSQLCA* ca, const char* tail) {
    tstr sql;
    Append_Select_Head(sql);
    if (paras != nullptr) Append_Conditions(sql, paras);
    if (tail != nullptr && tail[0] != 0) {
        sql += " ";
        sql += tail;
    }
    ca->Execute(sql.Str());
    if (ca->Get_Sqlcode() != 0) return ca->Report_Err();
    return 1;
}

int TTab_Entity::Select_Where(const char* cond, TSQLCA* ca, const char* tail) {
    tstr sql;
    Append_Select_Head(sql);
    if (cond != nullptr) {
        while (*cond == ' ') ++cond;
        if (*cond != 0) {
            if (std::strncmp(cond, "where ", 6) == 0) cond += 6;
            sql += " where ";
            sql += cond;
        }
    }
    if (tail != nullptr && tail[0] != 0) {
        sql += " ";
        sql += tail;
    }
    ca->Execute(sql.Str());
    if (ca->Get_Sqlcode() != 0) return ca->Report_Err();
    return 1;
}
