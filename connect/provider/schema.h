// The TABLES and INDEXES schema rowsets built from the engine's catalog and
// table definitions, in the rowsets' default sort order (docs/provider.md).
#pragma once

#include <string_view>

#include "connect/provider/recordset.h"

namespace jet {
class Database;
}

namespace provider {

Recordset tables_rowset(jet::Database& db);
Recordset indexes_rowset(jet::Database& db);

// The order the rowsets sort names in: Jet's General text order (letters
// without regard to case), ties broken by the bytes. <0, 0, >0.
int compare_names(std::string_view a, std::string_view b);

}  // namespace provider
