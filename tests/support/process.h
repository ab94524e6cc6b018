// The one way the tests start programs: the client, the simulator, mosquitto, Xvfb, xdotool and
// shell commands. A child that is still running when its owner goes is killed and reaped. POSIX only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace vchat::testing {

class Child {
public:
    Child() = default;
    ~Child() { stop(SIGKILL); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // argv[0] is looked up on PATH; `dir` is the working directory (empty: this process's); `env`
    // holds "NAME=value" entries that replace the same names of this process's environment;
    // standard output and error go to `output` (empty: /dev/null), added to its end with `append`;
    // `keepFd` stays open in the child, every other descriptor above 2 is closed.
    bool start(const std::vector<std::string>& argv, const std::string& dir = "", const std::vector<std::string>& env = {},
               const std::string& output = "", int keepFd = -1, bool append = false) {
        // env(1) sets the variables and then runs the program in its place, under the same pid.
        // Built before the fork: the child of a threaded process may not allocate.
        std::vector<std::string> all = env.empty() ? std::vector<std::string>{} : std::vector<std::string>{"env"};
        all.insert(all.end(), env.begin(), env.end());
        all.insert(all.end(), argv.begin(), argv.end());
        std::vector<char*> args;
        for (const std::string& a : all) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const char* out = output.empty() ? "/dev/null" : output.c_str();
        status_.reset();
        pid_ = fork();
        if (pid_ != 0) return pid_ > 0;
        const int fd = open(out, O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0600);
        const int in = open("/dev/null", O_RDONLY);
        if (fd < 0 || in < 0 || (!dir.empty() && chdir(dir.c_str()) != 0)) _exit(126);
        dup2(in, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        for (int i = 3; i < 1024; ++i) {
            if (i != keepFd) close(i);
        }
        setpgid(0, 0);   // a terminal's Ctrl+C on the test must not reach the children directly
        execvp(args[0], args.data());
        _exit(127);
    }
    pid_t pid() const { return pid_; }

    // The exit status once the process has ended within `timeout` (128 + signal number when a
    // signal ended it), or nothing while it still runs.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        waitUntil([&] {
            int status = 0;
            if (pid_ > 0 && !status_ && waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            return pid_ <= 0 || status_.has_value();
        }, timeout);
        return status_;
    }
    bool running() { return pid_ > 0 && !wait(std::chrono::milliseconds(0)); }
    void signal(int sig) {
        if (pid_ > 0 && !status_) ::kill(pid_, sig);
    }
    // Sends `sig`, and SIGKILL when the process has not ended `grace` later; the exit status.
    std::optional<int> stop(int sig, std::chrono::milliseconds grace = std::chrono::seconds(10)) {
        signal(sig);
        if (!wait(grace)) signal(SIGKILL);
        return wait(std::chrono::seconds(10));
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs a program to its end (killed after `timeout`): its exit status or -1, and its output.
inline int runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                      std::string* output = nullptr, std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
    TempDir dir;
    Child child;
    child.start(argv, "", env, dir.file("out"));
    const std::optional<int> status = child.wait(timeout);
    child.stop(SIGKILL);
    if (output) *output = readFile(dir.file("out"));
    return status ? *status : -1;
}

// Runs `command` with sh -c; the same results as runProgram.
inline int runCommand(const std::string& command, std::string* output = nullptr) {
    return runProgram({"/bin/sh", "-c", command}, {}, output);
}

inline bool onPath(const std::string& program) { return runCommand("command -v " + program) == 0; }

// True while process `pid` holds `path` open.
inline bool holdsOpen(pid_t pid, const std::string& path) {
    std::error_code ignored;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored)) {
        if (std::filesystem::equivalent(fd.path(), path, ignored)) return true;
    }
    return false;
}

// User plus system CPU time in seconds from a /proc stat file, or -1.
inline double cpuSecondsFromStat(const std::string& statPath) {
    const std::string stat = readFile(statPath);
    // The fields after the command name, which is in parentheses and may hold blanks.
    const std::size_t close = stat.rfind(')');
    long utime = 0, stime = 0;
    if (close == std::string::npos ||
        std::sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime,
                    &stime) != 2) {
        return -1;
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// User plus system CPU time in seconds used so far by the thread of this process named `name`, or -1.
inline double threadCpuSeconds(const std::string& name) {
    double result = -1;
    std::error_code ignored;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ignored)) {
        const std::string dir = task.path().string();
        if (readFile(dir + "/comm") == name + "\n") result = cpuSecondsFromStat(dir + "/stat");
    }
    return result;
}

inline std::string clientBinary() { return std::string(VCHAT_BINARY_DIR) + "/app/veldra-chat"; }

}  // namespace vchat::testing
