// Diagnostics: standard output, flushed at once. There is no log file.
#pragma once

#include <stdio.h>

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void log_out(const char* fmt, ...);

// "return __UCOM_DONE ( 16 ) @ 123 , ucom_r_event": the result line printed
// before a handler returns one of the shared result codes.
#define LOG_RETURN(code) log_out("return " #code " ( %d ) @ %d , %s\n", code, __LINE__, __func__)
