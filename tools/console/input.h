// What the console's page asks for, checked before anything reaches the
// device: each function turns one request body (a JSON object of form
// texts) into the phone's arguments or one control-socket line, or returns
// the reason for refusing it. An empty reason means the request is good.
#pragma once

#include <jansson.h>

#include <string>
#include <vector>

namespace console {

// "feed N g" with a melody: {"amount":"30","melody":"1"} -> feed 30 1
std::string feed_args(json_t* body, std::vector<std::string>* args);

// A schedule entry for sched-append or sched-modify (`verb`):
// {"uuid","time":"h:mm","amount","days":["mon",...],"melody","weight"}.
// An append without a uuid gets a new one.
std::string entry_args(json_t* body, const char* verb, std::vector<std::string>* args);

// {"uuid":"..."} -> sched-delete UUID
std::string delete_args(json_t* body, std::vector<std::string>* args);

// The world around the feeder, {"action":...}: bowl, hopper, button,
// network, fault, clear_faults, clock.
std::string world_line(json_t* body, std::string* line);

// Any control request typed by hand: one JSON object naming an "op".
std::string control_line(const std::string& text, std::string* line);

}  // namespace console
