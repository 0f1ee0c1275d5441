// RC4-encoded databases ("Encrypt Database"): every page but the header is
// encoded with the database key XOR its page number. Our reader decodes
// them, our writer writes them, and mdbtools and mdb-reader read what we
// encoded as they read the plain file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "jet/base/error.h"
#include "jet/table/database.h"
#include "jet/table/salvage.h"
#include "jet/write/encode_file.h"
#include "jet/write/sample.h"
#include "jet/write/writer.h"
#include "scratch_dir.h"
#include "write_readers.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kKey = 0x5A3C91E7;

// Every user table of `path` as mdb-export prints it.
std::map<std::string, std::string> mdb_export_all(const std::string& path) {
    std::map<std::string, std::string> out;
    auto listed = fixtures::run("mdb-tables -1 " + fixtures::sh_quote(path));
    EXPECT_EQ(listed.status, 0) << path;
    std::size_t at = 0;
    while (at < listed.out.size()) {
        std::size_t nl = listed.out.find('\n', at);
        if (nl == std::string::npos) nl = listed.out.size();
        const std::string name = listed.out.substr(at, nl - at);
        at = nl + 1;
        if (name.empty()) continue;
        out[name] = fixtures::run("LC_ALL=C.UTF-8 mdb-export -b hex " + fixtures::sh_quote(path) + " " +
                                  fixtures::sh_quote(name))
                        .out;
    }
    return out;
}

// What mdb-reader sees in `path` (empty when it is not installed).
std::string mdb_reader_dump(const std::string& path, const std::string& pw) {
    if (!writer_test::have_mdb_reader()) return {};
    auto r = fixtures::run("cd " + fixtures::sh_quote(writer_test::readers_dir()) + " && node dump_tables.mjs " +
                           fixtures::sh_quote(path) + " " + fixtures::sh_quote(pw));
    EXPECT_EQ(r.status, 0) << "mdb-reader failed on " << path;
    return r.out;
}

// Every row of every user table as our reader gives it, as text.
std::map<std::string, std::vector<std::string>> our_rows(const std::string& path, const std::string& pw) {
    std::map<std::string, std::vector<std::string>> out;
    auto db = jet::Database::open(path, pw);
    for (const auto& t : db->tables()) {
        if (t.kind != jet::TableKind::kTable) continue;
        const jet::TableDef def = db->table_def(*t.entry);
        for (const jet::Row& row : db->read_all(def)) {
            std::string line;
            for (std::size_t i = 0; i < row.size(); ++i) {
                const auto cell = writer_test::export_cell(row[i], def.columns[i]);
                line += cell.text + "|";
            }
            out[t.name].push_back(line);
        }
    }
    return out;
}

// A fixture encoded page by page reads as the plain fixture, with our reader
// and with mdbtools; taking the encoding off gives the fixture back byte for
// byte. Jet 3 and Jet 4, with and without a password.
TEST(Encoded, FixtureEncodedPageByPageReadsAsThePlainFile) {
    SKIP_WITHOUT_FIXTURES();
    zolvak_test::ScratchDir dir("zolvak-encoded");
    for (const std::string name : {"jet4-types", "jet4-password", "jet4-memo-ole", "jet3-basic"}) {
        SCOPED_TRACE(name);
        const std::string plain = fixtures::mdb_path(name);
        const std::string pw = fixtures::password(fixtures::oracle(name));
        const std::string copy = (dir.path() / (name + ".mdb")).string();
        fs::copy_file(plain, copy);
        jet::set_database_key(copy, kKey);

        const std::string before = zolvak_test::file_bytes(plain), after = zolvak_test::file_bytes(copy);
        ASSERT_EQ(before.size(), after.size());
        const auto page = static_cast<std::size_t>(jet::Database::open(plain, pw)->header().page_size);
        EXPECT_NE(before.substr(2 * page, page), after.substr(2 * page, page)) << "page 2 is not encoded";

        auto db = jet::Database::open(copy, pw);
        EXPECT_EQ(db->header().database_key, kKey);
        EXPECT_EQ(db->header().password, jet::Database::open(plain, pw)->header().password);
        EXPECT_EQ(our_rows(copy, pw), our_rows(plain, pw));
        if (writer_test::have_command("mdb-export")) EXPECT_EQ(mdb_export_all(copy), mdb_export_all(plain));
        EXPECT_EQ(mdb_reader_dump(copy, pw), mdb_reader_dump(plain, pw));
        if (!pw.empty()) {
            try {
                jet::Database::open(copy, "wrong");
                ADD_FAILURE() << "opened with a wrong password";
            } catch (const jet::Error& e) {
                EXPECT_STREQ(e.what(), "Not a valid password.");
            }
        }
        // The walk over page heads (a repair's search for definitions when
        // the catalog is damaged) sees them decoded, as page() does.
        auto file = jet::PageFile::open(copy, pw);
        std::size_t heads = 0;
        file->for_each_page_head([&](std::uint32_t n, std::span<const std::uint8_t> head) {
            const auto p = file->page(n);
            EXPECT_TRUE(std::equal(head.begin(), head.end(), p->bytes.begin())) << "head of page " << n;
            ++heads;
        });
        EXPECT_EQ(heads, file->page_count() - 1);
        auto tdef_pages = [](jet::PageFile& f) {
            std::vector<std::uint32_t> pages;
            for (const auto& found : jet::find_table_defs(f)) pages.push_back(found.tdef_page);
            return pages;
        };
        const auto found = tdef_pages(*file);
        EXPECT_FALSE(found.empty());
        EXPECT_EQ(found, tdef_pages(*jet::PageFile::open(plain, pw)));
        file.reset();
        jet::set_database_key(copy, 0);
        EXPECT_TRUE(zolvak_test::file_bytes(copy) == before) << "decoding does not give the fixture back";
    }
}

// A database our writer encodes while it writes: the readers read it as the
// same database written plain, and it is encoded on disk.
TEST(Encoded, WriterEncodesWhatItWrites) {
    zolvak_test::ScratchDir dir("zolvak-encoded");
    const std::string plain = (dir.path() / "plain.mdb").string();
    const std::string coded = (dir.path() / "coded.mdb").string();
    jet::SampleOptions options;
    options.rows = 300;
    options.password = "pw";
    jet::write_sample_database(plain, options);
    options.database_key = kKey;
    jet::write_sample_database(coded, options);

    EXPECT_EQ(jet::Database::open(coded, "pw")->header().database_key, kKey);
    const std::string a = zolvak_test::file_bytes(plain), b = zolvak_test::file_bytes(coded);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_NE(a.substr(2 * 4096, 4096), b.substr(2 * 4096, 4096)) << "page 2 is not encoded";

    EXPECT_EQ(our_rows(coded, "pw"), our_rows(plain, "pw"));
    if (writer_test::have_command("mdb-export")) EXPECT_EQ(mdb_export_all(coded), mdb_export_all(plain));
    if (!writer_test::have_mdb_reader()) std::printf("mdb-reader is not installed: its check skipped\n");
    EXPECT_EQ(mdb_reader_dump(coded, "pw"), mdb_reader_dump(plain, "pw"));

    // Written in place later, it stays encoded: a row added through the
    // writer reads back, and decoding the file gives a plain database.
    {
        auto w = jet::DatabaseWriter::open(coded, "pw");
        EXPECT_EQ(w->database_key(), kKey);
        const jet::TableHandle t = w->table("Customers");
        std::vector<jet::Value> row(w->table_spec(t).columns.size(), jet::Null{});
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (w->table_spec(t).columns[i].name == "Name") row[i] = std::string("Encoded, still");
        }
        w->insert_row(t, row);
        w->close();
    }
    auto rows = our_rows(coded, "pw")["Customers"];
    EXPECT_EQ(rows.size(), our_rows(plain, "pw")["Customers"].size() + 1);
    if (writer_test::have_command("mdb-export")) {
        EXPECT_NE(mdb_export_all(coded)["Customers"].find("Encoded, still"), std::string::npos);
    }
    jet::set_database_key(coded, 0);
    EXPECT_EQ(jet::Database::open(coded, "pw")->header().database_key, 0u);
    EXPECT_EQ(our_rows(coded, "pw")["Customers"], rows);
}

}  // namespace
