// Connection settings taken from the form when Connect is pressed. A plain value: the worker thread
// keeps its own copy, so later edits of the form never reach a running connection.
#pragma once

#include <string>

namespace vchat {

struct MqttConfig {
    std::string host;
    std::string port;          // handed to the resolver as a service name
    std::string user;
    std::string password;
    std::string rootTopic;     // used exactly as typed: no slash added or removed
    bool decodeRaw = false;
    bool useTls = false;
    bool verifyServer = true;
    std::string caPath;
    bool tlsPsk = false;       // never true unless useTls is true
    std::string pskIdentity;
    std::string pskKeyHex;
    std::string channelPsk;    // Base64 text as typed
    std::string channelKey;    // raw key bytes; filled by the worker from channelPsk
    bool hideNodeinfo = false;
    bool hidePosition = false;
    bool hideTelemetry = false;
    bool hideTraceroute = false;
};

}  // namespace vchat
