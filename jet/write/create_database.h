// Creating a new, empty Jet 4 database.
//
// The new file has what a database created through the Jet 4 engine's ADOX
// catalog has: the header (Jet 4, code page 1252, General sort order, the
// creation date, the optional database password), the four catalog tables
// MSysObjects, MSysACEs, MSysQueries and MSysRelationships with their
// columns and indexes, the three containers and MSysDb with their ids and
// flags, and the access-control rows. Every page is built here; nothing is
// copied from a template file.
#pragma once

#include <memory>
#include <string>

#include "jet/write/writer.h"

namespace jet {

// Creates the database and returns a writer on it, ready for tables. Fails
// with jet::Error when `path` exists, when its folder does not exist, or the
// password is longer than 20 characters; a failed creation leaves no file.
std::unique_ptr<DatabaseWriter> create_database(const std::string& path,
                                                const CreateOptions& options = {});

}  // namespace jet
