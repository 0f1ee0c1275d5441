// The integrity check's front end: the engine finds the problems, this file
// only words them.
#include "app/cli/check_cmd.h"

#include <cstdio>
#include <exception>
#include <string>

#include "jet/index/check.h"

namespace {

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

int run_check(const std::string& file, const std::string& password) {
    std::uint64_t shown = 0;
    jet::CheckStats stats;
    try {
        stats = jet::check_database(file, password, [&](const jet::CheckProblem& p) {
            if (shown++ >= CHECK_MAX_LINES) return;
            std::printf("%s: page %u: %s\n", p.table.empty() ? "header" : p.table.c_str(), p.page,
                        p.text.c_str());
        });
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "mdbrepair: %s\n", e.what());
        return 1;
    }
    if (stats.problems > CHECK_MAX_LINES)
        std::printf("... %llu more problems not shown\n",
                    static_cast<unsigned long long>(stats.problems - CHECK_MAX_LINES));
    const std::string held = plural(stats.tables, "table", "tables") + ", " +
                             plural(stats.rows, "row", "rows") + ", " +
                             plural(stats.long_values, "long value", "long values") + ", " +
                             plural(stats.indexes, "index", "indexes") + " with " +
                             plural(stats.index_entries, "entry", "entries");
    if (stats.problems == 0) {
        std::printf("%s: ok (%s)\n", file.c_str(), held.c_str());
    } else {
        std::printf("%s: %s (%s checked)\n", file.c_str(),
                    plural(stats.problems, "problem", "problems").c_str(), held.c_str());
    }
    return std::fflush(stdout) == 0 && stats.problems == 0 ? 0 : 1;
}
