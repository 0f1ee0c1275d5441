// The repair run and its steps on real files: the lines a run writes, the
// target it leaves, the source it never touches.
#include "app/run/repair_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/repair_steps.h"
#include "jet/sql/connection.h"
#include "jet/table/database.h"
#include "repair_support.h"

using namespace repair_test;

namespace {

const char* kSkipFixtures = "fixture folder absent";

std::vector<std::string> Completion(const std::string& source, const std::string& target,
                                    const char* password_line) {
    return {"修复完成", "原始数据库文件为 " + source, "新的数据库文件为 " + target,
            password_line};
}

bool Is_Jet_Db(const std::string& path, const std::string& password) {
    try {
        jet::Database::open(path, password);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

TEST(Repair_Mdb, WrongPasswordStopsAtTheSourceWithTheTargetLeftOnDisk) {
    if (!Have_Fixtures()) GTEST_SKIP() << kSkipFixtures;
    Scratch s;
    std::string src = Copy_Fixture(s, "jet4-password.mdb");
    std::string before = Read_File(src);
    std::string target = src + ".new";
    Collecting c;
    Copy_Err_Flag = 1;  // left over from an earlier run
    EXPECT_EQ(Repair_Mdb(src.c_str(), "wrong", target.c_str()), 0);
    EXPECT_EQ(Lines(), std::vector<std::string>{"无法连接到数据库" + src + "，请检查文件名及密码"});
    EXPECT_EQ(Copy_Err_Flag, 0) << "a run starts with the flag at 0";
    EXPECT_TRUE(Is_Jet_Db(target, "wrong")) << "the created target stays";
    EXPECT_EQ(Read_File(src), before);
}

TEST(Repair_Mdb, TargetThatCannotBeCreatedGivesTheCreationLine) {
    Scratch s;
    std::string blocker = s.path("blocker.mdb");  // a folder cannot be deleted as a file
    fs::create_directories(blocker + "/inside");
    struct Case {
        const char* what;
        std::string target;
    } cases[] = {
        {"folder missing", s.path("no/such/folder/x.mdb")},
        {"undeletable target", blocker},
        {"empty target", ""},
    };
    for (const Case& k : cases) {
        Collecting c;
        EXPECT_EQ(Repair_Mdb(s.path("whatever.mdb").c_str(), "", k.target.c_str()), 0) << k.what;
        EXPECT_EQ(Lines(), std::vector<std::string>{"创建目标数据库(" + k.target + ")出错了"})
            << k.what;
    }
    EXPECT_TRUE(fs::is_directory(blocker + "/inside"));
}

TEST(Repair_Mdb, ExistingTargetIsReplaced) {
    if (!Have_Fixtures()) GTEST_SKIP() << kSkipFixtures;
    Scratch s;
    std::string src = Copy_Fixture(s, "jet4-nopassword.mdb");
    std::string target = s.path("out.mdb");
    Write_File(target, "not a database");
    Collecting c;
    Repair_Mdb(src.c_str(), "", target.c_str());
    ASSERT_FALSE(Lines().empty());
    EXPECT_NE(Lines()[0].find("正在复制对象"), std::string::npos) << Lines()[0];
    EXPECT_TRUE(Is_Jet_Db(target, ""));
}

TEST(Repair_Mdb, TargetNamingTheSourceIsRefusedBeforeAnythingIsDeleted) {
    if (!Have_Fixtures()) GTEST_SKIP() << kSkipFixtures;
    Scratch s;
    std::string src = Copy_Fixture(s, "jet4-nopassword.mdb");
    fs::create_directories(s.path("sub"));
    fs::create_symlink(src, s.path("link.mdb"));
    fs::create_hard_link(src, s.path("hard.mdb"));
    std::string before = Read_File(src);
    struct stat st0 {};
    ASSERT_EQ(stat(src.c_str(), &st0), 0);
    std::string rel = fs::relative(src, fs::current_path()).string();
    for (std::string target :
         {src, s.path("sub/../jet4-nopassword.mdb"), s.path("./jet4-nopassword.mdb"),
          s.path("link.mdb"), s.path("hard.mdb"), rel}) {
        Collecting c;
        EXPECT_EQ(Repair_Mdb(src.c_str(), "", target.c_str()), 0) << target;
        std::string want = "新的数据库文件" + target + "就是原始数据库文件，请另选保存数据库文件";
        EXPECT_EQ(Lines(), std::vector<std::string>{want});
    }
    EXPECT_TRUE(fs::is_symlink(s.path("link.mdb")));
    EXPECT_EQ(Read_File(src), before);
    struct stat st1 {};
    ASSERT_EQ(stat(src.c_str(), &st1), 0);
    EXPECT_EQ(st0.st_mtim.tv_sec, st1.st_mtim.tv_sec);
    EXPECT_EQ(st0.st_mtim.tv_nsec, st1.st_mtim.tv_nsec);
}

TEST(Repair_Same_File, PathsOfFilesThatDoNotExistYet) {
    Scratch s;
    EXPECT_EQ(Repair_Same_File(s.path("a.mdb").c_str(), s.path("x/../a.mdb").c_str()), 0)
        << "x does not exist, so the second path reaches nothing";
    EXPECT_EQ(Repair_Same_File(s.path("a.mdb").c_str(), s.path("./a.mdb").c_str()), 1);
    EXPECT_EQ(Repair_Same_File(s.path("a.mdb").c_str(), s.path("a.mdb.new").c_str()), 0);
    EXPECT_EQ(Repair_Same_File("", ""), 0);
}

TEST(Repair_Mdb, InputsLongerThanTheirFieldsAreRefusedAndNothingIsDeleted) {
    Scratch s;
    std::string keep = s.path("keep.mdb");
    Write_File(keep, "x");
    // One byte more than the system takes (the check comes before the path
    // is used, so it need not exist).
    std::string long_path = s.path("");
    long_path += std::string(REPAIR_PATH_SIZE - long_path.size(), 'p');
    struct Case {
        std::string source, password, target;
        const char* line;
    } cases[] = {
        {long_path, "", keep, REPAIR_MSG_SOURCE_TOO_LONG},
        {keep + "x", "", long_path, REPAIR_MSG_TARGET_TOO_LONG},
        {keep + "x", std::string(200, 'w'), keep, REPAIR_MSG_PASSWORD_TOO_LONG},
    };
    for (const Case& k : cases) {
        Collecting c;
        EXPECT_EQ(Repair_Mdb(k.source.c_str(), k.password.c_str(), k.target.c_str()), 0);
        EXPECT_EQ(Lines(), std::vector<std::string>{k.line});
        EXPECT_EQ(Read_File(keep), "x");
    }
    // The longest path the system takes passes the check and fails only
    // where the system refuses it.
    Collecting c;
    long_path.pop_back();
    EXPECT_EQ(Repair_Mdb((keep + "x").c_str(), "", long_path.c_str()), 0);
    EXPECT_EQ(Lines(), std::vector<std::string>{"创建目标数据库(" + long_path + ")出错了"});
}

TEST(Create_Target_Db, AConnectionStringLongerThanItsBufferIsRefused) {
    Collecting c;
    std::string target = "/tmp/" + std::string(CREATE_CONN_STR_SIZE, 't');
    EXPECT_EQ(Create_Target_Db(target.c_str(), "pw"), 0);
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "目标数据库文件名和密码合计超过" +
                               std::to_string(CREATE_CONN_STR_SIZE - 75) + "字节，无法创建",
                           "创建目标数据库(" + target + ")出错了"}));
}

TEST(Read_Lists, TablesAndIndexesAsTheProviderListsThem) {
    if (!Have_Fixtures()) GTEST_SKIP() << kSkipFixtures;
    Scratch s;
    std::string src = Copy_Fixture(s, "jet4-indexes.mdb");
    OT_Array<Mdb_Tab_Stru> tabs(30, 20);
    OT_Array<Mdb_Index_Stru> indexes(30, 20);
    Collecting c;
    ASSERT_EQ(Read_Tab_List(src.c_str(), "", tabs), 1);
    ASSERT_EQ(Read_Index_List(src.c_str(), "", indexes), 1);
    EXPECT_TRUE(Lines().empty());
    int user = 0, system = 0;
    for (int i = 0; i < tabs.count; ++i) {
        if (std::strcmp(tabs.data[i].tab_type, "TABLE") == 0) ++user;
        if (std::strcmp(tabs.data[i].tab_type, "SYSTEM TABLE") == 0) ++system;
    }
    EXPECT_EQ(user, 3);
    EXPECT_GE(system, 4) << "system tables are kept in the list";
    // Table1's primary key: every row primary and unique, nothing marked.
    int pk_rows = 0, plain_rows = 0;
    for (int j = 0; j < indexes.count; ++j) {
        const Mdb_Index_Stru& r = indexes.data[j];
        EXPECT_EQ(r.is_done, 0);
        if (std::strcmp(r.tab_name, "Table1") == 0 && r.is_primary) {
            ++pk_rows;
            EXPECT_EQ(r.is_unique, 1) << r.index_name;
        }
        if (!r.is_primary && !r.is_unique) ++plain_rows;
    }
    EXPECT_GE(pk_rows, 1);
    EXPECT_GE(plain_rows, 3) << "each table has a plain index on id";
}

TEST(Read_Lists, WrongPasswordLeavesTheListEmpty) {
    if (!Have_Fixtures()) GTEST_SKIP() << kSkipFixtures;
    Scratch s;
    std::string src = Copy_Fixture(s, "jet4-password.mdb");
    OT_Array<Mdb_Tab_Stru> tabs(30, 20);
    Collecting c;
    EXPECT_EQ(Read_Tab_List(src.c_str(), "nope", tabs), 0);
    EXPECT_EQ(tabs.count, 0);
    EXPECT_EQ(Lines(), std::vector<std::string>{"无法连接到数据库" + src + "，请检查文件名及密码"});
}

// Positions 0 to 6: two system tables, then five user tables.
TEST(Copy_Tables, ProgressLinesByPositionAndFailuresPerTable) {
    Scratch s;
    std::string target = s.path("t.mdb");
    Collecting c;
    ASSERT_EQ(Create_Target_Db(target.c_str(), ""), 1);
    OT_Array<Mdb_Tab_Stru> tabs(30, 20);
    const char* rows[][2] = {{"SYSTEM TABLE", "MSysA"},
                             {"SYSTEM TABLE", "MSysB"},
                             {"TABLE", "T2"},
                             {"TABLE", "T3"},
                             {"TABLE", "T4"},
                             {"TABLE", "T5%s"},
                             {"TABLE", "T6"},
                             {"VIEW", "Q7"},
                             {"LINK", "L8"}};
    for (auto& r : rows) {
        Mdb_Tab_Stru* t = tabs.At(tabs.count);
        std::strcpy(t->tab_type, r[0]);
        std::strcpy(t->tab_name, r[1]);
    }
    Copy_Err_Flag = 0;
    // The source does not exist: every copy fails on its own.
    std::string missing = s.path("missing.mdb");
    ASSERT_EQ(Copy_Tables(target.c_str(), "", missing.c_str(), "", tabs), 1);
    const std::string long_tail = "，如果数据量大可能需要较多时间（1G约12分钟），请耐心等候";
    std::vector<std::string> want;
    for (const char* name : {"T2", "T3", "T4", "T5%s", "T6"}) {
        bool five = std::string(name) == "T5%s";
        want.push_back(std::string("正在复制对象 ") + name + (five ? long_tail : ""));
        want.push_back(std::string("******** 复制 ") + name + " 出错了 *********");
    }
    EXPECT_EQ(Lines(), want);
    EXPECT_EQ(Copy_Err_Flag, 1);
}

TEST(Copy_Tables, TargetThatCannotBeOpened) {
    Scratch s;
    OT_Array<Mdb_Tab_Stru> tabs(30, 20);
    std::string target = s.path("none.mdb");
    Collecting c;
    EXPECT_EQ(Copy_Tables(target.c_str(), "", target.c_str(), "", tabs), 0);
    EXPECT_EQ(Lines(), std::vector<std::string>{"无法连接到数据库" + target});
    OT_Array<Mdb_Index_Stru> indexes(30, 20);
    Lines().clear();
    EXPECT_EQ(Rebuild_Indexes(target.c_str(), "", tabs, indexes), 0);
    EXPECT_EQ(Lines(), std::vector<std::string>{"无法连接到数据库" + target});
    Lines().clear();
    EXPECT_EQ(Restore_Design(target.c_str(), "", target.c_str(), "", tabs), 0);
    EXPECT_EQ(Lines(), std::vector<std::string>{"无法连接到数据库" + target});
}

Mdb_Index_Stru Index_Row(const char* tab, const char* index, const char* column, int primary,
                         int unique) {
    Mdb_Index_Stru r{};
    std::strcpy(r.tab_name, tab);
    std::strcpy(r.index_name, index);
    std::strcpy(r.column_name, column);
    r.is_primary = primary;
    r.is_unique = unique;
    return r;
}

TEST(Rebuild_Indexes, RowsOfOneIndexAreGatheredAndMarked) {
    Scratch s;
    std::string target = s.path("t.mdb");
    Collecting c;
    ASSERT_EQ(Create_Target_Db(target.c_str(), ""), 1);
    OT_Array<Mdb_Tab_Stru> tabs(30, 20);
    for (const char* name : {"Orders", "MSysObjects"}) {
        Mdb_Tab_Stru* t = tabs.At(tabs.count);
        std::strcpy(t->tab_type, std::strcmp(name, "Orders") == 0 ? "TABLE" : "SYSTEM TABLE");
        std::strcpy(t->tab_name, name);
    }
    OT_Array<Mdb_Index_Stru> indexes(30, 20);
    Mdb_Index_Stru rows[] = {
        Index_Row("MSysObjects", "Id", "Id", 1, 1),
        Index_Row("Orders", "PrimaryKey", "OrderId", 1, 1),
        Index_Row("Orders", "By Date", "Day", 0, 0),
        Index_Row("Orders", "PrimaryKey", "LineNo", 1, 1),
        Index_Row("Other", "PrimaryKey", "X", 1, 1),
    };
    for (auto& r : rows) *indexes.At(indexes.count) = r;
    Copy_Err_Flag = 0;
    ASSERT_EQ(Rebuild_Indexes(target.c_str(), "", tabs, indexes), 1);
    // Orders is not in the target, so both statements fail; one line pair per
    // index, in the order of their first rows.
    std::vector<std::string> want = {
        "正在创建约束 PrimaryKey", "******** 创建索引 PrimaryKey 出错了 *********",
        "正在创建约束 By Date", "******** 创建索引 By Date 出错了 *********"};
    EXPECT_EQ(Lines(), want);
    int done[] = {0, 1, 1, 1, 0};
    for (int j = 0; j < indexes.count; ++j) EXPECT_EQ(indexes.data[j].is_done, done[j]) << j;
    EXPECT_EQ(Copy_Err_Flag, 1);
}

TEST(Rebuild_Indexes, AnIndexWhoseStatementWouldNotFitIsRefused) {
    Scratch s;
    std::string target = s.path("t.mdb");
    Collecting c;
    ASSERT_EQ(Create_Target_Db(target.c_str(), ""), 1);
    OT_Array<Mdb_Tab_Stru> tabs(30, 20);
    std::string tname(79, 'T');
    Mdb_Tab_Stru* t = tabs.At(0);
    std::strcpy(t->tab_type, "TABLE");
    std::strcpy(t->tab_name, tname.c_str());
    OT_Array<Mdb_Index_Stru> indexes(30, 20);
    std::string iname(79, 'I');
    for (char col : {'a', 'b', 'c'}) {
        *indexes.At(indexes.count) =
            Index_Row(tname.c_str(), iname.c_str(), std::string(70, col).c_str(), 0, 1);
    }
    Copy_Err_Flag = 0;
    ASSERT_EQ(Rebuild_Indexes(target.c_str(), "", tabs, indexes), 1);
    ASSERT_EQ(Lines().size(), 3u);
    EXPECT_EQ(Lines()[0], "正在创建约束 " + iname);
    EXPECT_EQ(Lines()[1], "索引 " + iname + " 的语句超过300字节，无法创建");
    EXPECT_EQ(Lines()[2], "******** 创建索引 " + iname + " 出错了 *********");
    EXPECT_EQ(Copy_Err_Flag, 1);
}

// The statements of a table run together; a unique index that fails is
// reported alone, in its place among the lines, and the others are made.
TEST(Rebuild_Indexes, AFailedUniqueIndexIsReportedAloneAndTheOthersAreMade) {
    Scratch s;
    std::string target = s.path("t.mdb");
    Collecting c;
    ASSERT_EQ(Create_Target_Db(target.c_str(), ""), 1);
    {
        auto conn = jet::Connection::open(target);
        conn->execute("CREATE TABLE Orders (OrderId LONG, LineNo LONG, Item TEXT(20), Note MEMO)");
        for (int i = 0; i < 60; ++i) {
            conn->execute("INSERT INTO Orders VALUES (" + std::to_string(i / 3) + ", " + std::to_string(i % 3) +
                          ", 'item " + std::to_string(i % 25) + "', '" + std::string(500, 'n') + "')");
        }
    }
    OT_Array<Mdb_Tab_Stru> tabs(30, 20);
    Mdb_Tab_Stru* t = tabs.At(0);
    std::strcpy(t->tab_type, "TABLE");
    std::strcpy(t->tab_name, "Orders");
    OT_Array<Mdb_Index_Stru> indexes(30, 20);
    Mdb_Index_Stru rows[] = {
        Index_Row("Orders", "PrimaryKey", "OrderId", 1, 1), Index_Row("Orders", "ItemU", "Item", 0, 1),
        Index_Row("Orders", "PrimaryKey", "LineNo", 1, 1),  Index_Row("Orders", "By Line", "LineNo", 0, 0),
        Index_Row("Orders", "By Item", "Item", 0, 0),
    };
    for (auto& r : rows) *indexes.At(indexes.count) = r;
    Copy_Err_Flag = 0;
    ASSERT_EQ(Rebuild_Indexes(target.c_str(), "", tabs, indexes), 1);
    std::vector<std::string> want = {"正在创建约束 PrimaryKey", "正在创建约束 ItemU",
                                     "******** 创建索引 ItemU 出错了 *********", "正在创建约束 By Line",
                                     "正在创建约束 By Item"};
    EXPECT_EQ(Lines(), want);
    EXPECT_EQ(Copy_Err_Flag, 1);
    auto db = jet::Database::open(target);
    std::vector<std::string> names;
    for (const auto& ix : db->table_def("Orders").indexes) names.push_back(ix.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"By Item", "By Line", "PrimaryKey"}));
}

TEST(Create_Target_Db, PasswordIsTheSourcesOrNone) {
    Scratch s;
    Collecting c;
    std::string with = s.path("with.mdb");
    std::string without = s.path("without.mdb");
    ASSERT_EQ(Create_Target_Db(with.c_str(), "geheim"), 1);
    ASSERT_EQ(Create_Target_Db(without.c_str(), ""), 1);
    EXPECT_TRUE(Is_Jet_Db(with, "geheim"));
    EXPECT_FALSE(Is_Jet_Db(with, ""));
    EXPECT_TRUE(Is_Jet_Db(without, ""));
    EXPECT_TRUE(Lines().empty());
    // An existing file is not overwritten by the step itself.
    EXPECT_EQ(Create_Target_Db(without.c_str(), ""), 0);
    EXPECT_EQ(Lines(), std::vector<std::string>{"创建目标数据库(" + without + ")出错了"});
}

// Jet opens a database without a password whatever password is given, so the
// password of the run says nothing about the source: the new file gets the
// one the source's header holds, and the log says which.
TEST(Repair_Mdb, TheNewFileGetsTheSourcesOwnPassword) {
    Scratch s;
    struct Case {
        const char* source_password;
        const char* given;  // what the run is called with
        const char* line;
    } cases[] = {
        {"", ZOLVAK_DB_PASSWORD, REPAIR_MSG_NO_PASSWORD},  // the window's default
        {"", "", REPAIR_MSG_NO_PASSWORD},
        {"secret", "secret", REPAIR_MSG_SAME_PASSWORD},
        {"长密码", "长密码", REPAIR_MSG_SAME_PASSWORD},
    };
    int n = 0;
    for (const Case& k : cases) {
        std::string src = s.path("src" + std::to_string(++n) + ".mdb");
        Make_Awkward_Db(src, k.source_password);
        std::string target = src + ".new";
        Collecting c;
        EXPECT_EQ(Repair_Mdb(src.c_str(), k.given, target.c_str()), 1) << k.given;
        EXPECT_EQ(From_Completion(Lines(), 4), Completion(src, target, k.line)) << k.given;
        auto db = jet::Database::open(target, k.source_password);
        EXPECT_EQ(db->header().password, k.source_password) << k.given;
    }
}

// A table whose data page is damaged fails alone; the others arrive and the
// run ends with its failure line.
// A data page that does not read: the table is copied without the rows of
// that page, the log says how many, and the run fails.
TEST(Repair_Mdb, ATableWithADamagedPageLosesOnlyThatPage) {
    if (!Have_Fixtures()) GTEST_SKIP() << "fixture folder absent";
    Scratch s;
    std::string src = Copy_Fixture(s, "jet4-indexes.mdb");
    fs::permissions(src, fs::perms::owner_read | fs::perms::owner_write);
    std::uint32_t page = 0;
    {
        auto db = jet::Database::open(src, "");
        jet::TableDef def = db->table_def("Table2");
        db->scan(def, [&](const jet::RowId& id, const jet::Row&) {
            page = id.page;
            return false;
        });
    }
    ASSERT_NE(page, 0u);
    std::string bytes = Read_File(src);
    // A row count the page cannot hold.
    bytes[page * 4096 + 12] = '\xFF';
    bytes[page * 4096 + 13] = '\x7F';
    Write_File(src, bytes);

    std::string target = src + ".new";
    Collecting c;
    EXPECT_EQ(Repair_Mdb(src.c_str(), "", target.c_str()), 0);
    std::string log;
    for (const auto& l : Lines()) log += l + "\n";
    EXPECT_NE(log.find("正在复制对象 Table2，如果数据量大可能需要较多时间（1G约12分钟），请耐心等候\n"
                       "表 Table2 有 3 行无法读取，已跳过\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("复制 Table2 出错了"), std::string::npos) << log;
    EXPECT_EQ(log.find("复制 Table1 出错了"), std::string::npos) << log;
    EXPECT_EQ(log.find("复制 Table3 出错了"), std::string::npos) << log;
    std::vector<std::string> tail = Completion(src, target, REPAIR_MSG_NO_PASSWORD);
    tail.push_back("复制库表过程中有错误发生，请检查日志");
    EXPECT_EQ(From_Completion(Lines(), 5), tail);
    EXPECT_EQ(Copy_Err_Flag, 1);
    auto out = jet::Database::open(target, "");
    EXPECT_NE(out->find_table("Table1"), nullptr);
    EXPECT_NE(out->find_table("Table3"), nullptr);
    EXPECT_NE(out->find_table("Table2"), nullptr);
    EXPECT_EQ(Read_File(src), bytes);
}

// The whole run on a source with blanks and a per-cent sign in its names.
TEST(Repair_Mdb, NamesWithBlanksAndPerCentSignsArriveWhole) {
    Scratch s;
    std::string src = s.path("awkward.mdb");
    Make_Awkward_Db(src, "pw");
    std::string before = Read_File(src);
    std::string target = src + ".new";
    Collecting c;
    EXPECT_EQ(Repair_Mdb(src.c_str(), "pw", target.c_str()), 1);
    EXPECT_EQ(From_Completion(Lines(), 4), Completion(src, target, REPAIR_MSG_SAME_PASSWORD));
    for (const auto& l : Lines()) EXPECT_EQ(l.find("出错"), std::string::npos) << l;
    bool percent = false;
    for (const auto& l : Lines()) percent |= l.find("a%sb") != std::string::npos;
    EXPECT_TRUE(percent);
    EXPECT_EQ(Read_File(src), before);

    auto db = jet::Database::open(target, "pw");
    bool found = false;
    for (const jet::TableInfo& t : db->tables()) {
        if (t.name != "Order Details") continue;
        found = true;
        jet::TableDef def = db->table_def(*t.entry);
        EXPECT_EQ(jet::count_rows(db->file(), def), 6u);
        bool pk = false;
        for (const jet::Index& ix : def.indexes) {
            if (ix.name != "PrimaryKey") continue;
            pk = true;
            EXPECT_TRUE(ix.unique());
            ASSERT_EQ(ix.columns.size(), 2u);
            EXPECT_EQ(def.columns[ix.columns[0].column].name, "Order ID");
            EXPECT_EQ(def.columns[ix.columns[1].column].name, "Line No");
        }
        EXPECT_TRUE(pk);
    }
    EXPECT_TRUE(found);
}

}  // namespace
