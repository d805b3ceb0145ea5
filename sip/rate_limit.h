// How many requests the device takes in: a burst after a quiet spell, then a
// steady rate (a token bucket). Counted in whole requests at the times the
// caller gives, so it needs no clock of its own.
#pragma once

struct RateLimit {
    double burst;   // requests taken at once after a quiet spell
    double per_s;   // requests a second after that
    double tokens;  // requests that may come now
    double last_s;  // when tokens was last brought up to date
};

RateLimit rate_limit_new(unsigned burst, double per_s, double now_s);
// True when a request at `now_s` is taken. False when it is one too many;
// `*retry_s` is then the whole seconds until one would be taken again.
bool rate_limit_take(RateLimit& r, double now_s, unsigned* retry_s);
