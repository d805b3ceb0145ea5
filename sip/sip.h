// Remote control over SIP: the user agent, the command envelope and the
// command handlers.
#pragma once

#include <jansson.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

// --- the user agent ---------------------------------------------------------------
// The manual-feeding handler's end of the local socket: opened on the SIP
// thread, used on the stack's thread.
extern std::atomic<int> uds_client_fd;

// MESSAGEs from the SIP service taken in at once after a quiet spell, and
// each second after that; one more is refused with 503. Strangers are
// refused before the limit and spend none of it. An owner's phone sends a
// few commands a minute; one that writes a whole schedule anew sends about
// 52 at once (an enumeration, one delete, 50 appends): twice that is never
// refused. The limit is for a phone or service gone wrong, sending in a loop.
enum { SIP_MESSAGE_BURST = 100 };
constexpr double kSipMessagesPerS = 1;

// SIP intervals (registration, retries, keep-alives, transactions) run this
// many times faster than on the board; before sip_init, simulation only.
void sip_set_time_scale(double scale);
int sip_init();         // __SIP_DONE, or the process ends with status 1
int sip_account_add();  // __SIP_DONE, or the process ends with status 1
void sip_thread_proc();
int sip_shutdown();  // __SIP_DONE
[[noreturn]] void sip_error_exit(const char* title, const char* why);
void on_pager(const char* from, const char* contact, const char* mime, const char* body,
              size_t len);

// --- the envelope ----------------------------------------------------------------------
enum { SIP_BODY_MAX = 64 * 1024 };  // a larger body is answered as a syntax error

using CmdHandler = int (*)(int sock, json_t* request, json_t** reply);
// Where replies go: the user agent, or a test's recorder.
using ReplySender = void (*)(const char* to, const char* text);
void cmd_set_reply_sender(ReplySender send);

int cmd_dispatch(const char* from, const char* body, size_t len);  // __SIP_DONE / __SIP_ERROR

// --- the handlers ------------------------------------------------------------------------
int feeder_feed_manual_update(int sock, json_t* req, json_t** reply);
int feeder_firmware_update(int sock, json_t* req, json_t** reply);
int feeder_melody_list(int sock, json_t* req, json_t** reply);
int feeder_volume_get(int sock, json_t* req, json_t** reply);
int feeder_volume_set(int sock, json_t* req, json_t** reply);
int feeder_cmd_unknown(int sock, json_t* req, json_t** reply);
int feeder_feed_sched_append(int sock, json_t* req, json_t** reply);
int feeder_feed_sched_modify(int sock, json_t* req, json_t** reply);
int feeder_feed_sched_delete(int sock, json_t* req, json_t** reply);
int feeder_feed_sched_enum(int sock, json_t* req, json_t** reply);

// Reply object with "ver", then "cmd" when given, then "productId".
json_t* sip_reply_new(const char* cmd);
void sip_reply_error(json_t* reply, const char* code, const char* message);
// True when the request's "productId" is the device's own.
bool sip_product_matches(json_t* req);

// Bounds of the two waits that would otherwise hold the SIP thread forever.
enum {
    FEED_REPLY_WAIT_S = 30 * 60,  // a manual feeding, however large, is over by then
    // The updater's answer to an update request. A real updater answers once
    // it has the new firmware: at a slow home link's 256 kbit/s, ten minutes
    // fetch about 19 MB. A stop that comes later still stops the program
    // (the supervision loop takes it).
    UPDATER_REPLY_WAIT_S = 10 * 60,
    // The updater started just before the request has this long to take it
    // (a fresh program loaded from flash while "sync" runs); after it the
    // device takes its request back, as no updater is listening.
    UPDATER_TAKE_WAIT_S = 10,
};

// System V message to and from the firmware updater.
enum { UPD_MSG_REQUEST = 2, UPD_MSG_STOP = 15, UPD_MSG_TEXT = 368 };
struct UpdateMsg {
    long type;  // 32 bits on the board: the updater is built with the same ABI
    char text[UPD_MSG_TEXT];
};
static_assert(offsetof(UpdateMsg, text) == sizeof(long), "the message text follows its type");
static_assert(sizeof(UpdateMsg::text) == 368, "the updater exchanges 368 text bytes");
