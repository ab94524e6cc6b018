#include "mqtt/packet_stream.h"

#include <new>

namespace vchat {

void resetStream(PacketStream& stream) {
    resetFrame(stream.frame);
    stream.begin = stream.end = 0;
    stream.packetDue.reset();
}

IoStatus readPacket(BrokerConnection& conn, PacketStream& stream, MqttPacket& packet, int timeoutMs,
                    int completionTimeoutMs, const StopSignal* wake) {
    // No byte by the first deadline: nothing arrived. A packet that has begun must be whole by its
    // own deadline, or the connection is no longer usable.
    const Deadline firstByte = deadlineIn(timeoutMs);
    WaitFor direction = WaitFor::Read;
    auto fail = [&stream](IoStatus status) {
        resetStream(stream);
        return status;
    };

    for (;;) {
        if (stream.begin < stream.end) {
            std::size_t consumed = 0;
            const FrameStatus status =
                feedFrame(stream.frame, stream.chunk.data() + stream.begin, stream.end - stream.begin, consumed);
            stream.begin += consumed;
            if (status == FrameStatus::Complete) {
                packet = takePacket(stream.frame);
                stream.packetDue.reset();
                return IoStatus::Ok;
            }
            if (status == FrameStatus::Failed) return fail(IoStatus::Error);
        }
        if (!stream.packetDue && frameStarted(stream.frame)) stream.packetDue = deadlineIn(completionTimeoutMs);

        // Everything read has been framed: wait for more (on the socket, unless the TLS library
        // holds decrypted bytes), then read.
        const bool started = stream.packetDue.has_value();
        // Checked here too: a wait cut short by the wake signal never reaches its deadline.
        if (started && SteadyClock::now() >= *stream.packetDue) return fail(IoStatus::Error);
        switch (waitToRead(conn, direction, started ? *stream.packetDue : firstByte, wake)) {
        case WaitResult::Ready:
            break;
        case WaitResult::Woken:
            return IoStatus::NotReady;
        case WaitResult::TimedOut:
            return started ? fail(IoStatus::Error) : IoStatus::NotReady;
        case WaitResult::Stopped:
            return fail(IoStatus::Stopped);
        case WaitResult::Failed:
            return fail(IoStatus::Error);
        }
        if (stream.chunk.empty()) {
            try {
                stream.chunk.resize(PacketStream::kChunk);
            } catch (const std::bad_alloc&) {
                return fail(IoStatus::Error);
            }
        }
        const IoResult got = recvSome(conn, stream.chunk.data(), stream.chunk.size());
        if (got.status == IoStatus::Ok) {
            stream.begin = 0;
            stream.end = got.bytes;
            direction = WaitFor::Read;
            continue;
        }
        // Readable, yet nothing to hand out (the rest of a TLS record, or only a handshake message
        // such as a session ticket): the next wait is on the socket, not a spin.
        if (got.status == IoStatus::NotReady) {
            direction = got.retryWhen;
            continue;
        }
        return fail(got.status);
    }
}

}  // namespace vchat
