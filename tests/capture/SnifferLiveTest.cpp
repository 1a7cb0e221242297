// Live capture on the loopback device: filters, callbacks, the savefile, start/stop rules.
// Runs as root (CI does); traffic goes to 127.0.0.1 only.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "FrameBuilder.h"
#include "PcapFiles.h"
#include "capture/Sniffer.h"

namespace {

using namespace std::chrono_literals;

// A bound UDP socket on 127.0.0.1: gives the test a port nobody else uses and swallows
// the datagrams so no ICMP port-unreachable follows them.
struct UdpSink {
    int fd = -1;
    uint16_t port = 0;
    UdpSink() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~UdpSink() { close(fd); }
    std::string Filter() const { return "udp and dst port " + std::to_string(port); }
};

uint16_t SendUdp(uint16_t port, const std::string& text) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    close(fd);
    return ntohs(local.sin_port);
}

struct Collector {
    std::mutex mutex;
    std::vector<PacketLogEntry> packets;
    std::vector<SniffResult> replies;
    ReplyCallback OnReply() {
        return [this](SniffResult r) {
            std::lock_guard<std::mutex> lock(mutex);
            replies.push_back(std::move(r));
        };
    }
    PacketCallback OnPacket() {
        return [this](PacketLogEntry e) {
            std::lock_guard<std::mutex> lock(mutex);
            packets.push_back(std::move(e));
        };
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return packets.size();
    }
    bool WaitFor(size_t n, std::chrono::milliseconds limit = 5000ms) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (Count() < n && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(10ms);
        return Count() >= n;
    }
};

int OpenDescriptors() {
    int n = 0;
    for (auto& e : std::filesystem::directory_iterator("/proc/self/fd")) (void)e, ++n;
    return n;
}

TEST(SnifferLive, UdpOnLoopbackIsDecodedAndSaved) {
    if (geteuid() != 0) GTEST_SKIP() << "a live capture needs root";
    TempDir dir;
    UdpSink sink;
    Sniffer sniffer;
    ASSERT_TRUE(sniffer.Init(sink.Filter(), "lo", dir.File("live.pcap"))) << sniffer.LastErrorDetail();
    EXPECT_EQ(sniffer.LinkType(), kLinkEthernet);
    Collector got;
    sniffer.Start(got.OnReply(), got.OnPacket());
    std::vector<uint16_t> sourcePorts;
    for (int i = 0; i < 3; ++i) sourcePorts.push_back(SendUdp(sink.port, "probe-" + std::to_string(i)));
    ASSERT_TRUE(got.WaitFor(3));
    sniffer.Stop();
    ASSERT_EQ(got.packets.size(), 3u);
    EXPECT_TRUE(got.replies.empty());
    for (int i = 0; i < 3; ++i) {
        const PacketLogEntry& e = got.packets[i];
        EXPECT_EQ(e.protocol, "UDP");
        EXPECT_EQ(e.source, "127.0.0.1:" + std::to_string(sourcePorts[i]));
        EXPECT_EQ(e.destination, "127.0.0.1:" + std::to_string(sink.port));
        EXPECT_EQ(e.info, "Src=" + std::to_string(sourcePorts[i]) + " Dst=" + std::to_string(sink.port));
        const std::string text = "probe-" + std::to_string(i);
        EXPECT_EQ(PayloadText(e), text);
        EXPECT_EQ(e.wireLength, 14u + 20u + 8u + text.size());
        EXPECT_EQ(e.time.size(), 12u);
    }
    const Savefile saved = ReadSavefile(dir.File("live.pcap"));
    ASSERT_TRUE(saved.ok);
    EXPECT_EQ(saved.linkType, kLinkEthernet);
    EXPECT_EQ(saved.snapLength, 65536);
    ASSERT_EQ(saved.records.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(saved.records[i].bytes, got.packets[i].rawData);
        EXPECT_EQ(saved.records[i].tsSec, got.packets[i].tsSec);
        EXPECT_EQ(saved.records[i].tsUsec, got.packets[i].tsUsec);
    }
}

TEST(SnifferLive, AnyDeviceDeliversCookedFramesDecodedAlike) {
    if (geteuid() != 0) GTEST_SKIP() << "a live capture needs root";
    UdpSink sink;
    Sniffer sniffer;
    ASSERT_TRUE(sniffer.Init(sink.Filter(), "any", ""));
    EXPECT_EQ(sniffer.LinkType(), kLinkLinuxSll);
    Collector got;
    sniffer.Start(got.OnReply(), got.OnPacket());
    const uint16_t sport = SendUdp(sink.port, "cooked");
    ASSERT_TRUE(got.WaitFor(1));
    sniffer.Stop();
    const PacketLogEntry& e = got.packets[0];
    EXPECT_EQ(e.linkType, kLinkLinuxSll);
    EXPECT_EQ(e.source, "127.0.0.1:" + std::to_string(sport));
    EXPECT_EQ(e.destination, "127.0.0.1:" + std::to_string(sink.port));
    EXPECT_EQ(PayloadText(e), "cooked");
}

TEST(SnifferLive, RawFrameSentIsCapturedAsAReply) {
    if (geteuid() != 0) GTEST_SKIP() << "a live capture needs root";
    // A SYN-ACK towards a probe port, injected on lo: the same handle sends and captures.
    Sniffer sniffer;
    ASSERT_TRUE(sniffer.Init("tcp and src port 80 and dst port 33999 and src host 127.0.0.9", "lo", ""));
    Collector got;
    sniffer.Start(got.OnReply(), got.OnPacket());
    const Bytes frame = Ethernet(kEthIpv4, Ipv4(Addr(127, 0, 0, 9), Addr(127, 0, 0, 1), 6, Tcp(80, 33999, 0x12)));
    ASSERT_TRUE(sniffer.SendRawPacket(frame.data(), static_cast<int32_t>(frame.size())));
    EXPECT_FALSE(sniffer.SendRawPacket(frame.data(), -1));
    ASSERT_TRUE(got.WaitFor(1));
    sniffer.Stop();
    EXPECT_EQ(got.packets[0].rawData, frame);
    ASSERT_EQ(got.replies.size(), 1u);
    EXPECT_EQ(got.replies[0].fromIp, "127.0.0.9");
    EXPECT_EQ(got.replies[0].origSeq, 33999);
    EXPECT_EQ(got.replies[0].type, 0);
    EXPECT_FALSE(sniffer.SendRawPacket(frame.data(), static_cast<int32_t>(frame.size())));  // closed
}

TEST(SnifferLive, TaggedFrameOnLoopbackIsDecodedAfterItsTag) {
    if (geteuid() != 0) GTEST_SKIP() << "a live capture needs root";
    // The kernel takes the 802.1Q tag off a received frame and libpcap puts it back in front
    // of the EtherType: the decoder must find the IPv4 header at offset 18.
    Sniffer sniffer;
    ASSERT_TRUE(sniffer.Init("vlan and udp and dst port 33998", "lo", ""));
    Collector got;
    sniffer.Start(got.OnReply(), got.OnPacket());
    const Bytes frame =
        EthernetTagged(42, kEthIpv4, Ipv4(Addr(127, 0, 0, 9), Addr(127, 0, 0, 1), 17, Udp(5000, 33998, {'v'})));
    ASSERT_TRUE(sniffer.SendRawPacket(frame.data(), static_cast<int32_t>(frame.size())));
    ASSERT_TRUE(got.WaitFor(1));
    sniffer.Stop();
    const PacketLogEntry& e = got.packets[0];
    EXPECT_EQ(e.rawData, frame);
    EXPECT_EQ(e.source, "127.0.0.9:5000");
    EXPECT_EQ(e.destination, "127.0.0.1:33998");
    EXPECT_EQ(PayloadOf(e), (Bytes{'v'}));
}

TEST(SnifferLive, StartStopRules) {
    if (geteuid() != 0) GTEST_SKIP() << "a live capture needs root";
    UdpSink sink;
    Sniffer never;
    never.Stop();
    never.Stop();  // never opened: nothing to do

    Sniffer sniffer;
    ASSERT_TRUE(sniffer.Init(sink.Filter(), "lo", ""));
    Collector first, second;
    sniffer.Start(first.OnReply(), first.OnPacket());
    sniffer.Start(second.OnReply(), second.OnPacket());  // ignored: already running
    SendUdp(sink.port, "one");
    ASSERT_TRUE(first.WaitFor(1));
    EXPECT_EQ(second.Count(), 0u);

    // Idle link: Stop must not wait longer than about one read timeout.
    std::this_thread::sleep_for(50ms);
    const auto t0 = std::chrono::steady_clock::now();
    sniffer.Stop();
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(waited, 3s) << "Stop hung on an idle interface";
    EXPECT_FALSE(sniffer.LoopActive());
    EXPECT_EQ(sniffer.LinkType(), -1);
    sniffer.Stop();
    EXPECT_EQ(second.Count(), 0u);
}

TEST(SnifferLive, InitFailuresSayWhy) {
    if (geteuid() != 0) GTEST_SKIP() << "a live capture needs root";
    Sniffer sniffer;
    EXPECT_FALSE(sniffer.Init("udp", "no-such-device0", ""));
    EXPECT_EQ(sniffer.LastError(), StartError::DeviceNotFound);
    // The description of a device is not its name.
    EXPECT_FALSE(sniffer.Init("udp", "Pseudo-device that captures on all interfaces", ""));
    EXPECT_EQ(sniffer.LastError(), StartError::DeviceNotFound);

    EXPECT_FALSE(sniffer.Init("udp and port (", "lo", ""));
    EXPECT_EQ(sniffer.LastError(), StartError::FilterRejected);
    EXPECT_EQ(sniffer.LinkType(), kLinkEthernet);  // the device stays open until Stop
    sniffer.Stop();
    EXPECT_EQ(sniffer.LinkType(), -1);

    // An unwritable savefile path doesn't fail the start.
    EXPECT_TRUE(sniffer.Init("udp", "lo", "/nonexistent-dir/capture.pcap"));
    EXPECT_EQ(sniffer.LastError(), StartError::None);
    sniffer.Stop();
    EXPECT_FALSE(std::filesystem::exists("/nonexistent-dir/capture.pcap"));

    // An empty device name opens the first device libpcap lists.
    const std::vector<NetDevice> devices = sniffer.ListDevices();
    ASSERT_FALSE(devices.empty());
    EXPECT_TRUE(sniffer.Init("udp and port 9", "", ""));
    sniffer.Stop();
    for (const NetDevice& d : devices) {
        EXPECT_FALSE(d.name.empty());
        EXPECT_FALSE(d.description.empty());
    }
}

TEST(SnifferLive, InitOnAnOpenSnifferClosesTheOldHandles) {
    if (geteuid() != 0) GTEST_SKIP() << "a live capture needs root";
    UdpSink sink;
    Sniffer sniffer;
    ASSERT_TRUE(sniffer.Init(sink.Filter(), "lo", ""));
    Collector old;
    sniffer.Start(old.OnReply(), old.OnPacket());
    const int before = OpenDescriptors();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(sniffer.Init(sink.Filter(), "lo", ""));
    EXPECT_FALSE(sniffer.LoopActive());  // the old capture thread was joined
    EXPECT_LE(OpenDescriptors(), before);
    Collector fresh;
    sniffer.Start(fresh.OnReply(), fresh.OnPacket());
    SendUdp(sink.port, "after re-init");
    ASSERT_TRUE(fresh.WaitFor(1));
    sniffer.Stop();
    EXPECT_EQ(old.Count(), 0u);
}

}  // namespace
