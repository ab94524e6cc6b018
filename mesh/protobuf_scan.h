// Schema-less reading of the gateways' protobuf envelopes.
//
// Only wire types 0 (varint) and 2 (length-delimited) are understood; field numbers are never looked
// at. A bad varint, a length that runs past the end or any other wire type ends the walk quietly:
// what was gathered before it stands. Nothing here reads at or past the end of its input.
//
// Error convention: bool result plus out-parameters. parseVarint leaves its outputs untouched on
// failure; the scans always fill their record (reset first), whether they succeed or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vchat {

inline constexpr std::size_t kMaxLabelBytes = 64;

struct Envelope {
    std::string label;    // last length-delimited field of 1..64 bytes, all in 0x20..0x7E
    std::string packet;   // last length-delimited field of 2 or more bytes
};

struct MeshPacket {
    std::uint32_t first = 0;    // first non-zero varint (low 32 bits)
    std::uint32_t second = 0;   // next non-zero varint after it
    std::string ciphertext;     // last length-delimited field of 1 or more bytes
};

// Reads one varint from [pos, end). At most 10 bytes; bits beyond bit 63 are dropped. On success sets
// `value` and `next` (the byte after the varint); on failure (range ends inside the varint, or a tenth
// byte still has its top bit set) writes nothing.
bool parseVarint(const char* pos, const char* end, std::uint64_t& value, const char*& next);

// True exactly when `envelope.packet` is non-empty.
bool scanEnvelope(std::string_view bytes, Envelope& envelope);
// True exactly when (first != 0 or second != 0) and the ciphertext is non-empty.
bool scanMeshPacket(std::string_view bytes, MeshPacket& packet);

}  // namespace vchat
