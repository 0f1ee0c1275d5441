// The catalog: creation of a new, empty database from a connection string.
#pragma once

#include <string_view>

namespace provider {

class Catalog {
  public:
    // Creates an empty Jet 4 database at the connection string's "Data
    // Source" with its "Jet OLEDB:Database Password" (none when empty).
    // Throws Error: a wrong provider, an existing file ("Database already
    // exists."), a missing folder, a password longer than 20 characters.
    void create(std::string_view connection_string);
};

}  // namespace provider
