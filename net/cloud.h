// Reports to the cloud service: registration (POST) and event notifications
// (a hand-written GET over a connect-only connection), HTTP on port 8080.
#pragma once

#include <stddef.h>

enum CloudKind { CLOUD_REGISTER = 1, CLOUD_FEEDING_LOG = 2, CLOUD_MESSAGE = 3 };

// Once at start-up, before any thread can report: libcurl's global set-up is
// not thread-safe, so it is never repeated while transfers may run.
void cloud_init();
void cloud_cleanup();  // at shutdown, after every thread has ended

int cloud_request(const char* text, int kind);    // __HTTP_DONE / __HTTP_ERROR
int cloud_notify(const char* message, int kind);  // __HTTP_DONE / __HTTP_ERROR
int cloud_wait_socket(int sock, int for_recv, int timeout_ms);

// The request texts, for tests: 0, or -1 when the text does not fit `n`.
int cloud_post_body(char* out, size_t n, const char* text, int kind);
int cloud_get_request(char* out, size_t n, const char* message, int kind);
