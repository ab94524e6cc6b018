// Whole MQTT packets read off a broker connection: the frame reader of packet_codec.h fed from the
// socket through the connection's waits.
#pragma once

#include <cstddef>
#include <string>

#include "mqtt/broker_connection.h"
#include "mqtt/packet_codec.h"

namespace vchat {

// Once the first byte of a packet has arrived, the rest must follow within this time.
inline constexpr int kPacketCompletionTimeoutMs = 10000;

// The per-connection read state: bytes read ahead of the current packet and the frame in progress.
struct PacketStream {
    static constexpr std::size_t kChunk = 16384;
    FrameReader frame;
    std::string buffer;      // bytes read from the connection, not yet framed
    std::size_t begin = 0;   // first unframed byte in buffer
};

// Reads one whole packet into `packet`.
// Ok: a packet. NotReady: no byte of a packet arrived within timeoutMs (nothing is lost; the stream
// stays usable). Stopped: the connection's stop signal was raised. Closed / Error: the connection
// was closed or is broken, or a packet that had begun did not complete within completionTimeoutMs,
// or its body could not be stored; the stream is then out of step and the connection should be
// closed.
IoStatus readPacket(BrokerConnection& conn, PacketStream& stream, MqttPacket& packet, int timeoutMs,
                    int completionTimeoutMs = kPacketCompletionTimeoutMs);

}  // namespace vchat
