// A small record of the bowl's grams and the hopper over the last virtual
// hours, for a picture of the day on a desk: one sample every kEveryS virtual
// seconds, the oldest dropped past kMax. Times are monotonic, so a clock set
// by the daemon or a test never reorders the record.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>

namespace sim {

struct Sample {
    int64_t mono_s;  // virtual monotonic seconds
    float grams;     // in the bowl
    float hopper;
};

class History {
  public:
    static constexpr int64_t kEveryS = 30;
    static constexpr size_t kMax = 720;  // six virtual hours

    // Takes a sample when the last one is kEveryS or more behind.
    void sample(int64_t mono_s, double grams, double hopper);
    const std::deque<Sample>& samples() const { return samples_; }
    void clear() { samples_.clear(); }

  private:
    std::deque<Sample> samples_;
};

}  // namespace sim
