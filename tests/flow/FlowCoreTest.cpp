#include <gtest/gtest.h>

#include "lib/TestEnv.h"

#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "FlowTestUtil.h"
#include "flow/CallTracker.h"
#include "flow/FlowCore.h"
#include "flow/FlowIntake.h"

using namespace flowtest;

namespace {

PacketLogEntry Numbered(uint32_t n) {
    PacketLogEntry e;
    e.tsSec = n;
    e.source = "10.0.0.1:1";
    e.destination = "10.0.0.2:2";
    return e;
}

TEST(FlowCoreFilter, Texts) {
    EXPECT_EQ(FlowCore::BuildFilter(5060, 10000, 50000), "port 5060 or udp portrange 10000-50000");
    EXPECT_EQ(FlowCore::BuildFilter(5080, 0, 50000), "port 5080");
    EXPECT_EQ(FlowCore::BuildFilter(5060, 20000, 19999), "port 5060");
    EXPECT_EQ(FlowCore::BuildFilter(5060, 16400, 16400), "port 5060 or udp portrange 16400-16400");
}

TEST(FlowCoreBuffer, TrimAtLimitKeepsOrder) {
    FlowCore core;
    for (uint32_t i = 1; i <= 50000; ++i) core.OnPacket(Numbered(i));
    EXPECT_EQ(core.GetPackets().size(), 50000u);
    core.OnPacket(Numbered(50001));
    auto packets = core.GetPackets();
    ASSERT_EQ(packets.size(), 49001u);
    EXPECT_EQ(packets.front().tsSec, 1001u);
    EXPECT_EQ(packets.back().tsSec, 50001u);
    EXPECT_EQ(core.FirstPosition(), 1000u);
    EXPECT_EQ(core.EndPosition(), 50001u);
    // It grows again up to the limit before the next trim.
    for (uint32_t i = 50002; i <= 51000; ++i) core.OnPacket(Numbered(i));
    EXPECT_EQ(core.GetPackets().size(), 50000u);
    core.ClearPackets();
    EXPECT_TRUE(core.GetPackets().empty());
    EXPECT_EQ(core.FirstPosition(), core.EndPosition());
}

TEST(FlowCoreIntake, FollowsTrimWithoutSkipOrRepeat) {
    FlowCore core;
    CallTracker tracker;
    FlowIntake intake;
    // Every packet is a distinct SIP dialog, so the tracker counts exactly what it saw.
    auto sipPacket = [](uint32_t n) {
        PacketLogEntry e = Packet("10.0.0.1:5060", "10.0.0.2:5060",
                                  Bytes(Sip("OPTIONS sip:x SIP/2.0", "id" + std::to_string(n), "1 OPTIONS")));
        e.tsSec = n;
        return e;
    };
    for (uint32_t i = 0; i < 49990; ++i) core.OnPacket(Numbered(i));
    while (intake.Step(core, tracker, 500) > 0) {}
    EXPECT_EQ(intake.Position(), 49990u);
    // 20 new packets, of which 11 go over the limit: the oldest 1000 are trimmed.
    for (uint32_t i = 0; i < 20; ++i) core.OnPacket(sipPacket(i));
    EXPECT_EQ(core.GetPackets().size(), 49010u);
    EXPECT_EQ(intake.Step(core, tracker, 7), 7u);
    EXPECT_EQ(intake.Step(core, tracker, 500), 13u);
    EXPECT_EQ(intake.Step(core, tracker, 500), 0u);
    EXPECT_EQ(intake.Missed(), 0u);
    auto calls = tracker.GetCalls();
    ASSERT_EQ(calls.size(), 20u);
    for (const SipCall& c : calls) EXPECT_EQ(c.messages.size(), 1u) << c.callId;

    // Packets trimmed before the intake reached them are counted, not silently skipped.
    FlowIntake late;
    EXPECT_EQ(late.Step(core, tracker, 10), 10u);
    EXPECT_EQ(late.Missed(), 1000u);
}

TEST(FlowCoreIntake, ResetAfterClear) {
    FlowCore core;
    CallTracker tracker;
    FlowIntake intake;
    for (uint32_t i = 0; i < 30; ++i) core.OnPacket(Numbered(i));
    EXPECT_EQ(intake.Step(core, tracker, 10), 10u);
    core.ClearPackets();
    tracker.Clear();
    intake.Reset(core);
    EXPECT_EQ(intake.Step(core, tracker), 0u);
    core.OnPacket(Numbered(99));
    EXPECT_EQ(intake.Step(core, tracker), 1u);
    EXPECT_EQ(intake.Missed(), 0u);
    EXPECT_EQ(intake.Position(), 31u);
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

TEST(FlowCoreOffline, FileLongerThanBufferIsReadWhole) {
    const std::string path = std::string(OC_BINARY_DIR) + "/flowcore_offline_60k.pcap";
    WriteUdpSavefile(path, 60500);
    FlowCore core;
    CallTracker tracker;
    FlowIntake intake;
    ASSERT_TRUE(core.StartOffline(path)) << StartErrorText(core.LastStartError());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    uint64_t lastSeen = 0;
    bool ordered = true;
    // A slow consumer: the reader must wait for it instead of trimming unread packets.
    while (std::chrono::steady_clock::now() < deadline) {
        const bool active = core.ReaderActive();
        uint64_t first = 0;
        auto batch = core.GetPacketsFrom(intake.Position(), 300, &first);
        for (const auto& p : batch) {
            uint64_t n = (uint64_t(p.payload.at(0)) << 24) | (p.payload.at(1) << 16) | (p.payload.at(2) << 8) | p.payload.at(3);
            if (n != lastSeen) ordered = false;
            ++lastSeen;
        }
        // Take exactly the packets looked at above (the reader may have appended more since).
        ASSERT_EQ(intake.Step(core, tracker, batch.size()), batch.size());
        if (batch.empty() && !active) break;
        if (batch.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    core.Stop();
    EXPECT_EQ(intake.Processed(), 60500u);
    EXPECT_EQ(intake.Missed(), 0u);
    EXPECT_TRUE(ordered);
    EXPECT_EQ(core.GetPackets().size(), 49500u);  // the buffer itself keeps its bound
    std::remove(path.c_str());
}

TEST(FlowCoreOffline, StopReleasesAWaitingReader) {
    const std::string path = std::string(OC_BINARY_DIR) + "/flowcore_offline_stall.pcap";
    WriteUdpSavefile(path, 52000);
    FlowCore core;
    ASSERT_TRUE(core.StartOffline(path));
    // Nobody consumes: the reader stops at the buffer bound and waits.
    for (int i = 0; i < 200 && core.EndPosition() < 50000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(core.EndPosition(), 50000u);
    EXPECT_TRUE(core.ReaderActive());
    core.Stop();  // must not hang
    EXPECT_FALSE(core.IsRunning());
    std::remove(path.c_str());
}

}  // namespace
