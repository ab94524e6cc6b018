// The steps of one broker session, shared by the worker and the tools: open the transport (plain
// TCP or TLS), log in with fallback attempts, subscribe. Nothing here writes to the log: results
// are returned and the caller words them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "mesh/mqtt_config.h"
#include "mqtt/broker_connection.h"
#include "mqtt/packet_codec.h"
#include "mqtt/packet_stream.h"

namespace vchat {

inline constexpr int kConnackTimeoutMs = 5000;
// After a refused login, how long to look for the broker closing the connection, as an MQTT 3.1.1
// broker must. A broker that keeps it open gets the next attempt on the same connection.
inline constexpr int kRefusalCloseWaitMs = 250;

// Everything needed to open (and open again) the same kind of connection to the same broker.
struct TransportSettings {
    std::string host;
    std::string port;
    bool useTls = false;
    bool verifyServer = true;
    std::string caPath;
    bool tlsPsk = false;
    std::string pskIdentity;
    std::string pskKeyHex;
};

TransportSettings transportOf(const MqttConfig& config);

// Opens the connection; conn.stop is control.stop afterwards. False: nothing is left open and, for
// TLS, `error` holds the TLS layer's one-line reason (for plain TCP it is left empty).
bool openTransport(const TransportSettings& settings, BrokerConnection& conn, const ConnectControl& control,
                   std::string& error);

struct LoginAttempt {
    std::string_view protocolVersion;   // "3.1.1" or "3.1"
    bool withCredentials;
};

// The client's attempts, in order: MQTT 3.1.1 with the user's credentials, then without, then the
// same two with MQTT 3.1.
inline constexpr LoginAttempt kFallbackLoginAttempts[] = {
    {"3.1.1", true},
    {"3.1.1", false},
    {"3.1", true},
    {"3.1", false},
};

struct LoginRequest {
    std::string user;
    std::string password;
    std::uint16_t keepAliveSec = 20;
    std::string_view clientIdPrefix = kClientIdPrefix;   // each attempt gets a fresh identifier
    const LoginAttempt* attempts = nullptr;
    std::size_t attemptCount = 0;
};

enum class LoginOutcome {
    Accepted,          // CONNACK with return code 0
    Refused,           // a CONNACK with another code, or one too short to hold a code
    NoAnswer,          // no CONNACK within kConnackTimeoutMs, or another packet instead
    ConnectionLost,    // the connection closed or broke, or a fresh one could not be opened
    Stopped,           // the stop signal was raised
    NoClientId,        // no random bytes for a client identifier: no CONNECT went out
};

// Tries the attempts in order until one is accepted. An attempt goes over the open connection while
// the broker keeps it; after a refusal that the broker follows with a close, or a close before the
// CONNACK, the next attempt first opens a fresh connection with the same settings. Returns the
// outcome of the last attempt made; on Accepted, conn and stream carry on with the session. Every
// attempt's client identifier comes from the cryptographic generator (makeClientId).
LoginOutcome logIn(BrokerConnection& conn, PacketStream& stream, const TransportSettings& settings,
                   const ConnectControl& control, const LoginRequest& request);

// Sends a SUBSCRIBE for one filter at QoS 0 (its SUBACK is not awaited).
bool subscribe(BrokerConnection& conn, std::string_view filter, std::mt19937& rng);

}  // namespace vchat
