// Log writer: one line per call on standard output, and a fuller line
// (thread identifier, time stamp) appended to the log file when one is set.
#pragma once

#include "stdclass/path_size.h"

#if defined(__GNUC__)
#define LOG_PRINTF_CHECK __attribute__((format(printf, 1, 2)))
#else
#define LOG_PRINTF_CHECK
#endif

constexpr int LOG_FILE_NAME_LEN = PATH_FIELD_SIZE;
constexpr int LOG_PREFIX_LEN = 100;
constexpr int LOG_MSG_LEN = 2048;

// 1 when the line was written (or no file is set), 0 when the log file could
// not be opened or the message does not fit in LOG_MSG_LEN - 1 bytes.
int Log_Print(const char* format, ...) LOG_PRINTF_CHECK;

// Settings (nothing in the tool changes them; off by default). Each returns
// 1, or 0 when the text does not fit its field (the setting is unchanged).
int Log_Set_File_Name(const char* name);
int Log_Set_Prefix(const char* prefix);
int Log_Set_Append(int append);
const char* Log_Get_File_Name();
