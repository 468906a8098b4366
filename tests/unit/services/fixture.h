// What the file and process tests share: a temporary directory made afresh for each test, and
// the check that a test leaves no descriptor open and no child process unreaped.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace kaz::test {

namespace fs = std::filesystem;

inline size_t open_descriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// Children of this process that have not been reaped yet (running or zombie).
inline int unreaped_children() {
    int n = 0;
    std::string me = std::to_string(getpid());
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(e.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // pid (comm) state ppid: the name may hold anything, the last ")" ends it.
        size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 1));
        std::string state, ppid;
        rest >> state >> ppid;
        if (ppid == me) ++n;
    }
    return n;
}

// Waits (a bounded while) until every child is gone: a child left to run on alone is reaped
// by its own thread when it ends, a moment after.
inline int children_left_after_waiting() {
    for (int i = 0; i < 1000; ++i) {
        int n = unreaped_children();
        if (n == 0) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return unreaped_children();
}

class FileSystemTest : public testing::Test {
protected:
    void SetUp() override {
        descriptors_ = open_descriptors();
        std::string pattern = (fs::temp_directory_path() / "kaz-files-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = fs::canonical(pattern);
    }
    void TearDown() override {
        fs::remove_all(dir);
        EXPECT_EQ(open_descriptors(), descriptors_) << "a descriptor was left open";
        EXPECT_EQ(children_left_after_waiting(), 0) << "a child was left unreaped";
    }

    // The path of a name in the temporary directory, as text.
    std::string at(const std::string& name) const { return (dir / name).string(); }

    static void put(const fs::path& path, std::string_view bytes) {
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), std::streamsize(bytes.size()));
    }
    static std::string get(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path dir;

private:
    size_t descriptors_ = 0;
};

}  // namespace kaz::test
