// Creation of a new database through the engine's writer.
#include "connect/provider/catalog.h"

#include <sys/stat.h>

#include "connect/provider/provider.h"
#include "jet/write/create_database.h"
#include "jet/base/error.h"

namespace provider {

void Catalog::create(std::string_view connection_string) {
    const ConnectionProperties props = parse_connection_string(connection_string);
    props.require_jet_provider();
    struct stat st {};
    if (!props.data_source.empty() && ::stat(props.data_source.c_str(), &st) == 0)
        throw Error(std::string(kMsgDatabaseExists));
    try {
        jet::CreateOptions options;
        options.password = props.database_password;
        std::unique_ptr<jet::DatabaseWriter> writer =
            jet::create_database(props.data_source, options);
        writer->close();
    } catch (const jet::Error& e) {
        throw Error(e.what());
    }
}

}  // namespace provider
