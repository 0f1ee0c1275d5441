// The message output of a repair run and its failure flag.
//
// Every line meant for the user goes through Print_Msg, which formats it and
// hands it to the installed sink (the window's log, the command line's line
// collector); with no sink installed the line is dropped. Copy_Err_Flag is
// raised to 1 by the table copy and the index rebuild whenever one statement
// fails, and reset by the run before its first step.
//
// These live with the engine because every step writes through them; the run
// (app/run) owns their use: it installs nothing itself, but resets the flag
// and reads it at the end.
#pragma once

#include <cstdarg>

#include "stdclass/path_size.h"

#if defined(__GNUC__)
#define PRINT_MSG_CHECK __attribute__((format(printf, 1, 2)))
#else
#define PRINT_MSG_CHECK
#endif

// One formatted message, with its terminator: a line that names a path (of
// up to PATH_FIELD_SIZE bytes) is shown whole.
constexpr int PRINT_MSG_BUF_SIZE = PATH_FIELD_SIZE + 2048;

typedef int (*Msg_Sink_Fn)(const char* text);

// The process-wide sink; null at start. Not locked: written and read on the
// thread that runs the repair.
extern Msg_Sink_Fn Msg_Sink;

extern int Copy_Err_Flag;

// Formats by the printf rules into buf (PRINT_MSG_BUF_SIZE bytes); a longer
// text is cut at the last whole UTF-8 character that fits. Returns buf.
char* Msg_Vformat(char* buf, const char* format, va_list ap);

// Formats by the printf rules into a PRINT_MSG_BUF_SIZE buffer and hands the text to
// Msg_Sink. A longer text is cut at the last whole UTF-8 character that fits.
// Always returns 1.
int Print_Msg(const char* format, ...) PRINT_MSG_CHECK;
