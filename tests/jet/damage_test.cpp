// Damaged and hostile files: every failure is a jet::Error with its own
// message, never a crash or a read outside a page. Cases are made from the
// fixtures by truncating them, flipping header bytes and pointing page
// numbers outside the file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <map>
#include <set>

#include "fixture_support.h"
#include "jet/table/database.h"
#include "jet/base/error.h"
#include "jet/page/format.h"

namespace {

namespace fs = std::filesystem;

class TempFile {
public:
    explicit TempFile(const std::string& bytes) {
        path_ = fs::temp_directory_path() /
                ("jet_damage_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++) + ".mdb");
        std::ofstream(path_, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    ~TempFile() { fs::remove(path_); }
    std::string path() const { return path_.string(); }

private:
    fs::path path_;
    static inline int counter_ = 0;
};

// Opens and reads everything: catalog, every definition, every row.
void read_everything(const std::string& path, std::string_view password = {}) {
    auto db = jet::Database::open(path, password);
    for (const auto& t : db->tables()) {
        if (!t.local()) continue;
        jet::TableDef def = db->table_def(*t.entry);
        db->scan(def, [](const jet::RowId&, const jet::Row&) { return true; });
    }
}

// The message of the jet::Error reading `path` raises, or "" when none.
std::string error_of(const std::string& path, std::string_view password = {}) {
    try {
        read_everything(path, password);
    } catch (const jet::Error& e) {
        return e.what();
    }
    return {};
}

std::uint32_t rd32(const std::string& s, std::size_t o) {
    std::uint32_t v;
    std::memcpy(&v, s.data() + o, 4);
    return v;
}
void wr32(std::string& s, std::size_t o, std::uint32_t v) { std::memcpy(s.data() + o, &v, 4); }
void wr16(std::string& s, std::size_t o, std::uint16_t v) { std::memcpy(s.data() + o, &v, 2); }

TEST(Damage, OpenFailuresHaveTheirOwnMessages) {
    TempFile text("this is not a database at all, just some text\n");
    TempFile empty("");
    std::string jet_head(0x20, '\0');
    std::memcpy(jet_head.data(), "\x00\x01\x00\x00Standard Jet DB", 19);
    jet_head[0x14] = 1;
    TempFile short_header(jet_head);  // a Jet 4 header cut after 32 bytes
    jet_head[0x14] = 0x37;
    jet_head.resize(4096);
    TempFile odd_version(jet_head);

    struct Case {
        std::string path;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"/nonexistent/dir/db.mdb", "Could not find file '/nonexistent/dir/db.mdb'."},
        {text.path(), "Unrecognized database format '" + text.path() + "'."},
        {empty.path(), "Unrecognized database format '" + empty.path() + "'."},
        {short_header.path(), "The database header of '" + short_header.path() +
                                  "' is damaged: the file is shorter than one page."},
        {odd_version.path(), "The database header of '" + odd_version.path() +
                                 "' is damaged: unknown version byte 55."},
    };
    for (const auto& c : cases) EXPECT_EQ(error_of(c.path), c.message);
}

TEST(Damage, PasswordIsChecked) {
    SKIP_WITHOUT_FIXTURES();
    const std::string path = fixtures::mdb_path("jet4-password");
    EXPECT_EQ(error_of(path), "Not a valid password.");
    EXPECT_EQ(error_of(path, "PASSWORD"), "Not a valid password.");
    EXPECT_EQ(error_of(path, "password"), "");
    for (const auto& name : fixtures::names()) {
        if (name == "jet4-password") continue;
        EXPECT_EQ(error_of(fixtures::mdb_path(name)), "") << name;
    }
}

TEST(Damage, FlippedHeaderBytes) {
    SKIP_WITHOUT_FIXTURES();
    const std::string good = fixtures::read_file(fixtures::mdb_path("jet4-nopassword"));
    // Magic, engine name, version, and the masked creation date (which also
    // masks the password) each fail with their own message.
    // The masked area is an RC4 stream: flipping a stored bit flips the same
    // bit of the plain value. The creation date 0x40E5.... becomes 0x7FF5....
    // (not a number) with the flips at 0x78 and 0x79.
    struct Case {
        std::vector<std::pair<std::size_t, std::uint8_t>> flips;
        std::string message_part;
    };
    const std::vector<Case> cases = {
        {{{0x01, 0x40}}, "Unrecognized database format"},
        {{{0x06, 0x40}}, "Unrecognized database format"},
        {{{0x14, 0x40}}, "is damaged: unknown version byte"},
        {{{0x78, 0x10}, {0x79, 0x3F}}, "is damaged: the creation date is not a valid date"},
        {{{0x72 + 4, 0x40}}, "Not a valid password."},
    };
    for (const auto& c : cases) {
        std::string bad = good;
        for (auto [offset, mask] : c.flips) bad[offset] = static_cast<char>(bad[offset] ^ mask);
        TempFile f(bad);
        EXPECT_NE(error_of(f.path()).find(c.message_part), std::string::npos)
            << "offset " << c.flips[0].first << ": " << error_of(f.path());
    }
}

TEST(Damage, TruncatedFilesFailCleanly) {
    SKIP_WITHOUT_FIXTURES();
    for (const auto& name : fixtures::names()) {
        const std::string good = fixtures::read_file(fixtures::mdb_path(name));
        const auto o = fixtures::oracle(name);
        const std::size_t page = static_cast<std::size_t>(o["page_size"].as_int());
        for (std::size_t pages : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{6},
                                  good.size() / page / 2, good.size() / page - 1}) {
            TempFile f(good.substr(0, pages * page + page / 3));
            const std::string msg = error_of(f.path(), fixtures::password(o));
            // Cut short, the file either fails with a message or (when only
            // unused pages are lost) still reads.
            if (pages < 3) {
                EXPECT_NE(msg, "") << name << " cut to " << pages << " pages";
            }
        }
    }
}

TEST(Damage, PageNumbersOutsideTheFile) {
    SKIP_WITHOUT_FIXTURES();
    const std::string path = fixtures::mdb_path("jet4-overflow");
    const std::string good = fixtures::read_file(path);
    auto db = jet::Database::open(path);
    const jet::TableDef def = db->table_def("Table1");
    const std::size_t ps = 4096;
    const std::size_t tdef = std::size_t{def.tdef_page} * ps;
    const auto& fmt = jet::format_info(jet::Format::Jet4);

    struct Case {
        std::string what;
        std::function<void(std::string&)> damage;
        std::string message_part;
    };
    const std::vector<Case> cases = {
        {"usage map pointer", [&](std::string& s) { wr32(s, tdef + fmt.tdef_used_pages_offset, 0x7FFFFF00u); },
         "lies outside the file"},
        {"TDEF next page", [&](std::string& s) { wr32(s, tdef + 4, 0x00ABCDEFu); }, "lies outside the file"},
        {"overflow pointer", [&](std::string& s) {
             // Row 2 of the first data page is an overflow pointer.
             const std::size_t dp = 27 * ps;
             const std::uint16_t off = static_cast<std::uint16_t>(rd32(s, dp + 14 + 4) & 0x1FFF);
             wr32(s, dp + off, 0x7FFFFF00u);
         }, "lies outside the file"},
        {"row offset past the page", [&](std::string& s) { wr16(s, 27 * ps + 14, 0x1FFF); },
         "Damaged data page"},
        {"row count past the page", [&](std::string& s) { wr16(s, 27 * ps + 12, 0x7FFF); },
         "does not fit the page"},
        {"column count", [&](std::string& s) { wr16(s, tdef + fmt.tdef_num_cols_offset, 0x0FFF); },
         "Damaged data"},
    };
    for (const auto& c : cases) {
        std::string bad = good;
        c.damage(bad);
        TempFile f(bad);
        const std::string msg = error_of(f.path());
        EXPECT_NE(msg.find(c.message_part), std::string::npos) << c.what << ": " << msg;
        EXPECT_NE(msg.find("Table1"), std::string::npos) << c.what << ": " << msg;
    }
}

// Seeded random damage over the small fixtures: every outcome is success or
// a jet::Error (anything else escapes and fails the test).
TEST(Damage, RandomByteFlips) {
    SKIP_WITHOUT_FIXTURES();
    std::mt19937 rng(20261209);
    for (const auto& name : fixtures::names()) {
        const std::string good = fixtures::read_file(fixtures::mdb_path(name));
        if (good.size() > 500000) continue;
        const std::string pw = fixtures::password(fixtures::oracle(name));
        for (int round = 0; round < 40; ++round) {
            std::string bad = good;
            const int flips = 1 + static_cast<int>(rng() % 16);
            for (int k = 0; k < flips; ++k) {
                // Mostly the structural pages at the start of the file.
                const std::size_t limit = (rng() % 4 == 0) ? bad.size() : std::min<std::size_t>(bad.size(), 16 * 4096);
                bad[rng() % limit] = static_cast<char>(rng());
            }
            TempFile f(bad);
            (void)error_of(f.path(), pw);
        }
    }
}

// The tables of a file found by their definitions, as a repair does when
// the catalog is damaged: with the catalog's own definition overwritten,
// every user table of every fixture is found (under the name of its
// definition's page) and no table of the engine or of Access is; a sound
// file opened the same way finds nothing and keeps its catalog.
TEST(Damage, TablesFoundByTheirDefinitions) {
    SKIP_WITHOUT_FIXTURES();
    for (const auto& name : fixtures::all_names()) {
        SCOPED_TRACE(name);
        const std::string path = fixtures::mdb_path(name);
        const std::string pw = fixtures::password(fixtures::oracle(name));
        std::set<std::uint32_t> user;
        std::map<std::uint32_t, std::uint64_t> rows;  // by definition page
        std::size_t catalog_rows = 0;
        std::size_t page_size = 0;
        {
            auto db = jet::Database::open(path, pw);
            page_size = db->file().page_size();
            catalog_rows = db->catalog().size();
            for (const auto& t : db->tables()) {
                if (t.kind != jet::TableKind::kTable) continue;
                user.insert(t.entry->tdef_page());
                rows[t.entry->tdef_page()] = jet::count_rows(db->file(), db->table_def(*t.entry));
            }
        }
        {
            auto db = jet::Database::open(path, pw, true);
            EXPECT_TRUE(db->recovered_tables().empty());
            EXPECT_EQ(db->catalog().size(), catalog_rows);
        }
        std::string bad = fixtures::read_file(path);
        std::fill(bad.begin() + static_cast<std::ptrdiff_t>(2 * page_size + 8),
                  bad.begin() + static_cast<std::ptrdiff_t>(3 * page_size), '\x5A');
        TempFile f(bad);
        auto db = jet::Database::open(f.path(), pw, true);
        EXPECT_GT(db->catalog_rows_lost(), 0u);
        std::set<std::uint32_t> found;
        for (const auto& r : db->recovered_tables()) {
            found.insert(r.tdef_page);
            EXPECT_EQ(r.name, "Recovered_Table_" + std::to_string(r.tdef_page));
            // Listed as a table, its definition and rows read.
            const jet::TableDef def = db->table_def(r.name);
            EXPECT_EQ(def.tdef_page, r.tdef_page);
            EXPECT_EQ(jet::count_rows(db->file(), def), rows[r.tdef_page]);
        }
        EXPECT_EQ(found, user);
    }
}

}  // namespace
