#include "mqtt/packet_stream.h"

#include <new>

namespace vchat {

IoStatus readPacket(BrokerConnection& conn, PacketStream& stream, MqttPacket& packet, int timeoutMs,
                    int completionTimeoutMs, const StopSignal* wake) {
    // No byte by the first deadline: nothing arrived. A packet that has begun must be whole by its
    // own deadline, or the connection is no longer usable.
    const Deadline firstByte = deadlineIn(timeoutMs);
    auto fail = [&stream](IoStatus status) {
        stream.frame = FrameReader{};
        stream.begin = stream.end = 0;
        stream.packetDue.reset();
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

        // Everything read has been framed. Read before waiting: bytes the TLS library has already
        // decrypted do not show on the socket. A raised stop still wins over bytes waiting there.
        if (conn.stop != nullptr && conn.stop->raised()) return fail(IoStatus::Stopped);
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
            continue;
        }
        if (got.status != IoStatus::NotReady) return fail(got.status);

        // Nothing to hand out yet (the socket is empty, or a TLS record is still incomplete, or only
        // a handshake message such as a session ticket came): wait on the socket.
        const bool started = stream.packetDue.has_value();
        switch (waitSocket(conn.sock.get(), got.retryWhen, started ? *stream.packetDue : firstByte, conn.stop,
                           wake)) {
        case WaitResult::Ready:
            continue;
        case WaitResult::Woken:
            return IoStatus::NotReady;
        case WaitResult::TimedOut:
            return started ? fail(IoStatus::Error) : IoStatus::NotReady;
        case WaitResult::Stopped:
            return fail(IoStatus::Stopped);
        case WaitResult::Failed:
            break;
        }
        return fail(IoStatus::Error);
    }
}

}  // namespace vchat
