// Log writer with append set: the first write of the process appends too.
#include "stdclass/log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

TEST(LogAppend, FirstWriteKeepsTheEarlierContents) {
    setenv("ZOLVAK_DLL_PATH", "/nonexistent/stdclass_modules", 1);
    char dir[] = "/tmp/stdclass_logXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/app.log";
    {
        std::ofstream old(file);
        old << "from an earlier run\n";
    }
    Log_Set_Append(1);
    ASSERT_EQ(Log_Set_File_Name(file.c_str()), 1);
    EXPECT_EQ(Log_Print("one"), 1);
    EXPECT_EQ(Log_Print("two"), 1);
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "from an earlier run");
    EXPECT_EQ(lines[1].substr(lines[1].size() - 4), " one");
    EXPECT_EQ(lines[2].substr(lines[2].size() - 4), " two");
    unlink(file.c_str());
    rmdir(dir);
}
