// Command-line front end of the repair tool.
//
// `mdbrepair [options] SOURCE` repairs SOURCE into a new file (app/cli).
// `mdbrepair --list [--password PW] FILE` prints the inventory of a database
// as JSON: format, page size, code page, sort order and every table-like
// object of the catalog with its columns and indexes.
// `mdbrepair --sample FILE [--rows N] [--password PW]` writes a sample
// database through the engine.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>

#include "app/cli/repair_cmd.h"
#include "jet/database.h"
#include "jet/error.h"
#include "jet/write_sample.h"

namespace {

constexpr const char* kUsage =
    "usage: mdbrepair [--password PW | --zolvak-db] [--output TARGET] [--verbose] SOURCE\n"
    "       mdbrepair --list [--password PW] FILE\n"
    "       mdbrepair --sample FILE [--rows N] [--password PW]\n"
    "       mdbrepair --help\n";

void json_string(std::string& out, std::string_view s) {
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);  // UTF-8 passes through
                }
        }
    }
    out += '"';
}

std::string inventory(jet::Database& db) {
    const jet::Header& h = db.header();
    std::string out = "{\"format\":";
    out += h.format == jet::Format::Jet3 ? "\"Jet3\"" : "\"Jet4\"";
    out += ",\"page_size\":" + std::to_string(h.page_size);
    out += ",\"code_page\":" + std::to_string(h.code_page);
    out += ",\"sort_order\":" + std::to_string(h.sort_order);
    out += ",\"tables\":[";
    bool first_table = true;
    for (const jet::TableInfo& t : db.tables()) {
        if (!first_table) out += ',';
        first_table = false;
        out += "{\"name\":";
        json_string(out, t.name);
        out += ",\"type\":";
        json_string(out, jet::table_kind_name(t.kind));
        if (!t.local()) {
            out += ",\"rows\":null,\"columns\":[],\"indexes\":[]}";
            continue;
        }
        const jet::TableDef def = db.table_def(*t.entry);
        out += ",\"rows\":" + std::to_string(jet::count_rows(db.file(), def));
        out += ",\"columns\":[";
        for (std::size_t i = 0; i < def.columns.size(); ++i) {
            const jet::Column& c = def.columns[i];
            if (i) out += ',';
            out += "{\"name\":";
            json_string(out, c.name);
            out += ",\"type\":";
            json_string(out, jet::column_type_name(c.type));
            out += ",\"size\":";
            auto size = c.display_size(def.format);
            out += size ? std::to_string(*size) : "null";
            out += '}';
        }
        out += "],\"indexes\":[";
        for (std::size_t i = 0; i < def.indexes.size(); ++i) {
            const jet::Index& ix = def.indexes[i];
            if (i) out += ',';
            out += "{\"name\":";
            json_string(out, ix.name);
            out += ",\"columns\":[";
            for (std::size_t k = 0; k < ix.columns.size(); ++k) {
                if (k) out += ',';
                out += "{\"name\":";
                json_string(out, def.columns[ix.columns[k].column].name);
                out += ",\"desc\":";
                out += ix.columns[k].descending ? "true" : "false";
                out += '}';
            }
            out += "],\"unique\":";
            out += ix.unique() ? "true" : "false";
            out += ",\"primary_key\":";
            out += ix.primary_key() ? "true" : "false";
            out += ",\"foreign_key\":";
            out += ix.foreign_key() ? "true" : "false";
            out += '}';
        }
        out += "]}";
    }
    out += "]}\n";
    return out;
}

int usage_error(const char* what) {
    std::fprintf(stderr, "mdbrepair: %s\n%s", what, kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(repair_help_text(), stdout);
        return 0;
    }
    if (is_repair_command(argc, argv)) return run_repair_command(argc, argv);
    bool list = false;
    bool sample = false;
    long long rows = -1;
    bool have_password = false;
    std::string password;
    std::string file;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--list") {
            list = true;
        } else if (a == "--sample") {
            sample = true;
        } else if (a == "--rows") {
            if (i + 1 >= argc) return usage_error("--rows needs a value");
            char* end = nullptr;
            rows = std::strtoll(argv[++i], &end, 10);
            if (*end != '\0' || rows < 0 || rows > 100000000)
                return usage_error("--rows needs a number from 0 to 100000000");
        } else if (a == "--password") {
            if (i + 1 >= argc) return usage_error("--password needs a value");
            password = argv[++i];
            have_password = true;
        } else if (a.starts_with("--password=")) {
            password = std::string(a.substr(11));
            have_password = true;
        } else if (a.starts_with("-") && a != "-") {
            return usage_error(("unknown option " + std::string(a)).c_str());
        } else if (file.empty()) {
            file = a;
        } else {
            return usage_error("only one FILE may be given");
        }
    }
    {
        std::string why;
        if (!resolve_password(password, have_password, why)) return usage_error(why.c_str());
    }
    if (list == sample) return usage_error(list ? "give either --list or --sample" : "no command given");
    if (file.empty()) return usage_error("no FILE given");
    if (rows >= 0 && !sample) return usage_error("--rows goes with --sample");
    if (sample) {
        try {
            jet::SampleOptions options;
            if (rows >= 0) options.rows = static_cast<std::uint32_t>(rows);
            options.password = password;
            jet::SampleSummary s = jet::write_sample_database(file, options);
            std::printf("%s: %u tables, %llu rows, %u indexes\n", file.c_str(), s.tables,
                        static_cast<unsigned long long>(s.rows), s.indexes);
            return 0;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "mdbrepair: %s\n", e.what());
            return 1;
        }
    }
    try {
        auto db = jet::Database::open(file, password);
        std::string json = inventory(*db);
        std::fwrite(json.data(), 1, json.size(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mdbrepair: %s\n", e.what());
        return 1;
    }
}
