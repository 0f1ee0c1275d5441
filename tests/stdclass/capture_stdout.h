// Captures what the code under test writes to standard output (file
// descriptor 1), flushing stdio around the capture.
#pragma once

#include <stdio.h>
#include <unistd.h>

#include <functional>
#include <string>

inline std::string Capture_Stdout(const std::function<void()>& body) {
    fflush(stdout);
    FILE* tmp = tmpfile();
    if (tmp == nullptr) return "<no tmpfile>";
    int saved = dup(1);
    dup2(fileno(tmp), 1);
    body();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    rewind(tmp);
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), tmp)) > 0) text.append(chunk, n);
    fclose(tmp);
    return text;
}
