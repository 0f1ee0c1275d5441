// Runs the fuzz target over the kept corpus and the small fixtures, so the
// ordinary test suite (and its sanitizer run) exercises it without libFuzzer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "../jet/damage_gen.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> read_bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::size_t run_dir(const fs::path& dir, const std::string& ext, std::uintmax_t max_size) {
    std::size_t n = 0;
    if (!fs::exists(dir)) return 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (!e.is_regular_file() || e.file_size() > max_size) continue;
        if (!ext.empty() && e.path().extension() != ext) continue;
        const auto bytes = read_bytes(e.path());
        SCOPED_TRACE(e.path().string());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++n;
    }
    return n;
}

TEST(FuzzCorpus, KeptInputsRunClean) {
    const std::size_t n = run_dir(ZOLVAK_FUZZ_CORPUS, "", 1 << 20);
    RecordProperty("inputs", static_cast<int>(n));
}

TEST(FuzzCorpus, SmallFixturesRunClean) {
    if (!fs::exists(ZOLVAK_FIXTURES_DIR)) GTEST_SKIP() << "fixtures folder " << ZOLVAK_FIXTURES_DIR << " is absent";
    EXPECT_GT(run_dir(ZOLVAK_FIXTURES_DIR, ".mdb", 600000), 0u);
    // ACE files (Access 2007 and later), the password-protected ones among them.
    EXPECT_GT(run_dir(ZOLVAK_FIXTURES_DIR, ".accdb", 600000), 0u);
}

// The two Office-encrypted ACE fixtures, whole and with their encryption
// record cut or bent at every few bytes.
TEST(FuzzCorpus, EncryptedFixturesRunClean) {
    if (!fs::exists(ZOLVAK_FIXTURES_DIR)) GTEST_SKIP() << "fixtures folder " << ZOLVAK_FIXTURES_DIR << " is absent";
    std::size_t n = 0;
    for (const char* name : {"ace14-agile-password.accdb", "ace14-rc4-password.accdb"}) {
        const fs::path p = fs::path(ZOLVAK_FIXTURES_DIR) / name;
        if (!fs::exists(p)) continue;
        auto bytes = read_bytes(p);
        SCOPED_TRACE(name);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++n;
        // The record: its length word and its first bytes, one at a time.
        for (std::size_t at : {0x299u, 0x29Au, 0x29Bu, 0x29Fu, 0x2A3u, 0x2A7u, 0x2ABu}) {
            auto bent = bytes;
            bent[at] ^= 0x5A;
            LLVMFuzzerTestOneInput(bent.data(), bent.size());
            ++n;
        }
    }
    if (n == 0) GTEST_SKIP() << "no encrypted fixture";
}

// The damaged copies the salvage tests repair, of the small fixtures:
// every kind of damage through both readers.
TEST(FuzzCorpus, DamagedCopiesRunClean) {
    if (!fs::exists(ZOLVAK_FIXTURES_DIR)) GTEST_SKIP() << "fixtures folder " << ZOLVAK_FIXTURES_DIR << " is absent";
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(ZOLVAK_FIXTURES_DIR)) {
        // The smallest ACE file stands for its format (its catalog alone has 21 tables).
        const bool ace = e.path().filename() == "ace16-empty.accdb";
        if ((e.path().extension() != ".mdb" && !ace) || (e.file_size() > 300000 && !ace)) continue;
        const std::string password = e.path().filename() == "jet4-password.mdb" ? "password" : "";
        const auto bytes = read_bytes(e.path());
        const std::string sound(bytes.begin(), bytes.end());
        const damage::Layout layout = damage::analyse(e.path().string(), password);
        for (const damage::Variant& v : damage::make_variants(sound, layout)) {
            SCOPED_TRACE(e.path().filename().string() + ": " + v.name);
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(v.bytes.data()), v.bytes.size());
            ++n;
        }
    }
    EXPECT_GT(n, 0u);
}

TEST(FuzzCorpus, OddInputsRunClean) {
    const std::vector<std::vector<std::uint8_t>> inputs = {
        {}, {0}, {0, 1, 0, 0}, std::vector<std::uint8_t>(4096, 0xFF),
    };
    for (const auto& in : inputs) LLVMFuzzerTestOneInput(in.data(), in.size());
}

}  // namespace
