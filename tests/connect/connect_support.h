// What several connection tests share.
#pragma once

#include <string>

#include "stdclass/cpp/err/thr_err.h"

// The runtime's singletons print their first-use lines (the module path
// notice) when the program starts, not inside a test's captured output.
[[maybe_unused]] inline const int kRuntimeWarm = (Thread_Get_Id(), Thr_Get_Err_Code(), 0);

// The connection string of a Jet file with a database password.
inline std::string Jet_Connection_String(const std::string& path, const std::string& pw) {
    return "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=" + pw +
           ";User ID=admin;Data Source=" + path + ";Persist Security Info=False";
}
