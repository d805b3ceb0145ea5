// Every command started through the shell has a time limit that fits what it
// does. One past its limit is ended, and its caller goes on as it does when
// the command fails: a player that never returns must not hold a meal, nor a
// silent NTP server the clock thread.
#pragma once

// The limit of `cmd` in milliseconds, by the program it starts.
int command_limit_ms(const char* cmd);
// `limit_ms` as given to plat_system and its sisters: below 0, the
// command's own limit.
int command_limit_or_own(const char* cmd, int limit_ms);
// Says in the log that `cmd` was ended at its limit.
void command_limit_log(const char* cmd, int limit_ms);
