// A small protobuf writer for the simulator's envelopes and channel payloads. The client only reads
// protobuf; the simulator is the one place that writes it.
//
// Cannot fail: every call appends to the buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vchat::sim {

// Base-128 varint, least significant group first.
std::string varintBytes(std::uint64_t value);

// Appends fields in the order they are written; nothing is sorted by field number.
struct ProtoWriter {
    std::string bytes;

    ProtoWriter& varint(std::uint32_t field, std::uint64_t value);           // wire type 0
    ProtoWriter& lengthDelimited(std::uint32_t field, std::string_view body);  // wire type 2
};

}  // namespace vchat::sim
