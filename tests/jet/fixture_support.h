// Shared helpers for the tests that run over the real .mdb fixtures
// (test-only code): the fixture list, the oracles, running a command.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_json.h"

namespace fixtures {

inline std::filesystem::path dir() { return ZOLVAK_FIXTURES_DIR; }
inline bool available() { return std::filesystem::exists(dir() / "README.md"); }

// Every NAME.mdb that has a NAME.expected.json, sorted by name.
inline std::vector<std::string> names() {
    std::vector<std::string> out;
    if (!available()) return out;
    for (const auto& e : std::filesystem::directory_iterator(dir())) {
        if (e.path().extension() == ".mdb" &&
            std::filesystem::exists(dir() / (e.path().stem().string() + ".expected.json"))) {
            out.push_back(e.path().stem().string());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

inline std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Every NAME.accdb (ACE, Access 2007 and later) that has a NAME.expected.json,
// sorted by name. The password-protected ones have no oracle.
inline std::vector<std::string> ace_names() {
    std::vector<std::string> out;
    if (!available()) return out;
    for (const auto& e : std::filesystem::directory_iterator(dir())) {
        if (e.path().extension() == ".accdb" &&
            std::filesystem::exists(dir() / (e.path().stem().string() + ".expected.json"))) {
            out.push_back(e.path().stem().string());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// names() and ace_names() together.
inline std::vector<std::string> all_names() {
    auto out = names();
    for (auto& n : ace_names()) out.push_back(n);
    return out;
}

// As a test's parameters: a list of names, or one "none" case (which skips
// with its message) when there are no fixtures, so that the suite still
// shows the test.
inline std::vector<std::string> or_none(std::vector<std::string> names) {
    if (names.empty()) names.push_back("none");
    return names;
}

// The file of fixture NAME: NAME.mdb, or NAME.accdb when there is no .mdb.
inline std::string mdb_path(const std::string& name) {
    const auto mdb = dir() / (name + ".mdb");
    if (std::filesystem::exists(mdb) || !std::filesystem::exists(dir() / (name + ".accdb"))) return mdb.string();
    return (dir() / (name + ".accdb")).string();
}

inline testjson::Value oracle(const std::string& name) {
    return testjson::parse(read_file(dir() / (name + ".expected.json")));
}

// The password the oracle records for the file (empty when none).
inline std::string password(const testjson::Value& o) {
    const auto& p = o["password"]["mdb_reader"];
    return p.is_null() ? std::string() : p.text;
}

// Single-quotes an argument for /bin/sh.
inline std::string sh_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

struct CommandResult {
    int status = -1;
    std::string out;
};

// Runs `cmd` with /bin/sh and captures its standard output.
inline CommandResult run(const std::string& cmd) {
    CommandResult r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[65536];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

}  // namespace fixtures

#define SKIP_WITHOUT_FIXTURES()                                                            \
    do {                                                                                  \
        if (!fixtures::available())                                                       \
            GTEST_SKIP() << "fixtures folder " << ZOLVAK_FIXTURES_DIR << " is absent";    \
    } while (0)
