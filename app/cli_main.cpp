// Command-line front end of the repair tool.
//
// `mdbrepair [options] SOURCE...` repairs each SOURCE into a new file
// (app/cli). `mdbrepair --list FILE` shows the user tables of a database with
// their rows and indexes on a terminal, and the whole inventory as JSON with
// --json or when standard output is not a terminal. `mdbrepair --sample FILE
// [--rows N]` writes a sample database through the engine. `mdbrepair --check
// FILE` checks a database for damage without writing anything (app/cli).
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/check_cmd.h"
#include "app/cli/repair_cmd.h"
#include "app/run/repair_run.h"
#include "jet/table/database.h"
#include "jet/base/error.h"
#include "jet/write/sample.h"

#ifndef MDBREPAIR_VERSION
#define MDBREPAIR_VERSION "1.0"
#endif

namespace {

using ordered_json = nlohmann::ordered_json;

constexpr const char* kUsage =
    "usage: mdbrepair [options] SOURCE...\n"
    "       mdbrepair --check [--password PW | --zolvak-db] FILE\n"
    "       mdbrepair --list [--json] [--password PW | --zolvak-db] FILE\n"
    "       mdbrepair --sample FILE [--rows N] [--password PW]\n";

constexpr const char* kFooter =
    "SOURCE is never written (except by --replace, which keeps it as SOURCE.bak).\n"
    "The log of a run is printed on standard output, one line per message, and\n"
    "ends with a summary (tables, rows, indexes, file sizes, time).\n"
    "\n"
    "Exit status: 0 repaired without errors, 1 the repair failed or a table or\n"
    "index could not be copied (see the log), 2 wrong usage, 130 interrupted.\n"
    "With --check: 0 no damage found, 1 damage found (or FILE could not be read),\n"
    "2 wrong usage.";

ordered_json inventory(jet::Database& db) {
    const jet::Header& h = db.header();
    ordered_json out;
    out["format"] = jet::file_version_name(h.version);
    out["page_size"] = h.page_size;
    out["code_page"] = h.code_page;
    out["sort_order"] = h.sort_order;
    out["tables"] = ordered_json::array();
    for (const jet::TableInfo& t : db.tables()) {
        ordered_json table;
        table["name"] = t.name;
        table["type"] = std::string(jet::table_kind_name(t.kind));
        if (!t.local()) {
            table["rows"] = nullptr;
            table["columns"] = ordered_json::array();
            table["indexes"] = ordered_json::array();
            out["tables"].push_back(std::move(table));
            continue;
        }
        const jet::TableDef def = db.table_def(*t.entry);
        table["rows"] = jet::count_rows(db.file(), def);
        table["columns"] = ordered_json::array();
        for (const jet::Column& c : def.columns) {
            auto size = c.display_size(def.format);
            table["columns"].push_back({{"name", c.name},
                                        {"type", std::string(jet::column_type_name(c.type))},
                                        {"size", size ? ordered_json(*size) : ordered_json()}});
        }
        table["indexes"] = ordered_json::array();
        for (const jet::Index& ix : def.indexes) {
            ordered_json cols = ordered_json::array();
            for (const auto& k : ix.columns)
                cols.push_back({{"name", def.columns[k.column].name}, {"desc", k.descending}});
            table["indexes"].push_back({{"name", ix.name},
                                        {"columns", std::move(cols)},
                                        {"unique", ix.unique()},
                                        {"primary_key", ix.primary_key()},
                                        {"foreign_key", ix.foreign_key()}});
        }
        out["tables"].push_back(std::move(table));
    }
    return out;
}

std::string pad(const std::string& s, std::size_t width) {
    std::size_t w = display_width(s);
    return w >= width ? s : s + std::string(width - w, ' ');
}

// The user tables as a table for people: name, rows, indexes. The first
// line names the format, and says so when the file's pages are RC4-encoded
// (the readers decode them; other tools may not).
std::string readable(const ordered_json& inv, const std::string& file, bool encoded) {
    struct Row {
        std::string name, rows, indexes;
    };
    std::vector<Row> rows;
    Row head{"TABLE", "ROWS", "INDEXES"};
    for (const auto& t : inv["tables"]) {
        if (t["type"] != "TABLE") continue;
        Row r{t["name"].get<std::string>(), std::to_string(t["rows"].get<std::uint64_t>()), ""};
        for (const auto& ix : t["indexes"]) {
            if (!r.indexes.empty()) r.indexes += ", ";
            r.indexes += ix["name"].get<std::string>();
        }
        if (r.indexes.empty()) r.indexes = "-";
        rows.push_back(std::move(r));
    }
    std::size_t wn = display_width(head.name), wr = head.rows.size();
    for (const Row& r : rows) {
        wn = std::max(wn, display_width(r.name));
        wr = std::max(wr, r.rows.size());
    }
    std::string out = file + ": " + inv["format"].get<std::string>() + (encoded ? " (RC4-encoded)" : "") + ", " +
                      std::to_string(rows.size()) + (rows.size() == 1 ? " table\n" : " tables\n");
    auto line = [&](const Row& r) {
        out += pad(r.name, wn) + "  " + std::string(wr - r.rows.size(), ' ') + r.rows + "  " +
               r.indexes + "\n";
    };
    line(head);
    for (const Row& r : rows) line(r);
    return out;
}

int usage_error(const std::string& what) {
    std::fprintf(stderr, "mdbrepair: %s\n%s(mdbrepair --help explains the options)\n", what.c_str(),
                 kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Repairs and compacts the Access databases SOURCE, each into a new file: a Jet 3\n"
                 "or Jet 4 .mdb into a Jet 4 one, an .accdb (or an .mdb of Access 2007 and later)\n"
                 "into one of its own version.\n\n" + std::string(kUsage),
                 "mdbrepair"};
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    app.footer(kFooter);
    app.set_version_flag("--version", "mdbrepair " MDBREPAIR_VERSION);

    std::string password;
    bool zolvak_db = false, verbose = false, quiet = false, replace = false, tables_only = false;
    bool list = false, json = false, sample = false, check = false;
    std::string output, report;
    int jobs = 1;
    long long rows = -1;
    std::vector<std::string> files;

    auto* o_password = app.add_option("--password", password,
                                      "database password of SOURCE (default: none, or the variable\n"
                                      "MDBREPAIR_PASSWORD); \"-\" reads one line from standard input.\n"
                                      "The new file gets the source's own password")
                           ->type_name("PW");
    auto* o_zolvak = app.add_flag("--zolvak-db", zolvak_db,
                                  "SOURCE is a database of the Zolvak software: use its fixed password");
    o_password->excludes(o_zolvak);
    auto* o_output = app.add_option("-o,--output", output,
                                    "the new file (default: SOURCE with \".new\" appended); a file\n"
                                    "already there is replaced, but never SOURCE itself")
                         ->type_name("TARGET");
    auto* o_replace = app.add_flag("--replace", replace,
                                   "repair SOURCE in place: the original is kept as SOURCE.bak, and\n"
                                   "only a repair without errors replaces it");
    o_replace->excludes(o_output);
    auto* o_tables_only = app.add_flag(
        "--tables-only", tables_only,
        "copy tables and rebuild indexes only, as a make-table does: no\n"
        "primary keys, autonumbers or column flags restored from SOURCE");
    auto* o_jobs = app.add_option("-j,--jobs", jobs, "repair N of several SOURCEs at once (default 1)")
                       ->type_name("N")
                       ->check(CLI::Range(1, 64));
    auto* o_quiet = app.add_flag("-q,--quiet", quiet, "no progress bar and no summary");
    app.add_flag("--verbose", verbose, "show the library's diagnostics on standard error");
    auto* o_list = app.add_flag("--list", list,
                                "show the user tables of FILE with rows and indexes (JSON with\n"
                                "--json or when standard output is not a terminal)");
    auto* o_check = app.add_flag("--check", check,
                                 "check FILE for damage and write nothing: one line per problem\n"
                                 "(\"TABLE: page N: ...\"), then a summary");
    auto* o_report = app.add_option("--report", report,
                                    "with a repair of one SOURCE: write a JSON report of the run to\n"
                                    "FILE (per table: rows declared, copied and skipped, long values\n"
                                    "nulled, pages skipped, its lines; the run's lines and result),\n"
                                    "also when the run fails")
                         ->type_name("FILE");
    auto* o_json = app.add_flag("--json", json, "with --list: the whole inventory as JSON");
    auto* o_sample = app.add_flag("--sample", sample, "write a sample database to FILE");
    auto* o_rows = app.add_option("--rows", rows, "with --sample: rows of its largest table")
                       ->type_name("N")
                       ->check(CLI::Range(0LL, 100000000LL));
    app.add_option("SOURCE", files, "databases to repair (FILE with --check, --list and --sample)");
    o_list->excludes(o_sample);
    o_check->excludes(o_list);
    o_check->excludes(o_sample);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::CallForVersion&) {
        std::cout << "mdbrepair " MDBREPAIR_VERSION "\n";
        return 0;
    } catch (const CLI::ParseError& e) {
        std::string what = e.what();
        if (what == "--list excludes --sample" || what == "--sample excludes --list")
            what = "give either --list or --sample";
        if (what.starts_with("--check excludes") || what.ends_with("excludes --check"))
            what = "give only one of --check, --list and --sample";
        return usage_error(what);
    }

    if (*o_json && !list) return usage_error("--json goes with --list");
    if (*o_rows && !sample) return usage_error("--rows goes with --sample");
    if (list || sample || check) {
        for (auto* o : {o_output, o_replace, o_jobs, o_quiet, o_report, o_tables_only})
            if (*o) return usage_error(o->get_name() + " goes with a repair");
        if (zolvak_db && sample) return usage_error("--zolvak-db goes with a repair, --check or --list");
        if (files.empty()) return usage_error("no FILE given");
        if (files.size() > 1) return usage_error("only one FILE may be given");
    } else {
        if (files.empty()) return usage_error("no SOURCE given");
        for (const auto& f : files)
            if (f.empty()) return usage_error("an empty SOURCE");
        if (*o_output && output.empty()) return usage_error("--output needs a file name");
        if (*o_output && files.size() > 1) return usage_error("--output goes with one SOURCE only");
        if (*o_report && report.empty()) return usage_error("--report needs a file name");
        if (*o_report && files.size() > 1) return usage_error("--report goes with one SOURCE only");
        // The report must never take the place of the source or the new file.
        if (*o_report && (Repair_Same_File(files[0].c_str(), report.c_str()) ||
                          (!output.empty() && Repair_Same_File(output.c_str(), report.c_str())) ||
                          (output.empty() && !replace &&
                           Repair_Same_File((files[0] + ".new").c_str(), report.c_str()))))
            return usage_error("--report names SOURCE or the new file");
    }

    if (zolvak_db) {
        password = ZOLVAK_DB_PASSWORD;
    } else {
        std::string why;
        if (!resolve_password(password, o_password->count() > 0, why)) return usage_error(why);
    }

    if (sample) {
        try {
            jet::SampleOptions options;
            if (rows >= 0) options.rows = static_cast<std::uint32_t>(rows);
            options.password = password;
            jet::SampleSummary s = jet::write_sample_database(files[0], options);
            std::printf("%s: %u tables, %llu rows, %u indexes\n", files[0].c_str(), s.tables,
                        static_cast<unsigned long long>(s.rows), s.indexes);
            return 0;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "mdbrepair: %s\n", e.what());
            return 1;
        }
    }
    if (check) return run_check(files[0], password);
    if (list) {
        try {
            auto db = jet::Database::open(files[0], password);
            ordered_json inv = inventory(*db);
            std::string text = json || !isatty(1)
                                   ? inv.dump(-1, ' ', false, ordered_json::error_handler_t::replace) + "\n"
                                   : readable(inv, files[0], db->header().database_key != 0);
            std::fwrite(text.data(), 1, text.size(), stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "mdbrepair: %s\n", e.what());
            return 1;
        }
    }

    Repair_Cmd_Options options;
    options.password = password;
    options.target = output;
    options.verbose = verbose;
    options.quiet = quiet;
    options.replace = replace;
    options.tables_only = tables_only;
    options.jobs = jobs;
    options.report = report;
    return run_repairs(files, options, argv[0]);
}
