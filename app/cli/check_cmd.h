// The integrity check of mdbrepair (`mdbrepair --check [--password PW] FILE`):
// the engine's check_database, its problems as lines on standard output and
// a summary line after them. Nothing is written to FILE or beside it.
#pragma once

#include <string>

// At most this many problem lines are printed; the summary counts them all.
inline constexpr int CHECK_MAX_LINES = 100;

// Checks FILE and prints "TABLE: page N: what is wrong" per problem (the
// header page's problems begin "header: page 0:"), then "FILE: ok (...)" or
// "FILE: K problems (...)". Returns the exit status: 0 clean, 1 damage found
// or the file could not be checked (the reason on standard error).
int run_check(const std::string& file, const std::string& password);
