// 14-digit time texts and Format_Time.
#include "data/date_time.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

namespace {

class DateTime : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

std::string Fmt(const char* text, const char* pattern) {
    std::string out(strlen(pattern) + 1, '#');
    const char* r = Format_Time(text, pattern, out.data());
    EXPECT_EQ(r, out.data());
    return std::string(r);
}

}  // namespace

TEST_F(DateTime, TimeToStr14) {
    struct Case {
        time_t t;
        const char* expected;
    };
    const Case cases[] = {
        {1796680495, "20261207215455"},
        {0, "19700101000000"},
        {-1, "20691231235959"},           // 1969: last two digits below 70
        {4265586367LL, "20050304050607"},  // 2105 comes out as 2005
        {6311433600LL, "21700101000000"},  // 2170 stays
        {253402300800LL, "19700101000000"},  // year 10000 does not fit four digits
        {LLONG_MAX, "19700101000000"},       // the runtime cannot convert it
    };
    for (const Case& c : cases) {
        char out[TIME14_LEN + 4];
        memset(out, 'Z', sizeof(out));
        EXPECT_EQ(Time_To_Str14(c.t, out), out);
        EXPECT_STREQ(out, c.expected) << c.t;
        EXPECT_EQ(out[TIME14_LEN], 'Z') << "nothing past the 15 bytes";
    }
}

TEST_F(DateTime, NowTime14IsFourteenDigits) {
    char out[TIME14_LEN];
    time_t before = time(nullptr);
    Now_Time14(out);
    time_t after = time(nullptr);
    ASSERT_EQ(strlen(out), 14u);
    char lo[TIME14_LEN], hi[TIME14_LEN];
    Time_To_Str14(before, lo);
    Time_To_Str14(after, hi);
    EXPECT_LE(strcmp(lo, out), 0);
    EXPECT_GE(strcmp(hi, out), 0);
}

TEST_F(DateTime, FormatTimeWords) {
    struct Case {
        const char* text;
        const char* pattern;
        const char* expected;
    };
    const Case cases[] = {
        {"20261207215455", "mm-dd hh:mi:ss", "12-07 21:54:55"},
        {"20261207215455", "yyyy/mm/dd", "2026/12/07"},
        {"20261207215455", "YYYY-MM-DD HH:MI:SS", "2026-12-07 21:54:55"},
        {"20261207215455", "yy", "26"},
        {"20261207215455", "yyy", "26y"},
        {"20261207215455", "@m", "m"},
        {"20261207215455", "@@yyyy", "@2026"},
        {"20261207215455", "mm@", "12"},  // a lone @ ends the output
        {"20261207215455", "month", " onth"},
        {"20261207215455", "Month", "Month"},
        {"20261207215455", "mM Dd", " M Dd"},  // mixed case is no word
        {"20261207215455", "plain text", "plain text"},
        {"20261207", "mm-dd hh:mi:ss", "12-07   :  :  "},
        {"2026", "yyyy mm", "2026   "},
        {"", "yy-mm-dd", "  -  -  "},
        {"20261207215455", "", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(Fmt(c.text, c.pattern), c.expected) << c.pattern;
}

TEST_F(DateTime, FormatTimeWithNullArguments) {
    char out[8] = "keep";
    const char* text = "20261207215455";
    EXPECT_EQ(Format_Time(text, nullptr, out), text);
    EXPECT_EQ(Format_Time(nullptr, "yyyy", out), nullptr);
    EXPECT_STREQ(out, "keep");
}

TEST_F(DateTime, ConversionsOnManyThreadsKeepTheirOwnResults) {
    std::vector<std::thread> threads;
    std::vector<int> wrong(8, 0);
    for (int i = 0; i < 8; i++) {
        threads.emplace_back([i, &wrong] {
            time_t t = 1796680495 + i * 86400;  // 7 December plus i days
            char expected[32];
            snprintf(expected, sizeof(expected), "202612%02d215455", 7 + i);
            for (int k = 0; k < 2000; k++) {
                char out[TIME14_LEN];
                Time_To_Str14(t, out);
                if (strcmp(out, expected) != 0) wrong[i]++;
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < 8; i++) EXPECT_EQ(wrong[i], 0) << i;
}
