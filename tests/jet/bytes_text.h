// Bytes as text for a test's failure messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zolvak_test {

// "0A FF 3C": two upper-case hex digits per byte, a space between bytes.
inline std::string spaced_hex(const std::vector<std::uint8_t>& b) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i) s += ' ';
        s += d[b[i] >> 4];
        s += d[b[i] & 15];
    }
    return s;
}

}  // namespace zolvak_test
