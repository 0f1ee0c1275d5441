// Parsing of connection strings.
#include <algorithm>
#include <cctype>

#include "connect/provider/provider.h"

namespace provider {
namespace {

constexpr std::string_view kMsgBadFormat = "Format of the initialization string is not valid.";

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool iequals(std::string_view a, std::string_view b) { return lower(a) == lower(b); }

// "True", "Yes", "-1" and "1" are true; anything else is false.
bool parse_bool(std::string_view v) {
    const std::string l = lower(v);
    return l == "true" || l == "yes" || l == "-1" || l == "1";
}

}  // namespace

void ConnectionProperties::require_jet_provider() const {
    if (!has_provider || !iequals(trim(provider), kJetProvider))
        throw Error(std::string(kMsgNoProvider));
}

ConnectionProperties parse_connection_string(std::string_view text) {
    ConnectionProperties props;
    std::size_t pos = 0;
    while (pos < text.size()) {
        // Name up to '='.
        const std::size_t eq = text.find('=', pos);
        const std::size_t semi = text.find(';', pos);
        if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) {
            // A pair without '=': only blanks are allowed there (";;" or a trailing ';').
            const std::size_t end = semi == std::string_view::npos ? text.size() : semi;
            if (!trim(text.substr(pos, end - pos)).empty()) throw Error(std::string(kMsgBadFormat));
            pos = end + 1;
            continue;
        }
        const std::string name = lower(trim(text.substr(pos, eq - pos)));
        if (name.empty()) throw Error(std::string(kMsgBadFormat));
        // Value: quoted or up to the next ';'.
        std::size_t v = eq + 1;
        while (v < text.size() && (text[v] == ' ' || text[v] == '\t')) ++v;
        std::string value;
        if (v < text.size() && (text[v] == '"' || text[v] == '\'')) {
            const char quote = text[v];
            std::size_t i = v + 1;
            for (;;) {
                if (i >= text.size()) throw Error(std::string(kMsgBadFormat));
                if (text[i] == quote) {
                    if (i + 1 < text.size() && text[i + 1] == quote) {  // doubled quote
                        value += quote;
                        i += 2;
                        continue;
                    }
                    break;
                }
                value += text[i++];
            }
            std::size_t rest = i + 1;
            const std::size_t next = text.find(';', rest);
            const std::size_t end = next == std::string_view::npos ? text.size() : next;
            if (!trim(text.substr(rest, end - rest)).empty())
                throw Error(std::string(kMsgBadFormat));
            pos = end + 1;
        } else {
            const std::size_t end = semi == std::string_view::npos ? text.size() : semi;
            value = std::string(trim(text.substr(v, end - v)));
            pos = end + 1;
        }
        if (name == "provider") {
            props.provider = value;
            props.has_provider = true;
        } else if (name == "data source") {
            props.data_source = value;
        } else if (name == "user id") {
            props.user_id = value;
        } else if (name == "password") {
            props.password = value;
        } else if (name == "jet oledb:database password") {
            props.database_password = value;
        } else if (name == "persist security info") {
            props.persist_security_info = parse_bool(value);
        } else {
            props.other[name] = value;
        }
    }
    return props;
}

}  // namespace provider
