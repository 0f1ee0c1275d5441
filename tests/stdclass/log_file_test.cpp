// Log writer with a file: the first write of the process truncates, later
// ones append; a file that cannot be opened switches file output off.
#include "capture_stdout.h"
#include "stdclass/log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <string.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines(const std::string& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

}  // namespace

TEST(LogFile, FirstWriteTruncatesLaterWritesAppendOpenFailureTurnsFileOff) {
    setenv("ZOLVAK_DLL_PATH", "/nonexistent/stdclass_modules", 1);
    char dir[] = "/tmp/stdclass_logXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/app.log";
    {
        std::ofstream old(file);
        old << "from an earlier run\n";
    }
    ASSERT_EQ(Log_Set_File_Name(file.c_str()), 1);
    EXPECT_EQ(Capture_Stdout([] { EXPECT_EQ(Log_Print("first %d", 1), 1); }), "first 1\n");
    EXPECT_EQ(Lines(file).size(), 1u) << "the earlier contents are replaced";
    EXPECT_EQ(Log_Print("second"), 1);
    EXPECT_EQ(Log_Print("third"), 1);
    std::vector<std::string> lines = Lines(file);
    ASSERT_EQ(lines.size(), 3u);

    char id[8];
    snprintf(id, sizeof(id), "%5d", static_cast<int>(syscall(SYS_gettid)));
    const char* msgs[] = {"first 1", "second", "third"};
    // "%5d %s %s%s": identifier, "mm-dd hh:mi:ss", prefix (empty), message.
    const std::string stamp_shape = "dd-dd dd:dd:dd";
    for (int i = 0; i < 3; i++) {
        const std::string& line = lines[i];
        ASSERT_EQ(line.size(), 21 + strlen(msgs[i])) << line;
        EXPECT_EQ(line.substr(0, 5), id);
        EXPECT_EQ(line[5], ' ');
        for (size_t k = 0; k < stamp_shape.size(); k++) {
            char c = line[6 + k];
            if (stamp_shape[k] == 'd') {
                EXPECT_TRUE(c >= '0' && c <= '9') << line;
            } else {
                EXPECT_EQ(c, stamp_shape[k]) << line;
            }
        }
        EXPECT_EQ(line.substr(20), " " + std::string(msgs[i]));
    }

    std::string bad = std::string(dir) + "/missing_dir/app.log";
    ASSERT_EQ(Log_Set_File_Name(bad.c_str()), 1);
    int r = 1;
    EXPECT_EQ(Capture_Stdout([&] { r = Log_Print("lost"); }),
              "lost\nUnable to open log file " + bad + "\n");
    EXPECT_EQ(r, 0);
    EXPECT_STREQ(Log_Get_File_Name(), "");
    EXPECT_EQ(Capture_Stdout([&] { r = Log_Print("after"); }), "after\n");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(Lines(file).size(), 3u);

    unlink(file.c_str());
    rmdir(dir);
}
