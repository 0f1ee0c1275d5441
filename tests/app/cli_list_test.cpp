// `mdbrepair --list` end to end: the JSON inventory of every fixture against
// its oracle, and the exit codes and messages of the failure paths.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "../jet/fixture_support.h"

namespace {

std::string binary() { return std::string(ZOLVAK_BINARY_DIR) + "/app/mdbrepair"; }

fixtures::CommandResult list(const std::string& args) {
    return fixtures::run(binary() + " " + args + " 2>/dev/null");
}

std::string stderr_of(const std::string& args) {
    return fixtures::run(binary() + " " + args + " 2>&1 >/dev/null").out;
}

std::vector<std::string> keys(const testjson::Value& v) {
    std::vector<std::string> k;
    for (const auto& [name, _] : v.members) k.push_back(name);
    return k;
}

class CliListTest : public ::testing::TestWithParam<std::string> {};

TEST_P(CliListTest, InventoryAgreesWithOracle) {
    SKIP_WITHOUT_FIXTURES();
    const auto o = fixtures::oracle(GetParam());
    const std::string pw = fixtures::password(o);
    const auto r = list("--list " + (pw.empty() ? "" : "--password " + fixtures::sh_quote(pw) + " ") +
                        fixtures::sh_quote(fixtures::mdb_path(GetParam())));
    ASSERT_EQ(r.status, 0);
    const auto j = testjson::parse(r.out);
    EXPECT_EQ(keys(j), (std::vector<std::string>{"format", "page_size", "code_page", "sort_order", "tables"}));
    static const char* const kFormats[] = {"Jet3", "Jet4", "ACE12", "ACE14", "ACE15", "ACE16", "ACE17"};
    const auto version = o["jet_version"]["header_byte_0x14"].as_int();
    ASSERT_TRUE(version >= 0 && version <= 6);
    EXPECT_EQ(j["format"].text, kFormats[version]);
    EXPECT_EQ(j["page_size"].as_int(), o["page_size"].as_int());
    EXPECT_EQ(j["code_page"].as_int(), o["header"]["code_page_0x3c"].as_int());
    EXPECT_EQ(j["sort_order"].as_int(), o["header"]["sort_order_id"].as_int());

    // Tables and their types (as a set: see docs/jet-catalog.md on order).
    std::set<std::pair<std::string, std::string>> want, got;
    for (const auto& t : o["tables"].items) {
        std::string type = "TABLE";
        if (t["kind"].text == "system") type = t["flags"].as_int() < 0 ? "SYSTEM TABLE" : "ACCESS TABLE";
        want.emplace(t["name"].text, type);
    }
    for (const auto& q : o["queries"].items)
        if (q["flags"].as_int() == 0) want.emplace(q["name"].text, "VIEW");
    for (const auto& t : j["tables"].items) {
        EXPECT_EQ(keys(t), (std::vector<std::string>{"name", "type", "rows", "columns", "indexes"}));
        got.emplace(t["name"].text, t["type"].text);
    }
    EXPECT_EQ(got, want);

    for (const auto& t : j["tables"].items) {
        const std::string& name = t["name"].text;
        const auto* details = o["table_details"].find(name);
        if (!details) {
            EXPECT_TRUE(t["rows"].is_null()) << name;
            continue;
        }
        SCOPED_TRACE(GetParam() + " / " + name);
        EXPECT_EQ(t["rows"].as_int(), (*details)["row_count"].as_int());
        const auto& wc = (*details)["columns"].items;
        const auto& gc = t["columns"].items;
        ASSERT_EQ(gc.size(), wc.size());
        for (std::size_t i = 0; i < wc.size(); ++i) {
            EXPECT_EQ(gc[i]["name"].text, wc[i]["name"].text);
            // mdb-schema names the ACE types by their type byte.
            static const std::map<std::string, std::string> kAceTypes = {
                {"Complex", "Unknown_0012"}, {"Large Number", "Unknown_0013"},
                {"Date/Time Extended", "Unknown_0014"}};
            const auto ace = kAceTypes.find(gc[i]["type"].text);
            EXPECT_EQ(ace != kAceTypes.end() ? ace->second : gc[i]["type"].text, wc[i]["type"].text);
            // A calculated Memo result is a Text column of length 0 (ace14-calc
            // AllNames); mdb-schema shows it as 255.
            if (wc[i]["type"].text == "Text") {
                if (gc[i]["size"].as_int() != 0) EXPECT_EQ(gc[i]["size"].as_int(), wc[i]["size"].as_int());
            } else if (wc[i]["type"].text != "Binary") {
                EXPECT_TRUE(gc[i]["size"].is_null());
            }
        }
        const auto& wi = (*details)["indexes"].items;
        const auto& gi = t["indexes"].items;
        ASSERT_EQ(gi.size(), wi.size());
        for (std::size_t i = 0; i < wi.size(); ++i) {
            EXPECT_EQ(gi[i]["name"].text, wi[i]["name"].text);
            ASSERT_EQ(gi[i]["columns"].items.size(), wi[i]["columns"].items.size());
            for (std::size_t k = 0; k < wi[i]["columns"].items.size(); ++k) {
                EXPECT_EQ(gi[i]["columns"].items[k]["name"].text, wi[i]["columns"].items[k]["name"].text);
                EXPECT_EQ(gi[i]["columns"].items[k]["desc"].b, wi[i]["columns"].items[k]["desc"].b);
            }
            EXPECT_EQ(gi[i]["unique"].b, wi[i]["unique"].b);
            EXPECT_EQ(gi[i]["primary_key"].b, wi[i]["primary_key"].b);
            EXPECT_EQ(gi[i]["foreign_key"].b, wi[i]["foreign_key"].b);
        }
    }
}

std::vector<std::string> fixture_names() {
    auto n = fixtures::all_names();
    if (n.empty()) n.push_back("none");
    return n;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CliListTest, ::testing::ValuesIn(fixture_names()),
                         [](const auto& info) {
                             std::string s = info.param;
                             for (char& c : s)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return s;
                         });

TEST(CliList, PasswordFixtureOpensOnlyWithItsPassword) {
    SKIP_WITHOUT_FIXTURES();
    const std::string file = fixtures::sh_quote(fixtures::mdb_path("jet4-password"));
    EXPECT_EQ(list("--list --password password " + file).status, 0);
    for (const std::string args : {"--list ", "--list --password Password ", "--list --password x "}) {
        EXPECT_EQ(list(args + file).status, 1) << args;
        EXPECT_EQ(stderr_of(args + file), "mdbrepair: Not a valid password.\n") << args;
    }
    // A file without a password opens with or without one.
    const std::string plain = fixtures::sh_quote(fixtures::mdb_path("jet4-nopassword"));
    EXPECT_EQ(list("--list " + plain).status, 0);
}

TEST(CliList, FailuresAndUsage) {
    struct Case {
        std::string args;
        int status;
        std::string message_part;
    };
    const std::vector<Case> cases = {
        {"--list /nonexistent/x.mdb", 1, "Could not find file '/nonexistent/x.mdb'."},
        {"--list " + std::string(ZOLVAK_SOURCE_DIR) + "/CMakeLists.txt", 1, "Unrecognized database format"},
        {"", 2, "usage:"},
        {"--list", 2, "no FILE"},
        {"--list --password", 2, "--password"},
        {"--frobnicate x.mdb", 2, "--frobnicate"},
        {"--sample", 2, "no FILE"},
        {"--list --sample x.mdb", 2, "either --list or --sample"},
        {"--list --rows 5 x.mdb", 2, "--rows goes with --sample"},
        {"--list a.mdb b.mdb", 2, "only one FILE"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(list(c.args).status, c.status) << c.args;
        EXPECT_NE(stderr_of(c.args).find(c.message_part), std::string::npos) << c.args;
    }
}

}  // namespace
