// The repair command of mdbrepair:
//
//   mdbrepair [--password PW | --zolvak-db] [--output TARGET] [--verbose] SOURCE
//
// Runs Repair_Mdb on SOURCE. Standard output carries exactly the run's
// message lines, one per line, in UTF-8; the library's own diagnostics are
// dropped, or sent to standard error with --verbose. Exit status: 0 when the
// repair completed without a failed statement, 1 when it did not, 2 for a
// usage error.
#pragma once

#include <string>

// The environment variable that may hold the database password.
inline constexpr const char* PASSWORD_ENV = "MDBREPAIR_PASSWORD";

// The password of a command: without --password, MDBREPAIR_PASSWORD when set;
// with "--password -", one line read from standard input (not echoed on a
// terminal). False with error set when no line could be read.
bool resolve_password(std::string& password, bool given, std::string& error);

// argv[0] is the program name; every other argument belongs to the command.
int run_repair_command(int argc, char** argv);

// The help text of the whole program (the repair command and the two other
// commands), ending with a newline.
const char* repair_help_text();

// True when the arguments ask for a repair rather than another command: no
// --list, --sample, --help or --gui among them.
bool is_repair_command(int argc, char** argv);
