// The report of a run, put together from the lines the run wrote and the
// copy step's record of each table.
#include "app/cli/run_report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>

#include "engine/repair_steps.h"

namespace {

using ordered_json = nlohmann::ordered_json;

constexpr std::string_view kCopyLine = "正在复制对象 ";

// A line that ends the lines of the table being copied.
bool Ends_Copy(std::string_view line) {
    return line.starts_with(kCopyLine) || line.starts_with("正在创建约束 ") || line == "修复完成";
}

}  // namespace

std::string run_report_json(const Run_Report& report) {
    ordered_json out;
    out["source"] = report.source;
    out["target"] = report.target;
    out["exit_status"] = report.exit_status;
    bool completed = false;
    for (const std::string& l : report.lines) completed = completed || l == "修复完成";
    out["completed"] = completed;
    out["reason"] = report.reason.empty() ? ordered_json() : ordered_json(report.reason);

    // The k-th copy line of the log belongs to the k-th table the copy step
    // went to; the lines after it, up to the next table or the next step,
    // are that table's.
    std::vector<std::vector<std::string>> table_lines(Copy_Results.size());
    std::size_t k = 0;
    bool in_table = false;
    for (const std::string& l : report.lines) {
        std::string_view line = l;
        if (Ends_Copy(line)) {
            if (in_table) ++k;
            in_table = line.starts_with(kCopyLine) && k < table_lines.size();
        }
        if (in_table) table_lines[k].push_back(l);
    }
    out["tables"] = ordered_json::array();
    for (std::size_t i = 0; i < Copy_Results.size(); ++i) {
        const Copy_Table_Result& r = Copy_Results[i];
        ordered_json t;
        t["name"] = r.name;
        t["copied"] = !r.failed;
        t["rows_declared"] = r.rows_declared;
        t["rows_copied"] = r.rows_copied;
        t["rows_skipped"] = r.rows_skipped;
        t["long_values_nulled"] = r.values_nulled;
        t["pages_skipped"] = r.pages_skipped;
        t["pages_found_by_owner"] = r.pages_by_owner;
        t["messages"] = table_lines[i];
        out["tables"].push_back(std::move(t));
    }
    out["messages"] = report.lines;
    return out.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

bool write_run_report(const std::string& path, const Run_Report& report, std::string& error) {
    const std::string text = run_report_json(report);
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        error = "cannot write the report " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const int e = errno;
    if (std::fclose(f) != 0 || !written) {
        error = "cannot write the report " + path + ": " + std::strerror(written ? errno : e);
        return false;
    }
    return true;
}
