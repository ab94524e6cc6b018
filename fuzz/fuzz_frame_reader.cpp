// Arbitrary bytes through the frame reader, once in one piece and once in chunks whose sizes come
// from the input: both must frame exactly the same packets. The body limit comes from the input
// too (the client's, or a few bytes so most packets go over it): an oversized packet holds no more
// than a PUBLISH topic's part, a whole one exactly its announced body.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "mqtt/packet_codec.h"

namespace {

struct Framed {
    std::vector<vchat::MqttPacket> packets;
    std::size_t pendingBody = 0;
};

Framed frame(const std::string& stream, const std::string& chunkSizes, std::uint32_t limit) {
    Framed out;
    vchat::FrameReader reader;
    reader.bodyLimit = limit;
    std::size_t pos = 0;
    std::size_t turn = 0;
    while (pos < stream.size()) {
        std::size_t chunk = stream.size() - pos;
        if (!chunkSizes.empty()) {
            chunk = std::min<std::size_t>(chunk, 1 + static_cast<std::uint8_t>(chunkSizes[turn++ % chunkSizes.size()]) % 17);
        }
        std::size_t consumed = 0;
        const vchat::FrameStatus status = vchat::feedFrame(reader, stream.data() + pos, chunk, consumed);
        if (consumed > chunk) std::abort();
        if (status == vchat::FrameStatus::NeedMore && consumed != chunk) std::abort();
        pos += consumed;
        if (status == vchat::FrameStatus::Complete) {
            vchat::MqttPacket p = vchat::takePacket(reader);
            if (p.type < 0 || p.type > 15 || p.flags < 0 || p.flags > 15) std::abort();
            if (p.oversized != (p.length > limit)) std::abort();
            if (!p.oversized && p.body.size() != p.length) std::abort();
            if (p.oversized && p.body.size() > (p.type == vchat::kPacketPublish ? vchat::kMaxTopicPart : 0)) std::abort();
            out.packets.push_back(std::move(p));
        }
        if (status == vchat::FrameStatus::Failed) std::abort();   // allocation cannot fail at these sizes
    }
    out.pendingBody = reader.packet.body.size();
    // What a started packet holds never exceeds what was fed, nor the limit or a topic's part.
    if (out.pendingBody > stream.size() || out.pendingBody > std::max(limit, vchat::kMaxTopicPart)) std::abort();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t split = data[0] % 8;   // how many leading bytes give chunk sizes
    const std::uint32_t limit = (data[0] & 0x80) != 0 ? vchat::kMaxMessageSize : 1 + ((data[0] >> 3) & 0x0F) * 8u;
    if (size < 1 + split) return 0;
    const std::string chunkSizes(reinterpret_cast<const char*>(data + 1), split);
    const std::string stream(reinterpret_cast<const char*>(data + 1 + split), size - 1 - split);

    const Framed whole = frame(stream, "", limit);
    const Framed chunked = frame(stream, chunkSizes.empty() ? std::string(1, '\0') : chunkSizes, limit);
    if (whole.packets.size() != chunked.packets.size() || whole.pendingBody != chunked.pendingBody) std::abort();
    for (std::size_t i = 0; i < whole.packets.size(); ++i) {
        const vchat::MqttPacket& a = whole.packets[i];
        const vchat::MqttPacket& b = chunked.packets[i];
        if (a.type != b.type || a.flags != b.flags || a.body != b.body || a.length != b.length ||
            a.oversized != b.oversized) {
            std::abort();
        }
    }
    return 0;
}
