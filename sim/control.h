// The control socket of hopperd-sim: one JSON object per line in, one per
// line out, to drive the simulated world and read it back.
#pragma once

#include <jansson.h>

#include <string>

namespace sim {

class World;

// Handles one request line and returns the reply line (without newline).
std::string control_handle(World& w, const std::string& line);

// Adds a request the simulator itself cannot answer (the daemon's own state,
// such as its schedule): `handler` gets the request object and returns the
// reply line. Register before control_start.
using ControlOp = std::string (*)(json_t* request);
void control_add_op(const char* op, ControlOp handler);

// Serves `path` on a thread of its own until control_stop().
int control_start(World& w, const std::string& path);
void control_stop();

}  // namespace sim
