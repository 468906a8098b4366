#include "platform/os.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace kaz::platform {
namespace {

struct Now {
    std::tm fields;
    long nanoseconds;
};

// The broken-down current time. Local time follows TZ as it is now, so that a change of the
// variable made by the running program takes effect.
Now now(bool utc) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    Now result{};
    result.nanoseconds = ts.tv_nsec;
    if (utc) {
        gmtime_r(&ts.tv_sec, &result.fields);
    } else {
        tzset();
        localtime_r(&ts.tv_sec, &result.fields);
    }
    return result;
}

uint32_t pack_zone(long offset_seconds) {
    bool west = offset_seconds < 0;
    long magnitude = west ? -offset_seconds : offset_seconds;
    uint32_t hours = uint32_t(magnitude / 3600);
    uint32_t quarters = uint32_t(magnitude % 3600 / 900);
    if (hours > 15) hours = 15;
    uint32_t zone = hours << 2 | quarters;
    // An offset of less than a quarter hour west packs as zero, never as "-0:00".
    return zone != 0 && west ? zone | 0x40 : zone;
}

}  // namespace

double get_time(bool utc, bool precise) {
    Now n = now(utc);
    double seconds = n.fields.tm_hour * 3600.0 + n.fields.tm_min * 60.0 + n.fields.tm_sec;
    if (precise) seconds += double(n.nanoseconds - n.nanoseconds % 100) / 1e9;
    return seconds;
}

uint32_t get_date(bool utc) {
    Now n = now(utc);
    uint32_t year = uint32_t(n.fields.tm_year + 1900);
    uint32_t month = uint32_t(n.fields.tm_mon + 1);
    uint32_t day = uint32_t(n.fields.tm_mday);
    uint32_t zone = utc ? 0 : pack_zone(n.fields.tm_gmtoff);
    return year << 17 | month << 12 | day << 7 | zone;
}

std::optional<std::string> get_env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

bool set_env(const char* name, const char* value) {
    if (value == nullptr) return unsetenv(name) == 0;
    return setenv(name, value, 1) == 0;
}

std::string get_current_dir() {
    std::vector<char> buffer(256);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
        if (errno != ERANGE) return std::string();
        buffer.resize(buffer.size() * 2);
    }
}

bool set_current_dir(const char* path) { return chdir(path) == 0; }

void wait(double seconds) {
    double milliseconds = std::trunc(seconds * 1000.0);
    if (!(milliseconds >= 1.0)) milliseconds = 1.0;
    // About 31 years: beyond it the sleep is as good as endless.
    if (milliseconds > 1e12) milliseconds = 1e12;
    auto whole = int64_t(milliseconds);
    timespec remaining{time_t(whole / 1000), long(whole % 1000) * 1'000'000};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace kaz::platform
