// The MTR capture filter, compiled by libpcap for every link type the sniffer opens and run
// over frames built byte by byte: every probe reply passes (ICMPv6 behind option headers
// too), unrelated traffic does not, and the program is one the kernel takes as a socket filter.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <linux/filter.h>
#include <sys/socket.h>
#include <unistd.h>

#include "FrameBuilder.h"
#include "capture/ProbePorts.h"

namespace {

constexpr uint8_t kHopByHop = 0, kTcp = 6, kUdp = 17, kRouting = 43, kIcmpv6 = 58, kDestOpts = 60;
const Bytes kUs = V6("2001:db8::10");
const Bytes kRouter = V6("2001:db8:ffff::1");
const Bytes kTarget = V6("2001:db8:1::20");

// A compiled program for one link type, freed with it.
struct Program {
    explicit Program(int linkType) : dead(pcap_open_dead(linkType, 65535)) {
        ok = dead && pcap_compile(dead, &prog, ProbeCaptureFilter().c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0;
    }
    ~Program() {
        if (ok) pcap_freecode(&prog);
        if (dead) pcap_close(dead);
    }
    bool Passes(const Bytes& frame) const {
        pcap_pkthdr h{};
        h.caplen = h.len = static_cast<bpf_u_int32>(frame.size());
        return pcap_offline_filter(&prog, &h, frame.data()) != 0;
    }
    std::string Error() const { return dead ? pcap_geterr(dead) : "pcap_open_dead failed"; }
    pcap_t* dead;
    bpf_program prog{};
    bool ok = false;
};

// The frame as the capture of each link type shows it.
struct Link {
    int dlt;
    const char* name;
    Bytes (*frame)(bool ipv6, const Bytes& datagram);
};
const Link kLinks[] = {
    {DLT_EN10MB, "Ethernet", [](bool v6, const Bytes& d) { return Ethernet(v6 ? kEthIpv6 : kEthIpv4, d); }},
    {DLT_LINUX_SLL, "any (cooked)", [](bool v6, const Bytes& d) { return LinuxSll(v6 ? kEthIpv6 : kEthIpv4, d); }},
    {DLT_LINUX_SLL2, "any (cooked v2)", [](bool v6, const Bytes& d) { return LinuxSll2(v6 ? kEthIpv6 : kEthIpv4, d); }},
    {DLT_RAW, "tun (bare IP)", [](bool, const Bytes& d) { return d; }},
    // Loopback as the capture driver of Windows shows it: the address family in the host's
    // order and numbering, which is what libpcap compiles "ip6" into on each system.
    {DLT_NULL, "null loopback", [](bool v6, const Bytes& d) { return BsdLoopback(v6 ? AF_INET6 : AF_INET, false, d); }},
};

// Time exceeded from a router quoting a UDP probe, as an IPv6 datagram whose first next
// header is `first`, with `chain` already holding the option headers that lead to ICMPv6.
Bytes TimeExceeded6(uint8_t first, const Bytes& icmpAndHeaders) {
    return Ipv6(kRouter, kUs, first, icmpAndHeaders);
}
Bytes QuotedUdpProbe() { return Ipv6(kUs, kTarget, kUdp, Udp(40000, 33450, Bytes(12, 0xAB)), 1); }
Bytes Icmpv6TimeExceeded() { return Icmpv6(3, 0, 0, 0, QuotedUdpProbe()); }

}  // namespace

TEST(ProbeCaptureFilter, RepliesPassOnEveryLinkTypeAndOtherTrafficDoesNot) {
    const Bytes icmp6 = Icmpv6TimeExceeded();
    struct Case {
        const char* what;
        bool ipv6;
        Bytes datagram;
        bool passes;
    };
    const Case cases[] = {
        {"ICMPv6 error right after the IPv6 header", true, TimeExceeded6(kIcmpv6, icmp6), true},
        {"ICMPv6 error behind a hop-by-hop header", true,
         TimeExceeded6(kHopByHop, ExtensionHeader(kIcmpv6, 1, icmp6)), true},
        {"ICMPv6 error behind destination options", true,
         TimeExceeded6(kDestOpts, ExtensionHeader(kIcmpv6, 2, icmp6)), true},
        {"ICMPv6 error behind routing and destination options", true,
         TimeExceeded6(kRouting, ExtensionHeader(kDestOpts, 1, ExtensionHeader(kIcmpv6, 1, icmp6))), true},
        {"ICMPv6 echo reply", true, Ipv6(kTarget, kUs, kIcmpv6, Icmpv6(129, 0, 7, 1)), true},
        {"TCP answer from the probed port over IPv6", true, Ipv6(kTarget, kUs, kTcp, Tcp(80, 33440, 0x12)), true},
        {"UDP probe over IPv6", true, QuotedUdpProbe(), true},
        {"ICMP time exceeded over IPv4", false,
         Ipv4(Addr(10, 0, 0, 1), Addr(10, 0, 0, 2), 1, IcmpError(11, 0, Ipv4(1, 2, 17, Udp(1, 33440)), 28)), true},
        {"UDP probe over IPv4", false, Ipv4(Addr(10, 0, 0, 2), Addr(10, 0, 0, 9), kUdp, Udp(40000, 33500)), true},
        {"TCP answer from the probed port over IPv4", false,
         Ipv4(Addr(10, 0, 0, 9), Addr(10, 0, 0, 2), kTcp, Tcp(80, 33440, 0x04)), true},
        // The rest of the host's traffic stays out.
        {"DNS over IPv6", true, Ipv6(kUs, kTarget, kUdp, Udp(40000, 53, Bytes(20, 0))), false},
        {"HTTPS over IPv6", true, Ipv6(kTarget, kUs, kTcp, Tcp(443, 50000, 0x10)), false},
        {"DNS over IPv4", false, Ipv4(Addr(10, 0, 0, 2), Addr(10, 0, 0, 53), kUdp, Udp(40000, 53)), false},
        {"HTTPS over IPv4", false, Ipv4(Addr(10, 0, 0, 9), Addr(10, 0, 0, 2), kTcp, Tcp(443, 50000, 0x10)), false},
    };
    for (const Link& link : kLinks) {
        SCOPED_TRACE(link.name);
        Program program(link.dlt);
        ASSERT_TRUE(program.ok) << program.Error();
        for (const Case& c : cases) {
            EXPECT_EQ(program.Passes(link.frame(c.ipv6, c.datagram)), c.passes) << c.what;
        }
    }
}

// pcap_setfilter hands the program to the kernel (Linux) or the capture driver (Windows); both
// refuse a jump that goes backwards or off the end, and libpcap then filters every packet in
// user space or fails. Each jump here lands ahead, inside the program, and the kernel's own
// check, attaching the program to a plain socket, accepts it.
TEST(ProbeCaptureFilter, ProgramIsOneTheKernelAndTheDriverAccept) {
    for (const Link& link : kLinks) {
        SCOPED_TRACE(link.name);
        Program program(link.dlt);
        ASSERT_TRUE(program.ok) << program.Error();
        const bpf_insn* code = program.prog.bf_insns;
        const uint32_t n = program.prog.bf_len;
        ASSERT_GT(n, 0u);
        ASSERT_LE(n, uint32_t{BPF_MAXINSNS});
        EXPECT_EQ(BPF_CLASS(code[n - 1].code), static_cast<uint32_t>(BPF_RET));
        for (uint32_t i = 0; i < n; ++i) {
            if (BPF_CLASS(code[i].code) != BPF_JMP) continue;
            if (BPF_OP(code[i].code) == BPF_JA) {
                EXPECT_LT(uint64_t{i} + 1 + code[i].k, n) << "jump always at " << i;
            } else {
                EXPECT_LT(i + 1u + code[i].jt, n) << "jump if true at " << i;
                EXPECT_LT(i + 1u + code[i].jf, n) << "jump if false at " << i;
            }
        }
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(fd, 0);
        sock_fprog fprog{static_cast<unsigned short>(n), reinterpret_cast<sock_filter*>(program.prog.bf_insns)};
        EXPECT_EQ(setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog), 0) << errno;
        close(fd);
    }
}
