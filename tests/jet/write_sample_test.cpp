// The sample database: written through the engine, read back alike by our
// reader, mdbtools and mdb-reader, with every index walked and checked.
#include <gtest/gtest.h>

#include <filesystem>

#include "jet/base/error.h"
#include "jet/write/sample.h"
#include "write_readers.h"

namespace fs = std::filesystem;

namespace {

TEST(WriteSample, ThreeReadersAgree) {
    const fs::path dir = fs::temp_directory_path() / ("zolvak-sample-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "sample.mdb").string();
    fs::remove(path);
    jet::SampleOptions o;
    o.rows = 3000;
    o.password = "样本";
    auto sum = jet::write_sample_database(path, o);
    EXPECT_EQ(sum.tables, 5u);
    auto back = writer_test::check_with_readers(path, o.password);
    EXPECT_EQ(back.tables, (std::vector<std::string>{"Customers", "产品", "Orders", "Order Details", "Documents"}));
    EXPECT_EQ(back.rows["Orders"].size(), 3000u);
    EXPECT_EQ(back.rows["Documents"].size(), 11u);
    auto db = jet::Database::open(path, o.password);
    EXPECT_EQ(db->table_def("Customers").indexes.size(), 3u);
    EXPECT_EQ(db->table_def("Order Details").indexes.size(), 2u);
    for (const auto& t : back.tables) writer_test::check_indexes(path, t, o.password);
    EXPECT_THROW(jet::write_sample_database(path, o), jet::Error);  // exists
    fs::remove_all(dir);
}

}  // namespace
