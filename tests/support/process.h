// The one way the tests start programs: the client, the simulator, mosquitto, Xvfb, xdotool and
// shell commands. A child that is still running when its owner goes is killed and reaped. POSIX only.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vchat::testing {

// What to start: argv[0] is looked up on PATH; `dir` is the working directory (empty: this
// process's); `env` holds "NAME=value" entries that replace the same names of this process's
// environment; standard output and error go to `output` (empty: /dev/null); `keepFd` stays open in
// the child, every other descriptor above 2 is closed.
struct Launch {
    Launch(std::vector<std::string> argv, std::string dir = "", std::vector<std::string> env = {},
           std::string output = "", int keepFd = -1)
        : argv(std::move(argv)), dir(std::move(dir)), env(std::move(env)), output(std::move(output)), keepFd(keepFd) {}
    std::vector<std::string> argv;
    std::string dir;
    std::vector<std::string> env;
    std::string output;
    int keepFd;
};

class Child {
public:
    Child() = default;
    explicit Child(const Launch& launch) { start(launch); }
    ~Child() { stop(SIGKILL); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool start(const Launch& launch);
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // The exit status once the process has ended within `timeout` (128 + signal number when a
    // signal ended it), or nothing while it still runs.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running() { return started() && !wait(std::chrono::milliseconds(0)); }
    void signal(int sig);
    // Sends `sig`, and SIGKILL when the process has not ended `grace` later; the exit status.
    std::optional<int> stop(int sig, std::chrono::milliseconds grace = std::chrono::seconds(10));

    // True while the process holds `path` open (the client holds its font open for its whole run).
    bool holdsOpen(const std::string& path) const;
    // User plus system CPU time used so far, in seconds, or a negative number.
    double cpuSeconds() const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs a program to its end (killed after `timeout`): its exit status or -1, and its output.
int runProgram(const Launch& launch, std::string* output = nullptr,
               std::chrono::milliseconds timeout = std::chrono::seconds(120));
// Runs `command` with sh -c; the same results as runProgram.
int runCommand(const std::string& command, std::string* output = nullptr);
bool onPath(const std::string& program);

// User plus system CPU time in seconds from a /proc stat file, or -1.
double cpuSecondsFromStat(const std::string& statPath);

inline std::string clientBinary() { return std::string(VCHAT_BINARY_DIR) + "/app/veldra-chat"; }

}  // namespace vchat::testing
