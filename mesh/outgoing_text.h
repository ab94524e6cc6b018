// One text message to send, from the Send action to the outgoing encoder.
#pragma once

#include <cstdint>
#include <string>

namespace vchat {

struct OutgoingText {
    std::string text;             // an empty text sends nothing
    std::uint32_t fromId = 0;
    std::int64_t toId = -1;       // negative: broadcast; 0..4294967295: that node
    std::string gatewayHex;       // must hold exactly 8 bytes
    std::int32_t channel = -1;    // negative is sent as 0
    std::string shortName;
    std::string longName;
};

}  // namespace vchat
