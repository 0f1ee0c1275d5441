// TMemList: order, cursor rules, removal.
#include "stdclass/mem_list.h"
#include "stdclass/mem_reg.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

class MemList : public ::testing::Test {
protected:
    void SetUp() override { setenv("ZOLVAK_DLL_PATH", "/nonexistent/stdclass_modules", 1); }
    // Values: a list stores their addresses.
    int A = 'A', B = 'B', C = 'C', D = 'D';

    // The contents seen by the callers' iteration pattern.
    std::string Walk(TMemList& l) {
        std::string s;
        if (!l.First()) return s;
        do {
            s += static_cast<char>(*static_cast<int*>(l.Current()));
        } while (l.Next());
        return s;
    }
    char Cur(TMemList& l) { return static_cast<char>(*static_cast<int*>(l.Current())); }
};

void* Failing_Alloc(int, const char*) { return nullptr; }

}  // namespace

TEST_F(MemList, EmptyList) {
    TMemList l;
    EXPECT_EQ(l.First(), 0);
    EXPECT_EQ(l.Next(), 0);
    EXPECT_EQ(l.Current(), nullptr);
    EXPECT_EQ(l.Last(), nullptr);
    EXPECT_EQ(l.GetAt(0), nullptr);
    EXPECT_EQ(l.Count(), 0);
    EXPECT_EQ(l.RemoveTail(), 0);
    EXPECT_EQ(l._RemoveNode(nullptr), 0);
}

TEST_F(MemList, AddTailKeepsOrderAndTheFirstCursor) {
    TMemList l;
    l.AddTail(&A);
    l.AddTail(&B);
    l.AddTail(&C);
    EXPECT_EQ(Cur(l), 'A') << "the cursor stays on the first node added";
    EXPECT_EQ(l.Last(), &C);
    EXPECT_EQ(Walk(l), "ABC");
    EXPECT_EQ(Cur(l), 'C') << "Next at the tail keeps the cursor there";
    EXPECT_EQ(l.Next(), 0);
    EXPECT_EQ(l.Count(), 3);
}

TEST_F(MemList, GetAtMovesTheCursor) {
    TMemList l;
    for (int* p : {&A, &B, &C}) l.AddTail(p);
    EXPECT_EQ(l.GetAt(2), &C);
    EXPECT_EQ(Cur(l), 'C');
    EXPECT_EQ(l.GetAt(1), &B);
    EXPECT_EQ(Cur(l), 'B');
    EXPECT_EQ(l.GetAt(3), nullptr);
    EXPECT_EQ(l.GetAt(-1), nullptr);
    EXPECT_EQ(Cur(l), 'B') << "an index out of range leaves the cursor";
}

TEST_F(MemList, RemovingTheCursorNodeMovesTheCursor) {
    struct Case {
        int cursor_at;
        int remove_at;
        const char* left;
        char cursor_after;
    };
    const Case cases[] = {
        {1, 1, "AC", 'C'},  // to its successor
        {2, 2, "AB", 'B'},  // the tail: to its predecessor
        {0, 0, "BC", 'B'},  // the head
        {0, 2, "AB", 'A'},  // another node: the cursor stays
    };
    for (const Case& c : cases) {
        TMemList l;
        int* values[] = {&A, &B, &C};
        for (int* p : values) l.AddTail(p);
        l.GetAt(c.cursor_at);
        EXPECT_EQ(l.Remove(values[c.remove_at]), 1);
        EXPECT_EQ(Cur(l), c.cursor_after) << c.cursor_at << "/" << c.remove_at;
        EXPECT_EQ(Walk(l), c.left);
        EXPECT_EQ(l.Count(), 2);
    }
    TMemList l;
    l.AddTail(&A);
    EXPECT_EQ(l.Remove(&A), 1);
    EXPECT_EQ(l.Current(), nullptr);
    EXPECT_EQ(l.Last(), nullptr);
    EXPECT_EQ(l.First(), 0);
}

TEST_F(MemList, RemoveTakesTheFirstOccurrenceOnly) {
    TMemList l;
    for (int* p : {&A, &B, &A, &C}) l.AddTail(p);
    EXPECT_EQ(l.Find(&A), l.head);
    EXPECT_EQ(l.Remove(&A), 1);
    EXPECT_EQ(Walk(l), "BAC");
    EXPECT_EQ(l.Remove(&D), 0);
    EXPECT_EQ(l.Count(), 3);
    EXPECT_EQ(l.RemoveTail(), 1);
    EXPECT_EQ(Walk(l), "BA");
    EXPECT_EQ(l.Last(), &A);
}

TEST_F(MemList, AddAfterANode) {
    TMemList l;
    for (int* p : {&A, &C}) l.AddTail(p);
    EXPECT_EQ(l._AddAfterNode(l.head, &B), 1);
    EXPECT_EQ(Walk(l), "ABC");
    EXPECT_EQ(l._AddAfterNode(nullptr, &D), 1) << "null means after the tail";
    EXPECT_EQ(Walk(l), "ABCD");
    EXPECT_EQ(l.Last(), &D);
    EXPECT_EQ(l.tail->prev->data, &C);
}

TEST_F(MemList, RemoveAllFreesNodesNotTheStoredPointers) {
    Mem_Init();
    Mem_Set_Rec_On(1);
    std::vector<int*> owned;
    {
        TMemList l;
        for (int i = 0; i < 5; i++) {
            owned.push_back(new int(i));
            l.AddTail(owned.back());
        }
        EXPECT_EQ(Mem_Rec_Count(), 5) << "one named node per element";
        Mem_Rec_Stru r{};
        Mem_Get_Rec(0, &r);
        EXPECT_STREQ(r.name, "TMemList::_AddAfterNode");
        EXPECT_EQ(l.RemoveAll(), 1);
        EXPECT_EQ(Mem_Rec_Count(), 0);
        EXPECT_EQ(l.Count(), 0);
        EXPECT_EQ(l.First(), 0);
        l.AddTail(owned[0]);
    }  // the destructor frees the remaining node
    EXPECT_EQ(Mem_Rec_Count(), 0);
    for (int i = 0; i < 5; i++) EXPECT_EQ(*owned[i], i);
    for (int* p : owned) delete p;
    Mem_Init();
}

TEST_F(MemList, NodeAllocationFailureAddsNothing) {
    TMemList l;
    l.AddTail(&A);
    l.MemSafe_Alloc = Failing_Alloc;
    EXPECT_EQ(l.AddTail(&B), 0);
    EXPECT_EQ(l.Count(), 1);
    EXPECT_EQ(Walk(l), "A");
}
