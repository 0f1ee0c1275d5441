// Parameters: named, typed values that say which columns a statement writes
// or matches. TParaMgr keeps them in push order, which fixes the column order
// of the statements the table entity builder writes.
#pragma once

#include "stdclass/mem_list.h"
#include "stdclass/mem_safe.h"

class TParaMgr;

class ParaStru {
public:
    char* value;    // owned; null until the first Set_Value
    char* name;     // owned; null until Set_Name
    int size;       // value bytes; a string's size includes its terminator
    char type;      // 'S' string, 'I' int32, 'F' float32, 'C' one byte
    TParaMgr* owner;  // allocations go through it; null = memory registry

    ParaStru();
    ~ParaStru();
    ParaStru(const ParaStru&) = delete;
    ParaStru& operator=(const ParaStru&) = delete;

    int Set_Name(const char* text);
    const char* Get_Name() const { return name; }
    int Set_Value(const void* data, char type, int size);
    // Writes the value as text; a 'C' byte is written as 0..255.
    int Get_Text(char* buf) const;

private:
    void* Take(int size, const char* tag);
    void Give(void* block, const char* tag);
};

class TParaMgr : public TMemSafe {
public:
    TMemList para_list;  // ParaStru pointers in push order; owned

    TParaMgr();
    ~TParaMgr() override;
    TParaMgr(const TParaMgr&) = delete;
    TParaMgr& operator=(const TParaMgr&) = delete;

    // Two further slots that nothing in the library calls.
    virtual int Reserved_Clear(void* area);  // zeros 10 bytes at area, 1
    virtual int Reserved_Ok();               // 1

    int Push_Para(const char* name, const void* data, char type, int size);
    int Push_Int(const char* name, int value);
    int Push_Str(const char* name, const char* value);
    ParaStru* Find_Para(const char* name);
    int Reset_Para();
    static int Check_Name(const char* name);
};
