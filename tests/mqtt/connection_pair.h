// A BrokerConnection on one end of a socket pair, with the test playing the broker on the other.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "mqtt/broker_connection.h"

namespace vchat::testing {

class ConnectionPair : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        conn.sock.reset(fds[0]);
        peer = fds[1];
    }
    void TearDown() override {
        if (peer >= 0) ::close(peer);
    }
    void peerWrite(const std::string& bytes) {
        ASSERT_EQ(::write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void peerClose() {
        ::close(peer);
        peer = -1;
    }

    BrokerConnection conn;
    int peer = -1;
};

}  // namespace vchat::testing
