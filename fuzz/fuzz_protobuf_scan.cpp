// The envelope and packet scans on arbitrary bytes: no read outside the input, and the records obey
// the rules their success flags promise.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "mesh/protobuf_scan.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool isLabel(std::string_view s) {
    if (s.empty() || s.size() > vchat::kMaxLabelBytes) return false;
    for (char c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    std::uint64_t value = 0;
    const char* next = nullptr;
    if (vchat::parseVarint(bytes.data(), bytes.data() + size, value, next)) {
        require(next > bytes.data() && next <= bytes.data() + size && next - bytes.data() <= 10);
    }

    vchat::Envelope envelope;
    const bool envelopeOk = vchat::scanEnvelope(bytes, envelope);
    require(envelopeOk == !envelope.packet.empty());
    require(envelope.packet.size() != 1 && (envelope.packet.empty() || envelope.packet.size() < size));
    require(envelope.label.empty() || isLabel(envelope.label));

    // The packet scan both on the raw input and on what the envelope scan found, as the decoder does.
    for (std::string_view input : {bytes, std::string_view(envelope.packet)}) {
        vchat::MeshPacket packet;
        const bool packetOk = vchat::scanMeshPacket(input, packet);
        require(packetOk == ((packet.first != 0 || packet.second != 0) && !packet.ciphertext.empty()));
        require(packet.second == 0 || packet.first != 0);
        require(packet.ciphertext.empty() || packet.ciphertext.size() < input.size());
    }
    return 0;
}
