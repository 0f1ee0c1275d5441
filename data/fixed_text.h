// Copying texts into the fixed-width fields of the data and connection
// classes: a text either fits its field whole or is refused; where a field is
// defined to keep only the head of a long text, the cut never splits a UTF-8
// sequence.
#pragma once

#include <cstddef>

// Copies src (null = empty) into dst of size bytes. Returns 1, or 0 when the
// text and its terminator do not fit; dst is then left unchanged.
int Fixed_Copy(char* dst, std::size_t size, const char* src);

// Copies at most max_len bytes of src (null = empty) into dst, which holds
// max_len + 1 bytes, backing off to the start of a UTF-8 sequence when the cut
// would fall inside one. Returns the number of bytes copied.
std::size_t Cut_Copy(char* dst, std::size_t max_len, const char* src);

// Number of bytes of the first max_len bytes of src that end on a UTF-8
// character boundary (len is the length of src).
std::size_t Utf8_Cut_Len(const char* src, std::size_t len, std::size_t max_len);
