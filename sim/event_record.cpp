#include "sim/event_record.h"

#include <string.h>

namespace sim {

namespace {

// Bounded copy; a text cut short says so.
void put(char* dst, size_t cap, const char* src, size_t len) {
    if (len < cap) {
        memcpy(dst, src, len);
        dst[len] = '\0';
        return;
    }
    memcpy(dst, src, cap - 4);
    memcpy(dst + cap - 4, "...", 4);
}

}  // namespace

void EventRecord::push(int64_t t_us, const char* kind, const std::string& text) {
    if (capacity_ == 0) return;
    Slot& s = slots_[next_ % capacity_];
    s.t_us = t_us;
    put(s.kind, kKind, kind, strlen(kind));
    put(s.text, kText, text.data(), strnlen(text.c_str(), text.size()));
    ++next_;
    if (next_ - first_ > capacity_) first_ = next_ - capacity_;
}

void EventRecord::clear() {
    first_ = next_ = 0;
}

uint64_t EventRecord::since(uint64_t seq, std::vector<Event>* out, size_t max,
                            const char* kind) const {
    for (uint64_t s = seq > first_ ? seq : first_; s < next_; ++s) {
        const Slot& slot = slots_[s % capacity_];
        if (kind && strcmp(slot.kind, kind) != 0) continue;
        if (out->size() >= max) return s;
        out->push_back(Event{s, slot.t_us, slot.kind, slot.text});
    }
    return next_;
}

}  // namespace sim
