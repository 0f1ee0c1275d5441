// Repairs of damaged copies of the real fixtures (made by damage_gen.h):
// every row of the sound file that lies on pages the damage did not touch
// is in the new file, no row that was never in the file is, the source is
// not written, and a run that lost anything says so and fails.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "../jet/damage_gen.h"
#include "app/run/repair_run.h"
#include "jet/base/error.h"
#include "jet/table/database.h"
#include "repair_support.h"

namespace {

using namespace repair_test;

const char* const kLostLine = "复制库表过程中有错误发生，请检查日志";

std::vector<std::string> Salvage_Fixtures() {
    std::vector<std::string> out;
    if (!Have_Fixtures()) return out;
    for (const auto& e : fs::directory_iterator(Fixtures())) {
        // The encrypted ACE fixtures are left out: damage to their pages is
        // damage to ciphertext, which the page decryption turns into whole
        // pages of noise (the plain ACE files cover ACE's own layouts).
        const std::string name = e.path().filename().string();
        if (e.path().extension() == ".mdb" ||
            (e.path().extension() == ".accdb" && !name.ends_with("-password.accdb")))
            out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string Salvage_Password(const std::string& fixture) {
    return fixture == "jet4-password.mdb" ? "password" : "";
}

// Per damage kind, over all copies.
struct Kind_Tally {
    int variants = 0;
    int lossless = 0;          // runs that ended with result 1
    std::size_t expected = 0;  // sound rows on undamaged pages
    std::size_t recovered = 0; // of those, in the new file
    std::size_t invented = 0;  // rows of the new file that match no sound row
};

// The outcome of comparing the new file with the sound one.
struct Comparison {
    std::size_t expected = 0, recovered = 0, unmatched = 0, copied = 0;
    bool whole = true;  // every sound row back with every value
    std::size_t missing_total = 0;  // sound rows not in the new file at all
    std::string missing;  // first missing rows, for the message
};

Comparison Compare(const damage::Layout& sound, const damage::Variant& v, const std::string& target,
                   const std::string& password) {
    Comparison c;
    // Sound rows by table and key; each can be matched once.
    std::map<std::string, std::multimap<std::string, std::size_t>> by_key;
    for (std::size_t i = 0; i < sound.rows.size(); ++i)
        by_key[sound.rows[i].table].emplace(sound.rows[i].key.key, i);
    std::vector<bool> matched(sound.rows.size(), false);
    std::vector<bool> intact(sound.rows.size(), false);
    if (fs::exists(target)) {
        auto db = jet::Database::open(target, password);
        for (const jet::TableInfo& t : db->tables()) {
            if (t.kind != jet::TableKind::kTable) continue;
            jet::TableDef def = db->table_def(*t.entry);
            // A table found without its catalog row comes back under the
            // name of its definition's page: compare it with that table.
            std::string name = t.name;
            const std::string found = "Recovered_Table_";
            if (name.compare(0, found.size(), found) == 0) {
                const std::uint32_t page = static_cast<std::uint32_t>(std::stoul(name.substr(found.size())));
                for (const damage::TableLayout& tl : sound.tables)
                    if (tl.tdef_page == page) name = tl.name;
            }
            auto& keys = by_key[name];
            db->scan(def, [&](const jet::RowId&, const jet::Row& row) {
                ++c.copied;
                const damage::RowKey k = damage::row_key(def, row);
                auto [lo, hi] = keys.equal_range(k.key);
                for (auto it = lo; it != hi; ++it) {
                    const std::size_t i = it->second;
                    if (matched[i]) continue;
                    const auto& want = sound.rows[i].key.long_values;
                    bool ok = want.size() == k.long_values.size();
                    bool same = ok;
                    for (std::size_t j = 0; ok && j < want.size(); ++j) {
                        if (k.long_values[j] == want[j]) continue;
                        same = false;
                        ok = k.long_values[j] == damage::value_key(jet::Null{});
                    }
                    if (!ok) continue;
                    matched[i] = true;
                    intact[i] = same;
                    return true;
                }
                ++c.unmatched;
                return true;
            });
        }
    }
    for (std::size_t i = 0; i < sound.rows.size(); ++i) {
        if (!intact[i]) c.whole = false;
        if (!matched[i]) ++c.missing_total;
        if (!damage::must_survive(v, sound.rows[i])) continue;
        ++c.expected;
        if (matched[i]) {
            ++c.recovered;
        } else if (c.missing.size() < 300) {
            c.missing += " " + sound.rows[i].table;
        }
    }
    return c;
}

// Kinds whose damage a repair must get around completely: every sound row
// on an undamaged page comes back (a table whose catalog row is lost comes
// back under the name of its definition's page; one whose definition lay
// past the cut of a truncated copy is lost with it).
bool Must_Recover_All(const std::string& kind) {
    return kind == "usage_map" || kind == "data_page" || kind == "long_value" ||
           kind == "row_pointers" || kind == "cycle" || kind == "huge_count" ||
           kind == "bit_flips" || kind == "tdef" || kind == "header" || kind == "catalog" ||
           kind == "truncation" || kind == "index";
}

// The tally of every copy repaired in this process, by kind of damage;
// printed when the program ends (a run of the whole program prints the
// rates over all fixtures).
std::map<std::string, Kind_Tally>& Tally() {
    static std::map<std::string, Kind_Tally> tally;
    return tally;
}

class Print_Tally : public ::testing::Environment {
  public:
    void TearDown() override {
        if (Tally().empty()) return;
        std::printf("%-13s %8s %8s %9s %9s %8s %8s\n", "kind", "copies", "exit0", "expected",
                    "recovered", "rate", "altered");
        for (const auto& [kind, k] : Tally()) {
            std::printf("%-13s %8d %8d %9zu %9zu %7.1f%% %8zu\n", kind.c_str(), k.variants,
                        k.lossless, k.expected, k.recovered,
                        k.expected ? 100.0 * static_cast<double>(k.recovered) /
                                         static_cast<double>(k.expected)
                                   : 100.0,
                        k.invented);
        }
    }
};
const auto* const kPrintTally = ::testing::AddGlobalTestEnvironment(new Print_Tally);

// One fixture's damaged copies per test, so that each stays short.
class Salvage : public ::testing::TestWithParam<std::string> {};

// The damaged copies of one fixture, in kDamageShards parts that run side
// by side (copy k of the fixture's list goes to part k % kDamageShards):
// the largest fixture's copies take minutes under the sanitizers.
constexpr int kDamageShards = 4;

class Salvage_Damage : public ::testing::TestWithParam<std::tuple<std::string, int>> {};

TEST_P(Salvage_Damage, DamagedCopies) {
    std::map<std::string, Kind_Tally>& tally = Tally();
    Scratch s;
    int n = 0;
    const int shard = std::get<1>(GetParam());
    int index = 0;
    {
        const std::string fixture = std::get<0>(GetParam());
        const std::string password = Salvage_Password(fixture);
        const std::string sound_path = Fixtures() + "/" + fixture;
        const damage::Layout layout = damage::analyse(sound_path, password);
        const std::string sound = Read_File(sound_path);
        for (const damage::Variant& v : damage::make_variants(sound, layout)) {
            if (index++ % kDamageShards != shard) continue;
            SCOPED_TRACE(fixture + ": " + v.name);
            const std::string src = s.path("v" + std::to_string(n++) + ".mdb");
            const std::string target = src + ".new";
            Write_File(src, v.bytes);
            int result;
            std::string log;
            {
                Collecting c;
                result = Repair_Mdb(src.c_str(), password.c_str(), target.c_str());
                for (const auto& l : Lines()) log += l + "\n";
            }
            EXPECT_EQ(Read_File(src), v.bytes) << "the source was written";
            Comparison cmp;
            try {
                cmp = Compare(layout, v, target, password);
            } catch (const jet::Error& e) {
                ADD_FAILURE() << "the new file does not read: " << e.what() << "\n" << log;
                continue;
            }
            Kind_Tally& k = tally[v.kind];
            ++k.variants;
            k.expected += cmp.expected;
            k.recovered += cmp.recovered;
            k.invented += cmp.unmatched;
            if (result == 1) ++k.lossless;

            // A run that ends as success lost nothing.
            // Bit flips inside a value leave a row that no check can tell
            // from the one written: such a row comes back altered (and a
            // run may end as success), but every other row comes back.
            if (result == 1 && !v.may_alter) {
                EXPECT_TRUE(cmp.whole) << "success reported, rows or values lost\n" << log;
                EXPECT_EQ(cmp.unmatched, 0u) << log;
            }
            if (result == 1 && v.may_alter) {
                EXPECT_LE(cmp.missing_total, cmp.unmatched) << "success reported, rows lost\n" << log;
            }
            // A loss always shows: the run fails, and when it got through
            // its steps it ends with the failure line.
            if (!cmp.whole && !v.may_alter) {
                EXPECT_EQ(result, 0) << log;
                if (log.find("修复完成") != std::string::npos) {
                    EXPECT_NE(log.find(kLostLine), std::string::npos) << log;
                }
            }
            // No row that was never in the file; bit flips inside row data
            // alter rows in ways no check can see, but only rows of the hit page.
            if (!v.may_alter) {
                EXPECT_EQ(cmp.unmatched, 0u) << log;
            }
            if (Must_Recover_All(v.kind)) {
                EXPECT_EQ(cmp.recovered, cmp.expected) << "missing:" << cmp.missing << "\n" << log;
            }
            fs::remove(src);
            fs::remove(target);
        }
    }
}

// A copy whose header page is all zeros: the header is rebuilt from the
// rest of the file, the run says so and fails, and every user table of the
// new file exports with mdb-export exactly as the sound file's does.
TEST_P(Salvage, ZeroedHeaderExportsLikeTheSoundFile) {
    const std::string fixture = GetParam();
    const std::string password = Salvage_Password(fixture);
    const std::string sound_path = Fixtures() + "/" + fixture;
    Scratch s;
    std::string bytes = Read_File(sound_path);
    const std::size_t page = jet::Database::open(sound_path, password)->file().page_size();
    std::fill(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(page), '\0');
    const std::string src = s.path("zeroed.mdb");
    const std::string target = src + ".new";
    Write_File(src, bytes);
    int result;
    std::vector<std::string> lines;
    {
        Collecting c;
        result = Repair_Mdb(src.c_str(), password.c_str(), target.c_str());
        lines = Lines();
    }
    std::string log;
    for (const auto& l : lines) log += l + "\n";
    EXPECT_EQ(result, 0) << log;
    EXPECT_NE(log.find("数据库文件头已损坏，已根据文件内容重建"), std::string::npos) << log;
    EXPECT_NE(log.find(kLostLine), std::string::npos) << log;
    auto user_tables = [&](const std::string& path) {
        std::vector<std::string> names;
        auto db = jet::Database::open(path, password);
        for (const jet::TableInfo& t : db->tables())
            if (t.kind == jet::TableKind::kTable) names.push_back(t.name);
        std::sort(names.begin(), names.end());
        return names;
    };
    const std::vector<std::string> tables = user_tables(sound_path);
    ASSERT_TRUE(fs::exists(target)) << log;
    EXPECT_EQ(user_tables(target), tables);
    for (const std::string& table : tables) {
        const std::set<std::string> skip = Calculated_Long_Columns(sound_path, password, table);
        const std::string from = Without_Columns(Export(sound_path, table), skip);
        const std::string to = Without_Columns(Export(target, table), skip);
        if (from != to) EXPECT_EQ(Normalised(to), Normalised(from)) << "table " << table;
    }
}

// Without the fixture folder there is nothing to damage.
TEST(SalvageFixtures, Present) {
    if (!Have_Fixtures()) GTEST_SKIP() << "fixture folder absent";
    EXPECT_FALSE(Salvage_Fixtures().empty());
}

std::string Salvage_Test_Name(const ::testing::TestParamInfo<std::string>& info) {
    std::string out;
    for (char c : info.param.substr(0, info.param.rfind('.')))
        out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return out;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Salvage, ::testing::ValuesIn(Salvage_Fixtures()), Salvage_Test_Name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Salvage);

std::string Shard_Name(const ::testing::TestParamInfo<std::tuple<std::string, int>>& info) {
    return Salvage_Test_Name({std::get<0>(info.param), info.index}) + "_part" + std::to_string(std::get<1>(info.param) + 1) +
           "of" + std::to_string(kDamageShards);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Salvage_Damage,
                         ::testing::Combine(::testing::ValuesIn(Salvage_Fixtures()), ::testing::Range(0, kDamageShards)),
                         Shard_Name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Salvage_Damage);

}  // namespace
