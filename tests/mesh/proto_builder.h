// A minimal protobuf writer for building test inputs. The client itself never writes protobuf, so
// this lives with the tests; its output is checked against hand-written bytes in the scan tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vchat::testing {

inline std::string varintBytes(std::uint64_t value) {
    std::string out;
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
    return out;
}

class ProtoBuilder {
public:
    ProtoBuilder& varint(std::uint32_t field, std::uint64_t value) {
        bytes_ += varintBytes(std::uint64_t{field} << 3 | 0);
        bytes_ += varintBytes(value);
        return *this;
    }
    ProtoBuilder& bytes(std::uint32_t field, std::string_view body) {
        bytes_ += varintBytes(std::uint64_t{field} << 3 | 2);
        bytes_ += varintBytes(body.size());
        bytes_.append(body);
        return *this;
    }
    // A fixed32 field (wire type 5), which the scans do not understand.
    ProtoBuilder& fixed32(std::uint32_t field, std::uint32_t value) {
        bytes_ += varintBytes(std::uint64_t{field} << 3 | 5);
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<char>(value >> (8 * i)));
        return *this;
    }
    ProtoBuilder& raw(std::string_view b) {
        bytes_.append(b);
        return *this;
    }
    const std::string& str() const { return bytes_; }

private:
    std::string bytes_;
};

// "0a0b" -> the two bytes 0a 0b. Test inputs only: expects an even count of hex digits.
inline std::string fromHex(std::string_view hex) {
    auto nibble = [](char c) {
        return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    };
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    return out;
}

}  // namespace vchat::testing
