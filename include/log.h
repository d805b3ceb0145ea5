// Diagnostics: standard output, flushed at once. There is no log file.
#pragma once

#include <stdio.h>

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void log_out(const char* fmt, ...);

// Prints "return __UCOM_DONE ( 16 ) @ 123 , ucom_r_event" and returns the
// code: one statement, so the line printed is the return's own.
#define LOG_RETURN(code)                                                          \
    do {                                                                          \
        log_out("return " #code " ( %d ) @ %d , %s\n", code, __LINE__, __func__); \
        return code;                                                              \
    } while (0)
