#include <string.h>

#include <new>

#include "include/feeder.h"

namespace {
Feeder g_feeder;
}

Feeder* get_feeder() {
    return &g_feeder;
}

void feeder_reset(Feeder* f) {
    std::lock_guard<std::mutex> hold(f->lock);
    memset(f->product_id, 0, sizeof f->product_id);
    memset(f->sipid, 0, sizeof f->sipid);
    f->online = 0;
    f->fw_version = nullptr;
    f->proto_version = nullptr;
    f->ldcell_bias = 0;
    f->ldcell_base = 0;
    f->ldcell_bowl = 0;
    f->bowl_missing = 0;
    f->ldcell_gCoeff = 0.0f;
    f->in_manual.reset();
    f->in_schedule.reset();
    f->low_food_latch = 0;
    f->no_bowl_latch = 0;
    f->msgq_id = 0;
}

FeedSessionPtr feed_session_alloc() {
    return FeedSessionPtr(new (std::nothrow) FeedSession{});
}

void feeder_destroy(Feeder* f) {
    // Both sessions go: a scheduled session left running at shutdown would
    // otherwise be the one heap record nobody releases.
    std::lock_guard<std::mutex> hold(f->lock);
    f->in_manual.reset();
    f->in_schedule.reset();
}
