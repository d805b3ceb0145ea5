// The SIP side of a desk for system tests and benchmarks: the local SIP
// service (kamailio, through scripts/sip-service) and the phone client.
#pragma once

#include <jansson.h>

#include <string>
#include <vector>

// A helper program run to its end: its exit status, or -1.
int run_to_end(const std::vector<std::string>& argv, std::string* out, double seconds);

// kamailio on `addr`:5080 with its files in `rundir`.
struct SipService {
    std::string rundir, addr;
    int start(std::string* out = nullptr) const;
    int stop() const;
};

// One hopperd-phone run through the service at `proxy` ("sip:ADDR:5080"),
// listening on `listen` ("ADDR:5070"), to the device `sipid`.
struct Phone {
    std::string proxy, listen, sipid, product_id = "00:1a:2b:3c:4d:5e";
    int run(const std::vector<std::string>& args, std::string* out, double timeout_s = 20) const;
    // The command line of such a run, for a caller that starts it another way
    // (in a network namespace).
    std::vector<std::string> argv(const std::vector<std::string>& args, double timeout_s) const;
    // Sends the command again and again until the device answers it; the
    // steady-clock time (seconds) of the answer, or 0 after `seconds`.
    // `last`, if given, gets what the last attempt printed (for a failure);
    // `attempts`, when each attempt began and how long it took.
    double until_answered(const std::vector<std::string>& args, double seconds,
                          std::string* last = nullptr, std::string* attempts = nullptr) const;
};

// The reply body a phone printed: its first line that is a JSON object.
json_t* reply_of(const std::string& out);
// A text member of a JSON object, or "<none>".
std::string json_text(json_t* j, const char* key);
// The device's sipid from its start-up output, or "".
std::string sipid_of(const std::string& device_output);
