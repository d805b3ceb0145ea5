#include "sim/history.h"

namespace sim {

void History::sample(int64_t mono_s, double grams, double hopper) {
    if (!samples_.empty() && mono_s - samples_.back().mono_s < kEveryS) return;
    samples_.push_back(Sample{mono_s, float(grams), float(hopper)});
    if (samples_.size() > kMax) samples_.pop_front();
}

}  // namespace sim
