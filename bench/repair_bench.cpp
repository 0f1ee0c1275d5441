// End-to-end benchmark of the repair.
//
//   repair_bench [--sizes 100,300,1000|none] [--input FILE]... [--runs N]
//                [--export-runs N] [--dir DIR] [--mdbrepair PATH]
//                [--no-export] [--keep]
//
// Two kinds of input. For each size (megabytes) it writes a sample database
// of about that size with `mdbrepair --sample` (the row count is scaled from
// a small calibration sample); `--sizes none` writes none. Each `--input FILE`
// is a database some other program wrote, timed as it is (never changed);
// without --input, the file of that kind in the benchmark folder of the
// shared data (ZOLVAK_BENCH_DIR at configure time) is used when it is there.
// Files laid out by another writer matter: our own writer's layout is the
// one the copy and the index builds were first tuned on.
//
// Each input is repaired N times with `mdbrepair --output`, and every user
// table of the same file is exported with mdbtools' `mdb-export` (its default
// options, output read and dropped). It then exports every table of the
// source and of the repaired file once more with binary values as hex and
// checks that the texts are equal (a hash of each table's export). The table it
// prints gives medians; "spread" is (slowest - fastest) / median over the
// runs, the machine's noise for that measurement. Peak RSS is the largest
// resident set of the repair process over its runs (from wait4); "new file"
// is the repaired file's size over the source's.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct RunResult {
    int status = -1;
    double seconds = 0;
    long peak_rss_kb = 0;
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a of standard output
    std::string out;                              // standard output (when kept)
};

// Runs argv with standard output hashed (and kept when `keep_out`), standard
// error passed through, and measures the wall time and peak RSS of the child.
RunResult run(const std::vector<std::string>& argv, bool keep_out = false) {
    RunResult r;
    int fds[2];
    if (pipe(fds) != 0) return r;
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        std::fprintf(stderr, "repair_bench: cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    close(fds[1]);
    char buf[1 << 16];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            r.hash ^= static_cast<unsigned char>(buf[i]);
            r.hash *= 1099511628211ull;
        }
        if (keep_out) r.out.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.peak_rss_kb = ru.ru_maxrss;
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double spread(const std::vector<double>& v) {
    if (v.size() < 2) return 0;
    double m = median(v);
    return m > 0 ? (*std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end())) / m : 0;
}

std::vector<std::string> user_tables(const std::string& file) {
    RunResult r = run({"mdb-tables", "-1", file}, true);
    std::vector<std::string> out;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) out.push_back(line);
    }
    return out;
}

// Exports every table; returns the total wall time, or < 0 on a failure.
// With `hex`, binary values are exported too (as hex), for the comparison.
double export_all(const std::string& file, const std::vector<std::string>& tables,
                  std::map<std::string, std::uint64_t>* hashes, bool hex = false) {
    double total = 0;
    for (const auto& t : tables) {
        RunResult r = hex ? run({"mdb-export", "-b", "hex", file, t}) : run({"mdb-export", file, t});
        if (r.status != 0) return -1;
        total += r.seconds;
        if (hashes) (*hashes)[t] = r.hash;
    }
    return total;
}

std::uint64_t sample_rows(const std::string& out) {
    // "<file>: 5 tables, 448021 rows, 11 indexes"
    auto p = out.find(" tables, ");
    return p == std::string::npos ? 0 : std::strtoull(out.c_str() + p + 9, nullptr, 10);
}

// The row count of the repair's summary line "已复制 4 个表，共 8120 行".
std::uint64_t summary_rows(const std::string& out) {
    const std::string mark = "，共 ";
    auto p = out.find(mark);
    return p == std::string::npos ? 0 : std::strtoull(out.c_str() + p + mark.size(), nullptr, 10);
}

void fail(const std::string& what) {
    std::fprintf(stderr, "repair_bench: %s\n", what.c_str());
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<double> sizes{100, 300, 1000};
    std::vector<std::string> inputs;
    int runs = 3;
    int export_runs = 3;
    bool with_export = true;
    bool keep = false;
    std::string dir = (fs::temp_directory_path() / "zolvak-repair-bench").string();
    std::string tool = (fs::path(argv[0]).parent_path().parent_path() / "app" / "mdbrepair").string();
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) fail(a + " needs a value");
            return argv[++i];
        };
        if (a == "--sizes") {
            sizes.clear();
            std::string list = value();
            if (list == "none") continue;
            std::istringstream in(list);
            for (std::string s; std::getline(in, s, ',');) sizes.push_back(std::stod(s));
        } else if (a == "--input") {
            inputs.push_back(value());
        } else if (a == "--runs") {
            runs = std::max(1, std::atoi(value().c_str()));
        } else if (a == "--export-runs") {
            export_runs = std::max(1, std::atoi(value().c_str()));
        } else if (a == "--dir") {
            dir = value();
        } else if (a == "--mdbrepair") {
            tool = value();
        } else if (a == "--no-export") {
            with_export = false;
        } else if (a == "--keep") {
            keep = true;
        } else {
            fail("unknown option " + a + " (see the comment at the top of bench/repair_bench.cpp)");
        }
    }
    if (!fs::exists(tool)) fail("no mdbrepair at " + tool + " (give --mdbrepair PATH)");
    fs::create_directories(dir);
#ifdef ZOLVAK_BENCH_DIR
    if (inputs.empty()) {
        const std::string foreign = std::string(ZOLVAK_BENCH_DIR) + "/foreign-23mb.mdb";
        if (fs::exists(foreign)) {
            inputs.push_back(foreign);
        } else {
            std::fprintf(stderr, "repair_bench: no %s, only samples are timed\n", foreign.c_str());
        }
    }
#endif
    for (const auto& in : inputs) {
        if (!fs::is_regular_file(in)) fail("no input file " + in);
    }

    struct Line {
        std::string kind;  // "sample" or the input's file name
        double mb = 0;
        std::uint64_t rows = 0;
        double repair = 0, repair_spread = 0;
        long rss_kb = 0;
        double export_s = -1, export_spread = 0;
        double size_ratio = 0;
        bool same = false;
    };
    std::vector<Line> lines;
    const std::string target = dir + "/repaired.mdb";

    // Repairs `source` `runs` times, exports it, compares the exports; the
    // row count comes from the repair's summary when `l.rows` is not known.
    auto measure = [&](const std::string& source, Line& l) {
        l.mb = static_cast<double>(fs::file_size(source)) / 1048576;
        // The repair makes a file-store folder beside each database (named
        // after the file up to its first dot); one it made is removed after.
        const fs::path sp(source);
        const fs::path store = sp.parent_path() / (sp.filename().string().substr(0, sp.filename().string().find('.')) + "_file");
        const bool store_was_there = fs::exists(store);
        std::vector<double> times;
        for (int r = 0; r < runs; ++r) {
            RunResult rr = run({tool, "--output", target, source}, l.rows == 0);
            if (rr.status != 0) fail("repair of " + source + " failed");
            if (l.rows == 0) l.rows = summary_rows(rr.out);
            times.push_back(rr.seconds);
            l.rss_kb = std::max(l.rss_kb, rr.peak_rss_kb);
        }
        l.repair = median(times);
        l.repair_spread = spread(times);
        l.size_ratio = static_cast<double>(fs::file_size(target)) / static_cast<double>(fs::file_size(source));
        if (with_export) {
            auto tables = user_tables(source);
            std::map<std::string, std::uint64_t> src_hash, dst_hash;
            std::vector<double> ex;
            for (int r = 0; r < export_runs; ++r) {
                double s = export_all(source, tables, nullptr);
                if (s < 0) fail("mdb-export of " + source + " failed");
                ex.push_back(s);
            }
            l.export_s = median(ex);
            l.export_spread = spread(ex);
            l.same = export_all(source, tables, &src_hash, true) >= 0 &&
                     export_all(target, tables, &dst_hash, true) >= 0 && src_hash == dst_hash;
        }
        fs::remove(target);
        fs::remove_all(dir + "/repaired_file");
        if (!store_was_there) {
            std::error_code ignored;
            fs::remove_all(store, ignored);
        }
        std::fprintf(stderr, "repair_bench: %s %.0f MB done\n", l.kind.c_str(), l.mb);
    };

    if (!sizes.empty()) {
        // Calibration: the sample's size is a fixed part plus a part per row.
        auto sample_size = [&](std::uint64_t rows) {
            const std::string calib = dir + "/calibrate.mdb";
            fs::remove(calib);
            if (run({tool, "--sample", calib, "--rows", std::to_string(rows)}).status != 0) fail("--sample failed");
            double size = static_cast<double>(fs::file_size(calib));
            fs::remove(calib);
            return size;
        };
        const double small = sample_size(10000);
        const double bytes_per_row = (sample_size(30000) - small) / 20000;
        const double fixed_bytes = small - 10000 * bytes_per_row;

        for (double size : sizes) {
            Line l;
            l.kind = "sample";
            const auto n = static_cast<std::uint64_t>(std::max(1.0, (size * 1048576 - fixed_bytes) / bytes_per_row));
            const std::string source = dir + "/sample-" + std::to_string(n) + ".mdb";
            // A kept sample (--keep) is used again, with its row count beside it.
            const std::string count_file = source + ".rows";
            if (fs::exists(source) && fs::exists(count_file)) {
                std::FILE* f = std::fopen(count_file.c_str(), "r");
                unsigned long long rows = 0;
                if (f && std::fscanf(f, "%llu", &rows) == 1) l.rows = rows;
                if (f) std::fclose(f);
            }
            if (l.rows == 0) {
                fs::remove(source);
                RunResult s = run({tool, "--sample", source, "--rows", std::to_string(n)}, true);
                if (s.status != 0) fail("--sample " + std::to_string(n) + " failed");
                l.rows = sample_rows(s.out);
                if (std::FILE* f = std::fopen(count_file.c_str(), "w")) {
                    std::fprintf(f, "%llu\n", static_cast<unsigned long long>(l.rows));
                    std::fclose(f);
                }
            }
            measure(source, l);
            if (!keep) {
                fs::remove(source);
                fs::remove(count_file);
            }
            lines.push_back(l);
        }
    }
    for (const auto& in : inputs) {
        Line l;
        l.kind = fs::path(in).filename().string();
        measure(in, l);
        lines.push_back(l);
    }

    std::printf("| input | size | rows | repair (median) | MB/s | peak RSS | mdb-export (median) | "
                "repair / export | new file / source | exports equal |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|:---:|\n");
    for (const auto& l : lines) {
        char ex[64] = "-", ratio[32] = "-";
        if (l.export_s >= 0) {
            std::snprintf(ex, sizeof ex, "%.2f s (±%.0f%%)", l.export_s, l.export_spread * 50);
            std::snprintf(ratio, sizeof ratio, "%.2f", l.repair / l.export_s);
        }
        std::printf("| %s | %.0f MB | %llu | %.2f s (±%.0f%%) | %.0f | %ld MB | %s | %s | %.4f | %s |\n",
                    l.kind.c_str(), l.mb, static_cast<unsigned long long>(l.rows), l.repair,
                    l.repair_spread * 50, l.mb / l.repair, l.rss_kb / 1024, ex, ratio, l.size_ratio,
                    l.export_s < 0 ? "-" : l.same ? "yes" : "NO");
    }
    std::printf("\n%d repair runs and %d export runs per input; ± is half the spread (slowest - fastest) "
                "over the median.\n",
                runs, with_export ? export_runs : 0);
    bool all_same = std::all_of(lines.begin(), lines.end(), [&](const Line& l) { return !with_export || l.same; });
    return all_same ? 0 : 1;
}
