#include "bench/soak_check.h"

#include <stdio.h>

#include <algorithm>
#include <map>
#include <regex>

#include "mcu/ucom.h"

namespace soak {

namespace {

std::string text_of(const char* fmt, long a, long b = 0, long c = 0) {
    char buf[200];
    snprintf(buf, sizeof buf, fmt, a, b, c);
    return buf;
}

}  // namespace

std::vector<Violation> check_one_user(const std::vector<Frame>& frames, double portion_s) {
    std::vector<Violation> bad;
    // Where the bowl is: "in"/"out" while moving there, then "at in"/"at out".
    std::string bowl = "at in";
    double motor_until = 0;
    for (const Frame& f : frames) {
        if (f.kind == "start") {  // a new daemon and a new world: the bowl starts in
            bowl = "at in";
            motor_until = 0;
            continue;
        }
        if (f.kind == "motor" && f.text.rfind("feed ", 0) == 0) {
            int n = atoi(f.text.c_str() + 5);
            if (bowl != "at in") bad.push_back({f.t, "motor " + f.text + " with the bowl " + bowl});
            motor_until = std::max(motor_until, double(f.t)) + n * portion_s;
        } else if (f.kind == "bowl" && (f.text == "in" || f.text == "out")) {
            // The log has whole seconds: a second of slack.
            if (double(f.t) + 1 < motor_until)
                bad.push_back({f.t, "bowl " + f.text + " while the motor turns (until " +
                                        std::to_string(long(motor_until)) + ")"});
            bowl = f.text;
        } else if (f.kind == "bowl" && f.text.rfind("arrived ", 0) == 0) {
            bowl = "at " + f.text.substr(8);
        }
    }
    return bad;
}

std::vector<Violation> check_keepalives(const std::vector<Frame>& frames,
                                        const std::vector<std::pair<long, long>>& runs,
                                        long max_gap, long* worst_gap) {
    std::vector<Violation> bad;
    *worst_gap = 0;
    for (const auto& run : runs) {
        long last = -1;
        for (const Frame& f : frames) {
            // A new daemon: its clock may have run on before its first keep-alive.
            if (f.text == "start") last = -1;
            if (f.t < run.first || f.t > run.second) continue;
            if (f.text.rfind("bite", 0) == 0) bad.push_back({f.t, "watchdog " + f.text});
            if (f.text != "keepalive") continue;
            if (last >= 0) {
                long gap = f.t - last;
                *worst_gap = std::max(*worst_gap, gap);
                if (gap > max_gap)
                    bad.push_back({f.t, text_of("keep-alive %ld virtual s after the last", gap)});
            }
            last = f.t;
        }
    }
    return bad;
}

std::string owner_text(const std::string& message) {
    static const std::string kAlias = "${product.alias} ";
    return message.compare(0, kAlias.size(), kAlias) == 0 ? message.substr(kAlias.size()) : message;
}

std::vector<Violation> check_reports(const std::vector<Message>& msgs, int max_served,
                                     int* checked) {
    static const std::regex served(R"(^(-?\d+)g 제공(되었습니다\..*)?$)");
    static const std::regex eaten(R"(^(-?\d+)g/(-?\d+)g 먹었습니다\.$)");
    // What the scale's noise may add to a weighing of the rest.
    const int kNoise = 3;
    std::vector<Violation> bad;
    *checked = 0;
    for (const Message& m : msgs) {
        std::smatch g;
        if (std::regex_match(m.text, g, served)) {
            ++*checked;
            int n = std::stoi(g[1]);
            if (n < 0 || n > max_served)
                bad.push_back({m.t, "served report out of range: " + m.text});
        } else if (std::regex_match(m.text, g, eaten)) {
            ++*checked;
            int tried = std::stoi(g[1]), eat = std::stoi(g[2]);
            if (tried < 0 || tried > max_served || eat < 0 || eat > tried + kNoise)
                bad.push_back({m.t, "eaten report impossible: " + m.text});
        }
    }
    return bad;
}

int misread_sensor(const std::string& fault_text) {
    static const std::string tag = "reply ";
    if (fault_text.compare(0, tag.size(), tag) != 0) return -1;
    std::vector<uint8_t> b;
    for (size_t i = tag.size(); i + 2 <= fault_text.size(); i += 3) {
        unsigned v = 0;
        if (sscanf(fault_text.c_str() + i, "%2x", &v) != 1) return -1;
        b.push_back(uint8_t(v));
    }
    const size_t R = 6;  // a sensor reply: A1 02 30 value checksum A8
    size_t k = b.size();
    if (k <= R) return -1;
    if (b[k - 6] != 0xA1 || b[k - 5] != 0x02 || b[k - 4] != UCOM_GET_SENSOR || b[k - 1] != 0xA8)
        return -1;
    return ucom_reply_ok(b.data(), int(R)) ? b[3] : -1;
}

std::vector<Violation> check_notice(const std::vector<Message>& msgs, const std::string& text,
                                    const std::vector<long>& onsets,
                                    const std::vector<long>& starts, long lag) {
    std::vector<long> marks = onsets;
    marks.insert(marks.end(), starts.begin(), starts.end());
    std::sort(marks.begin(), marks.end());
    std::vector<Violation> bad;
    std::vector<bool> used(marks.size(), false);
    for (const Message& m : msgs) {
        if (m.text != text) continue;
        auto last = std::upper_bound(marks.begin(), marks.end(), m.t + lag);
        if (last == marks.begin()) {
            bad.push_back({m.t, "\"" + text + "\" sent before its condition held"});
            continue;
        }
        // Seen late, it may belong to any mark from the one in force when it
        // could first have been sent: the earliest of those not yet told.
        long from = m.from >= 0 && m.from < m.t ? m.from : m.t;
        auto first = std::upper_bound(marks.begin(), marks.end(), from + lag);
        if (first != marks.begin()) --first;
        size_t pick = marks.size();
        for (auto it = first; it != last; ++it)
            if (!used[size_t(it - marks.begin())]) {
                pick = size_t(it - marks.begin());
                break;
            }
        if (pick < marks.size()) {
            used[pick] = true;
            continue;
        }
        bad.push_back({m.t, "\"" + text + "\" sent again, the condition unchanged since " +
                                std::to_string(*(last - 1))});
    }
    return bad;
}

namespace {

// The meal a serve at `t` belongs to, or meals.size().
size_t meal_of(const std::vector<Meal>& meals, long t, long window) {
    size_t i = meals.size();
    for (size_t k = 0; k < meals.size() && meals[k].at <= t; ++k) i = k;
    return i < meals.size() && t - meals[i].at <= window ? i : meals.size();
}

}  // namespace

void excuse_meals(std::vector<Meal>* meals, const std::vector<Excuse>& excuses, long window) {
    for (size_t i = 0; i < meals->size(); ++i) {
        Meal& m = (*meals)[i];
        for (const Excuse& e : excuses) {
            if (e.from > m.at + 60 || e.to < m.at - 180) continue;
            if (e.serve >= 0 && meal_of(*meals, e.serve, window) == i) continue;
            m.required = false;
            m.why = e.why;
            break;
        }
    }
}

MealTally check_meals(const std::vector<Meal>& meals, const std::vector<Serve>& serves,
                      long window) {
    MealTally out;
    std::vector<int> count(meals.size(), 0);
    for (const Serve& s : serves) {
        size_t i = meal_of(meals, s.t, window);
        if (i == meals.size()) {
            out.bad.push_back(
                {s.t, text_of("a scheduled serve of %ld g with no meal due", s.served)});
            ++out.doubled;
            continue;
        }
        if (++count[i] == 2) {
            out.bad.push_back({s.t, text_of("the meal at %ld served twice", meals[i].at)});
            ++out.doubled;
        }
    }
    for (size_t i = 0; i < meals.size(); ++i) {
        ++out.due;
        out.required += meals[i].required;
        if (count[i] > 0) ++out.served;
        if (meals[i].required && count[i] == 0) {
            ++out.missed;
            out.bad.push_back({meals[i].at, "a meal due with nothing to excuse it was not served"});
        }
    }
    return out;
}

std::vector<Violation> check_flat(const std::vector<std::pair<long, long>>& samples, long from,
                                  long bound, const char* what, long* base, long* last) {
    std::vector<Violation> bad;
    *base = -1;
    *last = samples.empty() ? -1 : samples.back().second;
    for (const auto& s : samples) {
        if (s.first < from) continue;
        if (*base < 0) {
            *base = s.second;
            continue;
        }
        if (s.second > *base + bound)
            bad.push_back({s.first, std::string(what) + text_of(" %ld, %ld above its %ld", s.second,
                                                                s.second - *base, *base)});
    }
    return bad;
}

}  // namespace soak
