// Creation of a new database through the engine's writer.
#include "connect/provider/catalog.h"

#include <sys/stat.h>

#include <string>

#include "connect/provider/provider.h"
#include "jet/write/create_database.h"
#include "jet/base/error.h"

namespace provider {

namespace {

// A number property of the connection string; `fallback` when absent.
long number_property(const ConnectionProperties& props, const char* name, long fallback) {
    auto it = props.other.find(name);
    if (it == props.other.end()) return fallback;
    try {
        std::size_t used = 0;
        const long v = std::stol(it->second, &used);
        if (used == it->second.size()) return v;
    } catch (const std::exception&) {
    }
    throw Error("The value of '" + std::string(name) + "' is not a number: " + it->second);
}

// The creation options of an ACE file.
void set_ace_format(jet::CreateOptions& options, jet::FileVersion version, std::uint32_t sort_order,
                    std::uint8_t sort_order_version) {
    options.version = version;
    options.sort_order = static_cast<std::uint16_t>(sort_order);
    options.sort_order_version = static_cast<jet::SortOrderVersion>(sort_order_version);
}

// The file format the string asks for: "Jet OLEDB:File Version" is the
// version byte of an ACE file (2 ACE12 ... 6 ACE17; absent or 1: Jet 4),
// "Locale Identifier" and "Jet OLEDB:Sort Order Version" its sort order.
void apply_format(const ConnectionProperties& props, jet::CreateOptions& options) {
    const long version = number_property(props, "jet oledb:file version", 1);
    if (version == 1) return;
    if (version < 2 || version > jet::kLastFileVersion)
        throw Error("Unknown file version " + std::to_string(version) + ".");
    const long sort_version = number_property(props, "jet oledb:sort order version", 1);
    if (sort_version != 0 && sort_version != 1)
        throw Error("Unknown sort order version " + std::to_string(sort_version) + ".");
    set_ace_format(options, static_cast<jet::FileVersion>(version),
                   static_cast<std::uint32_t>(number_property(props, "locale identifier", 1033)),
                   static_cast<std::uint8_t>(sort_version));
}

}  // namespace

void Catalog::create(std::string_view connection_string) {
    const ConnectionProperties props = parse_connection_string(connection_string);
    props.require_jet_provider();
    struct stat st {};
    if (!props.data_source.empty() && ::stat(props.data_source.c_str(), &st) == 0)
        throw Error(std::string(kMsgDatabaseExists));
    try {
        jet::CreateOptions options;
        options.password = props.database_password;
        apply_format(props, options);
        std::unique_ptr<jet::DatabaseWriter> writer =
            jet::create_database(props.data_source, options);
        writer->close();
    } catch (const jet::Error& e) {
        throw Error(e.what());
    }
}

}  // namespace provider
