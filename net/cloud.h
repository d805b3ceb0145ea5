// Reports to the cloud service: registration (POST) and event notifications
// (a hand-written GET over a connect-only connection), HTTP on port 8080.
#pragma once

#include <stddef.h>

enum CloudKind { CLOUD_REGISTER = 1, CLOUD_FEEDING_LOG = 2, CLOUD_MESSAGE = 3 };

// Once at start-up, before any thread can report: libcurl's global set-up is
// not thread-safe, so it is never repeated while transfers may run.
void cloud_init();
void cloud_cleanup();  // at shutdown, after every thread has ended

int cloud_request(const char* text, int kind);  // __HTTP_DONE / __HTTP_ERROR
// A report to the owner (kind 3) or the feeding log (kind 2). One the cloud
// does not take now is kept, in order, and sent again by cloud_thread_proc
// when it answers: __HTTP_DONE when it went now, __HTTP_ERROR when it waits
// (or is too long to ever go).
int cloud_notify(const char* message, int kind);
// One try, nothing kept: __HTTP_DONE once the whole request was sent.
int cloud_send(const char* message, int kind);
int cloud_wait_socket(int sock, int for_recv, int timeout_ms);

// --- reports kept while the cloud does not take them ---------------------------
enum {
    CLOUD_KEEP_MAX = 100,     // the oldest goes first past this
    CLOUD_KEEP_TEXT = 256,    // the longest report kept (the device's are short)
    CLOUD_RETRY_FIRST_S = 5,  // a failed try waits this long, twice as long after
    CLOUD_RETRY_MAX_S = 60,   // each further failure, up to this
};
// Sends the kept reports, oldest first, until the program stops; what is
// still kept then is logged as not delivered.
void cloud_thread_proc();
size_t cloud_kept();
// At an orderly stop, once every thread that reports has ended (a serve
// finishing as the program stops reports after the sending thread is gone):
// what is kept goes to a file that the next start's thread sends first.
void cloud_save_kept();
// One try at the oldest kept report: true when it went, or none was kept.
bool cloud_send_kept();

// The request texts, for tests: 0, or -1 when the text does not fit `n`.
int cloud_post_body(char* out, size_t n, const char* text, int kind);
int cloud_get_request(char* out, size_t n, const char* message, int kind);
