// Savefiles: SavePacketsToPcap, and the capture loop's own savefile, read back with libpcap.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

#include "FrameBuilder.h"
#include "PcapFiles.h"
#include "capture/Sniffer.h"
#include "logs/Trace.h"
#include "platform/CaptureLibrary.h"

namespace {

PacketLogEntry Entry(const Bytes& raw, uint32_t sec, uint32_t usec, int linkType = kLinkEthernet,
                     uint32_t wire = 0) {
    PacketLogEntry e;
    e.rawData = raw;
    e.tsSec = sec;
    e.tsUsec = usec;
    e.linkType = linkType;
    e.wireLength = wire ? wire : static_cast<uint32_t>(raw.size());
    return e;
}

const Bytes kUdp = Ethernet(kEthIpv4, Ipv4(Addr(10, 0, 0, 1), Addr(10, 0, 0, 2), 17, Udp(5060, 5060, {'x'})));

TEST(SavefileExport, EmptyListWritesNothing) {
    TempDir dir;
    EXPECT_FALSE(SavePacketsToPcap(dir.File("none.pcap"), {}));
    EXPECT_FALSE(std::filesystem::exists(dir.File("none.pcap")));
}

TEST(SavefileExport, RecordsAreByteExactAndEmptyRawDataIsSkipped) {
    TempDir dir;
    const Bytes arp = Ethernet(0x0806, Bytes(28, 3));
    std::vector<PacketLogEntry> entries{Entry(kUdp, 100, 1), Entry({}, 101, 2), Entry(arp, 102, 999999),
                                        Entry(Cut(kUdp, 40), 103, 5, kLinkEthernet, 1500)};
    ASSERT_TRUE(SavePacketsToPcap(dir.File("out.pcap"), entries));
    const Savefile f = ReadSavefile(dir.File("out.pcap"));
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.linkType, kLinkEthernet);
    EXPECT_EQ(f.snapLength, 65535);
    ASSERT_EQ(f.records.size(), 3u);
    EXPECT_EQ(f.records[0].bytes, kUdp);
    EXPECT_EQ(f.records[0].tsSec, 100u);
    EXPECT_EQ(f.records[0].tsUsec, 1u);
    EXPECT_EQ(f.records[0].wireLength, kUdp.size());
    EXPECT_EQ(f.records[1].bytes, arp);
    EXPECT_EQ(f.records[1].tsUsec, 999999u);
    // A frame that was cut by the snapshot keeps its wire length.
    EXPECT_EQ(f.records[2].bytes, Cut(kUdp, 40));
    EXPECT_EQ(f.records[2].wireLength, 1500u);
}

TEST(SavefileExport, AllEmptyGivesAValidFileWithoutRecords) {
    TempDir dir;
    ASSERT_TRUE(SavePacketsToPcap(dir.File("empty.pcap"), {Entry({}, 1, 1), Entry({}, 2, 2)}));
    const Savefile f = ReadSavefile(dir.File("empty.pcap"));
    EXPECT_TRUE(f.ok);
    EXPECT_TRUE(f.records.empty());
}

TEST(SavefileExport, KeepsTheTrueLinkTypeAndSkipsOtherTypes) {
    TempDir dir;
    const Bytes sll = LinuxSll(0x0800, Ipv4(Addr(10, 0, 0, 1), Addr(10, 0, 0, 2), 17, Udp(1, 2)));
    const Bytes raw = Ipv4(Addr(10, 0, 0, 1), Addr(10, 0, 0, 2), 17, Udp(3, 4));
    std::vector<PacketLogEntry> entries{Entry({}, 1, 0, kLinkRaw), Entry(sll, 2, 0, kLinkLinuxSll),
                                        Entry(kUdp, 3, 0, kLinkEthernet), Entry(sll, 4, 0, kLinkLinuxSll)};
    ASSERT_TRUE(SavePacketsToPcap(dir.File("sll.pcap"), entries));
    Savefile f = ReadSavefile(dir.File("sll.pcap"));
    EXPECT_EQ(f.linkType, kLinkLinuxSll);
    ASSERT_EQ(f.records.size(), 2u);
    EXPECT_EQ(f.records[0].tsSec, 2u);
    EXPECT_EQ(f.records[1].tsSec, 4u);

    ASSERT_TRUE(SavePacketsToPcap(dir.File("raw.pcap"), {Entry(raw, 5, 0, kLinkRaw)}));
    f = ReadSavefile(dir.File("raw.pcap"));
    EXPECT_EQ(f.linkType, kLinkRaw);
    ASSERT_EQ(f.records.size(), 1u);
    EXPECT_EQ(f.records[0].bytes, raw);
}

TEST(SavefileExport, LoopbackJumboFrameIsNotCut) {
    TempDir dir;
    Bytes jumbo(65536, 0x5A);
    ASSERT_TRUE(SavePacketsToPcap(dir.File("jumbo.pcap"), {Entry(jumbo, 1, 0)}));
    const Savefile f = ReadSavefile(dir.File("jumbo.pcap"));
    ASSERT_EQ(f.records.size(), 1u);
    EXPECT_EQ(f.records[0].bytes.size(), 65536u);
}

TEST(SavefileExport, UnwritablePathFails) {
    EXPECT_FALSE(SavePacketsToPcap("/nonexistent-dir/x.pcap", {Entry(kUdp, 1, 0)}));
}

// The capture loop run over a savefile that it re-saves, as it does during a live capture.
struct LoopRun {
    std::vector<PacketLogEntry> packets;
    std::vector<SniffResult> replies;
    Savefile saved;
    DecodeCounts counts;
    std::string order;  // 'R' per reply, 'P' per packet, in call order
    std::string loopError;
};

LoopRun RunLoop(const std::vector<Record>& input, int linkType,
                std::function<void(const PacketLogEntry&)> inspect = nullptr, bool emptyOnReply = false) {
    TempDir dir;
    LoopRun run;
    EXPECT_TRUE(WriteSavefile(dir.File("in.pcap"), linkType, input));
    Sniffer sniffer;
    EXPECT_TRUE(sniffer.InitOffline(dir.File("in.pcap"), "", dir.File("saved.pcap")));
    EXPECT_EQ(sniffer.LinkType(), linkType);
    ReplyCallback onReply;
    if (!emptyOnReply) onReply = [&](SniffResult r) {
        run.order += 'R';
        run.replies.push_back(std::move(r));
    };
    sniffer.Start(onReply, [&](PacketLogEntry e) {
        if (inspect) inspect(e);
        run.order += 'P';
        run.packets.push_back(std::move(e));
    });
    sniffer.WaitLoopEnd();
    EXPECT_FALSE(sniffer.LoopActive());
    run.counts = sniffer.Counters();
    run.loopError = sniffer.LoopError();
    sniffer.Stop();
    EXPECT_EQ(sniffer.LinkType(), -1);
    run.saved = ReadSavefile(dir.File("saved.pcap"));
    return run;
}

TEST(SavefileLoop, EveryFrameWithALinkHeaderIsSavedBeforeDecoding) {
    const Bytes udp = Ethernet(kEthIpv4, Ipv4(Addr(192, 0, 2, 1), Addr(10, 0, 0, 5), 17, Udp(53, 33440)));
    const Bytes tagged = EthernetTagged(9, kEthIpv4, Ipv4(Addr(192, 0, 2, 1), Addr(10, 0, 0, 5), 17, Udp(53, 1)));
    const std::vector<Record> input{
        {1, 0, 0, Cut(udp, 13)}, {2, 0, 0, Cut(udp, 14)}, {3, 0, 0, Cut(tagged, 17)},
        {4, 0, 0, udp},          {5, 0, 0, Cut(udp, 33)}, {6, 0, 9000, tagged},
    };
    const LoopRun run = RunLoop(input, kLinkEthernet);
    ASSERT_TRUE(run.saved.ok);
    EXPECT_EQ(run.saved.linkType, kLinkEthernet);
    ASSERT_EQ(run.saved.records.size(), 5u);  // all but the 13-byte frame
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(run.saved.records[i].bytes, input[i + 1].bytes) << i;
        EXPECT_EQ(run.saved.records[i].tsSec, input[i + 1].tsSec) << i;
    }
    EXPECT_EQ(run.saved.records[4].wireLength, 9000u);
    ASSERT_EQ(run.packets.size(), 2u);  // only the complete and the tagged frame are decoded
    EXPECT_EQ(run.packets[0].tsSec, 4u);
    EXPECT_EQ(run.packets[1].source, "192.0.2.1:53");
    EXPECT_EQ(run.packets[1].wireLength, 9000u);
    EXPECT_EQ(run.counts.frames, 6u);
    EXPECT_EQ(run.counts.tooShort, 1u);
    EXPECT_EQ(run.counts.truncated, 3u);
    EXPECT_EQ(run.counts.decoded, 2u);
}

TEST(SavefileLoop, TheSavefileIsOnDiskWithinACaptureSecond) {
    // Each frame below starts a new capture second, so by the time it is decoded the file on
    // disk already holds it and every frame before it.
    TempDir dir;
    std::vector<Record> input;
    for (uint32_t i = 0; i < 4; ++i) input.push_back({100 + i, 0, 0, kUdp});
    ASSERT_TRUE(WriteSavefile(dir.File("in.pcap"), kLinkEthernet, input));
    Sniffer sniffer;
    ASSERT_TRUE(sniffer.InitOffline(dir.File("in.pcap"), "", dir.File("saved.pcap")));
    std::vector<size_t> onDisk;
    sniffer.Start([](SniffResult) {},
                  [&](PacketLogEntry) { onDisk.push_back(ReadSavefile(dir.File("saved.pcap")).records.size()); });
    sniffer.WaitLoopEnd();
    sniffer.Stop();
    EXPECT_EQ(onDisk, (std::vector<size_t>{1, 2, 3, 4}));
}

// Several times the stream buffer the file is read through, with records that straddle its
// edges: every one arrives whole and in order, also when the same Sniffer opens the file
// again (the buffer of the first stream is freed only once that stream is closed).
TEST(SavefileLoop, AFileLargerThanTheStreamBufferIsReadWholeTwice) {
    TempDir dir;
    std::vector<Record> input;
    size_t bytes = 0;
    for (uint32_t i = 0; bytes < 4 * platform::kSavefileBufferBytes; ++i) {
        Bytes payload(100 + i * 37 % 1300);
        for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<uint8_t>(i * 31 + k);
        Bytes frame = Ethernet(kEthIpv4, Ipv4(Addr(10, 0, 0, 1), Addr(10, 0, 0, 2), 17,
                                              Udp(static_cast<uint16_t>(i), 5060, payload)));
        bytes += 16 + frame.size();
        input.push_back({i, 0, 0, std::move(frame)});
    }
    ASSERT_TRUE(WriteSavefile(dir.File("big.pcap"), kLinkEthernet, input));
    Sniffer sniffer;
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(sniffer.InitOffline(dir.File("big.pcap")));
        std::vector<PacketLogEntry> got;
        sniffer.Start([](SniffResult) {}, [&](PacketLogEntry e) { got.push_back(std::move(e)); });
        sniffer.WaitLoopEnd();
        EXPECT_EQ(sniffer.LoopError(), "") << pass;
        sniffer.Stop();
        ASSERT_EQ(got.size(), input.size()) << pass;
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].rawData, input[i].bytes) << pass << " " << i;
            ASSERT_EQ(got[i].tsSec, input[i].tsSec) << pass << " " << i;
        }
    }
}

TEST(SavefileLoop, ReplyComesBeforeItsPacket) {
    const Bytes synAck = Ethernet(kEthIpv4, Ipv4(Addr(198, 51, 100, 7), Addr(10, 0, 0, 5), 6, Tcp(80, 33440, 0x12)));
    const LoopRun run = RunLoop({{1, 0, 0, kUdp}, {7, 8, 0, synAck}, {9, 0, 0, kUdp}}, kLinkEthernet);
    EXPECT_EQ(run.order, "PRPP");
    ASSERT_EQ(run.replies.size(), 1u);
    EXPECT_EQ(run.replies[0].origSeq, 33440);
    EXPECT_EQ(run.replies[0].timestamp, (int64_t{7} * 1000000 + 8) * 10);
    ASSERT_EQ(run.packets.size(), 3u);
    EXPECT_EQ(run.packets[1].info, "TCP SYN ACK Src=80 Dst=33440");
}

TEST(SavefileLoop, AThrowingCallbackEndsTheLoopAndTheSavefile) {
    std::vector<Record> input;
    for (uint32_t i = 0; i < 5; ++i) input.push_back({i, 0, 0, kUdp});
    int calls = 0;
    const LoopRun run = RunLoop(input, kLinkEthernet, [&](const PacketLogEntry&) {
        if (++calls == 2) throw std::runtime_error("consumer failed");
    });
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(run.packets.size(), 1u);
    EXPECT_EQ(run.loopError, "consumer failed");
    ASSERT_EQ(run.saved.records.size(), 2u);  // the failing frame was saved before decoding
}

TEST(SavefileLoop, AnEmptyReplyCallbackEndsTheLoopAtTheFirstReply) {
    const Bytes echoReply = Ethernet(kEthIpv4, Ipv4(Addr(198, 51, 100, 7), Addr(10, 0, 0, 5), 1, Icmp(0, 0, 1, 2)));
    const LoopRun run = RunLoop({{1, 0, 0, kUdp}, {2, 0, 0, echoReply}, {3, 0, 0, kUdp}}, kLinkEthernet, nullptr, true);
    EXPECT_EQ(run.packets.size(), 1u);
    EXPECT_EQ(run.saved.records.size(), 2u);
}

TEST(SavefileLoop, CookedCaptureIsSavedAndDecodedWithItsLinkType) {
    const Bytes sll = LinuxSll(0x0800, Ipv4(Addr(192, 0, 2, 1), Addr(10, 0, 0, 5), 17, Udp(53, 33440)));
    const LoopRun run = RunLoop({{1, 0, 0, Cut(sll, 15)}, {2, 0, 0, Cut(sll, 16)}, {3, 0, 0, sll}}, kLinkLinuxSll);
    EXPECT_EQ(run.saved.linkType, kLinkLinuxSll);
    EXPECT_EQ(run.saved.records.size(), 2u);
    ASSERT_EQ(run.packets.size(), 1u);
    EXPECT_EQ(run.packets[0].source, "192.0.2.1:53");
    EXPECT_EQ(run.packets[0].linkType, kLinkLinuxSll);
}

TEST(SavefileLoop, ACutSavefileEndsWithItsReadError) {
    TempDir dir;
    ASSERT_TRUE(WriteSavefile(dir.File("cut.pcap"), kLinkEthernet, {{1, 0, 0, kUdp}, {2, 0, 0, kUdp}}));
    std::filesystem::resize_file(dir.File("cut.pcap"), std::filesystem::file_size(dir.File("cut.pcap")) - 10);
    Sniffer sniffer;
    ASSERT_TRUE(sniffer.InitOffline(dir.File("cut.pcap")));
    std::atomic<int> packets{0};
    sniffer.Start([](SniffResult) {}, [&](PacketLogEntry) { ++packets; });
    sniffer.WaitLoopEnd();
    EXPECT_EQ(packets.load(), 1);
    EXPECT_NE(sniffer.LoopError().find("truncated"), std::string::npos) << sniffer.LoopError();
    sniffer.Stop();

    // A file that ends cleanly leaves no error.
    ASSERT_TRUE(WriteSavefile(dir.File("whole.pcap"), kLinkEthernet, {{1, 0, 0, kUdp}}));
    ASSERT_TRUE(sniffer.InitOffline(dir.File("whole.pcap")));
    sniffer.Start([](SniffResult) {}, [](PacketLogEntry) {});
    sniffer.WaitLoopEnd();
    EXPECT_EQ(sniffer.LoopError(), "");
    sniffer.Stop();
}

TEST(SavefileLoop, UnreadableOrForeignFilesFailWithFileUnreadable) {
    TempDir dir;
    Sniffer sniffer;
    EXPECT_FALSE(sniffer.InitOffline(dir.File("missing.pcap")));
    EXPECT_EQ(sniffer.LastError(), StartError::FileUnreadable);
    EXPECT_FALSE(sniffer.LastErrorDetail().empty());
    {
        FILE* f = std::fopen(dir.File("text.pcap").c_str(), "w");
        std::fputs("this is not a capture\n", f);
        std::fclose(f);
    }
    EXPECT_FALSE(sniffer.InitOffline(dir.File("text.pcap")));
    EXPECT_EQ(sniffer.LastError(), StartError::FileUnreadable);
    ASSERT_TRUE(WriteSavefile(dir.File("ok.pcap"), kLinkEthernet, {{1, 0, 0, kUdp}}));
    EXPECT_FALSE(sniffer.InitOffline(dir.File("ok.pcap"), "port ("));
    EXPECT_EQ(sniffer.LastError(), StartError::FilterRejected);
    EXPECT_TRUE(sniffer.InitOffline(dir.File("ok.pcap"), "udp port 5060"));
    EXPECT_EQ(sniffer.LastError(), StartError::None);
}

}  // namespace

namespace {

std::string ReadAll(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

TEST(SnifferTrace, FailuresAndLoopEndsGoToTheDiagnosticTrace) {
    TempDir dir;
    SetTraceFileForTesting(dir.File("trace.log"));
    Sniffer sniffer;
    EXPECT_FALSE(sniffer.Init("udp", "no-such-device0", ""));
    ASSERT_TRUE(WriteSavefile(dir.File("in.pcap"), kLinkEthernet, {{1, 0, 0, kUdp}}));
    ASSERT_TRUE(sniffer.InitOffline(dir.File("in.pcap"), "", "/nonexistent-dir/out.pcap"));
    sniffer.Start([](SniffResult) {}, [](PacketLogEntry) { throw std::runtime_error("boom"); });
    sniffer.WaitLoopEnd();
    sniffer.Stop();
    SetTraceFileForTesting("");
    const std::string trace = ReadAll(dir.File("trace.log"));
    for (const char* line : {"Device not found: no-such-device0", "Failed to open pcap dump file: ",
                             "Sniffer Capture Loop Started", "CRASH in SnifferLoop: boom",
                             "Sniffer Capture Loop Ended"})
        EXPECT_NE(trace.find(line), std::string::npos) << line << "\n" << trace;
    EXPECT_LT(trace.find("CRASH in SnifferLoop"), trace.find("Sniffer Capture Loop Ended"));
}

}  // namespace
