// TMemList: doubly linked list of pointers with a cursor.
#include "stdclass/mem_list.h"

TMemList::TMemList() : head(nullptr), tail(nullptr), cursor(nullptr), count(0) {}

TMemList::~TMemList() { RemoveAll(); }

int TMemList::_AddAfterNode(TMemList_Node* after, void* data) {
    TMemList_Node* node = static_cast<TMemList_Node*>(
        Alloc_Mem(static_cast<int>(sizeof(TMemList_Node)), "TMemList::_AddAfterNode"));
    if (node == nullptr) return 0;
    node->data = data;
    node->next = nullptr;
    node->prev = nullptr;
    count++;
    if (tail == nullptr) {
        head = tail = cursor = node;
        return 1;
    }
    if (after == nullptr) after = tail;
    node->prev = after;
    node->next = after->next;
    if (after->next != nullptr) after->next->prev = node;
    after->next = node;
    if (after == tail) tail = node;
    return 1;
}

int TMemList::AddTail(void* data) { return _AddAfterNode(tail, data); }

int TMemList::_RemoveNode(TMemList_Node* node) {
    if (node == nullptr) return 0;
    if (node == head) head = node->next;
    if (node == tail) tail = node->prev;
    if (node == cursor) cursor = node->next != nullptr ? node->next : node->prev;
    if (node->prev != nullptr) node->prev->next = node->next;
    if (node->next != nullptr) node->next->prev = node->prev;
    Free_Mem(node, "TMemList::_RemoveNode");
    count--;
    return 1;
}

TMemList_Node* TMemList::Find(void* data) {
    for (TMemList_Node* n = head; n != nullptr; n = n->next) {
        if (n->data == data) return n;
    }
    return nullptr;
}

int TMemList::Remove(void* data) {
    TMemList_Node* n = Find(data);
    if (n == nullptr) return 0;
    return _RemoveNode(n);
}

int TMemList::RemoveTail() { return _RemoveNode(tail); }

int TMemList::RemoveAll() {
    TMemList_Node* n = head;
    while (n != nullptr) {
        TMemList_Node* next = n->next;
        Free_Mem(n, "TMemList::RemoveAll");
        n = next;
    }
    head = tail = cursor = nullptr;
    count = 0;
    return 1;
}

int TMemList::Count() { return count; }

int TMemList::First() {
    cursor = head;
    return head != nullptr ? 1 : 0;
}

int TMemList::Next() {
    if (cursor == nullptr || cursor->next == nullptr) return 0;
    cursor = cursor->next;
    return 1;
}

void* TMemList::Current() { return cursor != nullptr ? cursor->data : nullptr; }

void* TMemList::Last() { return tail != nullptr ? tail->data : nullptr; }

void* TMemList::GetAt(int index) {
    if (index < 0 || index >= count) return nullptr;
    TMemList_Node* n = head;
    for (int i = 0; i < index; i++) n = n->next;
    cursor = n;
    return n->data;
}
