// The connection object's defaults and trace writer, and the pool: which
// connection a thread gets, how connections enter it, are given back and
// leave it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "connect/db_connect.h"
#include "connect/db_fs.h"
#include "stdclass/cpp/err/thr_err.h"
#include "connect_support.h"

namespace {

template <typename Fn>
auto On_Thread(Fn fn) {
    decltype(fn()) result{};
    std::thread t([&] { result = fn(); });
    t.join();
    return result;
}

TEST(Connection, NewObjectHasEmptyFieldsAndTheCreatingThread) {
    TDb_Connect c;
    EXPECT_EQ(c.Get_Tag(), 0);
    EXPECT_EQ(c.Set_Tag(5), 5);
    EXPECT_EQ(c.Get_Tag(), 5);
    EXPECT_EQ(c.creator_thread, Thread_Get_Id());
    EXPECT_EQ(c.owner_thread, 0);
    EXPECT_EQ(c.kind + c.option + c.connected + c.drv_handle + c.trace_level, 0);
    for (const char* text : {c.data_source, c.user, c.password, c.group, c.extra, c.trace_path}) {
        EXPECT_STREQ(text, "");
    }
    EXPECT_EQ(c.Connect_Handle, nullptr);
    EXPECT_EQ(c.storage, nullptr);
}

TEST(Connection, WriteTraceAppendsLinesOnlyWhenAFileIsSet) {
    char tmpl[] = "/tmp/zolvak_trace_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    TDb_Connect c;
    EXPECT_EQ(c.Write_Trace("nothing %d", 1), 1);
    ASSERT_EQ(c.Set_Trace((dir + "/missing/t.txt").c_str(), 2), 1);
    EXPECT_EQ(c.Write_Trace("x"), 0);
    ASSERT_EQ(c.Set_Trace((dir + "/t.txt").c_str(), 2), 1);
    EXPECT_EQ(c.Write_Trace("line %d", 1), 1);
    EXPECT_EQ(c.Write_Trace("%s", "100% literal"), 1);
    std::ifstream in(dir + "/t.txt");
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), "line 1\n100% literal\n");
    EXPECT_EQ(c.Set_Trace(std::string(DB_CONN_TRACE_SIZE, 'p').c_str(), 2), 0);  // refused, kept
    EXPECT_EQ(std::string(c.trace_path), dir + "/t.txt");
    std::filesystem::remove_all(dir);
}

TEST(Connection, OwnsTheStoreItIsGiven) {
    auto* c = new TDb_Connect();
    c->Set_Storage(new TDb_Fs_Path());
    c->Set_Storage(new TDb_Fs_Path());  // the first one is released
    delete c;                           // and so is the second (sanitizer build checks)
}

class Pool : public testing::Test {
protected:
    void TearDown() override {
        for (TDb_Connect* c : made) {
            Db_Remove_Session(c);
            delete c;
        }
    }
    TDb_Connect* Make(const char* group = nullptr) {
        auto* c = new TDb_Connect();
        if (group != nullptr) c->Set_Group(group);
        made.push_back(c);
        EXPECT_EQ(Db_Add_Session(c), 1);
        return c;
    }
    std::vector<TDb_Connect*> made;
};

TEST_F(Pool, EmptyPoolLogsTheRequestAndGivesNothing) {
    struct Case {
        const char* group;
        const char* line;
    } cases[] = {{nullptr, "Get_Session Fail grp_name (null) tot num 0\n"},
                 {"sales", "Get_Session Fail grp_name sales tot num 0\n"}};
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(Get_Db_Session(c.group), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
    }
}

TEST_F(Pool, ThreadGetsWhatItHoldsThenItsOwnFreeOneThenTheFirstFree) {
    TDb_Connect* a = Make();
    TDb_Connect* b = Make();
    EXPECT_EQ(Db_Add_Session(a), 1);  // already pooled: still one entry
    EXPECT_EQ(Db_Connect_Mgr->Count(), 2);

    EXPECT_EQ(Get_Db_Session(nullptr), b);  // the last free one this thread created
    EXPECT_EQ(Get_Db_Session(nullptr), b);  // the one it holds
    EXPECT_EQ(On_Thread([] { return Get_Db_Session(nullptr); }), a);
    testing::internal::CaptureStdout();
    EXPECT_EQ(On_Thread([] { return Get_Db_Session(nullptr); }), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Get_Session Fail grp_name (null) tot num 2\n");

    // Giving one back makes it free for the next thread.
    EXPECT_EQ(Db_Release_Session(a), 0);  // held by the other thread: left alone
    EXPECT_EQ(Db_Release_Session(nullptr), 1);
    EXPECT_EQ(b->owner_thread, 0);
    int other = On_Thread([] { return Thread_Get_Id(); });
    EXPECT_EQ(On_Thread([] { return Get_Db_Session(nullptr); }), b);
    EXPECT_NE(b->owner_thread, other);

    // Leaving the pool hands the object back unbound.
    EXPECT_EQ(Db_Remove_Session(b), 1);
    EXPECT_EQ(b->owner_thread, 0);
    EXPECT_EQ(Db_Remove_Session(b), 0);
    EXPECT_EQ(Db_Connect_Mgr->Count(), 1);
}

TEST_F(Pool, GroupNamesSelectConnections) {
    TDb_Connect* sales = Make("sales");
    TDb_Connect* stock = Make("stock");
    EXPECT_EQ(On_Thread([] { return Get_Db_Session("stock"); }), stock);
    testing::internal::CaptureStdout();
    EXPECT_EQ(On_Thread([] { return Get_Db_Session("stock"); }), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Get_Session Fail grp_name stock tot num 2\n");
    EXPECT_EQ(On_Thread([] { return Get_Db_Session("Sales"); }), nullptr);  // case matters
    EXPECT_EQ(On_Thread([] { return Get_Db_Session(nullptr); }), sales);
}

}  // namespace
