// The sample database: a Jet 4 file written through this engine that shows
// off what it can write, for `mdbrepair --sample`, the README's run command
// and the benchmark.
//
// Tables: "Customers" (`rows` / 2 rows; autonumber primary key, a unique and
// a two-column index), "Orders" (the largest, `rows` rows, every fixed-size
// type, a memo, an OLE value of up to 2 KB and a foreign-key-like CustomerID
// with its index; about 1.4 KB a row), "Order Details" (a blank in
// its name, a two-column primary key), "产品" (Chinese table and column
// names and texts) and "Documents" (memo and OLE values from empty to
// several hundred kilobytes). The contents follow from `seed` alone.
#pragma once

#include <cstdint>
#include <string>

namespace jet {

struct SampleOptions {
    std::uint32_t rows = 5000;  // rows of the largest table
    std::string password;       // database password (empty = none)
    std::uint32_t seed = 20240601;
    std::uint32_t database_key = 0;  // non-zero: the file is RC4-encoded with it
};

struct SampleSummary {
    std::uint32_t tables = 0;
    std::uint64_t rows = 0;  // over all tables
    std::uint32_t indexes = 0;
};

// Writes the sample to `path` (which must not exist). Throws jet::Error.
SampleSummary write_sample_database(const std::string& path, const SampleOptions& options = {});

}  // namespace jet
