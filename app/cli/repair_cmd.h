// The repair command of mdbrepair (its options are parsed in cli_main.cpp):
//
//   mdbrepair [--password PW | --zolvak-db] [-o TARGET | --replace] [-j N] [-q]
//             [--report FILE] SOURCE...
//
// Runs Repair_Mdb on each SOURCE. Standard output carries exactly the run's
// message lines, one per line, in UTF-8; the library's own diagnostics are
// dropped, or sent to standard error with --verbose.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The environment variable that may hold the database password.
inline constexpr const char* PASSWORD_ENV = "MDBREPAIR_PASSWORD";

// The password of a command: without --password, MDBREPAIR_PASSWORD when set;
// with "--password -", one line read from standard input (not echoed on a
// terminal). False with error set when no line could be read.
bool resolve_password(std::string& password, bool given, std::string& error);

// Columns a UTF-8 text takes on a terminal: East Asian wide characters take
// two.
std::size_t display_width(std::string_view s);

// What a repair run of the command line takes besides its sources.
struct Repair_Cmd_Options {
    std::string password;  // resolved: the fixed one, the given one, or none
    std::string target;    // empty: SOURCE.new (one source only)
    bool verbose = false;  // the library's diagnostics on standard error
    bool quiet = false;    // no progress bar and no summary
    bool replace = false;  // repair in place, keeping SOURCE.bak
    bool tables_only = false;  // the plain copy: no restored design
    int jobs = 1;          // sources repaired at once
    std::string report;    // a JSON report of the run goes there (one source only)
};

// Repairs every source, one after the other or, with jobs above 1, that
// many at once in child processes of self (the program's argv[0]). Returns
// the exit status: 0 every run succeeded, 130 a run was interrupted, 1
// otherwise.
int run_repairs(const std::vector<std::string>& sources, const Repair_Cmd_Options& options,
                const char* self);
