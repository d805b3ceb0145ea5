// The world's event log: the last `capacity` events, each in a slot of fixed
// size, so a full record costs the same whatever its events say. Strings of
// varying length on the heap made the simulator's private memory drift by a
// megabyte with the mix of events, which hid the daemon's own in a long run.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace sim {

struct Event {
    uint64_t seq;
    int64_t t_us;      // virtual wall time
    std::string kind;  // "mcu_rx", "mcu_tx", "led", "shell", "gpio", "watchdog", "button", ...
    std::string text;
};

class EventRecord {
  public:
    static constexpr size_t kKind = 16;   // with its terminating zero
    static constexpr size_t kText = 200;  // longer texts end in "..."

    // Slots are left uninitialised: the pages cost only once events fill them.
    explicit EventRecord(size_t capacity) : slots_(new Slot[capacity]), capacity_(capacity) {}

    void push(int64_t t_us, const char* kind, const std::string& text);
    void clear();
    // Copies up to `max` events of `kind` (all kinds when null) from sequence
    // `seq` on into `out`; returns the sequence to ask from next.
    uint64_t since(uint64_t seq, std::vector<Event>* out, size_t max, const char* kind) const;
    uint64_t next_seq() const { return next_; }
    size_t size() const { return size_t(next_ - first_); }

  private:
    struct Slot {
        int64_t t_us;
        char kind[kKind];
        char text[kText];
    };
    std::unique_ptr<Slot[]> slots_;  // slot of sequence s: s % capacity
    size_t capacity_;
    uint64_t first_ = 0, next_ = 0;
};

}  // namespace sim
