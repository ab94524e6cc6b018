// A fresh X server for the tests that drive the real window, stopped with the object.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace vchat::testing {

class Xvfb {
public:
    // Other tests and programs start X servers on this machine too, so the server picks a free
    // display number itself (-displayfd) and names it once it accepts clients. -noreset: without it
    // the server resets whenever its last client leaves (our own probes do), and a client starting
    // during a reset can end up with a window nobody can find.
    bool start() {
        int fds[2];
        if (pipe(fds) != 0) return false;
        const bool started = child_.start({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                            "1600x900x24", "-nolisten", "tcp", "-noreset"},
                                          "", {}, dir_.file("xvfb.log"), fds[1]);
        close(fds[1]);
        std::string number;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (started && std::chrono::steady_clock::now() < end) {
            pollfd p{fds[0], POLLIN, 0};
            char c = 0;
            if (poll(&p, 1, 100) <= 0) continue;
            if (read(fds[0], &c, 1) != 1 || c == '\n') break;
            number.push_back(c);
        }
        close(fds[0]);
        display_ = number.empty() ? "" : ":" + number;
        return !number.empty();
    }
    // Politely, so the server removes its lock file and socket.
    ~Xvfb() { child_.stop(SIGTERM); }
    const std::string& display() const { return display_; }
    std::string env() const { return "DISPLAY=" + display_; }

private:
    TempDir dir_;
    Child child_;
    std::string display_;
};

}  // namespace vchat::testing
