#include "services/os_info.h"

#include <algorithm>

namespace kaz::os_info {
namespace {

bool digit_q(char c) { return c >= '0' && c <= '9'; }

// Reads a decimal number at `i`, moving past it; 0 when there is none, capped at `cap`.
int64_t number_at(std::string_view text, size_t& i, int64_t cap) {
    int64_t n = 0;
    for (; i < text.size() && digit_q(text[i]); ++i) n = std::min(n * 10 + (text[i] - '0'), cap);
    return n;
}

// An os-release value: shell quoting undone ('...' as it is; "..." and bare text with
// backslash escapes).
std::string unquote(std::string_view v) {
    std::string out;
    char quote = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        char c = v[i];
        if (quote == '\'') {
            if (c == '\'') quote = 0;
            else out += c;
        } else if (c == '\'' && !quote) {
            quote = '\'';
        } else if (c == '"') {
            quote = quote ? 0 : '"';
        } else if (c == '\\' && i + 1 < v.size()) {
            out += v[++i];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string_view arch_of(std::string_view m) {
    if (m == "x86_64" || m == "amd64") return "x86-64";
    if (m == "i386" || m == "i486" || m == "i586" || m == "i686" || m == "x86") return "x86-32";
    if (m == "aarch64" || m == "arm64" || m == "aarch64_be") return "ARM64";
    if (m.substr(0, 3) == "arm") return "ARM";
    if (m == "ia64") return "IA-64";
    return "Unknown";
}

std::string os_release_field(std::string_view text, std::string_view key) {
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos || line[start] == '#') continue;
        line.remove_prefix(start);
        if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=') {
            std::string_view value = line.substr(key.size() + 1);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
                value.remove_suffix(1);
            return unquote(value);
        }
    }
    return {};
}

OsInfo describe(const platform::SystemName& system, std::string_view os_release) {
    OsInfo info{};
    info.name = os_release_field(os_release, "PRETTY_NAME");
    if (info.name.empty()) {
        info.name = os_release_field(os_release, "NAME");
        std::string version = os_release_field(os_release, "VERSION");
        if (!info.name.empty() && !version.empty()) info.name += ' ' + version;
    }
    if (info.name.empty()) info.name = system.system.empty() ? "Linux" : system.system;
    info.arch = arch_of(system.machine);

    // "6.1.0-18-amd64": three numbers, then the build after one separator.
    std::string_view release = system.release;
    size_t i = 0;
    for (int k = 0; k < 3; ++k) {
        info.version[k] = uint8_t(number_at(release, i, 255));
        if (k < 2) {
            if (i < release.size() && release[i] == '.' && i + 1 < release.size() && digit_q(release[i + 1])) ++i;
            else break;
        }
    }
    if (i < release.size() && (release[i] == '-' || release[i] == '.') && i + 1 < release.size() &&
        digit_q(release[i + 1])) {
        ++i;
        info.build = int32_t(number_at(release, i, INT32_MAX));
    }
    return info;
}

OsInfo describe() { return describe(platform::system_name(), platform::os_release_text()); }

std::string command_line(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& a : arguments) {
        if (!line.empty()) line += ' ';
        if (a.find_first_of(" \t") != std::string::npos) line += '"' + a + '"';
        else line += a;
    }
    return line;
}

}  // namespace kaz::os_info
