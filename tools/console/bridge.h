// The console's ways to what already runs on the desk: the simulator's
// control socket, the phone client, the cloud service's record and the
// device log. None of them keeps anything the device does not have.
#pragma once

#include <jansson.h>

#include <mutex>
#include <string>
#include <vector>

namespace console {

// One connection to hopperd-sim's control socket, kept open and used for
// one request at a time, opened again after any failure.
class ControlLink {
  public:
    explicit ControlLink(std::string path) : path_(std::move(path)) {}
    ~ControlLink();
    ControlLink(const ControlLink&) = delete;
    ControlLink& operator=(const ControlLink&) = delete;

    // Sends one request line and waits up to `timeout_ms` for its reply
    // line. Returns "" and the reply, or why there is none.
    std::string request(const std::string& line, std::string* reply, int timeout_ms = 10000);

  private:
    void drop();
    std::string path_;
    std::mutex mu_;
    int fd_ = -1;
    std::string pending_;  // bytes read past the last reply line
};

struct RunResult {
    int status = -1;  // exit status; -1 when it did not exit by itself
    bool timed_out = false;
    std::string out, err;
};

// Runs argv[0] (no shell) with standard input from /dev/null, collects what
// it prints, and ends it after `timeout_ms`. Returns false when it could not
// be started.
bool run_program(const std::vector<std::string>& argv, int timeout_ms, RunResult* r);

// The device's SIP id from its identity file (the uuid without dashes);
// empty until the device has written one.
std::string read_sipid(const std::string& identity_file);

// Owner's messages and feeding-log entries from the cloud record, from byte
// `since` on (a record shorter than that was started anew: from 0), at most
// `max` of the last ones. Sets *next to where the next read goes on.
json_t* read_owner_feed(const std::string& record, long since, size_t max, long* next);

// The last `lines` lines of a log file, as a JSON array of texts.
json_t* tail_lines(const std::string& file, size_t lines);

}  // namespace console
