// 14-digit time texts and their formatting.
#include "data/date_time.h"

#include <stdio.h>
#include <string.h>

char* Time_To_Str14(time_t t, char* out) {
    struct tm tm_buf;
    // localtime_r: every caller gets its own conversion result.
    if (localtime_r(&t, &tm_buf) == nullptr) {
        strcpy(out, "19700101000000");
        return out;
    }
    long long year = static_cast<long long>(tm_buf.tm_year) + 1900;
    if (year < 0 || year > 9999) {
        // Five digits would not fit the 14-digit text.
        strcpy(out, "19700101000000");
        return out;
    }
    if (year % 100 < 70) year = 2000 + year % 100;
    char text[64];
    snprintf(text, sizeof(text), "%04d%02d%02d%02d%02d%02d", static_cast<int>(year),
             tm_buf.tm_mon + 1, tm_buf.tm_mday, tm_buf.tm_hour, tm_buf.tm_min, tm_buf.tm_sec);
    memcpy(out, text, TIME14_LEN - 1);
    out[TIME14_LEN - 1] = 0;
    return out;
}

char* Now_Time14(char* out) { return Time_To_Str14(time(nullptr), out); }

namespace {

// True when the pattern at p starts with word in all lower or all upper case.
bool Word_At(const char* p, const char* lower, const char* upper) {
    size_t n = strlen(lower);
    return strncmp(p, lower, n) == 0 || strncmp(p, upper, n) == 0;
}

// Copies n characters of text from position pos when text has at least need
// characters, else n blanks.
char* Put_Field(char* o, const char* text, size_t len, size_t pos, size_t n, size_t need) {
    for (size_t i = 0; i < n; i++) *o++ = len >= need ? text[pos + i] : ' ';
    return o;
}

}  // namespace

const char* Format_Time(const char* text, const char* pattern, char* out) {
    if (text == nullptr || pattern == nullptr) return text;
    size_t len = strlen(text);
    const char* p = pattern;
    char* o = out;
    while (*p) {
        if (*p == '@') {
            if (p[1] == 0) break;  // a lone "@" ends the output
            *o++ = p[1];
            p += 2;
        } else if (Word_At(p, "yyyy", "YYYY")) {
            o = Put_Field(o, text, len, 0, 4, 4);
            p += 4;
        } else if (Word_At(p, "yy", "YY")) {
            o = Put_Field(o, text, len, 2, 2, 4);
            p += 2;
        } else if (Word_At(p, "mm", "MM")) {
            o = Put_Field(o, text, len, 4, 2, 6);
            p += 2;
        } else if (Word_At(p, "mi", "MI")) {
            o = Put_Field(o, text, len, 10, 2, 12);
            p += 2;
        } else if (Word_At(p, "dd", "DD")) {
            o = Put_Field(o, text, len, 6, 2, 8);
            p += 2;
        } else if (Word_At(p, "hh", "HH")) {
            o = Put_Field(o, text, len, 8, 2, 10);
            p += 2;
        } else if (Word_At(p, "ss", "SS")) {
            o = Put_Field(o, text, len, 12, 2, 14);
            p += 2;
        } else if (*p == 'm') {
            *o++ = ' ';
            p++;
        } else {
            *o++ = *p++;
        }
    }
    *o = 0;
    return out;
}
