// The Connect and Disconnect actions: the form becomes an MqttConfig, the worker starts or stops,
// and the two connection buttons follow the `connected` flag.
//
// Both run on the main thread only. They report to the user through the log and return nothing;
// the pure helpers return values and never fail.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include "actions/channels.h"
#include "actions/connection_defaults.h"
#include "log/log_view.h"
#include "mesh/mqtt_config.h"
#include "mqtt/mqtt_worker.h"

namespace vchat {

inline constexpr std::string_view kPresetNoticePrefix = "Preset channel detected (";
inline constexpr std::string_view kPresetNoticeSuffix = "), using default PSK Ag==";
inline constexpr std::string_view kConnectingText = "Connecting...";

// What Connect reads from the form, as references into the app's widgets. Only `channelPsk` is
// ever written (the preset rule).
struct ConnectForm {
    const std::string& host;
    const std::string& port;
    const std::string& user;
    const std::string& password;
    const std::string& rootTopic;
    const std::string& channel;        // "Channel (Name or Index)"
    std::string& channelPsk;           // "Channel PSK (Base64)"
    const std::string& caPath;
    const std::string& pskIdentity;
    const std::string& pskKeyHex;
    const bool& decodeRaw;
    const bool& hideNodeinfo;
    const bool& hidePosition;
    const bool& hideTelemetry;
    const bool& hideTraceroute;
    const bool& useTls;                // "Use TLS (Port: 8883)"
    const bool& verifyServer;
    const bool& tlsPskMode;            // "TLS-PSK mode"
};

// The `disabled` states of the "Connect" and "Disconnect" buttons.
struct ConnectionButtons {
    bool& connectDisabled;
    bool& disconnectDisabled;
};

// Preset rule. Only when `channelPsk` is empty and `channel` lower-cased is exactly a preset name:
// sets `channelPsk` to "Ag==" and returns the notice line, which quotes `channel` as typed.
// Otherwise changes nothing and returns nothing.
std::optional<std::string> applyPresetRule(std::string_view channel, std::string& channelPsk,
                                           const ResolveChannel& resolveChannel);

// TLS port rule: "8883" when `useTls` and the port is exactly "1883"; otherwise the port as typed.
std::string connectPort(std::string_view port, bool useTls);

// The settings record from the form as it stands (after the preset rule): every field but
// `channelKey`, which stays empty. `tlsPsk` only with Use TLS; the port by the TLS port rule.
MqttConfig buildConfig(const ConnectForm& form);

// Does nothing while `connected`. Otherwise applies the preset rule (notice to the log), logs
// "Connecting...", starts the worker on a copy of buildConfig(form), sets `connected`, disables
// Connect and enables Disconnect. Connecting itself happens on the worker thread.
void onConnect(std::atomic<bool>& connected, ConnectionButtons buttons, ConnectForm& form,
               LogView& log, MqttWorker& worker, ResolveChannel resolveChannel);

// Does nothing unless `connected`. Otherwise stops the worker (blocking until its thread has
// ended), clears `connected`, enables Connect and disables Disconnect. Logs nothing itself.
void onDisconnect(std::atomic<bool>& connected, ConnectionButtons buttons, MqttWorker& worker);

}  // namespace vchat
