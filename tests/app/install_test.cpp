// `cmake --install` of the build into a scratch prefix: both programs, the
// man page, bash completion, the desktop entry and its icon, each usable.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string run(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Install, EverythingLandsWhereTheDesktopLooksForIt) {
    char tmpl[] = "/tmp/install_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const fs::path prefix = tmpl;
    const std::string cmd = std::string("'") + CMAKE_COMMAND + "' --install '" + ZOLVAK_BINARY_DIR +
                            "' --prefix '" + prefix.string() + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);

    const fs::path share = prefix / "share";
    struct Want {
        fs::path path;
        bool executable;
    } wants[] = {
        {prefix / "bin/mdbrepair", true},
        {prefix / "bin/mdbrepair-gui", true},
        {share / "man/man1/mdbrepair.1", false},
        {share / "bash-completion/completions/mdbrepair", false},
        {share / "bash-completion/completions/mdbrepair-gui", false},
        {share / "applications/mdbrepair-gui.desktop", false},
        {share / "icons/hicolor/scalable/apps/mdbrepair-gui.svg", false},
    };
    for (const Want& w : wants) {
        ASSERT_TRUE(fs::is_regular_file(w.path)) << w.path;
        bool x = (fs::status(w.path).permissions() & fs::perms::owner_exec) != fs::perms::none;
        EXPECT_EQ(x, w.executable) << w.path;
    }

    // The installed program runs from its new place.
    EXPECT_EQ(run("'" + (prefix / "bin/mdbrepair").string() + "' --version"), "mdbrepair 1.0\n");
    // The man page formats without warnings and names every option.
    const std::string man = (share / "man/man1/mdbrepair.1").string();
    EXPECT_EQ(run("groff -man -Tutf8 -ww -z '" + man + "' 2>&1"), "");
    const std::string page = slurp(man);
    for (const char* o : {"password", "zolvak\\-db", "output", "replace", "tables\\-only", "jobs", "quiet",
                          "verbose", "list", "json", "sample", "rows", "help", "version",
                          "check", "report", "MDBREPAIR_PASSWORD"})
        EXPECT_NE(page.find(o), std::string::npos) << o;
    // The completion completes options of both programs.
    const std::string completion = (share / "bash-completion/completions/mdbrepair").string();
    EXPECT_EQ(run("bash -c 'source \"" + completion +
                  "\"; COMP_WORDS=(mdbrepair --rep); COMP_CWORD=1; _mdbrepair; "
                  "echo \"${COMPREPLY[*]}\"; complete -p mdbrepair-gui'"),
              "--replace --report\ncomplete -F _mdbrepair_gui mdbrepair-gui\n");
    // The desktop entry starts the window with a file and names its icon.
    const std::string desktop = slurp(share / "applications/mdbrepair-gui.desktop");
    EXPECT_NE(desktop.find("\nExec=mdbrepair-gui %f\n"), std::string::npos);
    EXPECT_NE(desktop.find("\nIcon=mdbrepair-gui\n"), std::string::npos);
    if (std::system("command -v desktop-file-validate >/dev/null 2>&1") == 0)
        EXPECT_EQ(run("desktop-file-validate '" +
                      (share / "applications/mdbrepair-gui.desktop").string() + "' 2>&1"),
                  "");
    fs::remove_all(prefix);
}

}  // namespace
