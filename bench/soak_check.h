// The soak's invariants over what it observed: pure functions of recorded
// events, so each can be shown to trip on a wrong input.
// Times are virtual epoch seconds.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace soak {

struct Violation {
    long t;
    std::string what;
};

// A world event (the control socket's log): kind "motor"/"bowl"/"watchdog".
struct Frame {
    long t;
    std::string kind, text;
};

// Never two users of the bowl and motor: the motor runs only into a bowl
// standing in, and the bowl does not move while the motor still turns.
std::vector<Violation> check_one_user(const std::vector<Frame>& frames, double portion_s);

// Keep-alives at most `max_gap` virtual seconds apart while a daemon ran
// (`runs`: [start, end] of each daemon, after its watchdog opened), and no bite.
std::vector<Violation> check_keepalives(const std::vector<Frame>& watchdog_frames,
                                        const std::vector<std::pair<long, long>>& runs,
                                        long max_gap, long* worst_gap);

// The sensor word the device takes from a reply the simulator sent with junk
// in front (the world's "mcu_fault" text, "reply " and the bytes in hex), or
// -1 when there is no junk, it is no sensor reply or the device rejects it:
// the device judges the first 6 bytes by their checksum alone, and about one
// junk prefix in 256 passes with any bits at all.
int misread_sensor(const std::string& fault_text);

// A message the owner was sent, stamped when the soak saw it; it was sent
// at `from` or later (the soak's look before; -1: at `t`).
struct Message {
    long t;
    std::string text;
    long from = -1;
};

// The owner's text of a message the device posted to the messaging service:
// the service puts the feeder's name where "${product.alias} " stands.
std::string owner_text(const std::string& message);

// Served ("Ng 제공되었습니다.") and eaten ("T g/E g 먹었습니다.") reports:
// none negative, none served above `max_served`, none eating more than was
// served plus the scale's noise. `checked` counts the reports looked at.
std::vector<Violation> check_reports(const std::vector<Message>& msgs, int max_served,
                                     int* checked);

// One notice per change of its condition: between two onsets of the
// condition (or marks: a start of the daemon, which forgets what it told, or
// a reply the device read as the condition gone), `text` is sent at most
// once, and never before the condition first held.
std::vector<Violation> check_notice(const std::vector<Message>& msgs, const std::string& text,
                                    const std::vector<long>& onsets,
                                    const std::vector<long>& starts, long lag);

// A meal minute of the schedule: `required` when nothing excused it (the
// bowl away, the hopper low, faults, a restart, a feeding nearby...).
struct Meal {
    long at;  // start of the minute
    bool required;
    std::string why;  // why it is not required
};
// A scheduled serve the device logged: when, and the grams it reported.
struct Serve {
    long t;
    int served;
};
// Something that makes meals near it not required: a meal minute is excused
// when [from, to] meets [at - 180, at + 60]. `serve` is the time of the
// scheduled serve that opened it (a bowl being eaten from), or -1: a serve
// keeps the next meals from being filled, never its own.
struct Excuse {
    long from, to;
    std::string why;
    long serve = -1;
};
// Marks each meal that an excuse meets as not required, with its reason. A
// serve belongs to the last meal minute at most `window` seconds before it.
void excuse_meals(std::vector<Meal>* meals, const std::vector<Excuse>& excuses, long window);
struct MealTally {
    int due = 0, required = 0, served = 0, missed = 0, doubled = 0;
    std::vector<Violation> bad;
};
// Each required meal served exactly once, none served twice, and no serve
// without a meal: a serve belongs to the last meal minute at most `window`
// seconds before it.
MealTally check_meals(const std::vector<Meal>& meals, const std::vector<Serve>& serves,
                      long window);

// A figure that must stay flat: every sample after `from` at most `bound`
// above the sample at `from` (the first at or after it).
std::vector<Violation> check_flat(const std::vector<std::pair<long, long>>& samples, long from,
                                  long bound, const char* what, long* base, long* last);

}  // namespace soak
