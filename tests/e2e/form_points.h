// The form as laid out on screen: window coordinates of each widget's centre, written down from the
// layout by hand so the end-to-end tests do not lean on the program's own tables.
#pragma once

#include "tests/support/client_window.h"

namespace vchat::e2e::at {

using testing::Point;

// Text fields are 280 x 32; the message line is 980 x 32.
inline constexpr Point kBrokerHost{160, 62};
inline constexpr Point kPort{160, 122};
inline constexpr Point kRootTopic{160, 302};
inline constexpr Point kFromId{470, 62};
inline constexpr Point kGatewayHex{470, 122};
inline constexpr Point kChannel{470, 182};
inline constexpr Point kChannelPsk{470, 242};
inline constexpr Point kCaPath{780, 182};
inline constexpr Point kPskIdentity{780, 242};
inline constexpr Point kPskKey{780, 302};
inline constexpr Point kMessageLine{770, 661};
// Check boxes: the middle of each 20 x 20 square.
inline constexpr Point kUseTls{650, 61};
inline constexpr Point kTlsPskMode{650, 121};
inline constexpr Point kDecodeRaw{650, 361};
inline constexpr Point kHideNodeinfo{30, 420};
inline constexpr Point kHidePosition{240, 420};
inline constexpr Point kHideTelemetry{450, 420};
inline constexpr Point kHideTraceroute{660, 420};
// Buttons.
inline constexpr Point kConnect{80, 359};
inline constexpr Point kDisconnect{240, 359};
inline constexpr Point kSend{1345, 661};

}  // namespace vchat::e2e::at
