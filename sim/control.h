// The control socket of hopperd-sim: one JSON object per line in, one per
// line out, to drive the simulated world and read it back.
#pragma once

#include <string>

namespace sim {

class World;

// Handles one request line and returns the reply line (without newline).
std::string control_handle(World& w, const std::string& line);

// Serves `path` on a thread of its own until control_stop().
int control_start(World& w, const std::string& path);
void control_stop();

}  // namespace sim
