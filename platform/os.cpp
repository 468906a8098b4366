#include "platform/os.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <vector>

#include "platform/files.h"

extern char** environ;

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

ClockReading read_clock(bool utc, bool precise) {
    Now n = now(utc);
    ClockReading r{};
    r.year = n.fields.tm_year + 1900;
    r.month = n.fields.tm_mon + 1;
    r.day = n.fields.tm_mday;
    r.seconds = n.fields.tm_hour * 3600.0 + n.fields.tm_min * 60.0 + n.fields.tm_sec;
    if (precise) r.seconds += double(n.nanoseconds - n.nanoseconds % 100) / 1e9;
    r.zone = utc ? 0 : pack_zone(n.fields.tm_gmtoff);
    return r;
}

double get_time(bool utc, bool precise) { return read_clock(utc, precise).seconds; }

uint32_t get_date(bool utc) {
    ClockReading r = read_clock(utc, false);
    return uint32_t(r.year) << 17 | uint32_t(r.month) << 12 | uint32_t(r.day) << 7 | r.zone;
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

std::vector<std::pair<std::string, std::string>> list_env() {
    std::vector<std::pair<std::string, std::string>> variables;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text(*entry);
        size_t equals = text.find('=', 1);
        if (equals == std::string_view::npos) variables.emplace_back(text, std::string());
        else variables.emplace_back(text.substr(0, equals), text.substr(equals + 1));
    }
    return variables;
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

std::optional<int64_t> file_size(const char* path) {
    // Not blocking: opening a FIFO must not wait for a writer.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat status {};
    bool sized = fstat(fd, &status) == 0 && !S_ISDIR(status.st_mode);
    close(fd);
    if (!sized) return std::nullopt;
    return int64_t(status.st_size);
}

namespace {
// Openers started and not yet reaped.
std::vector<pid_t> openers;
}  // namespace

bool open_with_desktop(const char* target) {
    // Openers that have ended since are reaped, so that none stays a zombie.
    std::erase_if(openers, [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    // The opener must not read the console's input.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    char program[] = "xdg-open";
    char* argv[] = {program, const_cast<char*>(target), nullptr};
    pid_t pid = 0;
    int failed = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed) return false;
    openers.push_back(pid);
    return true;
}

SystemName system_name() {
    struct utsname u {};
    if (uname(&u) != 0) return {};
    return {u.sysname, u.release, u.version, u.machine};
}

std::string os_release_text() {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        File f = open_file(path, open_mode::read);
        std::string text;
        if (f.is_open() && read_to_end(f, text)) return text;
    }
    return {};
}

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
