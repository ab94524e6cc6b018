// For the action tests: the Connect form as plain values, and what Connect and Disconnect act on.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "actions/connect_action.h"
#include "actions/send_action.h"
#include "log/log_view.h"
#include "mqtt/mqtt_worker.h"
#include "tests/support/log_texts.h"

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

// Every field Send reads, as plain values.
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

// What Connect and Disconnect act on, held as the app holds it; starts idle (Connect enabled,
// Disconnect disabled).
struct ConnectionPanel {
    LogView log;
    MqttWorker worker;
    std::atomic<bool> connected{false};
    bool connectDisabled = false;
    bool disconnectDisabled = true;

    void connect(ConnectForm& form, ResolveChannel resolve) {
        onConnect(connected, {connectDisabled, disconnectDisabled}, form, log, worker, resolve);
    }
    void disconnect() { onDisconnect(connected, {connectDisabled, disconnectDisabled}, worker); }
};

}  // namespace vchat::testing
