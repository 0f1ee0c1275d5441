// tstr and the string helpers.
#include "stdclass/tstr.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace {

char empty_text[1] = {0};

}  // namespace

tstr::tstr() : buf(nullptr), capacity(0), len(0) {}

tstr::tstr(const char* text) : tstr() { *this = text; }

tstr::~tstr() {
    if (buf != nullptr) Free_Mem(buf, "tstr::~tstr");
    buf = nullptr;
    capacity = 0;
    len = 0;
}

const char* tstr::Str() const { return buf != nullptr ? buf : empty_text; }

int tstr::Length() const { return len; }

int tstr::ma(int n) {
    // The text must survive, and its terminator needs a byte: one byte more
    // than the capacity is always allocated, so position `capacity` exists.
    if (n < len || n < 0 || n == INT32_MAX) return 0;
    char* fresh = static_cast<char*>(Alloc_Mem(n + 1, "tstr::ma"));
    if (fresh == nullptr) return 0;
    if (buf != nullptr) {
        memcpy(fresh, buf, len);
        Free_Mem(buf, "tstr::ma");
    }
    buf = fresh;
    capacity = n;
    buf[len] = 0;
    buf[n] = 0;
    return 1;
}

int tstr::Set_Length(int n) {
    if (n < 0 || n > capacity) return 0;
    len = n;
    if (n < capacity) buf[n] = 0;
    return 1;
}

tstr& tstr::operator~() {
    if (buf != nullptr) Free_Mem(buf, "tstr::operator~");
    buf = nullptr;
    capacity = 0;
    len = 0;
    return *this;
}

tstr& tstr::operator=(const char* text) {
    if (text != nullptr && text == buf) return *this;
    len = 0;
    if (buf != nullptr) buf[0] = 0;
    if (text != nullptr) Append(text, static_cast<int>(strlen(text)));
    return *this;
}

tstr& tstr::Append(const char* bytes, int n) {
    if (bytes == nullptr || n <= 0) return *this;
    if (static_cast<int64_t>(len) + n + 512 > INT32_MAX) return *this;
    if (!(len + n < capacity - 1)) {
        // Appending a piece of the string itself: the old buffer goes away.
        bool inside = buf != nullptr && bytes >= buf && bytes < buf + capacity + 1;
        ptrdiff_t at = inside ? bytes - buf : 0;
        if (!ma(((len + n + 512) / 256) * 256)) return *this;
        if (inside) bytes = buf + at;
    }
    memmove(buf + len, bytes, n);
    len += n;
    buf[len] = 0;
    return *this;
}

tstr& tstr::operator+=(const char* text) {
    if (text != nullptr) Append(text, static_cast<int>(strlen(text)));
    return *this;
}

tstr& tstr::operator+=(char c) {
    char one[2] = {c, 0};
    return Append(one, static_cast<int>(strlen(one)));
}

int Str_To_Fixed(const char* text, int decimals) {
    if (text == nullptr) return 0;
    const char* p = text;
    bool minus = false;
    while (*p && !(*p >= '0' && *p <= '9') && *p != '.') {
        if (*p == '-') minus = true;
        p++;
    }
    if (*p == 0) return 0;
    // 32-bit arithmetic that wraps like the machine's instead of overflowing.
    uint32_t v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10u + static_cast<uint32_t>(*p - '0');
        p++;
    }
    if (*p == '.') p++;
    for (int i = 0; i < decimals; i++) {
        v *= 10u;
        if (*p >= '0' && *p <= '9') {
            v += static_cast<uint32_t>(*p - '0');
            p++;
        }
    }
    if (minus) v = 0u - v;
    return static_cast<int32_t>(v);
}

char* Str_Trim_Right(char* text) {
    if (text == nullptr) return nullptr;
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t' || text[n - 1] == '\n' ||
                     text[n - 1] == '\r')) {
        n--;
    }
    text[n] = 0;
    return text;
}

char* Str_Upper(char* text) {
    if (text == nullptr) return nullptr;
    for (char* p = text; *p; p++) {
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
    }
    return text;
}

char* Str_Lower(char* text) {
    if (text == nullptr) return nullptr;
    for (char* p = text; *p; p++) {
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    }
    return text;
}
