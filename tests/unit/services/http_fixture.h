// The loopback server of the HTTP tests (http_server.py beside this file) run as a child: it
// listens at a free port of 127.0.0.1, told back on its first line, and ends when its standard
// input closes, so that it never outlives a test run, even a crashed one.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace kaz::test {

inline std::string services_dir() { return std::string(KAZ_SOURCE_DIR) + "/tests/unit/services"; }

class LoopbackServer {
public:
    // `tls`: HTTPS with the certificate of tls/ beside this file.
    explicit LoopbackServer(bool tls = false) {
        // A proxy named in the environment must not come between the client and loopback.
        setenv("no_proxy", "*", 1);
        setenv("NO_PROXY", "*", 1);
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        std::string script = services_dir() + "/http_server.py";
        std::vector<std::string> args = {KAZ_PYTHON, script};
        if (tls) {
            args.push_back("--tls");
            args.push_back(services_dir() + "/tls/cert.pem");
            args.push_back(services_dir() + "/tls/key.pem");
        }
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        port_ = line.empty() ? 0 : std::stoi(line);
    }
    ~LoopbackServer() {
        if (stdin_ >= 0) close(stdin_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    // The URL of a path on this server: "http://127.0.0.1:PORT/path".
    std::string url(const std::string& path, bool tls = false) const {
        return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int port_ = 0;
};

}  // namespace kaz::test
