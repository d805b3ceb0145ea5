#include "bench/soak_check.h"

#include <math.h>
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
        if (f.kind == "start") {  // a new daemon and a new world, the bowl where it was left
            bowl = f.text == "out" ? "at out" : "at in";
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
            // Told to go where it already is, the bowl stays, and no arrival
            // follows (a feeding that could not read the sensor sends it in).
            if (bowl != "at " + f.text) bowl = f.text;
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
    std::string text =
        message.compare(0, kAlias.size(), kAlias) == 0 ? message.substr(kAlias.size()) : message;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
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

void excuse_meals(std::vector<Meal>* meals, const std::vector<Excuse>& excuses) {
    for (Meal& m : *meals) {
        for (const Excuse& e : excuses) {
            if (e.minute >= 0 && m.minute >= 0 && e.minute != m.minute) continue;
            if (e.from > m.at + kLateServe || e.to < m.at - 180) continue;
            m.required = false;
            m.why = e.why;
            break;
        }
    }
}

void excuse_not_running(std::vector<Meal>* meals, const std::vector<std::pair<long, long>>& runs,
                        long start_up) {
    for (Meal& m : *meals) {
        if (!m.required) continue;
        bool able = false;
        for (const auto& [start, stop] : runs) {
            long from = start + start_up;
            if (from <= m.at - 120 && stop >= m.at + 60) able = true;
            if (std::min(stop, m.at + kLateServe) - std::max(from, m.at) >= 150) able = true;
        }
        if (!able) {
            m.required = false;
            m.why = "the daemon not running";
        }
    }
}

bool meal_notice(const std::string& text) {
    static const char* const exact[] = {"그릇이 빠진것같습니다. 확인해주세요.",
                                        "사료가 부족합니다...",
                                        "저울이 응답하지 않습니다. 확인해주세요."};
    for (const char* e : exact)
        if (text == e) return true;
    return text.rfind("사료그릇이 멈추었습니다", 0) == 0;
}

long arrival_deadline(long from, long to, const std::vector<std::pair<long, long>>& outages,
                      long lag) {
    long by = to + lag;
    for (const auto& [a, b] : outages)
        if (a <= to && b >= from) by = std::max(by, b + kRecoverLag);
    return by;
}

namespace {

long earliest(const Message& m) {
    return m.from >= 0 && m.from < m.t ? m.from : m.t;
}

// The first message not yet used that `fits`, marked used; or -1.
template <class Fits>
long take_first(const std::vector<Message>& msgs, std::vector<bool>* used, Fits fits) {
    for (size_t i = 0; i < msgs.size(); ++i) {
        if ((*used)[i] || !fits(msgs[i])) continue;
        (*used)[i] = true;
        return long(i);
    }
    return -1;
}

bool meets(const std::vector<std::pair<long, long>>& spans, long from, long to) {
    for (const auto& [a, b] : spans)
        if (a <= to && b >= from) return true;
    return false;
}

}  // namespace

MealTally check_meals(const std::vector<Meal>& meals, const std::vector<Serve>& serves,
                      const std::vector<Message>& cloud,
                      const std::vector<std::pair<long, long>>& outages,
                      const std::vector<std::pair<long, long>>& low) {
    MealTally out;
    std::vector<Serve> order = serves;
    std::stable_sort(order.begin(), order.end(),
                     [](const Serve& a, const Serve& b) { return a.t < b.t; });
    std::vector<int> count(meals.size(), 0);
    std::vector<long> served_at(meals.size(), -1);
    for (const Serve& s : order) {
        // The latest meal in reach that is still owed; a late serve may come
        // after the next meal's minute.
        size_t owed = meals.size(), last = meals.size();
        for (size_t k = 0; k < meals.size(); ++k) {
            if (meals[k].at > s.t || s.t - meals[k].at > kServeWindow) continue;
            last = k;
            if (count[k] == 0) owed = k;
        }
        if (last == meals.size()) {
            out.bad.push_back(
                {s.t, text_of("a scheduled serve of %ld g with no meal due", s.served)});
            ++out.doubled;
        } else if (owed == meals.size()) {
            ++count[last];
            out.bad.push_back({s.t, text_of("the meal at %ld served twice", meals[last].at)});
            ++out.doubled;
        } else {
            ++count[owed];
            served_at[owed] = s.t;
        }
    }
    std::vector<Message> notices;
    for (const Message& m : cloud)
        if (meal_notice(m.text)) notices.push_back(m);
    std::vector<bool> used(notices.size(), false);
    for (size_t i = 0; i < meals.size(); ++i) {
        const Meal& m = meals[i];
        ++out.due;
        out.required += m.required;
        if (count[i] > 0) {
            ++out.served;
            // Served from a hopper low all along: the owner hears of it.
            bool low_all_along = false;
            for (const auto& [a, b] : low)
                if (a <= m.at - 180 && b >= served_at[i]) low_all_along = true;
            if (!low_all_along) continue;
            long by = arrival_deadline(m.at - 180, served_at[i], outages, kNoticeLag);
            if (take_first(notices, &used, [&](const Message& n) {
                    return n.text == "사료가 부족합니다..." && n.t >= m.at - 180 &&
                           earliest(n) <= by;
                }) >= 0) {
                ++out.low_told;
            } else {
                out.bad.push_back({m.at, "a meal served from a low hopper, the owner not told"});
            }
            continue;
        }
        if (!m.required) continue;
        long by = arrival_deadline(m.at - 180, m.at + kLateServe, outages, kNoticeLag);
        if (take_first(notices, &used, [&](const Message& n) {
                return n.t >= m.at - 180 && earliest(n) <= by;
            }) >= 0) {
            ++out.told;
        } else {
            ++out.untold;
            out.bad.push_back({m.at, "a meal not served, and the owner not told why"});
        }
    }
    return out;
}

std::vector<Truth> truth_of(const std::vector<Frame>& frames) {
    std::vector<Truth> out;
    for (const Frame& f : frames) {
        if (f.kind != "truth") continue;
        Truth x{f.t, false, 0, 0, f.text.find(" absent") != std::string::npos};
        if (sscanf(f.text.c_str(), "presented %lf", &x.grams) == 1) {
            x.presented = true;
            out.push_back(x);
        } else if (sscanf(f.text.c_str(), "taken ate %lf left %lf", &x.ate, &x.grams) == 2) {
            out.push_back(x);
        }
    }
    return out;
}

AmountTally check_amounts(const std::vector<Message>& served, const std::vector<Message>& eaten,
                          const std::vector<Truth>& truth,
                          const std::vector<std::pair<long, long>>& unsure,
                          const std::vector<std::pair<long, long>>& lost, double tolerance) {
    static const std::regex served_re(R"(^(-?\d+)g 제공되었습니다\..*$)");
    static const std::regex eaten_re(R"(^(-?\d+)g/(-?\d+)g 먹었습니다\.$)");
    const size_t none = truth.size();
    AmountTally out;
    // Each served report, and the presentation it told of.
    enum class Held { Yes, Unsure, Lost, NoTruth };
    struct Shown {
        int grams;
        long t, seq;
        size_t at;  // in `truth`
        Held held;
        bool weighed;
    };
    std::vector<Shown> shown;
    for (const Message& m : served) {
        std::smatch g;
        if (!std::regex_match(m.text, g, served_re)) continue;
        Shown s{std::stoi(g[1]), m.t, m.seq, none, Held::Yes, false};
        for (size_t i = 0; i < truth.size(); ++i)
            if (truth[i].presented && truth[i].t >= m.t - 90 && truth[i].t <= m.t + 1) s.at = i;
        if (meets(lost, m.t - 90, m.t + 1)) {
            s.held = Held::Lost;
            ++out.lost;
        } else if (s.at == none) {
            s.held = Held::NoTruth;
            out.bad.push_back({m.t, "\"" + m.text + "\" with no bowl presented before it"});
        } else if (meets(unsure, m.t - 120, m.t)) {
            s.held = Held::Unsure;
            ++out.unsure;
        } else {
            ++out.served;
            double err = fabs(s.grams - truth[s.at].grams);
            out.worst_served = std::max(out.worst_served, err);
            if (err > tolerance)
                out.bad.push_back({m.t, "\"" + m.text + "\": the bowl held " +
                                            std::to_string(int(lround(truth[s.at].grams))) + " g"});
        }
        shown.push_back(s);
    }
    for (const Message& m : eaten) {
        std::smatch g;
        if (!std::regex_match(m.text, g, eaten_re)) continue;
        int tried = std::stoi(g[1]), ate = std::stoi(g[2]);
        // The serve it weighs the rest of: the latest of as many grams before
        // it not yet weighed (a power cut leaves some never weighed). Before
        // it in the output where both places are known: a serve of as many
        // grams right after it may bear an earlier time than the report.
        Shown* s = nullptr;
        for (Shown& x : shown) {
            bool before = x.seq >= 0 && m.seq >= 0 ? x.seq < m.seq : x.t <= m.t;
            if (!x.weighed && x.grams == tried && before) s = &x;
        }
        if (!s) {
            out.bad.push_back({m.t, "\"" + m.text + "\" with no serve of as many grams before it"});
            continue;
        }
        s->weighed = true;
        if (s->held == Held::NoTruth) continue;
        if (s->held != Held::Yes) {
            ++(s->held == Held::Lost ? out.lost : out.unsure);
            continue;
        }
        // The bowl taken back after that presentation.
        size_t k = s->at + 1;
        while (k < truth.size() && truth[k].presented) ++k;
        long from = truth[s->at].t;
        if (meets(lost, from, k < truth.size() ? truth[k].t : m.t)) {
            ++out.lost;
            continue;
        }
        if (k == truth.size() || truth[k].t > m.t) {
            out.bad.push_back({m.t, "\"" + m.text + "\" with no bowl taken back before it"});
            continue;
        }
        if (meets(unsure, from - 120, m.t)) {
            ++out.unsure;
            continue;
        }
        ++out.eaten;
        double err = fabs(ate - truth[k].ate);
        out.worst_eaten = std::max(out.worst_eaten, err);
        if (err > tolerance)
            out.bad.push_back({m.t, "\"" + m.text + "\": the pet ate " +
                                        std::to_string(int(lround(truth[k].ate))) + " g"});
    }
    return out;
}

std::string device_line(const std::string& raw) {
    size_t text = raw.find_first_not_of('.');
    return text == std::string::npos ? std::string() : raw.substr(text);
}

bool report_text(const std::string& text) {
    static const std::regex report(
        R"(^-?\d+g 제공(되었습니다\. .*)?$|^-?\d+g/-?\d+g 먹었습니다\.$)");
    return std::regex_match(text, report);
}

DeliveryTally check_delivery(const std::vector<Message>& meant, const std::vector<Message>& cloud,
                             const std::vector<std::pair<long, long>>& outages,
                             const std::vector<long>& cuts, long end) {
    DeliveryTally out;
    std::vector<Message> order = meant;
    std::stable_sort(order.begin(), order.end(),
                     [](const Message& a, const Message& b) { return a.t < b.t; });
    std::vector<bool> used(cloud.size(), false);
    for (const Message& m : order) {
        ++out.meant;
        long from = earliest(m);
        long by = arrival_deadline(from, m.t, outages, kRecoverLag);
        long got = take_first(
            cloud, &used, [&](const Message& c) { return c.text == m.text && c.t >= from - 5; });
        if (got >= 0) {
            ++out.arrived;
            if (earliest(cloud[size_t(got)]) > by)
                out.bad.push_back(
                    {cloud[size_t(got)].t, "\"" + m.text + "\" arrived " +
                                               std::to_string(cloud[size_t(got)].t - m.t) +
                                               " s after it was meant"});
            continue;
        }
        // Kept, or on its way, when the power went.
        auto cut = std::lower_bound(cuts.begin(), cuts.end(), from);
        if (cut != cuts.end() && *cut <= arrival_deadline(from, m.t, outages, 60)) {
            ++out.lost_to_cuts;
        } else if (by > end) {
            ++out.pending;
        } else {
            out.bad.push_back({m.t, "\"" + m.text + "\" never arrived"});
        }
    }
    for (size_t i = 0; i < cloud.size(); ++i)
        if (!used[i] && report_text(cloud[i].text))
            out.bad.push_back(
                {cloud[i].t, "\"" + cloud[i].text + "\" arrived twice, or was never meant"});
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
