// The process's command line and the description of the operating system, as Linux gives
// them: what `os-info` and start-up (system/script/args) need.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os.h"

namespace kaz::os_info {

// What `os-info` returns, field by field, in this order: `name` a string!, `arch` a word!,
// `version` a 3-byte tuple!, `build` an integer!.
struct OsInfo {
    std::string name;    // the distribution's own name ("Debian GNU/Linux 12 (bookworm)"),
                         // else the kernel's ("Linux")
    std::string arch;    // x86-32, ARM, IA-64, x86-64, ARM64 or Unknown
    uint8_t version[3];  // the kernel release: major, minor, patch (255 at most each)
    int32_t build;       // the number after them in the release ("6.1.0-18-amd64": 18), else 0
};

// The running system.
OsInfo describe();
// The same from what uname and the os-release file tell.
OsInfo describe(const platform::SystemName& system, std::string_view os_release);

// The `arch` word for a machine name of uname.
std::string_view arch_of(std::string_view machine);
// The value of a KEY=value line of os-release text (quotes and escapes undone); empty when
// there is none.
std::string os_release_field(std::string_view text, std::string_view key);

// The command line as one text, the form start-up keeps in system/script/args: the arguments
// joined by spaces, each holding a space or a tab between double quotes, so that splitting it
// at blanks outside quotes and dropping the quotes at each argument's ends gives them back (an
// argument holding a double quote of its own, or an empty one, cannot be told exactly).
std::string command_line(const std::vector<std::string>& arguments);

}  // namespace kaz::os_info
