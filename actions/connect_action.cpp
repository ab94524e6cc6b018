#include "actions/connect_action.h"

namespace vchat {

std::optional<std::string> applyPresetRule(std::string_view channel, std::string& channelPsk,
                                           const ResolveChannel& resolveChannel) {
    // A key the user typed always wins; the default key is only a convenience for an empty field.
    if (!channelPsk.empty() || !resolveChannel.isPresetName(channel)) return std::nullopt;
    channelPsk = std::string(kDefaultChannelPsk);
    std::string notice(kPresetNoticePrefix);
    notice.append(channel);
    notice.append(kPresetNoticeSuffix);
    return notice;
}

std::string connectPort(std::string_view port, bool useTls) {
    return std::string(useTls && port == kDefaultPort ? kTlsPort : port);
}

MqttConfig buildConfig(const ConnectForm& form) {
    MqttConfig config;
    config.host = form.host;
    config.port = connectPort(form.port, form.useTls);
    config.user = form.user;
    config.password = form.password;
    // TLS: a pre-shared key only counts while TLS itself is on.
    config.useTls = form.useTls;
    config.verifyServer = form.verifyServer;
    config.caPath = form.caPath;
    config.tlsPsk = form.useTls && form.tlsPskMode;
    config.pskIdentity = form.pskIdentity;
    config.pskKeyHex = form.pskKeyHex;
    // What is subscribed to and how it is shown.
    config.rootTopic = form.rootTopic;
    config.decodeRaw = form.decodeRaw;
    config.channelPsk = form.channelPsk;
    config.hideNodeinfo = form.hideNodeinfo;
    config.hidePosition = form.hidePosition;
    config.hideTelemetry = form.hideTelemetry;
    config.hideTraceroute = form.hideTraceroute;
    return config;
}

void onConnect(std::atomic<bool>& connected, ConnectionButtons buttons, ConnectForm& form,
               LogView& log, MqttWorker& worker, ResolveChannel resolveChannel) {
    if (connected.load()) return;
    if (auto notice = applyPresetRule(form.channel, form.channelPsk, resolveChannel)) {
        log.append(*notice);
    }
    log.append(kConnectingText);
    // The worker copies the record; this one dies here, so later edits never reach the thread.
    worker.start(buildConfig(form), &log);
    connected.exchange(true);
    buttons.connectDisabled = true;
    buttons.disconnectDisabled = false;
}

void onDisconnect(std::atomic<bool>& connected, ConnectionButtons buttons, MqttWorker& worker) {
    if (!connected.load()) return;
    worker.stop();
    connected.exchange(false);
    buttons.connectDisabled = false;
    buttons.disconnectDisabled = true;
}

}  // namespace vchat
