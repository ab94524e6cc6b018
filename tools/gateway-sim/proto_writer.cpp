#include "tools/gateway-sim/proto_writer.h"

namespace vchat::sim {

namespace {
constexpr std::uint64_t kWireVarint = 0;
constexpr std::uint64_t kWireLengthDelimited = 2;
}  // namespace

std::string varintBytes(std::uint64_t value) {
    std::string out;
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
    return out;
}

ProtoWriter& ProtoWriter::varint(std::uint32_t field, std::uint64_t value) {
    bytes += varintBytes(std::uint64_t{field} << 3 | kWireVarint);
    bytes += varintBytes(value);
    return *this;
}

ProtoWriter& ProtoWriter::lengthDelimited(std::uint32_t field, std::string_view body) {
    bytes += varintBytes(std::uint64_t{field} << 3 | kWireLengthDelimited);
    bytes += varintBytes(body.size());
    bytes.append(body);
    return *this;
}

}  // namespace vchat::sim
