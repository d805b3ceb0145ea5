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

// A world event (the control socket's log): kind "motor"/"bowl"/"watchdog"/
// "truth", or "start" (a new daemon and world; text "out" when the bowl
// starts out).
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
    // Where it stands in the device's output, -1 unknown: the output is read
    // in slices, and a report read late takes the slice's time.
    long seq = -1;
};

// The owner's text of a message the device posted to the messaging service:
// the service puts the feeder's name where "${product.alias} " stands, and
// the line end a date text brings is no part of it.
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

// How long after its minute began a meal may still be served: the runner
// was busy (an earlier meal, a refill) or the daemon started within it.
constexpr long kLateServe = 600;
// A serve report belongs to a meal whose minute began at most this long
// before it (the fill and the bowl's way out come before the report).
constexpr long kServeWindow = kLateServe + 150;
// A notice for a meal not served arrives by this long after the last moment
// it could be served; what the cloud did not take, by kRecoverLag after the
// cloud took messages again.
constexpr long kNoticeLag = 300;
constexpr long kRecoverLag = 900;

// A meal minute of the schedule: `required` unless the daemon could not
// serve it (it was not running) or the owner changed that meal meanwhile.
struct Meal {
    long at;  // start of the minute
    bool required = true;
    std::string why;  // why it is not required
    int minute = -1;  // local minute of the day
};
// A serve the device logged: when, and the grams it reported.
struct Serve {
    long t;
    int served;
};
// Something that makes a meal not required when [from, to] meets the time
// the meal may be filled and served, [at - 180, at + kLateServe]; only the
// meals at `minute` (local minute of the day) when that is not -1.
struct Excuse {
    long from, to;
    std::string why;
    int minute = -1;
};
void excuse_meals(std::vector<Meal>* meals, const std::vector<Excuse>& excuses);
// A daemon that was not running cannot serve nor tell. `runs`: [start, stop]
// of each daemon; it can serve `start_up` seconds after its start. A meal is
// required when one daemon could both fill it and serve it in its minute
// ([at - 120, at + 60]), or could serve it for 150 s of its late window.
void excuse_not_running(std::vector<Meal>* meals, const std::vector<std::pair<long, long>>& runs,
                        long start_up);

// The texts that tell the owner why a meal was not served: the bowl missing,
// the hopper low, the bowl stuck (with its date), the scale not weighing.
bool meal_notice(const std::string& text);

// When something meant between `from` and `to` must have reached the cloud:
// `lag` after `to`, or `kRecoverLag` after the end of an outage (the cloud
// not taking messages, or the network down) that met [from, to].
long arrival_deadline(long from, long to, const std::vector<std::pair<long, long>>& outages,
                      long lag);

struct MealTally {
    int due = 0, required = 0, served = 0, told = 0, untold = 0, doubled = 0, low_told = 0;
    std::vector<Violation> bad;
};
// Each required meal served exactly once or told: a serve belongs to the
// latest meal not yet served whose minute began at most kServeWindow before
// it; a required meal left without one needs a notice of its own
// (meal_notice, one notice per meal) from 180 s before its minute to its
// arrival deadline. A meal served while the hopper stayed low (`low`: spans
// of it) from 180 s before its minute to its serve needs a
// "사료가 부족합니다..." of its own too. No meal served twice, no serve
// without a meal.
MealTally check_meals(const std::vector<Meal>& meals, const std::vector<Serve>& serves,
                      const std::vector<Message>& cloud,
                      const std::vector<std::pair<long, long>>& outages,
                      const std::vector<std::pair<long, long>>& low);

// A "truth" event of the world (see sim/world.h): a presentation of the bowl
// and its grams, or the bowl taken back and what the pet ate.
struct Truth {
    long t;
    bool presented;
    double grams;  // presented: in the bowl; taken: left
    double ate;    // taken only
    bool absent;   // the bowl was not there
};
// The truth in the world's "truth" frames; frames of other kinds are skipped.
std::vector<Truth> truth_of(const std::vector<Frame>& frames);

struct AmountTally {
    int served = 0, eaten = 0, unsure = 0, lost = 0;
    double worst_served = 0, worst_eaten = 0;
    std::vector<Violation> bad;
};
// Every amount true within `tolerance` grams. Each served report (t: its
// date) against the latest presentation at most 90 s before it; each eaten
// report against the bowl taken back after the presentation of its serve:
// the latest served report of as many grams before it not yet weighed. A
// report weighed while the load cell's readings were garbled (`unsure`:
// spans of a fault that keeps the marker), or an eaten report of a serve
// that was, is not held to it, only counted; nor is one whose truth may be
// among the world events the record dropped unread (`lost`: spans).
AmountTally check_amounts(const std::vector<Message>& served, const std::vector<Message>& eaten,
                          const std::vector<Truth>& truth,
                          const std::vector<std::pair<long, long>>& unsure,
                          const std::vector<std::pair<long, long>>& lost, double tolerance);

struct DeliveryTally {
    int meant = 0, arrived = 0, lost_to_cuts = 0, pending = 0;
    std::vector<Violation> bad;
};
// Every report the device meant to send (its log: served, feeding-log and
// eaten texts, and notices it kept because the cloud did not take them,
// each seen between `from` and `t`) arrives in the cloud's record once, by
// its arrival deadline. What a power cut (`cuts`) ended
// while it was kept (an outage met the time from its meaning to the cut) or
// on its way (meant at most 60 s before the cut) is lost with the daemon's
// memory: counted, not held against it; what is due after `end`, pending.
// A report that arrives twice, or that the device never meant, is a fault.
DeliveryTally check_delivery(const std::vector<Message>& meant, const std::vector<Message>& cloud,
                             const std::vector<std::pair<long, long>>& outages,
                             const std::vector<long>& cuts, long end);

// The owner's report texts that the device logs as it sends them:
// "Ng 제공되었습니다. <date>", "Ng 제공" and "T g/E g 먹었습니다.".
bool report_text(const std::string& text);

// A line of the device's output as its writer meant it: other threads'
// progress dots, written without a newline, can sit in front of it.
std::string device_line(const std::string& raw);

// A figure that must stay flat: every sample after `from` at most `bound`
// above the sample at `from` (the first at or after it).
std::vector<Violation> check_flat(const std::vector<std::pair<long, long>>& samples, long from,
                                  long bound, const char* what, long* base, long* last);

}  // namespace soak
