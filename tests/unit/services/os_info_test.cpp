// The OS description from what uname and os-release say, and the command line as start-up
// keeps it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/os_info.h"

namespace {

using namespace kaz;

TEST(OsInfo, DescribesFromUnameAndOsRelease) {
    struct Case {
        platform::SystemName system;
        std::string_view os_release;
        std::string name, arch;
        std::vector<int> version;
        int32_t build;
    };
    const std::string kDebian =
        "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
        "VERSION_ID=\"12\"\nVERSION=\"12 (bookworm)\"\nID=debian\n";
    const Case kCases[] = {
        {{"Linux", "6.1.0-18-amd64", "#1 SMP", "x86_64"}, kDebian, "Debian GNU/Linux 12 (bookworm)",
         "x86-64", {6, 1, 0}, 18},
        {{"Linux", "5.15.0-91-generic", "", "aarch64"}, "NAME=Ubuntu\nVERSION='22.04.3 LTS'\n",
         "Ubuntu 22.04.3 LTS", "ARM64", {5, 15, 0}, 91},
        {{"Linux", "6.8.12+rpt-rpi-v7", "", "armv7l"}, "# no name here\nNAME=Raspbian\n", "Raspbian",
         "ARM", {6, 8, 12}, 0},
        {{"Linux", "4.4.0-19041-Microsoft", "", "i686"}, "", "Linux", "x86-32", {4, 4, 0}, 19041},
        {{"Linux", "3.10", "", "ia64"}, "", "Linux", "IA-64", {3, 10, 0}, 0},
        {{"Linux", "300.2.1000.7", "", "riscv64"}, "", "Linux", "Unknown", {255, 2, 255}, 7},
        {{"", "", "", ""}, "PRETTY_NAME=\"A \\\"quoted\\\" \\$name\"  \n", "A \"quoted\" $name", "Unknown",
         {0, 0, 0}, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.system.release);
        os_info::OsInfo info = os_info::describe(c.system, c.os_release);
        EXPECT_EQ(info.name, c.name);
        EXPECT_EQ(info.arch, c.arch);
        EXPECT_EQ((std::vector<int>{info.version[0], info.version[1], info.version[2]}), c.version);
        EXPECT_EQ(info.build, c.build);
    }
}

TEST(OsInfo, DescribesTheRunningSystem) {
    platform::SystemName system = platform::system_name();
    EXPECT_EQ(system.system, "Linux");
    os_info::OsInfo info = os_info::describe();
    EXPECT_FALSE(info.name.empty());
    EXPECT_EQ(info.arch, os_info::arch_of(system.machine));
    EXPECT_EQ(std::to_string(info.version[0]), system.release.substr(0, system.release.find('.')));
}

TEST(OsInfo, ReadsOsReleaseFields) {
    const std::string_view kText = "  ID=debian\n#NAME=commented\nNAME='single \"quoted\"'\nIDX=no\n";
    EXPECT_EQ(os_info::os_release_field(kText, "ID"), "debian");
    EXPECT_EQ(os_info::os_release_field(kText, "NAME"), "single \"quoted\"");
    EXPECT_EQ(os_info::os_release_field(kText, "VERSION"), "");
    EXPECT_EQ(os_info::os_release_field(kText, "I"), "");
}

TEST(CommandLine, QuotesArgumentsHoldingBlanks) {
    EXPECT_EQ(os_info::command_line({"/usr/bin/kaz", "script.kaz", "one"}), "/usr/bin/kaz script.kaz one");
    EXPECT_EQ(os_info::command_line({"/opt/my apps/kaz", "a b", "tab\there", "x"}),
              "\"/opt/my apps/kaz\" \"a b\" \"tab\there\" x");
    EXPECT_EQ(os_info::command_line({}), "");
}

}  // namespace
