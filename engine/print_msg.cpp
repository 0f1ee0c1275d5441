// Message output of the repair run: format, cut safely, hand to the sink.
#include "engine/print_msg.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Length of the longest head of text[0..len) that ends on a whole UTF-8
// character.
std::size_t Whole_Utf8_Len(const char* text, std::size_t len) {
    if (len == 0) return 0;
    std::size_t start = len - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    unsigned char lead = static_cast<unsigned char>(text[start]);
    std::size_t need = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : 4;
    return start + need <= len ? len : start;
}

}  // namespace

Msg_Sink_Fn Msg_Sink = nullptr;
int Copy_Err_Flag = 0;

char* Msg_Vformat(char* buf, const char* format, va_list ap) {
    int n = std::vsnprintf(buf, PRINT_MSG_BUF_SIZE, format, ap);
    if (n < 0) {
        buf[0] = 0;
    } else if (n >= PRINT_MSG_BUF_SIZE) {
        // vsnprintf kept the first 2047 bytes; do not leave half a character.
        buf[Whole_Utf8_Len(buf, PRINT_MSG_BUF_SIZE - 1)] = 0;
    }
    return buf;
}

int Print_Msg(const char* format, ...) {
    char buf[PRINT_MSG_BUF_SIZE];
    va_list ap;
    va_start(ap, format);
    Msg_Vformat(buf, format, ap);
    va_end(ap);
    if (Msg_Sink != nullptr) Msg_Sink(buf);
    return 1;
}
