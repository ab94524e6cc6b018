#include "mqtt/packet_stream.h"

#include <chrono>
#include <new>

namespace vchat {

IoStatus readPacket(BrokerConnection& conn, PacketStream& stream, MqttPacket& packet, int timeoutMs,
                    int completionTimeoutMs) {
    // No byte by the first deadline: nothing arrived. A packet that has begun must be whole by the
    // second one, or the connection is no longer usable.
    const Deadline firstByte = deadlineIn(timeoutMs);
    Deadline complete;
    bool started = false;
    auto fail = [&stream](IoStatus status) {
        stream.frame = FrameReader{};
        stream.buffer.clear();
        stream.begin = 0;
        return status;
    };

    for (;;) {
        if (stream.begin < stream.buffer.size()) {
            std::size_t consumed = 0;
            const FrameStatus status =
                feedFrame(stream.frame, stream.buffer.data() + stream.begin,
                          stream.buffer.size() - stream.begin, consumed);
            stream.begin += consumed;
            if (stream.begin == stream.buffer.size()) {
                stream.buffer.clear();
                stream.begin = 0;
            }
            if (status == FrameStatus::Complete) {
                packet = takePacket(stream.frame);
                return IoStatus::Ok;
            }
            if (status == FrameStatus::Failed) return fail(IoStatus::Error);
        }
        if (!started && frameStarted(stream.frame)) {
            started = true;
            complete = deadlineIn(completionTimeoutMs);
        }

        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>((started ? complete : firstByte) - SteadyClock::now())
                .count();
        if (left < 0 || (left == 0 && timeoutMs > 0)) {
            return started ? fail(IoStatus::Error) : IoStatus::NotReady;
        }
        const IoResult ready = waitReadable(conn, static_cast<int>(left));
        if (ready.status == IoStatus::NotReady) {
            if (started) return fail(IoStatus::Error);
            return IoStatus::NotReady;
        }
        if (ready.status != IoStatus::Ok) return fail(ready.status);

        // Everything buffered has been framed, so the buffer is empty here.
        try {
            stream.buffer.resize(PacketStream::kChunk);
        } catch (const std::bad_alloc&) {
            return fail(IoStatus::Error);
        }
        const IoResult got = recvSome(conn, stream.buffer.data(), stream.buffer.size());
        stream.buffer.resize(got.status == IoStatus::Ok ? got.bytes : 0);
        stream.begin = 0;
        if (got.status == IoStatus::NotReady) {
            // Readable but nothing to hand out yet (a TLS record still incomplete, or only a
            // handshake message such as a session ticket): wait on until the deadline.
            if (!started && timeoutMs == 0) return IoStatus::NotReady;
            continue;
        }
        if (got.status != IoStatus::Ok) return fail(got.status);
    }
}

}  // namespace vchat
