// veldra-record: records what the chat client would show for a broker's mesh traffic, for days,
// without a window, reconnecting by itself.
//
// Exit status: 0 after SIGINT or SIGTERM (or --help, --version); 1 when the output cannot be opened,
// or when lines were never written (an output that failed to the end, a reader that has gone); 2 for
// a bad option or value.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "actions/channels.h"
#include "actions/connect_action.h"
#include "mqtt/mqtt_worker.h"
#include "mqtt/sockets.h"
#include "tools/record/backoff.h"
#include "tools/record/record_format.h"
#include "tools/record/record_options.h"
#include "tools/record/record_output.h"

namespace {

using namespace vchat;
using namespace vchat::record;
using Clock = std::chrono::steady_clock;

// A bad option or value: trying again cannot help, so the service unit's RestartPreventExitStatus
// names this status.
constexpr int kUsageStatus = 2;
constexpr int kOutputStatus = 1;
constexpr const char* kProgramPrefix = "veldra-record: ";
constexpr const char* kNextTryFormat = "Next try in %.1f s.";
constexpr const char* kUnwrittenFormat = "lines never written: %llu";
// How often the loop looks at the worker when no signal comes.
constexpr auto kTick = std::chrono::milliseconds(50);

std::int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::uint32_t randomSeed() {
    try {
        return std::random_device{}();
    } catch (...) {
        // No entropy device: the clock serves for spreading retries.
        return static_cast<std::uint32_t>(Clock::now().time_since_epoch().count());
    }
}

}  // namespace

int main(int argc, char** argv) {
    RecordOptions options;
    std::string error;
    if (!parseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "%s%s\n", kProgramPrefix, error.c_str());
        return kUsageStatus;
    }
    if (options.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("veldra-record %s\n", VCHAT_VERSION);
        return 0;
    }
    const PresetChannels presets = makePresetChannels();
    MqttConfig config;
    std::optional<std::string> presetNotice;
    if (!buildConfig(options, std::getenv(kPasswordEnv), ResolveChannel{&presets}, config, presetNotice, error)) {
        std::fprintf(stderr, "%s%s\n", kProgramPrefix, error.c_str());
        return kUsageStatus;
    }

    // Signals are taken by this thread alone, synchronously: every thread started below inherits
    // the mask, and nothing has to be async-signal-safe.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // The transport's SIGPIPE policy covers the output too: a reader that went away fails the write
    // (and ends the recorder, silently).
    vchat::startSockets();

    OutputFile output;
    if (!output.open(options.output, LineFormatter(options.format, options.noCut).fileStart(), error)) {
        std::fprintf(stderr, "%s%s\n", kProgramPrefix, error.c_str());
        return kOutputStatus;
    }
    // On a terminal the broker's control bytes are shown, not obeyed; files and pipes get them as
    // they came.
    const LineFormatter formatter(options.format, options.noCut, output.terminal());
    // Lines are made where they are said (each thread with a formatter of its own) and wait whole.
    LineQueue queue(options.maxWaiting);
    OutputWriter writer(queue, output, formatter);
    auto say = [&queue, f = formatter](std::string text) mutable {
        queue.push(f.format(WorkerLine{LineKind::Status, {}, std::move(text)}, WallClock::now()));
    };

    MqttWorker worker;
    worker.setMaxMessageSize(options.maxMessageSize);
    worker.setSink([&queue, f = formatter](const WorkerLine& line) mutable {
        queue.push(f.format(line, WallClock::now()));
    });
    if (presetNotice) say(*presetNotice);

    ReconnectBackoff backoff(randomSeed());
    bool waiting = false;                 // between a failed try and the next
    Clock::time_point nextTry;
    bool wasConnected = false;            // seen Connected since the last start
    Clock::time_point connectedSince;
    say(std::string(kConnectingText));
    worker.start(config, nullptr);

    const timespec tick{0, static_cast<long>(std::chrono::nanoseconds(kTick).count())};
    for (;;) {
        const int sig = sigtimedwait(&signals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM) break;
        if (sig == SIGHUP) writer.requestReopen();
        if (writer.outputGone()) break;

        if (waiting) {
            if (Clock::now() < nextTry) continue;
            waiting = false;
            say(std::string(kConnectingText));
            worker.start(config, nullptr);
            continue;
        }
        const WorkerPhase phase = worker.phase();
        if (phase == WorkerPhase::Connected && !wasConnected) {
            wasConnected = true;
            connectedSince = Clock::now();
        }
        if (phase != WorkerPhase::Lost && phase != WorkerPhase::Ended) continue;
        if (wasConnected) backoff.connectedFor(msSince(connectedSince));
        wasConnected = false;
        worker.stop();
        const std::int64_t delayMs = backoff.nextDelayMs();
        char line[64];
        std::snprintf(line, sizeof line, kNextTryFormat, static_cast<double>(delayMs) / 1000.0);
        say(line);
        nextTry = Clock::now() + std::chrono::milliseconds(delayMs);
        waiting = true;
    }
    // DISCONNECT goes out (when connected) before the last lines are written.
    worker.stop();
    writer.finish();
    if (writer.unwrittenLines() > 0) {
        std::fprintf(stderr, "%s", kProgramPrefix);
        std::fprintf(stderr, kUnwrittenFormat, static_cast<unsigned long long>(writer.unwrittenLines()));
        std::fputc('\n', stderr);
        return kOutputStatus;
    }
    return 0;
}
