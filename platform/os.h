// Operating-system services that are not files or windows: the clock with its time zone, the
// process environment, the current directory and sleeping. Text is UTF-8 throughout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kaz::platform {

// The time of day in seconds: hours x 3600 + minutes x 60 + seconds, local or UTC. With
// `precise` the fraction of the current second is added, in steps of 100 ns.
double get_time(bool utc, bool precise);

// The current date packed as year << 17 | month << 12 | day << 7 | zone. The zone is the
// local offset from UTC, daylight saving included: bit 6 set west of UTC, bits 2-5 the whole
// hours, bits 0-1 the quarter hours. With `utc` the date is UTC and the zone 0.
uint32_t get_date(bool utc);

// The value of an environment variable; nothing when it is not set.
std::optional<std::string> get_env(const char* name);
// Sets an environment variable, or removes it when `value` is null. False when the system
// refuses (an empty name or one holding "=").
bool set_env(const char* name, const char* value);

// The current directory; empty when the system cannot tell it.
std::string get_current_dir();
bool set_current_dir(const char* path);

// Sleeps the given seconds, counted in whole milliseconds and never less than one.
void wait(double seconds);

}  // namespace kaz::platform
