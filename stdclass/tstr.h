// tstr: growable byte string allocating through its TMemSafe hooks, and the
// free-standing string helpers.
#pragma once

#include "stdclass/mem_safe.h"

class tstr : public TMemSafe {
public:
    char* buf;
    int capacity;  // usable bytes; one more is always allocated for a NUL
    int len;

    tstr();
    explicit tstr(const char* text);
    ~tstr() override;
    tstr(const tstr&) = delete;
    tstr& operator=(const tstr&) = delete;

    const char* Str() const;
    int Length() const;
    // Reallocates to n bytes keeping the text; 0 (unchanged) when the
    // allocation fails or n is below the text's length.
    int ma(int n);
    int Set_Length(int n);
    tstr& operator~();
    tstr& operator=(const char* text);
    tstr& Append(const char* bytes, int n);
    tstr& operator+=(const char* text);
    tstr& operator+=(char c);
};

// Decimal text as an integer scaled by 10^decimals (32-bit, no rounding).
int Str_To_Fixed(const char* text, int decimals);
char* Str_Trim_Right(char* text);
char* Str_Upper(char* text);
char* Str_Lower(char* text);
