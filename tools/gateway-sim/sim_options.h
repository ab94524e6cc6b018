// Command-line options of the gateway simulator.
//
// Error convention: parseOptions returns bool; on false `error` holds one line for the user.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/gateway-sim/sim_traffic.h"

namespace vchat::sim {

// The settings form's default channel key and root topic, so the simulator and a freshly started
// client agree without typing.
inline constexpr const char* kDefaultChannelKey = "tQ7nW2xLp9RkVd4sHc8ZyA1mFe6uJb3oGi5rTx0vNqE=";
inline constexpr const char* kDefaultRootTopic = "msh/EU_868";

struct SimOptions {
    std::string host = "127.0.0.1";
    std::string port;                 // empty: 1883, or 8883 with TLS
    std::string user;
    std::string password;
    bool tls = false;
    std::string caFile;               // TLS with certificate verification against this bundle
    bool insecure = false;            // TLS without certificate verification
    std::string pskIdentity;          // TLS-PSK when set
    std::string pskKeyHex;
    std::string channelKeyBase64 = kDefaultChannelKey;
    TrafficSettings traffic;          // root topic, channel, decoded key, mix, envelope share, seed
    double rate = 2.0;                // messages per second; 0: as fast as the broker takes them
    std::uint64_t count = 0;          // 0: no end
    double lingerSec = -1;            // after the last message: stay this long; negative: until a signal
    std::string printSent;            // "-": standard output; a path: that file; empty: nowhere
    bool verbose = false;
    bool help = false;
};

bool parseOptions(const std::vector<std::string>& args, SimOptions& options, std::string& error);

// The text --help prints; `program` is the name the simulator was started under.
std::string usageText(const std::string& program);

}  // namespace vchat::sim
