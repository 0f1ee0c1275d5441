// The page writer gathers runs of ascending page writes into large writes:
// whatever order pages are written in, read() sees every page at once and
// the file holds exactly the last image of every page after sync().
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "jet/base/error.h"
#include "jet/write/pager.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kPagerPage = 4096;

std::vector<std::uint8_t> image(std::uint32_t tag) {
    std::vector<std::uint8_t> p(kPagerPage);
    for (std::uint32_t i = 0; i < kPagerPage; ++i) p[i] = static_cast<std::uint8_t>(tag * 31 + i / 7);
    return p;
}

struct Scratch {
    zolvak_test::ScratchDir dir{"jet-pager"};
    std::string path = dir.file("pages.bin");
};

// Orders of writing: appends, rewrites inside and behind the gathered run,
// jumps back, and more pages than one run holds; pages left unwritten
// between others (they stay zeros) and a page that waits while later ones
// are written (a data page while its rows' long values go out); rewrites of
// some pages among others that already reached the file (those between
// keep their images).
TEST(PageWriter, EveryOrderOfWritesEndsInTheLastImages) {
    const std::uint32_t many = static_cast<std::uint32_t>(jet::PageWriter::kRunBytes / kPagerPage) * 2 + 5;
    struct Case {
        const char* name;
        std::vector<std::uint32_t> order;  // page numbers; a page's tag is its position here
    };
    std::vector<Case> cases{{"ascending", {}}, {"rewrites", {0, 1, 2, 1, 3, 0, 4, 4, 2}},
                            {"descending", {5, 4, 3, 2, 1, 0}}, {"shuffled", {}},
                            {"waiting pages and holes", {}},
                            {"rewrites among written pages", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, many, 2, 5, 9, many + 1}}};
    for (std::uint32_t p = 0; p < many; ++p) cases[0].order.push_back(p);
    cases[3].order = cases[0].order;
    std::shuffle(cases[3].order.begin(), cases[3].order.end(), std::mt19937(5));
    cases[3].order.insert(cases[3].order.end(), {7, 7, 8, 0});
    for (std::uint32_t first = 0; first + 12 <= many; first += 12) {
        for (std::uint32_t p = first + 1; p < first + 12; ++p) {
            if (p % 5 != 3) cases[4].order.push_back(p);
        }
        cases[4].order.push_back(first);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s;
        auto w = jet::PageWriter::create(s.path, kPagerPage);
        std::uint32_t pages = 0;
        for (std::uint32_t p : c.order) pages = std::max(pages, p + 1);
        for (std::uint32_t p = 0; p < pages; ++p) w.allocate();
        std::vector<std::uint32_t> last(pages, 0);
        for (std::uint32_t k = 0; k < c.order.size(); ++k) {
            const std::uint32_t p = c.order[k];
            w.write(p, image(k + 1));
            last[p] = k + 1;
            ASSERT_EQ(w.read(p), image(k + 1)) << "page " << p << " read back at once";
        }
        w.sync();
        const std::string bytes = zolvak_test::file_bytes(s.path);
        ASSERT_EQ(bytes.size(), static_cast<std::size_t>(pages) * kPagerPage);
        for (std::uint32_t p = 0; p < pages; ++p) {
            std::vector<std::uint8_t> want = last[p] ? image(last[p]) : std::vector<std::uint8_t>(kPagerPage, 0);
            ASSERT_EQ(0, std::memcmp(bytes.data() + static_cast<std::size_t>(p) * kPagerPage, want.data(), kPagerPage))
                << "page " << p;
        }
        w.close();
    }
}

// With a write observer (the crash tests) every page reaches the file by
// itself, before the observer hears that it is done.
TEST(PageWriter, ObservedWritesReachTheFileOneByOne) {
    Scratch s;
    auto w = jet::PageWriter::create(s.path, kPagerPage);
    for (int p = 0; p < 3; ++p) w.allocate();
    std::vector<std::size_t> sizes;
    w.set_write_observer([&](std::uint32_t, bool done) {
        if (done) sizes.push_back(zolvak_test::file_bytes(s.path).size());
    });
    for (std::uint32_t p = 0; p < 3; ++p) w.write(p, image(p));
    EXPECT_EQ(sizes, (std::vector<std::size_t>{kPagerPage, 2 * kPagerPage, 3 * kPagerPage}));
}

// Gathered pages that never reached the file are dropped with a writer that
// is closed without sync (a transaction rolled back).
TEST(PageWriter, DroppedWriterLeavesGatheredPagesUnwritten) {
    Scratch s;
    {
        auto w = jet::PageWriter::create(s.path, kPagerPage);
        w.allocate();
        w.write(0, image(1));
        w.sync();
        w.allocate();
        w.write(1, image(2));
        w = jet::PageWriter{};
    }
    EXPECT_EQ(zolvak_test::file_bytes(s.path).size(), kPagerPage);
}

}  // namespace
