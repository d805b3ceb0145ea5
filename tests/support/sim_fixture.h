// A fresh simulated board for each test: its own root folder, a manual clock
// that advances as the code sleeps, the MCU model on a pty.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/world.h"
#include "tests/support/capture.h"
#include "tests/support/files.h"

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the world; tests that need another clock call it again.
    void start_world(bool manual_clock = true, double speed = 1.0, bool auto_advance = true);
    sim::World& world() { return sim::World::get(); }
    std::string root_;

    // Every event text of a kind, e.g. world_texts("mcu_rx").
    std::vector<std::string> world_texts(const char* kind) { return world().texts(kind); }
};
