// Benchmark of the writing half of the Jet engine.
//
//   jet_bench [--rows N] [--big-mb M] [--dir DIR]
//
// 1. writes the sample database with N rows in its largest table;
// 2. copies every table of it into a new database (the make-table path);
// 3. writes a table of about M megabytes (rows with a 16 KB memo and a 16 KB
//    OLE value besides plain columns) and copies it, to show that memory
//    stays bounded by the page cache, not by the table.
// Prints rows per second, megabytes per second and the peak resident set.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "jet/write/create_database.h"
#include "jet/table/database.h"
#include "jet/write/copy.h"
#include "jet/write/sample.h"

namespace fs = std::filesystem;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

long peak_rss_kb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

void report(const char* what, std::uint64_t rows, std::uint64_t bytes, double s) {
    std::printf("%-28s %10llu rows %9.1f MB %7.2f s %10.0f rows/s %7.1f MB/s  peak RSS %ld MB\n", what,
                static_cast<unsigned long long>(rows), bytes / 1048576.0, s, rows / s, bytes / 1048576.0 / s,
                peak_rss_kb() / 1024);
}

std::uint64_t copy_all(const std::string& from, const std::string& to, std::uint64_t& rows) {
    auto src = jet::Database::open(from);
    auto dst = jet::create_database(to);
    rows = 0;
    for (const auto& t : src->tables()) {
        if (t.kind != jet::TableKind::kTable) continue;
        auto h = jet::copy_table(*src, t.name, *dst, t.name);
        rows += dst->row_count(h);
    }
    dst->close();
    return fs::file_size(to);
}

}  // namespace

int main(int argc, char** argv) {
    std::uint32_t rows = 200000;
    std::uint64_t big_mb = 1024;
    std::string dir = fs::temp_directory_path() / "zolvak-bench";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--rows")) rows = static_cast<std::uint32_t>(std::stoul(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--big-mb")) big_mb = std::stoull(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--dir")) dir = argv[i + 1];
    }
    fs::remove_all(dir);
    fs::create_directories(dir);
    try {
        const std::string sample = dir + "/sample.mdb";
        auto t0 = std::chrono::steady_clock::now();
        jet::SampleOptions o;
        o.rows = rows;
        auto sum = jet::write_sample_database(sample, o);
        report("sample: create", sum.rows, fs::file_size(sample), seconds_since(t0));

        t0 = std::chrono::steady_clock::now();
        std::uint64_t copied = 0;
        auto bytes = copy_all(sample, dir + "/sample-copy.mdb", copied);
        report("sample: copy all tables", copied, bytes, seconds_since(t0));

        if (big_mb > 0) {
            const std::string big = dir + "/big.mdb";
            t0 = std::chrono::steady_clock::now();
            std::uint64_t n = 0;
            {
                auto w = jet::create_database(big);
                using T = jet::ColumnType;
                jet::TableSpec layout{"Big", {}};
                for (auto [name, type] : {std::pair{"Id", T::kLong}, {"When", T::kDateTime},
                                          {"Amount", T::kDouble}, {"Label", T::kText},
                                          {"Body", T::kMemo}, {"Blob", T::kOle}}) {
                    jet::ColumnSpec c;
                    c.name = name;
                    c.type = type;
                    c.size = type == T::kText ? 100 : 0;
                    layout.columns.push_back(c);
                }
                auto h = w->create_table(layout);
                std::mt19937_64 rng(7);
                std::string body(16384, 'm');
                jet::Bytes blob(16384);
                const std::uint64_t target = big_mb * 1048576;
                std::uint64_t written = 0;
                while (written < target) {
                    for (auto& b : blob) b = static_cast<std::uint8_t>(rng());
                    body[n % body.size()] = static_cast<char>('a' + n % 26);
                    w->insert_row(h, std::vector<jet::Value>{static_cast<std::int32_t>(n), jet::DateTime{40000.0 + n % 5000},
                                                             n * 0.5, "row " + std::to_string(n), body, blob});
                    written += 2 * body.size() + blob.size() + 140;  // the memo is stored as UCS-2
                    ++n;
                }
                w->close();
            }
            report("big table: create", n, fs::file_size(big), seconds_since(t0));
            t0 = std::chrono::steady_clock::now();
            std::uint64_t big_rows = 0;
            auto big_bytes = copy_all(big, dir + "/big-copy.mdb", big_rows);
            report("big table: copy", big_rows, big_bytes, seconds_since(t0));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "jet_bench: %s\n", e.what());
        return 1;
    }
    fs::remove_all(dir);
    return 0;
}
