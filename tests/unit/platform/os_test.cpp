// The operating-system services against the system's own view: the C library's clock and
// time zones, the process environment and the working directory.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/os.h"

namespace {

// Sets TZ for the length of a test and puts the old value back.
class TimeZone {
public:
    explicit TimeZone(const char* zone) {
        if (const char* old = getenv("TZ")) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TimeZone() {
        if (old_) setenv("TZ", old_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> old_;
};

uint32_t packed_day(const std::tm& t) {
    return uint32_t(t.tm_year + 1900) << 17 | uint32_t(t.tm_mon + 1) << 12 |
           uint32_t(t.tm_mday) << 7;
}

struct ZoneCase {
    const char* tz;
    uint32_t zone;  // sign << 6 | hours << 2 | quarters
};
constexpr ZoneCase kZones[] = {
    {"UTC0", 0},
    {"<-0330>3:30", 1 << 6 | 3 << 2 | 2},   // 3:30 west
    {"<+0545>-5:45", 5 << 2 | 3},           // 5:45 east
    {"<+14>-14", 14 << 2},
    {"<-12>12", 1 << 6 | 12 << 2},
    {"<-0010>0:10", 0},                     // under a quarter hour: no "-0:00"
    {"<+0920>-9:20", 9 << 2 | 1},           // quarters are whole
    // Daylight saving all year: one hour is added to the standard offset.
    {"<-05>5<-04>,0/0,J365/25", 1 << 6 | 4 << 2},
};

TEST(OsDate, PacksTheDateAndTheLocalZone) {
    for (const ZoneCase& c : kZones) {
        SCOPED_TRACE(c.tz);
        TimeZone zone(c.tz);
        std::tm before{}, after{};
        time_t now = time(nullptr);
        localtime_r(&now, &before);
        uint32_t packed = kaz::platform::get_date(false);
        now = time(nullptr);
        localtime_r(&now, &after);
        EXPECT_EQ(packed & 0x7F, c.zone);
        uint32_t day = packed & ~0x7Fu;
        EXPECT_TRUE(day == packed_day(before) || day == packed_day(after)) << std::hex << packed;
    }
}

TEST(OsDate, UtcHasNoZone) {
    TimeZone zone("<-0330>3:30");
    std::tm before{}, after{};
    time_t now = time(nullptr);
    gmtime_r(&now, &before);
    uint32_t packed = kaz::platform::get_date(true);
    now = time(nullptr);
    gmtime_r(&now, &after);
    EXPECT_TRUE(packed == packed_day(before) || packed == packed_day(after)) << std::hex << packed;
}

// Seconds from `a` forward to `b` on a 24-hour clock.
double clock_distance(double a, double b) {
    double d = b - a;
    return d < 0 ? d + 86400 : d;
}

TEST(OsTime, GivesTheTimeOfDay) {
    TimeZone zone("<-0330>3:30");
    time_t now = time(nullptr);
    double utc_expected = double(now % 86400);
    double utc = kaz::platform::get_time(true, false);
    double local = kaz::platform::get_time(false, false);
    EXPECT_EQ(utc, double(int64_t(utc)));  // whole seconds
    EXPECT_LE(clock_distance(utc_expected, utc), 2.0);
    EXPECT_NEAR(clock_distance(local, utc), 3.5 * 3600, 2.0);
}

TEST(OsTime, PreciseTimeHasTheFractionOfTheSecond) {
    bool fraction_seen = false;
    for (int i = 0; i < 20 && !fraction_seen; ++i) {
        auto before = std::chrono::system_clock::now().time_since_epoch();
        double precise = kaz::platform::get_time(true, true);
        auto after = std::chrono::system_clock::now().time_since_epoch();
        double low = double(std::chrono::duration_cast<std::chrono::nanoseconds>(before).count() %
                            86'400'000'000'000) / 1e9;
        double high = double(std::chrono::duration_cast<std::chrono::nanoseconds>(after).count() %
                             86'400'000'000'000) / 1e9;
        if (high < low) continue;  // midnight passed
        EXPECT_GE(precise, low - 1e-6);
        EXPECT_LE(precise, high + 1e-6);
        fraction_seen = precise != double(int64_t(precise));
        // 100-ns steps: the nanoseconds below them are dropped.
        double ticks = precise * 1e7;
        EXPECT_NEAR(ticks, double(int64_t(ticks + 0.5)), 0.02);
    }
    EXPECT_TRUE(fraction_seen);
}

TEST(OsEnvironment, ReadsAndWritesTheProcessEnvironment) {
    const char* name = "KAZ_OS_TEST_VARIABLE";
    unsetenv(name);
    EXPECT_EQ(kaz::platform::get_env(name), std::nullopt);

    EXPECT_TRUE(kaz::platform::set_env(name, "v\xC3\xA4lue = 1"));
    ASSERT_NE(getenv(name), nullptr);
    EXPECT_STREQ(getenv(name), "v\xC3\xA4lue = 1");
    EXPECT_EQ(kaz::platform::get_env(name), "v\xC3\xA4lue = 1");

    setenv(name, "", 1);  // set but empty is not absent
    EXPECT_EQ(kaz::platform::get_env(name), "");

    EXPECT_TRUE(kaz::platform::set_env(name, nullptr));
    EXPECT_EQ(getenv(name), nullptr);
    EXPECT_EQ(kaz::platform::get_env(name), std::nullopt);

    EXPECT_FALSE(kaz::platform::set_env("", "x"));
    EXPECT_FALSE(kaz::platform::set_env("A=B", "x"));
}

TEST(OsWait, SleepsAtLeastOneMillisecond) {
    struct Case { double seconds; double at_least_ms; };
    const Case kCases[] = {{0.0001, 1}, {0, 1}, {-3, 1}, {0.0015, 1}, {0.02, 20}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.seconds);
        auto start = std::chrono::steady_clock::now();
        kaz::platform::wait(c.seconds);
        std::chrono::duration<double, std::milli> slept = std::chrono::steady_clock::now() - start;
        EXPECT_GE(slept.count(), c.at_least_ms);
        EXPECT_LT(slept.count(), c.at_least_ms + 500);
    }
}

TEST(OsCurrentDir, RoundTrips) {
    namespace fs = std::filesystem;
    std::string start = kaz::platform::get_current_dir();
    EXPECT_EQ(fs::path(start), fs::current_path());

    std::string pattern = (fs::temp_directory_path() / "kaz-cwd-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    // A long name with non-ASCII letters, deeper than the first guess of the path length.
    fs::path deep = fs::canonical(pattern);
    for (int i = 0; i < 6; ++i) deep /= std::string(60, char('a' + i)) + "\xC3\xA9";
    fs::create_directories(deep);

    EXPECT_TRUE(kaz::platform::set_current_dir(deep.c_str()));
    EXPECT_EQ(kaz::platform::get_current_dir(), deep.string());
    EXPECT_FALSE(kaz::platform::set_current_dir((deep / "missing").c_str()));
    EXPECT_EQ(kaz::platform::get_current_dir(), deep.string());

    EXPECT_TRUE(kaz::platform::set_current_dir(start.c_str()));
    EXPECT_EQ(kaz::platform::get_current_dir(), start);
    fs::remove_all(pattern);
}

}  // namespace
