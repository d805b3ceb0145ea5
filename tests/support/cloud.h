// The local cloud service (hopperd-cloud) on a loopback address of its own,
// with what it recorded.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"

struct CloudRecord {
    std::string method, path, message;
    std::string field(const char* key) const;
    std::string fields_json;
};

class CloudService {
  public:
    // mode: close, keep-open, slow, refuse, no-read. `addr` empty: a loopback
    // address of its own.
    explicit CloudService(const std::string& mode = "close", int delay_ms = 0,
                          const std::string& addr = "");
    ~CloudService();

    const std::string& addr() const { return addr_; }
    bool ready() const { return ready_; }
    std::vector<CloudRecord> records() const;
    // Messages sent to one path ("/Ovexa/api/messaging" ...), decoded.
    std::vector<std::string> messages(const char* path) const;
    // Waits until some message to `path` contains `text`.
    bool wait_message(const char* path, const std::string& text, double seconds) const;

  private:
    std::string addr_, dir_, record_;
    std::unique_ptr<Process> proc_;
    bool ready_ = false;
};

// A loopback address nobody listens on: connections are refused at once.
std::string unused_loopback();
// Points the cloud reports of this process at `host` (through the settings
// file below the simulated root).
void use_cloud_host(const std::string& root, const std::string& host);
