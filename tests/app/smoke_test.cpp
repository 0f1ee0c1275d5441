#include <gtest/gtest.h>
#include <cstdlib>
#include <string>

TEST(Cli, HelpExitsZero) {
    std::string cmd = std::string(ZOLVAK_BINARY_DIR) + "/app/mdbrepair --help >/dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}
