// Form records for the action tests: every field the actions read, as plain values.
#pragma once

#include <string>
#include <vector>

#include "actions/connect_action.h"
#include "actions/send_action.h"
#include "log/log_view.h"

namespace vchat::testing {

struct ConnectFormValues {
    std::string host = "127.0.0.1";
    std::string port = "1883";
    std::string user;
    std::string password;
    std::string rootTopic = "vt";
    std::string channel = "Mesh Varnholt";
    std::string channelPsk;
    std::string caPath;
    std::string pskIdentity;
    std::string pskKeyHex;
    bool decodeRaw = false;
    bool hideNodeinfo = false;
    bool hidePosition = false;
    bool hideTelemetry = false;
    bool hideTraceroute = false;
    bool useTls = false;
    bool verifyServer = true;
    bool tlsPskMode = false;

    ConnectForm form() {
        return ConnectForm{host,        port,         user,         password,      rootTopic,
                           channel,     channelPsk,   caPath,       pskIdentity,   pskKeyHex,
                           decodeRaw,   hideNodeinfo, hidePosition, hideTelemetry, hideTraceroute,
                           useTls,      verifyServer, tlsPskMode};
    }
};

struct SendFormValues {
    std::string message = "Hi";
    std::string fromId = "1128103180";
    std::string gatewayHex = "433d7d0c";
    std::string channel = "Mesh Varnholt";
    std::string shortName;
    std::string longName;
    std::string rootTopic = "vt";
    std::string toId;
    bool broadcast = false;

    SendForm form() {
        return SendForm{message, fromId, gatewayHex, channel, shortName, longName, rootTopic, toId,
                        broadcast};
    }
};

// The log's texts without their time stamps, oldest first.
inline std::vector<std::string> logTexts(const LogView& log) {
    std::lock_guard<std::mutex> lock(log.mutex);
    std::vector<std::string> texts;
    for (const LogLine& line : log.lines) texts.push_back(line.text.substr(22));
    return texts;
}

inline bool logHas(const LogView& log, const std::string& text) {
    for (const std::string& t : logTexts(log)) {
        if (t == text) return true;
    }
    return false;
}

inline bool logHasPrefix(const LogView& log, const std::string& prefix) {
    for (const std::string& t : logTexts(log)) {
        if (t.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

}  // namespace vchat::testing
