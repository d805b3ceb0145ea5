// The datagram of the local socket between the SIP side and the manual
// feeding service: the same 368-byte layout in both directions.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct FeedCmd {
    int32_t cmd;          // request code in a request, result code in a reply
    int32_t feed_amount;  // grams requested
    char melody[360];     // melody text as received; only its first byte counts
};
static_assert(sizeof(FeedCmd) == 368, "FeedCmd travels as 368 bytes");
static_assert(offsetof(FeedCmd, feed_amount) == 4 && offsetof(FeedCmd, melody) == 8,
              "FeedCmd fields at their fixed offsets");

enum FeedCode : int32_t {
    __FEED_REQ = 1,
    __FEED_DONE = 9,    // served, a session runs
    __FEED_STOP = 10,   // a running session was ended early, or the bowl was closed
    __FEED_FAIL = 11,   // bowl missing, bowl stuck, or no reading from the scale
    __FEED_EMPTY = 12,  // food container low
    __FEED_NONE = 13,   // not a request
};
