// tstr growth and contents; the string helpers.
#include "stdclass/mem_reg.h"
#include "stdclass/tstr.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace {

class Tstr : public ::testing::Test {
protected:
    void SetUp() override { setenv("ZOLVAK_DLL_PATH", "/nonexistent/stdclass_modules", 1); }
};

void* Failing_Alloc(int, const char*) { return nullptr; }

}  // namespace

TEST_F(Tstr, NewStringIsEmptyButNeverNull) {
    tstr s;
    ASSERT_NE(s.Str(), nullptr);
    EXPECT_STREQ(s.Str(), "");
    EXPECT_EQ(s.Length(), 0);
    EXPECT_EQ(s.capacity, 0);
}

TEST_F(Tstr, GrowthRoundsTo256WithAtLeast257BytesOfSlack) {
    struct Case {
        int start_len;
        int add;
        int capacity;
    };
    const Case cases[] = {
        {0, 10, 512},   {500, 10, 512},  // 510 < 511: still fits
        {500, 11, 768},                  // reaches 511: (511 + 512) / 256 * 256
        {500, 20, 1024}, {0, 1, 512},    {0, 1000, 1280},
    };
    for (const Case& c : cases) {
        tstr s;
        // Built by small appends, as SQL texts are.
        for (int i = 0; i < c.start_len; i += 10) s.Append("aaaaaaaaaa", 10);
        const char* before = s.Str();
        s.Append(std::string(c.add, 'b').c_str(), c.add);
        EXPECT_EQ(s.capacity, c.capacity) << c.start_len << "+" << c.add;
        EXPECT_EQ(s.Length(), c.start_len + c.add);
        EXPECT_EQ(s.Str()[s.Length()], 0);
        if (c.start_len && c.capacity == 512) {
            EXPECT_EQ(s.Str(), before) << "text stays in place";
        }
    }
}

TEST_F(Tstr, AppendingAndAssigning) {
    tstr s;
    s += "SELECT";
    s += ' ';
    s += "*";
    EXPECT_STREQ(s.Str(), "SELECT *");
    s += '\0';
    s += static_cast<const char*>(nullptr);
    s.Append(nullptr, 3);
    s.Append("xyz", 0);
    EXPECT_EQ(s.Length(), 8) << "NUL character, null text and empty appends change nothing";

    const char* buffer = s.Str();
    s = "from t";
    EXPECT_STREQ(s.Str(), "from t");
    EXPECT_EQ(s.Str(), buffer) << "assignment reuses the buffer";
    s = s.Str();
    EXPECT_STREQ(s.Str(), "from t") << "assigning its own text keeps it";
    s = nullptr;
    EXPECT_STREQ(s.Str(), "");
    EXPECT_EQ(s.capacity, 512);
}

TEST_F(Tstr, AppendingItsOwnTextAcrossAReallocation) {
    tstr s;
    std::string text(300, 'q');
    s = text.c_str();
    s.Append(s.Str(), s.Length());  // 600 bytes: the buffer moves
    EXPECT_EQ(std::string(s.Str()), text + text);
}

TEST_F(Tstr, SetLength) {
    tstr s;
    s = "0123456789";
    EXPECT_EQ(s.Set_Length(3), 1);
    EXPECT_STREQ(s.Str(), "012");
    EXPECT_EQ(s.Set_Length(s.capacity + 1), 0);
    EXPECT_EQ(s.Length(), 3);
    EXPECT_EQ(s.Set_Length(-1), 0);

    // The file-store pattern: exact size, bytes read in, length set.
    ~s;
    ASSERT_EQ(s.ma(5), 1);
    memcpy(s.buf, "ab\0cd", 5);
    EXPECT_EQ(s.Set_Length(5), 1);
    EXPECT_EQ(s.Length(), 5);
    EXPECT_EQ(std::string(s.Str(), 5), std::string("ab\0cd", 5));
    s += "!";
    EXPECT_EQ(s.Length(), 6);
    EXPECT_EQ(s.capacity, 512);
    EXPECT_EQ(std::string(s.Str(), 7), std::string("ab\0cd!\0", 7));
}

TEST_F(Tstr, MaKeepsTheTextAndRefusesWhatCannotHoldIt) {
    tstr s;
    s = "keep me";
    EXPECT_EQ(s.ma(20), 1);
    EXPECT_EQ(s.capacity, 20);
    EXPECT_STREQ(s.Str(), "keep me");
    EXPECT_EQ(s.ma(3), 0) << "the text would not fit";
    EXPECT_STREQ(s.Str(), "keep me");
    s.MemSafe_Alloc = Failing_Alloc;
    EXPECT_EQ(s.ma(100), 0);
    s.Append(std::string(100, 'x').c_str(), 100);
    EXPECT_STREQ(s.Str(), "keep me") << "failed growth leaves the string unchanged";
    EXPECT_EQ(s.capacity, 20);
}

TEST_F(Tstr, TildeFreesAndEmpties) {
    Mem_Init();
    Mem_Set_Rec_On(1);
    {
        tstr s;
        s = "abc";
        EXPECT_EQ(Mem_Rec_Count(), 1);
        Mem_Rec_Stru r{};
        Mem_Get_Rec(0, &r);
        EXPECT_STREQ(r.name, "tstr::ma");
        ~s;
        EXPECT_EQ(Mem_Rec_Count(), 0);
        EXPECT_EQ(s.buf, nullptr);
        EXPECT_EQ(s.capacity, 0);
        EXPECT_STREQ(s.Str(), "");
        s = "again";
    }
    EXPECT_EQ(Mem_Rec_Count(), 0) << "the destructor frees the buffer";
    Mem_Init();
}

TEST(StrToFixed, Cases) {
    struct Case {
        const char* text;
        int decimals;
        int expected;
    };
    const Case cases[] = {
        {"12.345", 2, 1234},  // extra places are dropped, not rounded
        {"-7", 2, -700},
        {".5", 1, 5},
        {"abc", 2, 0},
        {"", 3, 0},
        {"x-y 3.2", 1, -32},   // a minus anywhere before the number
        {"3.2-", 1, 32},       // one after it does not count
        {"$ 1,5", 2, 100},     // the run of digits ends at the comma
        {"0.07", 2, 7},
        {"42", 0, 42},
        {"1.5", -1, 1},
        {"2147483647", 0, 2147483647},
        {"2147483648", 0, -2147483647 - 1},  // 32-bit wrap
    };
    for (const Case& c : cases) EXPECT_EQ(Str_To_Fixed(c.text, c.decimals), c.expected) << c.text;
    EXPECT_EQ(Str_To_Fixed(nullptr, 2), 0);
}

TEST(StrHelpers, TrimRightUpperLower) {
    struct Case {
        const char* text;
        const char* trimmed;
    };
    const Case cases[] = {
        {"name \t\r\n", "name"}, {"   ", ""}, {"", ""}, {" a b ", " a b"}, {"x\n\ny", "x\n\ny"}};
    for (const Case& c : cases) {
        std::string buf = c.text;
        EXPECT_STREQ(Str_Trim_Right(buf.data()), c.trimmed);
    }
    std::string mixed = "Tab_表名 Name";
    EXPECT_EQ(std::string(Str_Upper(mixed.data())), "TAB_表名 NAME");
    EXPECT_EQ(std::string(Str_Lower(mixed.data())), "tab_表名 name");
    EXPECT_EQ(Str_Trim_Right(nullptr), nullptr);
    EXPECT_EQ(Str_Upper(nullptr), nullptr);
    EXPECT_EQ(Str_Lower(nullptr), nullptr);
}
