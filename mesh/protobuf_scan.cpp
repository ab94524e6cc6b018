#include "mesh/protobuf_scan.h"

namespace vchat {

namespace {

constexpr std::uint64_t kWireVarint = 0;
constexpr std::uint64_t kWireLengthDelimited = 2;

// Walks the fields of `bytes`, handing varint values and length-delimited bodies to the callbacks,
// until the input ends or something it cannot read ends the walk.
template <typename OnVarint, typename OnBytes>
void walkFields(std::string_view bytes, OnVarint onVarint, OnBytes onBytes) {
    const char* pos = bytes.data();
    const char* const end = bytes.data() + bytes.size();
    while (pos < end) {
        std::uint64_t tag = 0;
        if (!parseVarint(pos, end, tag, pos)) return;
        const std::uint64_t wireType = tag & 0x7;
        if (wireType == kWireVarint) {
            std::uint64_t value = 0;
            if (!parseVarint(pos, end, value, pos)) return;
            onVarint(value);
        } else if (wireType == kWireLengthDelimited) {
            std::uint64_t rawLength = 0;
            if (!parseVarint(pos, end, rawLength, pos)) return;
            // Lengths count from the low 32 bits, as the gateways write them.
            const std::uint64_t length = rawLength & 0xFFFFFFFFu;
            if (length > static_cast<std::uint64_t>(end - pos)) return;
            onBytes(std::string_view(pos, static_cast<std::size_t>(length)));
            pos += length;
        } else {
            return;
        }
    }
}

bool isPrintableLabel(std::string_view field) {
    if (field.empty() || field.size() > kMaxLabelBytes) return false;
    for (char c : field) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b > 0x7E) return false;
    }
    return true;
}

}  // namespace

bool parseVarint(const char* pos, const char* end, std::uint64_t& value, const char*& next) {
    std::uint64_t result = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
        if (pos >= end) return false;
        const auto b = static_cast<unsigned char>(*pos++);
        // At shift 63 only the lowest payload bit still fits; the shift drops the rest.
        result |= static_cast<std::uint64_t>(b & 0x7F) << shift;
        if (b < 0x80) {
            value = result;
            next = pos;
            return true;
        }
    }
    return false;
}

bool scanEnvelope(std::string_view bytes, Envelope& envelope) {
    envelope = Envelope{};
    walkFields(
        bytes, [](std::uint64_t) {},
        [&envelope](std::string_view field) {
            if (isPrintableLabel(field)) envelope.label.assign(field);
            if (field.size() >= 2) envelope.packet.assign(field);
        });
    return !envelope.packet.empty();
}

bool scanMeshPacket(std::string_view bytes, MeshPacket& packet) {
    packet = MeshPacket{};
    walkFields(
        bytes,
        [&packet](std::uint64_t value) {
            const auto low = static_cast<std::uint32_t>(value);
            if (packet.first == 0) {
                packet.first = low;
            } else if (packet.second == 0) {
                packet.second = low;
            }
        },
        [&packet](std::string_view field) {
            if (!field.empty()) packet.ciphertext.assign(field);
        });
    return (packet.first != 0 || packet.second != 0) && !packet.ciphertext.empty();
}

}  // namespace vchat
