// Log writer.
#include "stdclass/log.h"

#include "stdclass/thread_mgr.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

namespace {

char log_file_name[LOG_FILE_NAME_LEN];
char log_prefix[LOG_PREFIX_LEN];
int log_append = 0;
int log_first_open = 1;
TThread_Lock* log_lock = nullptr;

// The file lines' time stamp, month-day hour:minute:second of local time.
// The 14-digit time texts and their formatter live in the data layer above
// this library; this is the same text for the one pattern the writer uses.
void Stamp_Now(char* out, size_t size) {
    time_t t = time(nullptr);
    struct tm tm_buf;
    if (localtime_r(&t, &tm_buf) == nullptr) {
        snprintf(out, size, "01-01 00:00:00");
        return;
    }
    snprintf(out, size, "%02d-%02d %02d:%02d:%02d", tm_buf.tm_mon + 1, tm_buf.tm_mday,
             tm_buf.tm_hour, tm_buf.tm_min, tm_buf.tm_sec);
}

int Set_Field(char* field, int size, const char* text) {
    if (text == nullptr) text = "";
    size_t n = strlen(text);
    if (n >= static_cast<size_t>(size)) return 0;
    memcpy(field, text, n + 1);
    return 1;
}

}  // namespace

int Log_Print(const char* format, ...) {
    if (log_lock == nullptr) log_lock = Thread_Create_Lock();
    TThread_Safe guard(log_lock);

    char msg[LOG_MSG_LEN];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(msg, sizeof(msg), format, ap);
    va_end(ap);
    if (n < 0 || n >= LOG_MSG_LEN) {
        // A cut diagnostic could end inside a character; refuse it whole.
        printf("Log_Print message too long (%d bytes)\n", n);
        return 0;
    }

    char stamp[52];
    Stamp_Now(stamp, sizeof(stamp));
    int id = Thread_Get_Id();

    printf("%s%s\n", log_prefix, msg);
    if (log_file_name[0] == 0) return 1;

    const char* mode = "at+";
    if (log_first_open) {
        mode = log_append ? "at+" : "wt";
        log_first_open = 0;
    }
    FILE* f = fopen(log_file_name, mode);
    if (f == nullptr) {
        printf("Unable to open log file %s\n", log_file_name);
        log_file_name[0] = 0;
        return 0;
    }
    fprintf(f, "%5d %s %s%s\n", id, stamp, log_prefix, msg);
    fclose(f);
    return 1;
}

int Log_Set_File_Name(const char* name) {
    return Set_Field(log_file_name, LOG_FILE_NAME_LEN, name);
}

int Log_Set_Prefix(const char* prefix) { return Set_Field(log_prefix, LOG_PREFIX_LEN, prefix); }

int Log_Set_Append(int append) {
    log_append = append;
    return 1;
}

const char* Log_Get_File_Name() { return log_file_name; }
