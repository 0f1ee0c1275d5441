// Table entity: the description of one database table (name, attributes with
// type letter and key flag) and the insert, delete, update and select
// statements written from it and a parameter list.
#pragma once

class TParaMgr;
class TSQLCA;
class ParaStru;
class tstr;

constexpr int TAB_MAX_ATTR = 120;
constexpr int TAB_ATTR_NAME_SIZE = 41;  // 40 characters and the terminator
constexpr int TAB_NAME_SIZE = 52;       // 51 characters and the terminator

struct Tab_Attr_Stru {
    char name[TAB_ATTR_NAME_SIZE];
    char caption[TAB_ATTR_NAME_SIZE];
    char type;  // 'S' text (quoted), 'I', 'F', 'N' numbers (unquoted)
    int key;    // non-zero for a key attribute
};

class TTab_Entity {
public:
    // A table name longer than 51 characters is refused: the name stays
    // empty and a line says so.
    explicit TTab_Entity(const char* table_name);
    virtual int Insert(TParaMgr* paras);                                   // 0
    virtual int Batch_Insert(TSQLCA* ca);                                  // 1
    virtual int Delete(TParaMgr* paras);                                   // 2
    virtual int Update(TParaMgr* paras);                                   // 3
    virtual int Update_Rows(TSQLCA* ca);                                   // 4
    virtual int Select(TParaMgr* paras, TSQLCA* ca, const char* tail);     // 5
    virtual int Select_Where(const char* cond, TSQLCA* ca, const char* tail);  // 6
    virtual ~TTab_Entity();

    // Names and captions longer than 40 characters are refused (code 99).
    int Define(const char* name, char type, int key, const char* caption);
    Tab_Attr_Stru* Find_Attr(const char* name);
    int Append_Value(tstr& sql, char attr_type, ParaStru* para);

    const char* Get_Table_Name() const { return table_name; }
    int Get_Attr_Count() const { return attr_count; }
    const Tab_Attr_Stru* Get_Attr(int i) const { return &attrs[i]; }

protected:
    Tab_Attr_Stru attrs[TAB_MAX_ATTR];
    int attr_count;
    char table_name[TAB_NAME_SIZE];

private:
    void Append_Select_Head(tstr& sql);
    void Append_Conditions(tstr& sql, TParaMgr* paras);
    int Run_Own(const char* sql);
};
