// Fixed-width text fields: whole copies or refusals, and cuts on UTF-8
// character boundaries.
#include "data/fixed_text.h"

#include <cstring>

int Fixed_Copy(char* dst, std::size_t size, const char* src) {
    if (src == nullptr) src = "";
    std::size_t n = std::strlen(src);
    if (n + 1 > size) return 0;
    std::memmove(dst, src, n + 1);
    return 1;
}

std::size_t Utf8_Cut_Len(const char* src, std::size_t len, std::size_t max_len) {
    if (len <= max_len) return len;
    std::size_t n = max_len;
    // A byte 10xxxxxx continues a sequence: cutting before it would split one.
    while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) --n;
    return n;
}

std::size_t Cut_Copy(char* dst, std::size_t max_len, const char* src) {
    if (src == nullptr) src = "";
    std::size_t n = Utf8_Cut_Len(src, std::strlen(src), max_len);
    std::memmove(dst, src, n);
    dst[n] = 0;
    return n;
}
