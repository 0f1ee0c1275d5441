// TMemList: doubly linked list of untyped pointers with a cursor. It never
// frees or inspects what it stores; nodes are allocated through the list's
// own hooks. No lock: owners guard it.
#pragma once

#include "stdclass/mem_safe.h"

struct TMemList_Node {
    void* data;
    TMemList_Node* next;
    TMemList_Node* prev;
};

class TMemList : public TMemSafe {
public:
    TMemList_Node* head;
    TMemList_Node* tail;
    TMemList_Node* cursor;
    int count;

    TMemList();
    ~TMemList() override;
    TMemList(const TMemList&) = delete;
    TMemList& operator=(const TMemList&) = delete;

    int _AddAfterNode(TMemList_Node* after, void* data);
    int AddTail(void* data);
    int _RemoveNode(TMemList_Node* node);
    TMemList_Node* Find(void* data);
    int Remove(void* data);
    int RemoveTail();
    int RemoveAll();
    int Count();
    int First();
    int Next();
    void* Current();
    void* Last();
    void* GetAt(int index);
};
