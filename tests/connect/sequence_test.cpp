// Named sequences on a SQLite file, starting from an empty app_sequence.
#include "sqlite_fixture.h"

namespace {

class Sequence : public SqliteTest {
protected:
    void SetUp() override {
        SqliteTest::SetUp();
        Sql("create table app_sequence(seq_name text, seq_val integer)");
    }
    std::string Rows() {
        return Value("select ifnull(group_concat(seq_name||'='||seq_val),'') from "
                     "(select * from app_sequence order by seq_name)");
    }
};

TEST_F(Sequence, NextFromAnEmptyTableStartsAtOneAndCounts) {
    int out = -1;
    EXPECT_EQ(conn->Next_Seq(nullptr, "doc", &out), 1);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(Rows(), "doc=1");
    EXPECT_EQ(conn->Next_Seq(nullptr, "doc", nullptr), 2);
    EXPECT_EQ(conn->Next_Seq(nullptr, "other", nullptr), 1);
    EXPECT_EQ(Rows(), "doc=2,other=1");
}

TEST_F(Sequence, GetCreatesAtOneAndDoesNotAdvance) {
    DBDataMgr t;
    EXPECT_EQ(conn->Get_Seq(&t, "a", nullptr), 1);
    EXPECT_EQ(conn->Next_Seq(&t, "a", nullptr), 2);
    int out = 0;
    EXPECT_EQ(conn->Get_Seq(&t, "a", &out), 2);
    EXPECT_EQ(out, 2);
    EXPECT_EQ(Rows(), "a=2");
}

TEST_F(Sequence, SetUpdatesOrCreatesTheRow) {
    conn->Next_Seq(nullptr, "a", nullptr);
    EXPECT_EQ(conn->Set_Seq(nullptr, "a", 10), 1);
    EXPECT_EQ(conn->Next_Seq(nullptr, "a", nullptr), 11);
    EXPECT_EQ(conn->Set_Seq(nullptr, "new", 40), 1);
    EXPECT_EQ(Rows(), "a=11,new=40");
}

TEST_F(Sequence, ValueWithoutDigitsReadsAsZero) {
    Sql("insert into app_sequence values('txt','abc')");
    EXPECT_EQ(conn->Get_Seq(nullptr, "txt", nullptr), 0);
}

TEST_F(Sequence, NameWithAnApostropheIsStoredAsGiven) {
    EXPECT_EQ(conn->Next_Seq(nullptr, "o'clock", nullptr), 1);
    EXPECT_EQ(conn->Next_Seq(nullptr, "o'clock", nullptr), 2);
    EXPECT_EQ(Rows(), "o'clock=2");
}

TEST_F(Sequence, MissingTableFailsEveryOperationWithTheStatementsError) {
    Sql("drop table app_sequence");
    struct Case {
        const char* what;
        int (*op)(TDb_Connect*, DBDataMgr*, int*);
    } cases[] = {
        {"next", [](TDb_Connect* c, DBDataMgr* t, int* o) { return c->Next_Seq(t, "s", o); }},
        {"get", [](TDb_Connect* c, DBDataMgr* t, int* o) { return c->Get_Seq(t, "s", o); }},
        {"set", [](TDb_Connect* c, DBDataMgr* t, int*) { return c->Set_Seq(t, "s", 5); }},
    };
    for (const Case& c : cases) {
        DBDataMgr t;
        int out = 7;
        EXPECT_EQ(c.op(conn, &t, &out), 0) << c.what;
        if (std::string(c.what) != "set") {
            EXPECT_EQ(out, 0) << c.what;
        }
        EXPECT_EQ(t.Get_Err_Code(), 1) << c.what;
        EXPECT_STREQ(t.Get_Err_Msg(), "no such table: app_sequence") << c.what;
    }
}

}  // namespace
