// The TCP/IP discovery request and its 16-byte reply. Runs only inside scripts/netns-run.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/module/SimulatedModule.h"

namespace {

TEST(SimDiscovery, AnswersTheMulticastRequestWithItsTcpService) {
    sim::Description d;
    d.module.serial = 0x40F5849A;
    d.module.model = 26;
    d.module.address = 6;
    sim::SimulatedModule dev(d);
    uint16_t port = dev.listenTcp("10.77.0.1", 0);
    dev.startDiscoveryResponder("10.77.0.1");

    int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(rx, 0);
    int one = 1;
    ::setsockopt(rx, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in me{};
    me.sin_family = AF_INET;
    me.sin_port = htons(9889);
    me.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&me), sizeof me), 0);

    int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    in_addr ifa{};
    ::inet_pton(AF_INET, "10.77.0.1", &ifa);
    ::setsockopt(tx, IPPROTO_IP, IP_MULTICAST_IF, &ifa, sizeof ifa);
    unsigned char loop = 1;
    ::setsockopt(tx, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(9888);
    ::inet_pton(AF_INET, "232.2.2.2", &group.sin_addr);

    uint8_t request[16] = {0x01};
    uint8_t reply[64];
    ssize_t n = -1;
    // A request may leave before the group membership is in place: ask a few times.
    for (int attempt = 0; attempt < 20 && n < 0; ++attempt) {
        ::sendto(tx, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
        pollfd p{rx, POLLIN, 0};
        if (::poll(&p, 1, 500) == 1) n = ::recv(rx, reply, sizeof reply, 0);
    }
    ASSERT_EQ(n, 16);
    EXPECT_EQ(reply[1], 6);
    EXPECT_EQ(reply[2] | reply[3] << 8, port);
    EXPECT_EQ(uint32_t(reply[4] | reply[5] << 8 | reply[6] << 16 | uint32_t(reply[7]) << 24),
              0x40F5849Au);
    EXPECT_EQ(reply[12], 26);

    // A request that is not exactly the 16-byte form gets no answer.
    uint8_t wrong[16] = {0x02};
    ::sendto(tx, wrong, sizeof wrong, 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
    ::sendto(tx, request, 15, 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
    ::sendto(tx, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
    pollfd p{rx, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_EQ(::recv(rx, reply, sizeof reply, 0), 16); // the valid one only...
    p.revents = 0;
    EXPECT_EQ(::poll(&p, 1, 300), 0); // ...and nothing else
    ::close(rx);
    ::close(tx);
}

} // namespace
