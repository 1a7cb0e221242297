#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/RouteLookup.h"
#include "platform/Sockets.h"
#include "probe/NetworkSender.h"
#include "probe/RouteDevice.h"

TEST(NetworkSender, InitResolvesDottedQuadAndRejectsInvalidNames) {
    NetworkSender s;
    ASSERT_TRUE(s.Init("127.0.0.1", 33434));
    EXPECT_EQ(s.TargetIp(), "127.0.0.1");
    EXPECT_EQ(s.LastError(), StartError::None);
    // RFC 6761 reserves .invalid: no name server is asked and the start fails with a cause.
    EXPECT_FALSE(s.Init("nao-existe.invalid", 33434));
    EXPECT_EQ(s.LastError(), StartError::HostNotResolved);
    EXPECT_FALSE(s.Init("", 33434));
    // An IPv6 literal has no IPv4 address: it is traced over IPv6, named as the decoder names
    // reply addresses. With IPv6 chosen, an IPv4 literal has no address to trace.
    ASSERT_TRUE(s.Init("0:0::1", 33434));
    EXPECT_TRUE(s.TargetIsIpv6());
    EXPECT_EQ(s.TargetIp(), "::1");
    s.SetFamily(kFamilyIpv6);
    EXPECT_FALSE(s.Init("127.0.0.1", 33434));
    EXPECT_EQ(s.LastError(), StartError::HostNotResolved);
    EXPECT_FALSE(s.Init("nao-existe.invalid", 33434));
    s.SetFamily(kFamilyIpv4);
    ASSERT_TRUE(s.Init("127.0.0.1", 33434));
    EXPECT_FALSE(s.TargetIsIpv6());
    s.Close();
    s.Close();  // twice is harmless
}

// (TCP probes need no capture of the engine's any more: the sender opens its own injection
// handle, or a raw socket on a link without header such as loopback.)
TEST(NetworkSender, UnknownProtocolAndNoSocketSendNothing) {
    NetworkSender s;
    EXPECT_EQ(s.SendProbe(1, 0, kProbeUdp), -1);  // no socket before Init
    ASSERT_TRUE(s.Init("127.0.0.1", 33434));
    EXPECT_EQ(s.SendProbe(1, 0, 3), -1);
}

// Over IPv6 the UDP probe carries the hop limit where IPv4 carries the TTL.
TEST(NetworkSender, Ipv6UdpProbeCarriesHopLimitPortAndPayload) {
    int rx = socket(AF_INET6, SOCK_DGRAM, 0);
    if (rx < 0) GTEST_SKIP() << "no IPv6 on this machine";
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(33434 + 6);
    addr.sin6_addr = in6addr_loopback;
    if (bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(rx);
        GTEST_SKIP() << "[::1]:33440 cannot be bound (busy, or IPv6 disabled)";
    }
    int on = 1;
    setsockopt(rx, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on);
    timeval tv{2, 0};
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    NetworkSender s;
    ASSERT_TRUE(s.Init("::1", 33434));
    EXPECT_EQ(s.SendProbe(9, 6, kProbeUdp), 6);
    char buf[64];
    char ctrl[64];
    sockaddr_in6 from{};
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctrl;
    msg.msg_controllen = sizeof ctrl;
    const ssize_t n = recvmsg(rx, &msg, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "MTR_SEQ=6");
    int hops = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT) std::memcpy(&hops, CMSG_DATA(c), sizeof hops);
    EXPECT_EQ(hops, 9);
    EXPECT_EQ(ntohs(from.sin6_port), s.Identity(kProbeUdp).udpSourcePort);
    EXPECT_EQ(s.Identity(kProbeUdp).targetIp, "::1");
    close(rx);
}

// A UDP probe reaches port basePort + seq with the given TTL and "MTR_SEQ=<seq>".
TEST(NetworkSender, UdpProbeCarriesTtlPortAndPayload) {
    int rx = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(rx, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(33434 + 5);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(rx);
        GTEST_SKIP() << "port 33439 busy";
    }
    int on = 1;
    setsockopt(rx, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    timeval tv{2, 0};
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    NetworkSender s;
    ASSERT_TRUE(s.Init("127.0.0.1", 33434));
    EXPECT_EQ(s.SendProbe(7, 5, kProbeUdp), 5);

    char buf[64];
    char ctrl[64];
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctrl;
    msg.msg_controllen = sizeof ctrl;
    ssize_t n = recvmsg(rx, &msg, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "MTR_SEQ=5");
    int ttl = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
    EXPECT_EQ(ttl, 7);
    // The source port is the one the sender reports: replies quoting it are ours.
    const ProbeIdentity id = s.Identity(kProbeUdp);
    EXPECT_NE(id.udpSourcePort, 0);
    EXPECT_EQ(ntohs(from.sin_port), id.udpSourcePort);
    EXPECT_EQ(id.targetIp, "127.0.0.1");
    close(rx);
}

TEST(NetworkSender, IcmpSocketOpensRawOrDatagram) {
    bool datagram = false;
    int fd = platform::OpenIcmpSocket(datagram);
    if (geteuid() == 0) {
        ASSERT_GE(fd, 0);
        EXPECT_FALSE(datagram);
    }
    platform::CloseSocket(fd);
    NetworkSender s;
    ASSERT_TRUE(s.Init("127.0.0.1", 33434));
    if (s.HasIcmpSocket()) {
        EXPECT_EQ(s.SendProbe(64, 65536 + 9, kProbeIcmp), 65536 + 9);
    }
}

TEST(NetworkSender, RouteAndInterfaceLookupOnLoopback) {
    platform::RouteInfo route;
    ASSERT_TRUE(platform::LookupRoute(htonl(INADDR_LOOPBACK), route));
    EXPECT_EQ(route.ifIndex, static_cast<int>(if_nametoindex("lo")));
    EXPECT_EQ(route.gateway, 0u);
    platform::InterfaceInfo info;
    ASSERT_TRUE(platform::LookupInterface(route.ifIndex, info));
    EXPECT_EQ(info.name, "lo");
    EXPECT_TRUE(info.loopback);
    EXPECT_EQ(info.firstIpv4, htonl(INADDR_LOOPBACK));
    EXPECT_FALSE(platform::LookupInterface(999999, info));

    EXPECT_EQ(RouteDeviceFor("127.0.0.1"), "lo");
    EXPECT_EQ(RouteDeviceFor("nao-existe.invalid"), "");
}

// On an unprivileged ICMP datagram socket the kernel writes its own identifier into every echo
// request; the sender reads it back, and two senders get different ones.
TEST(NetworkSender, DatagramIcmpIdentifierIsReadBack) {
    NetworkSender a, b;
    a.SetIcmpDatagramOnlyForTesting(true);
    b.SetIcmpDatagramOnlyForTesting(true);
    ASSERT_TRUE(a.Init("127.0.0.1", 33434));
    ASSERT_TRUE(b.Init("127.0.0.1", 33434));
    if (!a.HasIcmpSocket() || !b.HasIcmpSocket()) GTEST_SKIP() << "ICMP datagram sockets not allowed (net.ipv4.ping_group_range)";
    EXPECT_TRUE(a.IcmpIsDatagram());
    const uint16_t idA = a.Identity(kProbeIcmp).icmpIdentifier;
    const uint16_t idB = b.Identity(kProbeIcmp).icmpIdentifier;
    EXPECT_NE(idA, 0);
    EXPECT_NE(idA, idB);
    EXPECT_NE(a.Identity(kProbeIcmp).udpSourcePort, b.Identity(kProbeIcmp).udpSourcePort);
    a.Close();
    EXPECT_EQ(a.Identity(kProbeIcmp).icmpIdentifier, 0);
}
