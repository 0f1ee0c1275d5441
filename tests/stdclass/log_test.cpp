// Log writer with the default settings: standard output only.
#include "capture_stdout.h"
#include "stdclass/log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace {

class Log : public ::testing::Test {
protected:
    void SetUp() override { setenv("ZOLVAK_DLL_PATH", "/nonexistent/stdclass_modules", 1); }
    void TearDown() override { Log_Set_Prefix(""); }
};

}  // namespace

TEST_F(Log, DefaultWritesOneLineAndReturnsOne) {
    int r = 0;
    EXPECT_EQ(Capture_Stdout([&] { r = Log_Print("dbconnect %s ok", "db1"); }),
              "dbconnect db1 ok\n");
    EXPECT_EQ(r, 1);
    EXPECT_STREQ(Log_Get_File_Name(), "");
}

TEST_F(Log, PrefixGoesInFront) {
    ASSERT_EQ(Log_Set_Prefix("[app] "), 1);
    EXPECT_EQ(Capture_Stdout([] { Log_Print("x=%d", 1); }), "[app] x=1\n");
    std::string too_long(LOG_PREFIX_LEN, 'p');
    EXPECT_EQ(Log_Set_Prefix(too_long.c_str()), 0);
    EXPECT_EQ(Capture_Stdout([] { Log_Print("y"); }), "[app] y\n") << "prefix unchanged";
}

TEST_F(Log, MessagesLongerThanTheBufferAreRefused) {
    std::string fits(LOG_MSG_LEN - 1, 'm');
    int r = 0;
    EXPECT_EQ(Capture_Stdout([&] { r = Log_Print("%s", fits.c_str()); }), fits + "\n");
    EXPECT_EQ(r, 1);
    std::string too_long = fits + "m";
    EXPECT_EQ(Capture_Stdout([&] { r = Log_Print("%s", too_long.c_str()); }),
              "Log_Print message too long (2048 bytes)\n");
    EXPECT_EQ(r, 0);
    std::string name(LOG_FILE_NAME_LEN, 'f');
    EXPECT_EQ(Log_Set_File_Name(name.c_str()), 0);
    EXPECT_STREQ(Log_Get_File_Name(), "");
}
