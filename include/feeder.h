// The process-wide device record and the feeding session it owns.
#pragma once

#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>

// One served feeding, from the bowl being presented until the rest is weighed.
struct FeedSession {
    // Epoch seconds are 64-bit everywhere: a feeder sold now runs past 2038.
    int64_t fed_at;    // epoch seconds when the filled bowl was presented
    int64_t eaten_at;  // epoch seconds when the rest was weighed; 0 until then
    int32_t try_gram;  // grams in the bowl when presented
    int32_t eat_gram;  // grams eaten; 0 until then
    int32_t put_off;   // weighings put off: the bowl was not known to be in
};
using FeedSessionPtr = std::unique_ptr<FeedSession>;

struct Feeder {
    char product_id[18];  // wlan0 MAC as "xx:xx:xx:xx:xx:xx"
    char sipid[37];       // device uuid without dashes, the SIP user name
    std::atomic<int32_t> online;
    const char* fw_version;
    const char* proto_version;
    int32_t ldcell_bias;
    int32_t ldcell_base;  // raw reading of the empty scale
    int32_t ldcell_bowl;  // raw weight of the empty bowl
    std::atomic<int32_t> bowl_missing;
    float ldcell_gCoeff;  // raw counts per gram
    // Both pointers change only while `lock` is held; the record owns what
    // they point to.
    FeedSessionPtr in_manual;
    FeedSessionPtr in_schedule;
    std::atomic<int32_t> low_food_latch;
    std::atomic<int32_t> no_bowl_latch;
    int32_t msgq_id;
    std::mutex lock;
};

Feeder* get_feeder();
// Clears every field back to its start-up value; sessions are released.
void feeder_reset(Feeder* f);
// A new zero-filled session, or null when memory is exhausted.
FeedSessionPtr feed_session_alloc();
// Shutdown: releases the running sessions.
void feeder_destroy(Feeder* f);
