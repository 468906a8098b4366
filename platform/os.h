// Operating-system services that are not files or windows: the clock with its time zone, the
// process environment, the current directory, the system's own description and sleeping. Text
// is UTF-8 throughout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kaz::platform {

// One reading of the clock, the calendar date and the time of day taken from the same instant:
// local (following TZ as it is at the call, daylight saving included) or UTC.
struct ClockReading {
    int32_t year;
    int32_t month;    // 1-12
    int32_t day;      // 1-31
    double seconds;   // hours x 3600 + minutes x 60 + seconds
    uint32_t zone;    // the local offset from UTC packed as get_date packs it; 0 for UTC
};
// With `precise` the fraction of the current second is added, in steps of 100 ns.
ClockReading read_clock(bool utc, bool precise);

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

// Every variable of the process environment as a name and a value, in the environment's order.
// The name ends at the first "=" that is not the entry's first character; an entry without one
// is a name with an empty value.
std::vector<std::pair<std::string, std::string>> list_env();

// The current directory; empty when the system cannot tell it.
std::string get_current_dir();
bool set_current_dir(const char* path);

// The size in bytes of the file at `path`; nothing for a directory or a file that cannot be
// opened for reading.
std::optional<int64_t> file_size(const char* path);

// Hands a URL or a file path to the desktop's opener (xdg-open), which shows it with the
// program chosen for it, and returns at once without waiting. False when the opener could not
// be started. The target is passed as one argument, never through a shell.
bool open_with_desktop(const char* target);

// The running system as uname tells it: kernel name ("Linux"), kernel release ("6.1.0-18-amd64"),
// kernel version text and machine ("x86_64").
struct SystemName {
    std::string system, release, version, machine;
};
SystemName system_name();

// The text of the distribution's description (/etc/os-release, else /usr/lib/os-release);
// empty when neither can be read.
std::string os_release_text();

// Sleeps the given seconds, counted in whole milliseconds and never less than one.
void wait(double seconds);

}  // namespace kaz::platform
