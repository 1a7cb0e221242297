// Route and neighbour lookups on a veth pair between two namespaces of our own, with no
// static neighbour entries, so the next hop's hardware address must be resolved by ARP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "platform/RouteLookup.h"
#include "probe/RouteDevice.h"

#include "lib/TestSupport.h"

using testsupport::CommandResult;
using testsupport::RunCommand;

namespace {

std::string Sh(const std::string& cmd, int* code = nullptr) {
    CommandResult r = RunCommand(cmd);
    if (code) *code = r.exitCode;
    return r.out;
}

uint32_t Ip(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

const char* kNs1 = "tm-nb1";
const char* kNs2 = "tm-nb2";
const char* kPeerMac = "02:00:0a:c9:00:02";

void TearDownNamespaces() {
    Sh(std::string("ip netns del ") + kNs1 + " 2>/dev/null; ip netns del " + kNs2 + " 2>/dev/null");
}

bool InChild() { return std::getenv("OC_NEIGH_CHILD") != nullptr; }

}  // namespace

TEST(ProbeNeighbour, MissingNextHopIsResolvedAndRouteNamesIt) {
    if (!InChild()) {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for namespaces";
        TearDownNamespaces();
        int code = 0;
        std::string setup = std::string("set -e; ip netns add ") + kNs1 + "; ip netns add " + kNs2 +
                            "; ip link add tmnb0 netns " + kNs1 + " type veth peer name tmnb1 netns " + kNs2 +
                            "; ip -n " + kNs2 + " link set tmnb1 address " + kPeerMac + "; ip -n " + kNs1 +
                            " addr add 10.201.0.1/24 dev tmnb0; ip -n " + kNs2 +
                            " addr add 10.201.0.2/24 dev tmnb1; ip -n " + kNs1 + " link set lo up; ip -n " + kNs2 +
                            " link set lo up; ip -n " + kNs1 + " link set tmnb0 up; ip -n " + kNs2 +
                            " link set tmnb1 up; ip -n " + kNs1 + " route add default via 10.201.0.2 2>&1";
        std::string out = Sh(setup, &code);
        if (code == 0) {
            char self[4096];
            ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
            self[n > 0 ? n : 0] = 0;
            out = Sh(std::string("OC_NEIGH_CHILD=1 ip netns exec ") + kNs1 + " " + self +
                         " --gtest_filter=ProbeNeighbour.* 2>&1",
                     &code);
            std::cout << out;
        }
        TearDownNamespaces();
        EXPECT_EQ(code, 0) << out;
        return;
    }

    const int ifIndex = static_cast<int>(if_nametoindex("tmnb0"));
    ASSERT_GT(ifIndex, 0);
    platform::RouteInfo route;
    ASSERT_TRUE(platform::LookupRoute(Ip("192.0.2.55"), route));
    EXPECT_EQ(route.ifIndex, ifIndex);
    EXPECT_EQ(RouteDeviceFor("192.0.2.55"), "tmnb0");
    EXPECT_EQ(route.gateway, Ip("10.201.0.2"));
    EXPECT_EQ(route.prefSrc, Ip("10.201.0.1"));
    ASSERT_TRUE(platform::LookupRoute(Ip("10.201.0.2"), route));
    EXPECT_EQ(route.gateway, 0u);  // on the link

    platform::MacAddress mac{};
    EXPECT_FALSE(platform::LookupNeighbour(ifIndex, Ip("10.201.0.2"), mac, 0));  // not resolved yet
    ASSERT_TRUE(platform::LookupNeighbour(ifIndex, Ip("10.201.0.2"), mac, 1000));
    const platform::MacAddress expected = {0x02, 0x00, 0x0a, 0xc9, 0x00, 0x02};
    EXPECT_EQ(mac, expected);
    EXPECT_TRUE(platform::LookupNeighbour(ifIndex, Ip("10.201.0.2"), mac, 0));  // now in the table
    EXPECT_FALSE(platform::LookupNeighbour(ifIndex, Ip("10.201.0.77"), mac, 300));  // nobody answers

    platform::InterfaceInfo info;
    ASSERT_TRUE(platform::LookupInterface(ifIndex, info));
    EXPECT_TRUE(info.ethernet);
    EXPECT_FALSE(info.loopback);
    EXPECT_EQ(info.firstIpv4, Ip("10.201.0.1"));
}
