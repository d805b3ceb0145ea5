// A UDP path between the device and its SIP service that a test can cut.
// The device sends to the link's front address (its outbound proxy); the link
// forwards from a socket of its own to the service and carries the service's
// answers and requests back to the device. Cut, it drops everything both
// ways: to the device the service has gone silent.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class UdpLink {
  public:
    UdpLink(const std::string& front_ip, int front_port, const std::string& back_ip, int back_port);
    ~UdpLink();

    bool ready() const { return ready_; }
    void cut(bool on);
    // Cuts the link at the next REGISTER from the device (that one is lost
    // too) for `seconds`.
    void cut_at_next_register(double seconds);
    // When that cut ended (steady clock, seconds), or 0 while it has not.
    double cut_ended_at();
    // Times (steady clock, seconds) at which a 2xx to a REGISTER reached the device.
    std::vector<double> registrations();
    // For a failure: each REGISTER from the device and each 2xx to one, in
    // seconds from `since` ("-1.20 REGISTER dropped", "0.40 REGISTER ok").
    std::string timeline(double since);

  private:
    void run();

    int front_ = -1, back_ = -1, stop_[2] = {-1, -1};
    bool ready_ = false;
    std::mutex mu_;
    bool cut_ = false;
    double cut_for_ = 0;  // armed cut at the next REGISTER
    double cut_until_ = 0;
    double cut_ended_ = 0;
    std::vector<double> registered_;
    std::vector<std::pair<double, std::string>> seen_;  // the timeline's entries
    std::thread th_;
};

double steady_seconds();
