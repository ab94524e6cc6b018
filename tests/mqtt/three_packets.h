// Three packets back to back (a PUBLISH, a PINGRESP and a CONNACK), for the frame reader's tests
// and the socket reader's, and what each reader must hand out for them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mqtt/packet_codec.h"
#include "tests/support/test_support.h"

namespace vchat::testing {

inline const std::string kThreePackets = fromHex("30080003612f62780079" "d000" "20020005");

inline void expectThreePackets(const std::vector<MqttPacket>& got) {
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].type, 3);
    EXPECT_EQ(got[0].flags, 0);
    EXPECT_EQ(got[0].body, fromHex("0003612f62780079"));
    EXPECT_EQ(got[1].type, 13);
    EXPECT_EQ(got[1].body, "");
    EXPECT_EQ(got[2].type, 2);
    EXPECT_EQ(got[2].body, fromHex("0005"));
}

}  // namespace vchat::testing
