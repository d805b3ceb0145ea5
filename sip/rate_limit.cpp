#include "sip/rate_limit.h"

#include <math.h>

RateLimit rate_limit_new(unsigned burst, double per_s, double now_s) {
    return RateLimit{double(burst), per_s, double(burst), now_s};
}

bool rate_limit_take(RateLimit& r, double now_s, unsigned* retry_s) {
    // A clock that steps back gives nothing and takes nothing.
    if (now_s > r.last_s) {
        r.tokens = fmin(r.burst, r.tokens + (now_s - r.last_s) * r.per_s);
        r.last_s = now_s;
    }
    if (r.tokens >= 1) {
        r.tokens -= 1;
        return true;
    }
    double wait = r.per_s > 0 ? (1 - r.tokens) / r.per_s : 3600;
    *retry_s = unsigned(ceil(wait));
    if (*retry_s < 1) *retry_s = 1;
    return false;
}
