// Points in time as 14-digit texts YYYYMMDDHHMISS, and their formatting.
#pragma once

#include <ctime>

constexpr int TIME14_LEN = 15;  // 14 digits and the terminator

// Local time of t as 14 digits into out (TIME14_LEN bytes). Years whose last
// two digits are below 70 become 20xx. A time the runtime cannot convert, or
// whose year has more than four digits, gives "19700101000000".
char* Time_To_Str14(time_t t, char* out);
char* Now_Time14(char* out);
// Fills pattern's words (yyyy yy mm dd hh mi ss, in all lower or all upper
// case; "@x" writes x) from a 14-digit text. out must hold strlen(pattern)+1
// bytes. A null text or pattern returns text and writes nothing.
const char* Format_Time(const char* text, const char* pattern, char* out);
