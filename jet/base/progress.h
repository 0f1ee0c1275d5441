// Progress of long statements, for a front end that shows it.
//
// A make-table query reports the rows it has written so far through
// row_progress, every kProgressRows rows, on the thread that runs the
// statement. Null (the default) reports nothing.
#pragma once

#include <cstdint>

namespace jet {

constexpr std::uint64_t kProgressRows = 1024;

using RowProgressFn = void (*)(std::uint64_t rows_written);

extern RowProgressFn row_progress;

}  // namespace jet
