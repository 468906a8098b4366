// Runs one Kaz test script and checks its output against the expectations written in it:
//   print 1 + 2        ; expect: 3
//   append 1 2         ; expect error: Script Error: append does not allow
// Every "expect:" is one line of standard output, in order. An "expect error:" is a line of
// an error report that starts with "*** " and contains the text; the script must then end
// in that error (exit code 1) with nothing expected after it.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Expected {
    std::string text;
    bool error;
    int line;
};

std::vector<Expected> read_expectations(const std::string& path) {
    std::ifstream in(path);
    std::vector<Expected> out;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        for (auto [marker, error] : {std::pair{"; expect error: ", true}, {"; expect: ", false}}) {
            size_t at = line.find(marker);
            if (at != std::string::npos) {
                out.push_back({line.substr(at + std::string(marker).size()), error, n});
                break;
            }
        }
    }
    return out;
}

struct Run {
    std::string output;
    int exit_code;
};

Run run(const char* kaz, const char* script) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return {"pipe failed", -1};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        execl(kaz, kaz, script, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipe_fds[1]);
    std::string output;
    char buf[4096];
    for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;) output.append(buf, size_t(n));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: kaz-script-runner <kaz> <script.kaz>\n";
        return 2;
    }
    std::vector<Expected> expected = read_expectations(argv[2]);
    Run r = run(argv[1], argv[2]);

    std::vector<std::string> lines;
    std::istringstream out(r.output);
    for (std::string l; std::getline(out, l);) lines.push_back(l);

    int failures = 0;
    auto fail = [&](const std::string& what) {
        std::cerr << argv[2] << ": " << what << "\n";
        ++failures;
    };
    size_t at = 0;
    bool error_expected = false;
    for (const Expected& e : expected) {
        if (e.error) {
            error_expected = true;
            while (at < lines.size() && lines[at].rfind("*** ", 0) != 0) ++at;
            if (at == lines.size() || lines[at].find(e.text) == std::string::npos) {
                fail("line " + std::to_string(e.line) + ": expected error \"" + e.text + "\", got \"" +
                     (at < lines.size() ? lines[at] : "<end of output>") + "\"");
                break;
            }
            break;
        }
        if (at == lines.size() || lines[at] != e.text) {
            fail("line " + std::to_string(e.line) + ": expected \"" + e.text + "\", got \"" +
                 (at < lines.size() ? lines[at] : "<end of output>") + "\"");
            break;
        }
        ++at;
    }
    if (!failures && !error_expected && at < lines.size())
        fail("unexpected output: \"" + lines[at] + "\"");
    int want = error_expected ? 1 : 0;
    if (!failures && r.exit_code != want)
        fail("exit code " + std::to_string(r.exit_code) + ", expected " + std::to_string(want));
    if (failures) std::cerr << "--- output ---\n" << r.output;
    return failures ? 1 : 0;
}
