#include "mqtt/session.h"

#include "mqtt/tls.h"

namespace vchat {

namespace {

bool stopRaised(const StopSignal* stop) {
    return stop != nullptr && stop->raised();
}

LoginOutcome lostOrStopped(IoStatus status) {
    return status == IoStatus::Stopped ? LoginOutcome::Stopped : LoginOutcome::ConnectionLost;
}

LoginOutcome tryOnce(BrokerConnection& conn, PacketStream& stream, const LoginRequest& request,
                     const LoginAttempt& attempt) {
    std::string clientId;
    if (!makeClientId(clientId, request.clientIdPrefix)) return LoginOutcome::NoClientId;
    const std::string empty;
    const std::string& user = attempt.withCredentials ? request.user : empty;
    const std::string& password = attempt.withCredentials ? request.password : empty;
    if (!sendRaw(conn, buildConnect(clientId, user, password, attempt.protocolVersion, request.keepAliveSec))) {
        return stopRaised(conn.stop) ? LoginOutcome::Stopped : LoginOutcome::ConnectionLost;
    }
    MqttPacket packet;
    const IoStatus status = readPacket(conn, stream, packet, kConnackTimeoutMs);
    if (status == IoStatus::NotReady) return LoginOutcome::NoAnswer;
    if (status != IoStatus::Ok) return lostOrStopped(status);
    if (packet.type != kPacketConnack) return LoginOutcome::NoAnswer;
    // A CONNACK body shorter than 2 bytes carries no return code: a refusal.
    return packet.body.size() >= 2 && packet.body[1] == '\x00' ? LoginOutcome::Accepted : LoginOutcome::Refused;
}

// After a refusal: did the broker close the connection (or did a stop come)?
LoginOutcome afterRefusal(BrokerConnection& conn, PacketStream& stream) {
    MqttPacket ignored;
    const IoStatus status = readPacket(conn, stream, ignored, kRefusalCloseWaitMs);
    if (status == IoStatus::Ok || status == IoStatus::NotReady) return LoginOutcome::Refused;
    return lostOrStopped(status);
}

}  // namespace

TransportSettings transportOf(const MqttConfig& config) {
    return TransportSettings{config.host,   config.port,   config.useTls,      config.verifyServer,
                             config.caPath, config.tlsPsk, config.pskIdentity, config.pskKeyHex};
}

bool openTransport(const TransportSettings& settings, BrokerConnection& conn, const ConnectControl& control,
                   std::string& error) {
    if (settings.useTls) {
        return tlsConnect(conn, settings.host, settings.port, settings.verifyServer, settings.caPath,
                          settings.tlsPsk, settings.pskIdentity, settings.pskKeyHex, error, control);
    }
    const int fd = tcpConnect(settings.host, settings.port, control);
    if (fd < 0) return false;
    closeConnection(conn);
    conn.sock.reset(fd);
    conn.stop = control.stop;
    return true;
}

LoginOutcome logIn(BrokerConnection& conn, PacketStream& stream, const TransportSettings& settings,
                   const ConnectControl& control, const LoginRequest& request) {
    LoginOutcome outcome = LoginOutcome::NoAnswer;
    bool needFresh = false;
    for (std::size_t i = 0; i < request.attemptCount; ++i) {
        if (needFresh) {
            closeConnection(conn);
            resetStream(stream);
            std::string ignored;
            if (!openTransport(settings, conn, control, ignored)) {
                return stopRaised(control.stop) ? LoginOutcome::Stopped : LoginOutcome::ConnectionLost;
            }
            needFresh = false;
        }
        outcome = tryOnce(conn, stream, request, request.attempts[i]);
        if (outcome == LoginOutcome::Accepted || outcome == LoginOutcome::Stopped ||
            outcome == LoginOutcome::NoClientId) {
            return outcome;
        }
        if (outcome == LoginOutcome::Refused) {
            if (i + 1 == request.attemptCount) break;
            const LoginOutcome after = afterRefusal(conn, stream);
            if (after == LoginOutcome::Stopped) return after;
            needFresh = after == LoginOutcome::ConnectionLost;
        } else {
            needFresh = outcome == LoginOutcome::ConnectionLost;
        }
    }
    return outcome;
}

bool subscribe(BrokerConnection& conn, std::string_view filter, std::mt19937& rng) {
    return sendRaw(conn, buildSubscribe(makeSubscribeId(rng), filter));
}

}  // namespace vchat
