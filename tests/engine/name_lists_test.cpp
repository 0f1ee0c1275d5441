// The growable record array of the name lists and the message output.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/ot_array.h"
#include "engine/print_msg.h"

namespace {

struct GrowthCase {
    const char* what;
    int init, step;          // constructor arguments
    std::vector<int> calls;  // indexes passed to At in turn
    int capacity, count;     // state after the calls
};

class GrowthTest : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(GrowthTest, CapacityAndCount) {
    const GrowthCase& c = GetParam();
    OT_Array<Mdb_Tab_Stru> a(c.init, c.step);
    for (int i : c.calls) ASSERT_NE(a.At(i), nullptr);
    EXPECT_EQ(a.capacity, c.capacity) << c.what;
    EXPECT_EQ(a.count, c.count) << c.what;
}

std::vector<int> Appends(int n) {
    std::vector<int> v;
    for (int i = 0; i < n; ++i) v.push_back(i);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    OT_Array, GrowthTest,
    ::testing::Values(GrowthCase{"first append", 30, 20, {0}, 30, 1},
                      GrowthCase{"index 29 on a fresh list", 30, 20, {29}, 49, 30},
                      GrowthCase{"30 appends", 30, 20, Appends(30), 30, 30},
                      GrowthCase{"31st append grows by 20", 30, 20, Appends(31), 50, 31},
                      GrowthCase{"linear growth", 30, 20, Appends(71), 90, 71},
                      GrowthCase{"negative index means 0", 30, 20, {-5}, 30, 1},
                      GrowthCase{"index below count", 30, 20, {10, 3}, 30, 11},
                      GrowthCase{"defaults for 0 and -1", 0, -1, {0, 30}, 50, 31}));

TEST(OT_Array, ConstructorDefaultsAndEmptyState) {
    OT_Array<Mdb_Index_Stru> a(0, -1);
    EXPECT_EQ(a.init_size, 30);
    EXPECT_EQ(a.grow_by, 20);
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.capacity, 0);
    EXPECT_EQ(a.count, 0);
    EXPECT_EQ(a.Clear(), 1);
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.count, 0);
}

TEST(OT_Array, GrowthKeepsRecordsAndCallsInitElemForNewSlots) {
    struct Counting : OT_Array<Mdb_Tab_Stru> {
        using OT_Array::OT_Array;
        int inits = 0;
        int Init_Elem(Mdb_Tab_Stru*, Mdb_Tab_Stru*) override { return ++inits, 1; }
    } a(30, 20);
    for (int i = 0; i < 30; ++i) {
        Mdb_Tab_Stru* r = a.At(a.count);
        std::snprintf(r->tab_name, sizeof r->tab_name, "T%d", i);
        std::strcpy(r->tab_type, "TABLE");
    }
    EXPECT_EQ(a.inits, 30);
    Mdb_Tab_Stru* before = a.data;
    ASSERT_NE(a.At(5), nullptr);
    EXPECT_EQ(a.data, before) << "an index below count must not move the storage";
    ASSERT_NE(a.At(a.count), nullptr);
    EXPECT_EQ(a.inits, 50);
    EXPECT_EQ(a.capacity, 50);
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(std::string(a.data[i].tab_name), "T" + std::to_string(i));
    EXPECT_EQ(a.Clear(), 1);
    EXPECT_EQ(a.capacity, 0);
    EXPECT_EQ(a.data, nullptr);
}

TEST(OT_Array, IndexThatWouldOverflowIsRefused) {
    OT_Array<Mdb_Tab_Stru> a(30, 20);
    EXPECT_EQ(a.At(2147483647), nullptr);
    EXPECT_EQ(a.count, 0);
    EXPECT_EQ(a.capacity, 0);
}

std::vector<std::string> g_lines;
int Collect(const char* text) {
    g_lines.push_back(text);
    return 0;  // the sink's result is ignored
}

TEST(Print_Msg, FormatsHandsToSinkAndKeepsPercentSigns) {
    g_lines.clear();
    Msg_Sink = nullptr;
    EXPECT_EQ(Print_Msg("dropped %d", 1), 1);
    EXPECT_TRUE(g_lines.empty());
    Msg_Sink = Collect;
    EXPECT_EQ(Print_Msg("正在复制对象 %s", "a%sb%d"), 1);
    Msg_Sink = nullptr;
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0], "正在复制对象 a%sb%d");
}

TEST(Print_Msg, LongTextIsCutOnACharacterBoundary) {
    g_lines.clear();
    Msg_Sink = Collect;
    std::string name = "x";
    for (int i = 0; i < PRINT_MSG_BUF_SIZE / 3; ++i) name += "表";  // 3 bytes each
    Print_Msg("%s", name.c_str());
    Msg_Sink = nullptr;
    ASSERT_EQ(g_lines.size(), 1u);
    // 1 + 3k bytes fit within the buffer less its terminator.
    const std::size_t k = (PRINT_MSG_BUF_SIZE - 2) / 3;
    EXPECT_EQ(g_lines[0].size(), 1u + 3 * k);
    EXPECT_EQ(g_lines[0], name.substr(0, 1 + 3 * k));
}

}  // namespace
