// The one size of every field that holds a file path.
//
// Paths here are UTF-8, where a Chinese character takes three bytes, so the
// narrow fields of the original design (200 bytes and less) refused ordinary
// paths that the system takes. Every path field now holds what the system
// takes, PATH_MAX bytes with the terminator; a longer path is refused, never
// cut.
#pragma once

#include <climits>

constexpr int PATH_FIELD_SIZE = PATH_MAX;  // 4096 on Linux, the terminator included
