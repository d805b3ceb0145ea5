#include "tools/console/input.h"

#include <ctype.h>
#include <string.h>
#include <uuid/uuid.h>

#include "include/owned.h"

namespace console {

namespace {

constexpr long kMaxFeedGrams = 1000;  // far beyond a meal; a typo, not a request
constexpr long kMaxHopperGrams = 100000;
constexpr long kMaxHoldS = 60;
constexpr long kMaxFaultReplies = 1000;
constexpr size_t kMaxUuid = 63;    // the schedule entry's uuid field
constexpr size_t kMaxWeight = 11;  // the schedule entry's weight field

const char* const kDays[] = {"sun", "mon", "tue", "wed", "thur", "fri", "sat"};

// A form field as text, without the blanks around it; absent when missing
// or not a string.
bool field(json_t* body, const char* key, std::string* out) {
    const char* s = json_string_value(json_object_get(body, key));
    if (!s) return false;
    const char* end = s + strlen(s);
    while (*s && isspace(static_cast<unsigned char>(*s))) ++s;
    while (end > s && isspace(static_cast<unsigned char>(end[-1]))) --end;
    out->assign(s, end);
    return true;
}

// The offending text as the page shows it back, cut short.
std::string quoted(const std::string& s) {
    return "\"" + (s.size() > 40 ? s.substr(0, 40) + "..." : s) + "\"";
}

// Digits only, at most 7 of them, within [lo, hi].
bool whole(const std::string& s, long lo, long hi, long* v) {
    if (s.empty() || s.size() > 7) return false;
    for (char c : s)
        if (!isdigit(static_cast<unsigned char>(c))) return false;
    *v = strtol(s.c_str(), nullptr, 10);
    return *v >= lo && *v <= hi;
}

// A whole number field: the reason it is refused, or "" with the value in *v.
std::string number(json_t* body, const char* key, const char* what, const char* unit, long lo,
                   long hi, long* v) {
    std::string s;
    if (!field(body, key, &s) || s.empty()) return std::string("give the ") + what;
    if (!whole(s, 0, 9999999, v)) return std::string(what) + " " + quoted(s) + " is not a number";
    if (*v < lo || *v > hi)
        return std::string(what) + " must be " + std::to_string(lo) + " to " + std::to_string(hi) +
               unit;
    return "";
}

// "h:mm" (and with `seconds`, also "h:mm:ss") into its parts.
bool clock_time(const std::string& s, bool seconds, int* h, int* m, int* sec) {
    std::vector<std::string> parts;
    for (size_t pos = 0; parts.size() <= 3;) {
        size_t colon = s.find(':', pos);
        parts.push_back(s.substr(pos, colon == std::string::npos ? colon : colon - pos));
        if (colon == std::string::npos) break;
        pos = colon + 1;
    }
    if (parts.size() < 2 || parts.size() > (seconds ? 3u : 2u)) return false;
    long v[3] = {0, 0, 0};
    for (size_t i = 0; i < parts.size(); ++i) {
        bool width = i == 0 ? !parts[i].empty() && parts[i].size() <= 2 : parts[i].size() == 2;
        if (!width || !whole(parts[i], 0, i == 0 ? 23 : 59, &v[i])) return false;
    }
    *h = int(v[0]);
    *m = int(v[1]);
    *sec = int(v[2]);
    return true;
}

std::string melody(json_t* body, std::string* out) {
    if (!field(body, "melody", out) || out->size() != 1 || (*out)[0] < '0' || (*out)[0] > '3')
        return "melody must be 0 (none), 1, 2 or 3";
    return "";
}

std::string uuid(json_t* body, bool make, std::string* out) {
    if (!field(body, "uuid", out) || out->empty()) {
        if (!make) return "say which schedule entry (uuid)";
        uuid_t u;
        char text[37];
        uuid_generate_random(u);
        uuid_unparse_lower(u, text);
        *out = text;
        return "";
    }
    bool good = out->size() <= kMaxUuid && isalnum(static_cast<unsigned char>((*out)[0]));
    for (char c : *out) good = good && (isalnum(static_cast<unsigned char>(c)) || strchr("._-", c));
    if (!good) return "uuid " + quoted(*out) + " must be up to 63 letters, digits, '.', '_' or '-'";
    return "";
}

std::string days(json_t* body, std::string* out) {
    json_t* list = json_object_get(body, "days");
    if (!json_is_array(list) || json_array_size(list) == 0) return "choose at least one day";
    out->clear();
    size_t i;
    json_t* d;
    json_array_foreach(list, i, d) {
        const char* name = json_string_value(d);
        bool known = false;
        for (const char* k : kDays) known = known || (name && strcmp(name, k) == 0);
        if (!known) return "unknown day " + quoted(name ? name : "?");
        *out += (out->empty() ? "" : ",") + std::string(name);
    }
    return "";
}

std::string dumped(json_t* j) {
    JsonPtr owned(j);
    CharPtr s(j ? json_dumps(j, JSON_COMPACT) : nullptr);
    return s ? s.get() : "";
}

}  // namespace

std::string feed_args(json_t* body, std::vector<std::string>* args) {
    long grams;
    std::string why = number(body, "amount", "amount", " g", 0, kMaxFeedGrams, &grams);
    std::string tune;
    if (why.empty()) why = melody(body, &tune);
    if (!why.empty()) return why;
    *args = {"feed", std::to_string(grams), tune};
    return "";
}

std::string entry_args(json_t* body, const char* verb, std::vector<std::string>* args) {
    std::string id, time, day_list, tune, weight;
    int h, m, s;
    long grams;
    std::string why = uuid(body, strcmp(verb, "sched-append") == 0, &id);
    if (why.empty() && (!field(body, "time", &time) || !clock_time(time, false, &h, &m, &s)))
        why = "time " + quoted(time) + " is not h:mm (0:00 to 23:59)";
    if (why.empty()) why = number(body, "amount", "amount", " g", 0, kMaxFeedGrams, &grams);
    if (why.empty()) why = days(body, &day_list);
    if (why.empty()) why = melody(body, &tune);
    field(body, "weight", &weight);
    if (why.empty() && weight.size() > kMaxWeight)
        why = "weight " + quoted(weight) + " is longer than 11 bytes";
    for (char c : weight)
        if (why.empty() && static_cast<unsigned char>(c) < 0x20)
            why = "weight holds a control character";
    if (!why.empty()) return why;
    char hm[8];
    snprintf(hm, sizeof hm, "%d:%02d", h, m);
    *args = {verb, id, hm, std::to_string(grams), day_list, tune, weight};
    return "";
}

std::string delete_args(json_t* body, std::vector<std::string>* args) {
    std::string id;
    std::string why = uuid(body, false, &id);
    if (!why.empty()) return why;
    *args = {"sched-delete", id};
    return "";
}

std::string world_line(json_t* body, std::string* line) {
    std::string action, text;
    field(body, "action", &action);
    long n;
    std::string why;
    json_t* req = nullptr;
    if (action == "bowl" || action == "network") {
        json_t* flag = json_object_get(body, action == "bowl" ? "present" : "up");
        if (!json_is_boolean(flag)) return action + " needs true or false";
        req = action == "bowl" ? json_pack("{s:s,s:O}", "op", "bowl", "present", flag)
                               : json_pack("{s:s,s:O}", "op", "set", "network_up", flag);
    } else if (action == "hopper") {
        why = number(body, "grams", "hopper", " g", 0, kMaxHopperGrams, &n);
        if (why.empty()) req = json_pack("{s:s,s:I}", "op", "set", "hopper", json_int_t(n));
    } else if (action == "button") {
        field(body, "line", &text);
        if (text != "reset" && text != "wps") return "button must be reset or wps";
        why = number(body, "seconds", "hold", " s", 0, kMaxHoldS, &n);
        if (why.empty())
            req = json_pack("{s:s,s:s,s:I}", "op", "button", "line", text.c_str(), "hold_s",
                            json_int_t(n));
    } else if (action == "fault") {
        std::string kind;
        field(body, "target", &text);
        field(body, "kind", &kind);
        if (text != "mcu" && text != "ldcell") return "fault target must be mcu or ldcell";
        bool token = !kind.empty() && kind.size() < 20;
        for (char c : kind) token = token && (islower(static_cast<unsigned char>(c)) || c == '_');
        if (!token) return "fault kind " + quoted(kind) + " is not a kind";
        why = number(body, "count", "fault", " replies", 1, kMaxFaultReplies, &n);
        if (why.empty())
            req = json_pack("{s:s,s:s,s:s,s:I}", "op", "fault", "target", text.c_str(), "kind",
                            kind.c_str(), "count", json_int_t(n));
    } else if (action == "clear_faults") {
        req = json_pack("{s:s}", "op", "clear_faults");
    } else if (action == "clock") {
        int h, m, s;
        if (!field(body, "time", &text) || !clock_time(text, true, &h, &m, &s))
            return "time " + quoted(text) + " is not h:mm or h:mm:ss (0:00 to 23:59:59)";
        char hms[12];
        snprintf(hms, sizeof hms, "%02d:%02d:%02d", h, m, s);
        req = json_pack("{s:s,s:s}", "op", "clock", "time", hms);
    } else {
        return "unknown action " + quoted(action);
    }
    if (!why.empty()) return why;
    *line = dumped(req);
    return line->empty() ? "cannot build the request" : "";
}

std::string control_line(const std::string& text, std::string* line) {
    json_error_t err;
    JsonPtr req(json_loadb(text.data(), text.size(), 0, &err));
    if (!req || !json_is_object(req.get())) return "not one JSON object";
    if (!json_is_string(json_object_get(req.get(), "op"))) return "the object names no \"op\"";
    *line = dumped(req.release());
    return "";
}

}  // namespace console
