// A calibrated feeder on the simulated board with exact arithmetic: no
// scale noise, 130 counts per gram, portions of exactly 7 g, a pet that does
// not eat unless told, and a local cloud service recording every report.
#pragma once

#include <memory>
#include <string>

#include "include/feeder.h"
#include "tests/support/cloud.h"
#include "tests/support/sim_fixture.h"

class FeederTest : public SimTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Calibrates again after the world was changed (bowl position, counts).
    void calibrate();
    void set_food(double grams);
    void set_bowl(sim::BowlPos pos);
    sim::BowlPos bowl();                   // where the bowl is now
    std::vector<std::string> mcu_codes();  // command byte of every request, "11", "12", ...
    int count_code(const char* code);
    std::vector<std::string> messages() { return cloud_->messages("/Ovexa/api/messaging"); }
    std::vector<std::string> feeding_log() { return cloud_->messages("/Ovexa/api/feeding-log"); }
    std::vector<std::string> shell() { return world_texts("shell"); }
    // Starts a session on a path as a served feeding would.
    void open_session(bool manual, int64_t fed_at, int32_t try_gram);

    Feeder* f_ = nullptr;
    int ucom_fd_ = 0;
    std::unique_ptr<CloudService> cloud_;
};

// The prefix the service template expects before every owner message.
extern const char kAlias[];
