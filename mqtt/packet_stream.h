// Whole MQTT packets read off a broker connection: the frame reader of packet_codec.h fed from the
// socket through the connection's waits.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "mqtt/broker_connection.h"
#include "mqtt/packet_codec.h"

namespace vchat {

// Once the first byte of a packet has arrived, the rest must follow within this time.
inline constexpr int kPacketCompletionTimeoutMs = 10000;

// The per-connection read state: bytes read ahead of the current packet and the frame in progress.
struct PacketStream {
    static constexpr std::size_t kChunk = 16384;
    FrameReader frame;
    std::vector<char> chunk;     // the read buffer, kChunk bytes once first used; filled only by reads
    std::size_t begin = 0;       // chunk[begin, end) is read but not yet framed
    std::size_t end = 0;
    std::optional<Deadline> packetDue;   // set while a packet has begun: when it must be whole
};

// Forgets everything read (for a fresh connection); keeps the frame reader's body limit.
void resetStream(PacketStream& stream);

// Reads one whole packet into `packet`. A packet over the frame reader's body limit comes out
// oversized (packet_codec.h) after all its bytes have been read and dropped.
// Ok: a packet. NotReady: no packet is whole yet: no byte of one arrived within timeoutMs, or
// `wake` (may be null) was raised. Nothing is lost and the stream stays usable; a packet that has
// begun keeps its completion deadline across calls. Stopped: the connection's stop signal was
// raised. Closed / Error: the connection was closed or is broken, or a packet that had begun did
// not complete within completionTimeoutMs of its first byte; the stream is then out of step and
// the connection should be closed.
// Between reads it waits on the socket unless the TLS library holds decrypted bytes, so a TLS record
// that arrives in pieces costs one wake-up per piece, not a spin until it is whole.
IoStatus readPacket(BrokerConnection& conn, PacketStream& stream, MqttPacket& packet, int timeoutMs,
                    int completionTimeoutMs = kPacketCompletionTimeoutMs, const StopSignal* wake = nullptr);

}  // namespace vchat
