#include "jet/page/sync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

#include "jet/base/error.h"

namespace jet {
namespace {

std::mutex g_mutex;
std::set<std::string> g_deferred;  // absolute paths

std::string absolute(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    if (ec) return path;
    return p.lexically_normal().string();
}

}  // namespace

void defer_syncs(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_deferred.insert(absolute(path));
}

void forget_deferred_syncs(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_deferred.erase(absolute(path));
}

void end_deferred_syncs(const std::string& path) {
    forget_deferred_syncs(path);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        const int e = errno;
        if (fd >= 0) ::close(fd);
        throw Error("Could not write database '" + path + "': " + std::strerror(e) + ".");
    }
    ::close(fd);
}

bool sync_needed(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_deferred.empty()) return true;
    const std::string p = absolute(path);
    // The deferred file itself, or one whose name begins with its name.
    for (const std::string& d : g_deferred) {
        if (p.compare(0, d.size(), d) == 0) return false;
    }
    return true;
}

}  // namespace jet
