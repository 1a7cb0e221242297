#include <gtest/gtest.h>

#include "capture/HandMadePacket.h"
#include "lib/TestEnv.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "FlowTestUtil.h"
#include "flow/CallTracker.h"
#include "flow/FlowCore.h"
#include "ui/EngineTexts.h"

using namespace flowtest;

namespace {

PacketLogEntry Numbered(uint32_t n) {
    PacketLogEntry e;
    e.tsSec = n;
    e.source = "10.0.0.1:1";
    e.destination = "10.0.0.2:2";
    SetEndpointsFromText(e, e.source, e.destination);
    return e;
}

TEST(FlowCoreFilter, Texts) {
    const std::string frag = " or (ip[6:2] & 0x3fff != 0) or (ip6 and ip6[6] = 44)";
    EXPECT_EQ(FlowCore::BuildFilter(5060, 10000, 50000), "port 5060 or udp portrange 10000-50000" + frag);
    EXPECT_EQ(FlowCore::BuildFilter(5080, 0, 50000), "port 5080" + frag);
    EXPECT_EQ(FlowCore::BuildFilter(5060, 20000, 19999), "port 5060" + frag);
    EXPECT_EQ(FlowCore::BuildFilter(5060, 16400, 16400), "port 5060 or udp portrange 16400-16400" + frag);
}

// Feeds packets as the capture thread does, in chunks the worker can take, and waits for it.
void FeedAll(FlowCore& core, uint32_t from, uint32_t to) {
    for (uint32_t i = from; i <= to; ++i) {
        core.OnPacket(Numbered(i));
        if (i % 10000 == 0) core.WaitAnalysed();
    }
    core.WaitAnalysed();
}

PacketLogEntry SipPacket(uint32_t n) {
    PacketLogEntry e = Packet("10.0.0.1:5060", "10.0.0.2:5060",
                              Bytes(Sip("OPTIONS sip:x SIP/2.0", "id" + std::to_string(n), "1 OPTIONS")));
    e.tsSec = n;
    return e;
}

TEST(FlowCoreBuffer, TrimAtLimitKeepsOrder) {
    FlowCore core;
    FeedAll(core, 1, 50000);
    EXPECT_EQ(core.GetPackets().size(), 50000u);
    FeedAll(core, 50001, 50001);
    auto packets = core.GetPackets();
    ASSERT_EQ(packets.size(), 49001u);
    EXPECT_EQ(packets.front().tsSec, 1001u);
    EXPECT_EQ(packets.back().tsSec, 50001u);
    EXPECT_EQ(core.FirstPosition(), 1000u);
    EXPECT_EQ(core.EndPosition(), 50001u);
    // A reader paging from a trimmed position starts at the oldest packet kept.
    uint64_t first = 0;
    auto page = core.GetPacketsFrom(10, 5, &first);
    EXPECT_EQ(first, 1000u);
    ASSERT_EQ(page.size(), 5u);
    EXPECT_EQ(page[0].tsSec, 1001u);
    // It grows again up to the limit before the next trim.
    FeedAll(core, 50002, 51000);
    EXPECT_EQ(core.GetPackets().size(), 50000u);
    EXPECT_EQ(core.Counters().analysed, 51000u);
    // Further trims wrap the buffer's storage: order and positions still hold across it.
    FeedAll(core, 51001, 53500);
    packets = core.GetPackets();
    ASSERT_EQ(packets.size(), 49500u);
    bool consecutive = true;
    for (size_t i = 0; i < packets.size(); ++i) consecutive = consecutive && packets[i].tsSec == 4001 + i;
    EXPECT_TRUE(consecutive);
    page = core.GetPacketsFrom(core.EndPosition() - 2600, 3, &first);
    ASSERT_EQ(page.size(), 3u);
    EXPECT_EQ(page[0].tsSec, 50901u);
    EXPECT_EQ(page[2].tsSec, 50903u);
    core.Clear();
    EXPECT_TRUE(core.GetPackets().empty());
    EXPECT_EQ(core.FirstPosition(), core.EndPosition());
    EXPECT_EQ(core.Counters().analysed, 0u);
    FeedAll(core, 1, 3);  // and it fills again from empty
    EXPECT_EQ(core.GetPackets().size(), 3u);
}

TEST(FlowCoreWorker, AnalysesEveryPacketWithoutAReader) {
    // Nobody reads the engine (no tab on screen, window hidden): its worker still analyses
    // every packet, in capture order.
    FlowCore core;
    for (uint32_t i = 0; i < 3000; ++i) core.OnPacket(SipPacket(i));
    core.WaitAnalysed();
    EXPECT_EQ(core.Counters().analysed, 3000u);
    EXPECT_EQ(core.Counters().trimmedUnanalysed, 0u);
    EXPECT_EQ(core.Tracker().Stats().records, 3000u);
    auto packets = core.GetPackets();
    ASSERT_EQ(packets.size(), 3000u);
    for (uint32_t i = 0; i < 3000; ++i) ASSERT_EQ(packets[i].tsSec, i);
    // Clear empties records, buffer and counters together; later packets count from zero.
    core.Clear();
    EXPECT_EQ(core.Tracker().Stats().records, 0u);
    core.OnPacket(SipPacket(7));
    core.WaitAnalysed();
    EXPECT_EQ(core.Counters().analysed, 1u);
    EXPECT_EQ(core.Tracker().Counters().calls, 0u);
    EXPECT_EQ(core.Tracker().Stats().records, 1u);
}

TEST(FlowCoreWorker, EveryPacketIsAnalysedOrCountedAsTrimmed) {
    // A burst far beyond the waiting bound, faster than any analysis: whatever the worker
    // could not take is counted, never silently lost.
    FlowCore core;
    const uint32_t burst = FlowCore::kMaxWaitingPackets * 3;
    for (uint32_t i = 0; i < burst; ++i) core.OnPacket(SipPacket(i % 5000));
    core.WaitAnalysed();
    const FlowEngineCounters c = core.Counters();
    EXPECT_EQ(c.analysed + c.trimmedUnanalysed, burst);
    EXPECT_EQ(core.EndPosition(), c.analysed);
}

TEST(FlowCoreLifecycle, StopWhileIdleAndFailedStarts) {
    FlowCore core;
    core.Stop();
    core.Stop();
    EXPECT_FALSE(core.IsRunning());
    EXPECT_FALSE(core.Start("no-such-device-oc", 5060, 10000, 50000));
    EXPECT_FALSE(core.IsRunning());
    if (RunningAsRoot()) {
        EXPECT_EQ(core.LastStartError(), StartError::DeviceNotFound);
    }
    EXPECT_NE(core.LastStartError(), StartError::None);
    EXPECT_FALSE(core.StartOffline("/nonexistent/file.pcap"));
    EXPECT_EQ(core.LastStartError(), StartError::FileUnreadable);
    EXPECT_FALSE(StartErrorText(core.LastStartError()).empty());
}

TEST(FlowCoreLifecycle, StartTwiceAndDestroyWhileCapturing) {
    if (!RunningAsRoot()) GTEST_SKIP() << "live capture needs root";
    {
        FlowCore core;
        ASSERT_TRUE(core.Start("lo", 5060, 10000, 50000)) << StartErrorText(core.LastStartError());
        EXPECT_TRUE(core.IsRunning());
        EXPECT_FALSE(core.Start("lo", 5061, 0, 0));
        EXPECT_EQ(core.LastStartError(), StartError::AlreadyRunning);
        EXPECT_TRUE(core.IsRunning());
        core.Stop();
        EXPECT_FALSE(core.IsRunning());
        // A port the filter compiler refuses: the cause is named, and nothing stays open.
        EXPECT_FALSE(core.Start("lo", 70000, 0, 0));
        EXPECT_EQ(core.LastStartError(), StartError::FilterRejected);
        EXPECT_FALSE(core.IsRunning());
        // A new start after a stop works, with other settings.
        ASSERT_TRUE(core.Start("lo", 5062, 0, 0));
        // Destroyed while capturing: the destructor joins the capture thread (ASan would
        // report a use after free if the thread outlived the buffer).
    }
    SUCCEED();
}

// A stop on an interface where nothing passes the filter must come back promptly: libpcap
// 1.10's TPACKET_V3 capture waits in poll() without a time-out until a frame arrives, so the
// stop has to wake that wait rather than rely on the read time-out.
TEST(FlowCoreLifecycle, StopOnIdleCaptureReturns) {
    if (!RunningAsRoot()) GTEST_SKIP() << "live capture needs root";
    FlowCore core;
    ASSERT_TRUE(core.Start("lo", 5999, 0, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::atomic<bool> returned{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 50 && !returned.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!returned.load()) {
            std::fprintf(stderr, "FlowCore::Stop on an idle capture did not return within 5 s\n");
            std::_Exit(1);
        }
    });
    core.Stop();
    returned.store(true);
    watchdog.join();
    EXPECT_FALSE(core.IsRunning());
}

// Writes `count` Ethernet/IPv4/UDP frames to a savefile.
void WriteUdpSavefile(const std::string& path, uint32_t count) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* d = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(d, nullptr);
    std::vector<uint8_t> frame(14 + 20 + 8 + 16, 0);
    frame[12] = 0x08;
    frame[14] = 0x45;
    frame[14 + 9] = 17;
    const uint8_t src[4] = {10, 0, 0, 1}, dst[4] = {10, 0, 0, 2};
    std::copy(src, src + 4, frame.begin() + 26);
    std::copy(dst, dst + 4, frame.begin() + 30);
    frame[16] = 0;
    frame[17] = uint8_t(frame.size() - 14);
    frame[34] = 0x3E; frame[35] = 0x80;  // 16000
    frame[36] = 0x2E; frame[37] = 0xE0;  // 12000
    frame[39] = 24;
    for (uint32_t i = 0; i < count; ++i) {
        pcap_pkthdr h{};
        h.ts.tv_sec = 1000 + i / 1000;
        h.ts.tv_usec = (i % 1000) * 1000;
        h.caplen = h.len = uint32_t(frame.size());
        frame[42] = uint8_t(i >> 24); frame[43] = uint8_t(i >> 16); frame[44] = uint8_t(i >> 8); frame[45] = uint8_t(i);
        pcap_dump(reinterpret_cast<u_char*>(d), &h, frame.data());
    }
    pcap_dump_close(d);
    pcap_close(dead);
}

// Waits (bounded) for the engine to end a savefile run by itself.
bool WaitStopped(const FlowCore& core) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (core.IsRunning()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST(FlowCoreOffline, FileLongerThanBufferIsReadWhole) {
    const std::string path = std::string(OC_BINARY_DIR) + "/flowcore_offline_60k.pcap";
    WriteUdpSavefile(path, 60500);
    FlowCore core;
    ASSERT_TRUE(core.StartOffline(path)) << StartErrorText(core.LastStartError());
    // The reader waits for the worker instead of dropping: nothing is lost at file speed.
    ASSERT_TRUE(WaitStopped(core));
    core.WaitAnalysed();
    EXPECT_EQ(core.StopCause(), FlowStopCause::None) << "the end of a file is not a failure";
    EXPECT_EQ(core.Counters().analysed, 60500u);
    EXPECT_EQ(core.Counters().trimmedUnanalysed, 0u);
    const auto packets = core.GetPackets();
    ASSERT_EQ(packets.size(), 49500u);  // the buffer itself keeps its bound
    bool ordered = true;
    for (size_t i = 0; i < packets.size(); ++i) {
        const auto p = packets[i].Payload();
        const uint64_t n = (uint64_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
        ordered = ordered && n == 11000 + i;
    }
    EXPECT_TRUE(ordered);
    std::remove(path.c_str());
}

// A reader that wants only the records (the command line) keeps no packet, and while nobody
// looks at the snapshots the engine builds no new one as the data moves; a command still gets
// its snapshot, and that one is complete.
TEST(FlowCoreOffline, WithoutPacketsOrOnlookersOnlyTheRecordsAreKept) {
    const std::string path = std::string(OC_PCAP_DIR) + "/10_batch_20_calls.pcap";
    FlowCore core;
    core.KeepPackets(false);
    const uint64_t seen = core.Snapshot()->version;
    ASSERT_TRUE(core.StartOffline(path)) << StartErrorText(core.LastStartError());
    ASSERT_TRUE(WaitStopped(core));
    core.WaitAnalysed();
    EXPECT_GT(core.Counters().analysed, 0u);
    EXPECT_TRUE(core.GetPackets().empty());
    const std::vector<SipCall> calls = core.Tracker().GetCalls();
    ASSERT_EQ(calls.size(), 20u);
    EXPECT_LE(core.Snapshot()->version, seen + 1) << "one snapshot for the look before the start, no more";
    const FlowSnapshotPtr s = core.WaitHandled(core.RequestSnapshot(), std::chrono::seconds(30));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->rows->size(), calls.size());
    EXPECT_EQ(s->engine.analysed, core.Counters().analysed);
    EXPECT_EQ(s->bufferedPackets, 0u);
}

TEST(FlowCoreOffline, StopDuringAReadReturns) {
    const std::string path = std::string(OC_BINARY_DIR) + "/flowcore_offline_stop.pcap";
    WriteUdpSavefile(path, 200000);
    FlowCore core;
    ASSERT_TRUE(core.StartOffline(path));
    core.Stop();  // must not hang on a reader waiting for the worker
    EXPECT_FALSE(core.IsRunning());
    EXPECT_EQ(core.StopCause(), FlowStopCause::None);
    // A new read after the stop starts from an empty list.
    ASSERT_TRUE(core.StartOffline(path));
    ASSERT_TRUE(WaitStopped(core));
    core.WaitAnalysed();
    EXPECT_EQ(core.Counters().analysed, 200000u);
    std::remove(path.c_str());
}

}  // namespace

namespace {

// One Ethernet frame with an IPv4 fragment of `datagram` (the bytes after the IP header).
std::vector<uint8_t> FragmentFrame(const std::vector<uint8_t>& datagram, size_t from, size_t to, uint16_t id) {
    const uint8_t eth[14] = {0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1, 0x08, 0x00};
    const size_t total = 20 + (to - from);
    const uint16_t flags = static_cast<uint16_t>((to < datagram.size() ? 0x2000 : 0) | (from / 8));
    const uint8_t ip[20] = {0x45, 0, uint8_t(total >> 8), uint8_t(total), uint8_t(id >> 8), uint8_t(id),
                            uint8_t(flags >> 8), uint8_t(flags), 64, 17, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2};
    // Sized once and copied into: inserting after a short initializer list makes MinGW's
    // GCC 12 warn falsely (-Warray-bounds) on the inlined reallocation.
    std::vector<uint8_t> f(sizeof eth + total);
    auto out = std::copy(eth, eth + sizeof eth, f.begin());
    out = std::copy(ip, ip + sizeof ip, out);
    std::copy(datagram.begin() + static_cast<std::ptrdiff_t>(from), datagram.begin() + static_cast<std::ptrdiff_t>(to), out);
    return f;
}

}  // namespace

// An INVITE split by IP fragmentation: its SDP, and so the call's media port, is in the
// later fragment. Read from a savefile with the first fragment last.
TEST(FlowCoreOffline, FragmentedInviteIsAnalysedWhole) {
    auto invite = [](const std::string& callId, int mediaPort) {
        std::string sip = Sip("INVITE sip:2001@b SIP/2.0", callId, "1 INVITE", mediaPort);
        sip.insert(sip.find("\r\n") + 2, "X-Padding: " + std::string(1600, 'p') + "\r\n");
        const uint8_t udp[8] = {0x13, 0xC4, 0x13, 0xC4, uint8_t((sip.size() + 8) >> 8), uint8_t(sip.size() + 8), 0, 0};
        std::vector<uint8_t> d(sizeof udp + sip.size());
        std::copy(sip.begin(), sip.end(), std::copy(udp, udp + sizeof udp, d.begin()));
        return d;
    };
    const std::vector<uint8_t> datagram = invite("frag-call@a", 40002);
    const std::vector<uint8_t> inOrder = invite("frag-call-2@a", 40004);
    ASSERT_GT(datagram.size(), 1480u);

    const std::string path = std::string(OC_BINARY_DIR) + "/flowcore_fragmented_invite.pcap";
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* d = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(d, nullptr);
    auto write = [&](const std::vector<uint8_t>& frame, uint32_t sec) {
        pcap_pkthdr h{};
        h.ts.tv_sec = sec;
        h.caplen = h.len = uint32_t(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(d), &h, frame.data());
    };
    write(FragmentFrame(datagram, 1480, datagram.size(), 1), 1000);
    write(FragmentFrame(datagram, 0, 1480, 1), 1000);
    // In order: the completing frame is a later fragment, whose texts carry no ports.
    write(FragmentFrame(inOrder, 0, 1480, 4), 1000);
    write(FragmentFrame(inOrder, 1480, inOrder.size(), 4), 1000);
    // A fragment whose datagram never completes, and one 40 s later that ends its wait.
    write(FragmentFrame(datagram, 0, 1480, 2), 1001);
    write(FragmentFrame(datagram, 0, 1480, 3), 1041);
    pcap_dump_close(d);
    pcap_close(dead);

    FlowCore core;
    ASSERT_TRUE(core.StartOffline(path)) << StartErrorText(core.LastStartError());
    ASSERT_TRUE(WaitStopped(core));
    core.WaitAnalysed();
    const auto calls = core.Tracker().GetCalls();
    const SipCall* call = FindCall(calls, "frag-call@a");
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->mediaPorts, std::vector<int32_t>{40002});
    const SipCall* second = FindCall(calls, "frag-call-2@a");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->mediaPorts, std::vector<int32_t>{40004});
    EXPECT_EQ(second->callerIp, "10.0.0.1");
    const FlowEngineCounters n = core.Counters();
    EXPECT_EQ(n.analysed, 6u);  // every frame still goes to the analysis and the buffer
    EXPECT_EQ(n.datagramsReassembled, 2u);
    EXPECT_EQ(n.fragmentsIncomplete, 1u);
    EXPECT_EQ(n.fragmentsOverlap + n.fragmentsOverBounds + n.fragmentsUnusable, 0u);
    std::remove(path.c_str());
}
