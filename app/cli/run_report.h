// The JSON report of a repair run (`mdbrepair --report FILE SOURCE`): what
// became of each user table (rows its definition declares, rows copied and
// skipped, long values nulled, pages skipped, its lines of the log), every
// line of the run and the run's result. Written after the run, also when it
// failed, with as much as the run got to.
#pragma once

#include <string>
#include <vector>

struct Run_Report {
    std::string source;
    std::string target;
    int exit_status = 0;
    std::string reason;              // why the run failed, when the log does not say it all
    std::vector<std::string> lines;  // the run's lines, in order
};

// The report as JSON text (one object, with the per-table records of the
// copy step, Copy_Results).
std::string run_report_json(const Run_Report& report);

// Writes the report to path; false with error set when it cannot.
bool write_run_report(const std::string& path, const Run_Report& report, std::string& error);
