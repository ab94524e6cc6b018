// A small protobuf writer for the simulator's envelopes and channel payloads. The client only reads
// protobuf; the simulator writes it, and the tests build their inputs with the same writer (its
// bytes are checked against hand-written ones in the simulator's tests). Header-only, so the tests
// and the ingest benchmark use it without linking the simulator.
//
// Cannot fail: every call appends to the buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vchat::sim {

// Base-128 varint, least significant group first.
inline std::string varintBytes(std::uint64_t value) {
    std::string out;
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
    return out;
}

// Appends fields in the order they are written; nothing is sorted by field number.
struct ProtoWriter {
    std::string bytes;

    ProtoWriter& varint(std::uint32_t field, std::uint64_t value) {   // wire type 0
        bytes += varintBytes(std::uint64_t{field} << 3 | 0) + varintBytes(value);
        return *this;
    }
    ProtoWriter& lengthDelimited(std::uint32_t field, std::string_view body) {   // wire type 2
        bytes += varintBytes(std::uint64_t{field} << 3 | 2) + varintBytes(body.size());
        bytes.append(body);
        return *this;
    }
    ProtoWriter& fixed32(std::uint32_t field, std::uint32_t value) {   // wire type 5, little-endian
        bytes += varintBytes(std::uint64_t{field} << 3 | 5);
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
        return *this;
    }
};

}  // namespace vchat::sim
