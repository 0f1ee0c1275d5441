// A fresh folder for one test's files, removed with everything in it when
// the test ends.
//
// It lies on a memory file system when the machine has one (/dev/shm), so
// that the syncs of commits and journals cost no disk latency and a test's
// time does not follow how busy the disk is. What the crash tests prove
// holds there as on a disk: a killed process does not lose the page cache,
// only a lost machine would. ZOLVAK_SCRATCH_DIR names another parent.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace zolvak_test {

inline std::filesystem::path scratch_parent() {
    namespace fs = std::filesystem;
    if (const char* d = std::getenv("ZOLVAK_SCRATCH_DIR"); d && *d) return d;
    const fs::path shm = "/dev/shm";
    std::error_code ec;
    if (fs::is_directory(shm, ec) && ::access(shm.c_str(), W_OK | X_OK) == 0) return shm;
    return fs::temp_directory_path();
}

class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix = "zolvak") {
        std::string t = (scratch_parent() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(t.data()) == nullptr) throw std::runtime_error("cannot make a folder " + t);
        path_ = t;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    // The names in the folder, sorted.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(path_))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    std::filesystem::path path_;
};

// A whole file's bytes ("" when it cannot be read).
inline std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace zolvak_test
