// IP reassembly in the capture loop itself: a savefile of fragments read through a Sniffer
// with reassembly on and off, and datagrams the kernel really fragmented, captured by
// tcpdump between two network namespaces and checked against what was sent (and against
// tshark's own reassembly when it is installed).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "FrameBuilder.h"
#include "PcapFiles.h"
#include "capture/Sniffer.h"
#include "lib/Netns.h"

namespace {

using namespace std::chrono_literals;

std::vector<PacketLogEntry> ReadThrough(const std::string& path, bool reassembly, ReassemblyCounts* counts = nullptr) {
    Sniffer sniffer;
    sniffer.SetReassembly(reassembly);
    std::mutex mutex;
    std::vector<PacketLogEntry> got;
    EXPECT_TRUE(sniffer.InitOffline(path)) << sniffer.LastErrorDetail();
    sniffer.Start([](SniffResult) {}, [&](PacketLogEntry e) {
        std::lock_guard<std::mutex> lock(mutex);
        got.push_back(std::move(e));
    });
    sniffer.WaitLoopEnd();
    if (counts) *counts = sniffer.Reassembly();
    sniffer.Stop();
    return got;
}

Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i % 251);
    return b;
}

TEST(ReassemblyCapture, SavefileOfFragmentsThroughTheSniffer) {
    TempDir dir;
    const Bytes payload = Pattern(2000);
    const Bytes datagram = Udp(5060, 5060, payload);
    std::vector<PacketLogEntry> frames;
    for (size_t at = 0; at < datagram.size(); at += 800) {
        const size_t n = std::min<size_t>(800, datagram.size() - at);
        PacketLogEntry e;
        e.rawData = Ethernet(kEthIpv4, Ipv4Fragment(Addr(10, 0, 0, 1), Addr(10, 0, 0, 2), 17, 77, static_cast<uint16_t>(at),
                                                    at + n < datagram.size(), Bytes(datagram.begin() + at, datagram.begin() + at + n)));
        e.tsSec = 1700000000;
        e.tsUsec = static_cast<uint32_t>(at);
        frames.push_back(std::move(e));
    }
    // One more first fragment that never completes.
    PacketLogEntry lone;
    lone.rawData = Ethernet(kEthIpv4, Ipv4Fragment(Addr(10, 0, 0, 1), Addr(10, 0, 0, 2), 17, 78, 0, true, Udp(1, 2, Pattern(16))));
    lone.tsSec = 1700000001;
    frames.insert(frames.begin(), lone);
    ASSERT_TRUE(SavePacketsToPcap(dir.File("frag.pcap"), frames));

    ReassemblyCounts counts;
    const auto on = ReadThrough(dir.File("frag.pcap"), true, &counts);
    ASSERT_EQ(on.size(), frames.size());  // one entry per frame, as without reassembly
    for (size_t i = 0; i + 1 < on.size(); ++i) EXPECT_TRUE(on[i].Payload().empty()) << i;
    EXPECT_EQ(PayloadOf(on.back()), payload);
    EXPECT_EQ(on.back().rawData, frames.back().rawData);
    EXPECT_EQ(counts.reassembled, 1u);
    EXPECT_EQ(counts.pending, 1u);

    // Off: what the probe engine sees, the first fragment's part of the payload.
    const auto off = ReadThrough(dir.File("frag.pcap"), false);
    ASSERT_EQ(off.size(), frames.size());
    EXPECT_EQ(PayloadOf(off[1]), Bytes(payload.begin(), payload.begin() + 792));
    EXPECT_TRUE(off.back().Payload().empty());
}

using netns::FragmentingLink;
using netns::Shell;
using netns::Tcpdump;

std::string Output(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    return out;
}

TEST(ReassemblyNetns, KernelFragmentsOfA3000ByteDatagramComeBackWhole) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (network namespaces and capture)";
    if (Shell("ip netns list") != 0) GTEST_SKIP() << "the ip tool cannot manage network namespaces here";
    if (Shell("command -v tcpdump") != 0 || Shell("command -v python3") != 0) GTEST_SKIP() << "needs tcpdump and python3";
    FragmentingLink link;
    ASSERT_TRUE(link.ok) << "could not build the namespaces";
    TempDir dir;

    struct Case {
        const char* device;
        const char* family;
        const char* to;
        const char* tsharkOption;
    };
    const Case cases[] = {{"v4b", "AF_INET", "10.231.0.2", "ip.defragment:TRUE"},
                          {"v6b", "AF_INET6", "fd00:231::2", "ipv6.defragment:TRUE"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.family);
        const std::string pcap = dir.File(std::string(c.device) + ".pcap");
        Tcpdump dump(link.b, c.device, pcap, dir.File(std::string(c.device) + ".log"));
        ASSERT_TRUE(dump.listening) << "tcpdump did not start: " << dump.said;
        // The datagram is larger than the link's MTU, so the sending kernel fragments it.
        const std::string send = std::string("import socket; s = socket.socket(socket.") + c.family +
                                 ", socket.SOCK_DGRAM); s.sendto(bytes(i % 251 for i in range(3000)), ('" + c.to +
                                 "', 9999))";
        ASSERT_EQ(Shell("ip netns exec " + link.a + " python3 -c \"" + send + "\""), 0);
        std::this_thread::sleep_for(300ms);
        dump.Stop();

        ReassemblyCounts counts;
        const auto entries = ReadThrough(pcap, true, &counts);
        std::vector<const PacketLogEntry*> whole;
        size_t fragments = 0;
        for (const auto& e : entries) {
            if (e.info.find("Fragment Offset=") != std::string::npos || e.dstPort == 9999) ++fragments;
            if (!e.reassembled.empty()) whole.push_back(&e);
        }
        ASSERT_EQ(whole.size(), 1u) << entries.size() << " frames";
        EXPECT_EQ(PayloadOf(*whole[0]), Pattern(3000));
        EXPECT_EQ(whole[0]->dstPort, 9999);
        EXPECT_GE(fragments, 3u);  // 3,008 bytes over 552 (IPv4) or 1,232 (IPv6) per fragment
        EXPECT_EQ(counts.reassembled, 1u);
        EXPECT_EQ(counts.pending, 0u);

        if (Shell("command -v tshark") == 0) {
            const std::string lengths = Output(std::string("tshark -r ") + pcap + " -o " + c.tsharkOption +
                                               " -Y udp -T fields -e udp.length 2>/dev/null");
            EXPECT_NE(lengths.find("3008"), std::string::npos) << "tshark's reassembly: " << lengths;
        }
    }
}

}  // namespace
