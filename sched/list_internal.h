// The schedule list itself, for the runner and the file code of this folder.
#pragma once

#include <jansson.h>

#include <list>
#include <mutex>

#include "include/schedule_entry.h"

std::mutex& sched_mutex();
std::list<ScheduleEntry>& sched_list();  // only with sched_mutex() held
void sched_set_loaded();                 // the file has been read (or found missing)

// "feedTime" texts: "%d:%d" for the file, "%02d:%02d" for the phone.
json_t* sched_entry_json(const ScheduleEntry& e, bool padded_time);
