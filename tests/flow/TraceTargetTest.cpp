// Which host "Rastrear no MTR" traces for a call.
#include <gtest/gtest.h>

#include "flow/TraceTarget.h"

namespace {

RtpStreamReport Stream(const std::string& from, const std::string& to) {
    RtpStreamReport s;
    s.source = from;
    s.destination = to;
    s.src = Endpoint::Parse(from).value_or(Endpoint{});
    s.dst = Endpoint::Parse(to).value_or(Endpoint{});
    return s;
}

SipCall Call(const std::string& caller, const std::string& callee) {
    SipCall c;
    c.callerIp = caller;
    c.calleeIp = callee;
    return c;
}

}  // namespace

TEST(RemoteTraceTarget, PrefersTheFarEndOfTheMediaOverTheSipPeer) {
    const std::vector<std::string> local = {"127.0.0.1", "192.168.0.10"};
    // The media comes from a gateway other than the SIP server: the gateway is traced.
    const SipCall call = Call("192.168.0.10", "203.0.113.5");
    EXPECT_EQ(RemoteTraceTarget(call, {Stream("192.168.0.10:10000", "198.51.100.7:40000"),
                                       Stream("198.51.100.7:40000", "192.168.0.10:10000")},
                                local),
              "198.51.100.7");
    // The capture saw the far side's stream first: still the far side.
    EXPECT_EQ(RemoteTraceTarget(call, {Stream("198.51.100.7:40000", "192.168.0.10:10000")}, local), "198.51.100.7");
    // IPv6 ends keep their whole address.
    EXPECT_EQ(RemoteTraceTarget(call, {Stream("[2001:db8::1]:4000", "192.168.0.10:10000")}, local), "2001:db8::1");
}

TEST(RemoteTraceTarget, WithoutMediaTheSipPeerThatIsNotThisMachine) {
    const std::vector<std::string> local = {"192.168.0.10"};
    EXPECT_EQ(RemoteTraceTarget(Call("192.168.0.10", "203.0.113.5"), {}, local), "203.0.113.5");
    EXPECT_EQ(RemoteTraceTarget(Call("203.0.113.9", "192.168.0.10"), {}, local), "203.0.113.9");
    // A call between two other machines (a mirrored port): the callee.
    EXPECT_EQ(RemoteTraceTarget(Call("10.0.0.1", "10.0.0.2"), {}, local), "10.0.0.2");
    // Both ends local (a call on loopback): still something to trace.
    EXPECT_EQ(RemoteTraceTarget(Call("192.168.0.10", "192.168.0.10"), {}, local), "192.168.0.10");
    // Streams whose ends are all local fall back to the SIP peer.
    EXPECT_EQ(RemoteTraceTarget(Call("192.168.0.10", "203.0.113.5"),
                                {Stream("192.168.0.10:10000", "192.168.0.10:10002")}, local),
              "203.0.113.5");
    EXPECT_EQ(RemoteTraceTarget(SipCall{}, {}, local), "");
}
