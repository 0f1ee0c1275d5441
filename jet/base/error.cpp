// Error helpers of the Jet engine.
#include "jet/base/error.h"

namespace jet {

void throw_damaged(std::string_view what, std::string_view table, std::uint32_t page) {
    std::string msg(what);
    msg += " (";
    if (!table.empty()) {
        msg += "table '";
        msg += table;
        msg += "', ";
    }
    msg += "page " + std::to_string(page) + ")";
    throw Error(msg);
}

}  // namespace jet
