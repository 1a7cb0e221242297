// pcapng files with several interfaces and link types: the reader alone from memory, then
// through Sniffer::InitOffline as a user's file is read.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

#include "FrameBuilder.h"
#include "PcapFiles.h"
#include "PcapngBuilder.h"
#include "capture/Decode.h"
#include "capture/PcapngReader.h"
#include "capture/Sniffer.h"

namespace {

const uint32_t kPhone = Addr(192, 0, 2, 1);
const uint32_t kPbx = Addr(10, 0, 0, 5);
const Bytes kEthUdp = Ethernet(kEthIpv4, Ipv4(kPhone, kPbx, 17, Udp(5060, 5060, {'S', 'I', 'P'})));
const Bytes kRawUdp6 = Ipv6(V6("2001:db8::1"), V6("fd00::5"), 17, Udp(5060, 5062, {'v', '6'}));
const Bytes kSllTcp = LinuxSll(kEthIpv4, Ipv4(kPbx, kPhone, 6, Tcp(80, 40000, 0x12)));
const Bytes kArp = [] {
    Bytes arp{0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
    arp.resize(28, 0x0A);
    return Ethernet(0x0806, arp);
}();

constexpr uint64_t kSecond = 1700000000;

// Three interfaces, as a capture on a card, a tunnel and the "any" device writes them: the
// card in microseconds, the tunnel in nanoseconds, the cooked one in 2^-20 s with an offset.
PcapngBuilder ThreeInterfaces(bool bigEndian) {
    PcapngBuilder b;
    b.Section(bigEndian);
    b.Interface(1, 65535);
    b.Interface(229, 0, uint8_t{9});
    b.Interface(113, 0, uint8_t{0x80 | 20}, int64_t{100});
    b.Enhanced(0, kSecond * 1000000 + 250000, kEthUdp);
    b.Enhanced(1, kSecond * 1000000000 + 123456789, kRawUdp6);
    b.Enhanced(2, ((kSecond + 1) << 20) | (1u << 19), kSllTcp, 1500);
    b.Enhanced(0, (kSecond + 2) * 1000000, kArp);
    return b;
}

struct Read {
    bool opened = false;
    std::vector<PcapngFrame> frames;
    std::vector<Bytes> bytes;
    PcapngReader::Status last = PcapngReader::Status::End;
    std::string error;
};

Read ReadAllFrames(const Bytes& file) {
    Read r;
    PcapngReader reader;
    r.opened = reader.OpenMemory(file);
    if (!r.opened) {
        r.last = PcapngReader::Status::Error;
        r.error = reader.Error();
        return r;
    }
    PcapngFrame f;
    while ((r.last = reader.Next(f)) == PcapngReader::Status::Frame) {
        r.frames.push_back(f);
        r.bytes.emplace_back(f.data.begin(), f.data.end());
    }
    r.error = reader.Error();
    // Once ended, it stays ended.
    EXPECT_EQ(reader.Next(f), r.last);
    return r;
}

TEST(PcapngReader, EveryFrameHasItsInterfacesLinkTypeAndTimeInBothByteOrders) {
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "big-endian" : "little-endian");
        const Read r = ReadAllFrames(ThreeInterfaces(big).out);
        ASSERT_TRUE(r.opened) << r.error;
        EXPECT_EQ(r.last, PcapngReader::Status::End) << r.error;
        ASSERT_EQ(r.frames.size(), 4u);
        EXPECT_EQ(r.frames[0].linkType, kLinkEthernet);
        EXPECT_EQ(r.frames[0].tsSec, int64_t(kSecond));
        EXPECT_EQ(r.frames[0].tsUsec, 250000u);
        EXPECT_EQ(r.bytes[0], kEthUdp);
        EXPECT_EQ(r.frames[1].linkType, kLinkRawIpv6);
        EXPECT_EQ(r.frames[1].interfaceId, 1u);
        EXPECT_EQ(r.frames[1].tsSec, int64_t(kSecond));
        EXPECT_EQ(r.frames[1].tsUsec, 123456u);  // nanoseconds cut to microseconds
        EXPECT_EQ(r.bytes[1], kRawUdp6);
        EXPECT_EQ(r.frames[2].linkType, kLinkLinuxSll);
        EXPECT_EQ(r.frames[2].tsSec, int64_t(kSecond + 1 + 100));  // if_tsoffset added
        EXPECT_EQ(r.frames[2].tsUsec, 500000u);                    // half of 2^20
        EXPECT_EQ(r.frames[2].wireLength, 1500u);
        EXPECT_EQ(r.bytes[2], kSllTcp);
        EXPECT_EQ(r.frames[3].tsSec, int64_t(kSecond + 2));
        EXPECT_EQ(r.bytes[3], kArp);
    }
}

TEST(PcapngReader, SectionsRenumberInterfacesAndMayChangeByteOrder) {
    PcapngBuilder b;
    b.Section(false);
    b.Interface(1);
    b.Block(4, Bytes(16, 0));  // name resolution, skipped
    b.Enhanced(0, 5, kEthUdp);
    b.Section(true);
    b.Interface(101);  // LINKTYPE_RAW: DLT_RAW, 12
    b.Block(5, Bytes(24, 0));  // interface statistics, skipped
    b.Enhanced(0, 7000000, Ipv4(kPhone, kPbx, 17, Udp(1, 2)));
    b.Obsolete(0, 8000000, Ipv4(kPhone, kPbx, 17, Udp(3, 4)));
    // A simple packet block belongs to interface 0 and has no time; the snapshot cuts it.
    b.Section(false);
    b.Interface(1, 20);
    b.Simple(kEthUdp);
    const Read r = ReadAllFrames(b.out);
    ASSERT_TRUE(r.opened) << r.error;
    EXPECT_EQ(r.last, PcapngReader::Status::End) << r.error;
    ASSERT_EQ(r.frames.size(), 4u);
    EXPECT_EQ(r.frames[0].linkType, kLinkEthernet);
    EXPECT_EQ(r.frames[1].linkType, kLinkRaw);
    EXPECT_EQ(r.frames[1].tsSec, 7);
    EXPECT_EQ(r.frames[2].linkType, kLinkRaw);
    EXPECT_EQ(r.frames[2].tsSec, 8);
    EXPECT_EQ(r.frames[3].linkType, kLinkEthernet);
    EXPECT_EQ(r.bytes[3], Cut(kEthUdp, 20));
    EXPECT_EQ(r.frames[3].wireLength, kEthUdp.size());
}

TEST(PcapngReader, AFileCutAnywhereEndsCleanlyOnlyBetweenBlocks) {
    const PcapngBuilder b = ThreeInterfaces(false);
    const size_t headerEnd = b.blockEnds[1];  // the section header and the first interface
    for (size_t n = 0; n <= b.out.size(); ++n) {
        SCOPED_TRACE(n);
        const Bytes cut(b.out.begin(), b.out.begin() + static_cast<std::ptrdiff_t>(n));
        const Read r = ReadAllFrames(cut);
        EXPECT_EQ(r.opened, n >= headerEnd);
        size_t whole = 0;
        bool atBoundary = false;
        for (size_t i = 0; i < b.blockEnds.size(); ++i) {
            if (b.blockEnds[i] <= n) whole += b.blockIsFrame[i];
            atBoundary = atBoundary || b.blockEnds[i] == n;
        }
        EXPECT_EQ(r.frames.size(), whole);
        if (!r.opened) continue;
        EXPECT_EQ(r.last, atBoundary ? PcapngReader::Status::End : PcapngReader::Status::Error);
        if (!atBoundary) {
            EXPECT_NE(r.error.find("truncated"), std::string::npos) << r.error;
        }
    }
}

TEST(PcapngReader, BrokenFilesFailWithAReason) {
    auto failure = [](const Bytes& file) {
        const Read r = ReadAllFrames(file);
        EXPECT_EQ(r.last, PcapngReader::Status::Error);
        EXPECT_FALSE(r.error.empty());
        return r.error;
    };
    PcapngBuilder ok;
    ok.Section(false);
    ok.Interface(1);

    // A length past the bound fails before anything that large is read or allocated.
    PcapngBuilder huge = ok;
    huge.Put32(huge.out, 6);
    huge.Put32(huge.out, PcapngReader::kMaxBlockBytes + 4);
    huge.out.resize(huge.out.size() + 64, 0);
    EXPECT_NE(failure(huge.out).find("more than"), std::string::npos);

    PcapngBuilder unknownInterface = ok;
    unknownInterface.Enhanced(1, 0, kEthUdp);
    EXPECT_NE(failure(unknownInterface.out).find("interface 1"), std::string::npos);

    // A captured length beyond the block's end.
    PcapngBuilder overlong = ok;
    overlong.Enhanced(0, 0, kEthUdp);
    const size_t capField = ok.out.size() + 8 + 12;
    overlong.out[capField] = 0xFF;
    EXPECT_NE(failure(overlong.out).find("runs past"), std::string::npos);

    PcapngBuilder tooMany = ok;
    for (size_t i = 0; i < PcapngReader::kMaxInterfacesPerSection; ++i) tooMany.Interface(1);
    EXPECT_NE(failure(tooMany.out).find("interfaces"), std::string::npos);

    PcapngBuilder badResolution;
    badResolution.Section(false);
    badResolution.Interface(1, 0, uint8_t{20});  // 10^-20 s does not fit in 64 bits
    EXPECT_NE(failure(badResolution.out).find("resolution"), std::string::npos);

    PcapngBuilder trailer = ok;
    trailer.Enhanced(0, 0, kEthUdp);
    trailer.out.back() ^= 0x04;
    failure(trailer.out);

    PcapngBuilder noInterface;
    noInterface.Section(false);
    EXPECT_NE(failure(noInterface.out).find("interface"), std::string::npos);
    failure(Bytes{});
    Bytes badMagic{0x0A, 0x0D, 0x0D, 0x0A, 28, 0, 0, 0, 0x4D, 0x3C, 0x2B, 0x1B};
    badMagic.resize(28, 0);
    EXPECT_NE(failure(badMagic).find("byte-order"), std::string::npos);
    EXPECT_NE(failure(Bytes(64, 0x0A)).find("not a pcapng file"), std::string::npos);
    EXPECT_FALSE(PcapngReader::IsPcapng(Bytes{0xD4, 0xC3, 0xB2, 0xA1}));  // a pcap savefile
}

// The capture loop over a pcapng file written to disk.
struct NgRun {
    std::vector<PacketLogEntry> packets;
    DecodeCounts counts;
    std::string loopError;
    int linkType = -1;
    Savefile saved;
    uint64_t leftOut = 0;
    std::string savefileError;
};

NgRun RunPcapng(const Bytes& file, const std::string& filter = {}, bool save = false) {
    TempDir dir;
    NgRun run;
    std::ofstream(dir.File("in.pcapng"), std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    Sniffer sniffer;
    const std::string savePath = save ? dir.File("saved.pcap") : std::string();
    EXPECT_TRUE(sniffer.InitOffline(dir.File("in.pcapng"), filter, savePath)) << sniffer.LastErrorDetail();
    run.linkType = sniffer.LinkType();
    std::mutex m;
    sniffer.Start([](SniffResult) {}, [&](PacketLogEntry e) {
        std::lock_guard<std::mutex> lock(m);
        run.packets.push_back(std::move(e));
    });
    sniffer.WaitLoopEnd();
    run.counts = sniffer.Counters();
    run.loopError = sniffer.LoopError();
    run.leftOut = sniffer.SavefileLeftOut();
    run.savefileError = sniffer.SavefileError();
    sniffer.Stop();
    if (save) run.saved = ReadSavefile(savePath);
    return run;
}

TEST(PcapngCapture, MixedLinkTypesAreDecodedEachWithItsOwn) {
    const NgRun run = RunPcapng(ThreeInterfaces(false).out);
    EXPECT_EQ(run.linkType, kLinkEthernet);  // the first interface's
    EXPECT_EQ(run.loopError, "");
    ASSERT_EQ(run.packets.size(), 4u);
    EXPECT_EQ(run.packets[0].source, "192.0.2.1:5060");
    EXPECT_EQ(run.packets[0].TimeMicros(), int64_t(kSecond) * 1000000 + 250000);
    EXPECT_EQ(run.packets[1].source, "[2001:db8::1]:5060");
    EXPECT_EQ(run.packets[1].destination, "[fd00::5]:5062");
    EXPECT_EQ(run.packets[1].linkType, kLinkRawIpv6);
    EXPECT_EQ(run.packets[1].tsUsec, 123456u);
    EXPECT_EQ(PayloadText(run.packets[1]), "v6");
    EXPECT_EQ(run.packets[2].protocol, "TCP");
    EXPECT_EQ(run.packets[2].source, "10.0.0.5:80");
    EXPECT_EQ(run.packets[2].linkType, kLinkLinuxSll);
    EXPECT_EQ(run.packets[2].tsSec, kSecond + 101);
    EXPECT_EQ(run.packets[2].wireLength, 1500u);
    EXPECT_EQ(run.packets[3].protocol, "Eth 0x806");
    EXPECT_EQ(run.counts.frames, 4u);
    EXPECT_EQ(run.counts.decoded, 3u);
    EXPECT_EQ(run.counts.notMine, 1u);  // the ARP frame
    EXPECT_EQ(run.counts.truncated, 0u);
}

TEST(PcapngCapture, TheFilterAppliesAcrossLinkTypes) {
    const NgRun sip = RunPcapng(ThreeInterfaces(false).out, "udp port 5060");
    ASSERT_EQ(sip.packets.size(), 2u);
    EXPECT_EQ(sip.packets[0].linkType, kLinkEthernet);
    EXPECT_EQ(sip.packets[1].linkType, kLinkRawIpv6);
    EXPECT_EQ(sip.counts.frames, 2u);  // what the filter drops never reaches the loop

    const NgRun tcp = RunPcapng(ThreeInterfaces(false).out, "tcp");
    ASSERT_EQ(tcp.packets.size(), 1u);
    EXPECT_EQ(tcp.packets[0].linkType, kLinkLinuxSll);

    // "arp" means nothing on raw IPv6: those frames can't match, the others still can.
    const NgRun arp = RunPcapng(ThreeInterfaces(false).out, "arp");
    ASSERT_EQ(arp.packets.size(), 1u);
    EXPECT_EQ(arp.packets[0].protocol, "Eth 0x806");

    TempDir dir;
    ASSERT_TRUE(ThreeInterfaces(false).Write(dir.File("f.pcapng")));
    Sniffer sniffer;
    EXPECT_FALSE(sniffer.InitOffline(dir.File("f.pcapng"), "port ("));
    EXPECT_EQ(sniffer.LastError(), StartError::FilterRejected);
}

TEST(PcapngCapture, ACutFileEndsWithAReadErrorAfterItsWholeFrames) {
    PcapngBuilder b = ThreeInterfaces(true);
    b.out.resize(b.out.size() - 10);
    const NgRun run = RunPcapng(b.out);
    EXPECT_EQ(run.packets.size(), 3u);
    EXPECT_NE(run.loopError.find("truncated"), std::string::npos) << run.loopError;
}

TEST(PcapngCapture, TheSavefileKeepsTheFirstLinkTypeAndCountsTheRest) {
    const NgRun run = RunPcapng(ThreeInterfaces(false).out, {}, true);
    ASSERT_TRUE(run.saved.ok);
    EXPECT_EQ(run.saved.linkType, kLinkEthernet);
    ASSERT_EQ(run.saved.records.size(), 2u);
    EXPECT_EQ(run.saved.records[0].bytes, kEthUdp);
    EXPECT_EQ(run.saved.records[0].tsUsec, 250000u);
    EXPECT_EQ(run.saved.records[1].bytes, kArp);
    EXPECT_EQ(run.leftOut, 2u);
    EXPECT_FALSE(run.savefileError.empty());
    EXPECT_EQ(run.packets.size(), 4u);  // the savefile's limits never reach the decoder

    PcapngBuilder one;
    one.Section(false);
    one.Interface(1);
    one.Enhanced(0, 1, kEthUdp);
    const NgRun single = RunPcapng(one.out, {}, true);
    EXPECT_EQ(single.saved.records.size(), 1u);
    EXPECT_EQ(single.leftOut, 0u);
    EXPECT_EQ(single.savefileError, "");
}

TEST(PcapngCapture, ARawIpv6SavefileDecodes) {
    TempDir dir;
    ASSERT_TRUE(WriteSavefile(dir.File("v6.pcap"), kLinkRawIpv6, {{1, 2, 0, kRawUdp6}}));
    Sniffer sniffer;
    ASSERT_TRUE(sniffer.InitOffline(dir.File("v6.pcap")));
    EXPECT_EQ(sniffer.LinkType(), kLinkRawIpv6);
    EXPECT_TRUE(IsSupportedLinkType(sniffer.LinkType()));
    std::vector<PacketLogEntry> packets;
    sniffer.Start([](SniffResult) {}, [&](PacketLogEntry e) { packets.push_back(std::move(e)); });
    sniffer.WaitLoopEnd();
    sniffer.Stop();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].source, "[2001:db8::1]:5060");
    EXPECT_EQ(packets[0].protocol, "UDP");
}

}  // namespace
