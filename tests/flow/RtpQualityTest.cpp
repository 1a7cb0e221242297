// Stream statistics, RTCP reports and the quality estimate, on packets built byte by byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "flow/Rtcp.h"
#include "flow/RtpStreamStats.h"
#include "flow/StreamReport.h"
#include "quality/EModel.h"

namespace {
Endpoint Ep(const char* text) { return Endpoint::Parse(text).value(); }
}  // namespace

namespace {

std::vector<uint8_t> RtpBytes(uint8_t pt, uint16_t seq, uint32_t ts, uint32_t ssrc, size_t payload = 160) {
    std::vector<uint8_t> p(12 + payload, 0xD5);
    p[0] = 0x80;
    p[1] = pt;
    p[2] = uint8_t(seq >> 8);
    p[3] = uint8_t(seq);
    for (int i = 0; i < 4; ++i) {
        p[4 + i] = uint8_t(ts >> (24 - 8 * i));
        p[8 + i] = uint8_t(ssrc >> (24 - 8 * i));
    }
    return p;
}

void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (24 - 8 * i)));
}

struct Block {
    uint32_t ssrc;
    uint8_t fraction;
    int32_t cumulative;
    uint32_t highest, jitter, lsr, dlsr;
};

// One SR (with sender info) or RR packet.
std::vector<uint8_t> RtcpBytes(bool sr, uint32_t sender, const std::vector<Block>& blocks, uint64_t ntp = 0,
                               uint32_t packetCount = 0) {
    std::vector<uint8_t> v;
    const size_t words = (sr ? 28 : 8) / 4 + blocks.size() * 6 - 1;
    v.push_back(uint8_t(0x80 | blocks.size()));
    v.push_back(sr ? 200 : 201);
    v.push_back(uint8_t(words >> 8));
    v.push_back(uint8_t(words));
    Put32(v, sender);
    if (sr) {
        Put32(v, uint32_t(ntp >> 32));
        Put32(v, uint32_t(ntp));
        Put32(v, 12345);
        Put32(v, packetCount);
        Put32(v, packetCount * 160);
    }
    for (const Block& b : blocks) {
        Put32(v, b.ssrc);
        const uint32_t lost = uint32_t(b.cumulative) & 0xFFFFFF;
        Put32(v, (uint32_t(b.fraction) << 24) | lost);
        Put32(v, b.highest);
        Put32(v, b.jitter);
        Put32(v, b.lsr);
        Put32(v, b.dlsr);
    }
    return v;
}

const std::vector<SdpRtpMap> kNoMaps;

// Adds packet `seq` of a 20 ms, 8 kHz stream with its ideal arrival plus `lateMs`.
void AddAt(RtpStreamTable& table, uint16_t seq, uint32_t index, double lateMs = 0, uint8_t pt = 8,
           uint32_t ssrc = 0x11223344, const std::vector<SdpRtpMap>& maps = kNoMaps) {
    auto bytes = RtpBytes(pt, seq, 1000 + index * 160, ssrc);
    table.AddRtp(Ep("10.0.0.1:4000"), Ep("10.0.0.2:5000"), bytes, 100.0 + index * 0.020 + lateMs / 1000.0, "call", maps);
}

TEST(RtpStreamStatsTest, SequenceWrapReorderingAndDuplicates) {
    RtpStreamTable table;
    // Numbers 65530 .. 65535, 0 .. 13 (20 expected). 65533 and 2 are lost, 65535 and 0 swap
    // places, 5 arrives twice, 9 arrives after 12.
    const uint32_t first = 65530;
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < 20; ++i) order.push_back(i);
    std::swap(order[5], order[6]);                        // 65535 <-> 0
    order.erase(order.begin() + 3);                       // 65533
    order.erase(std::find(order.begin(), order.end(), 8u));  // 2
    order.insert(std::find(order.begin(), order.end(), 11u) + 1, 11u);  // 5 twice
    auto nine = std::find(order.begin(), order.end(), 15u);
    order.erase(nine);
    order.insert(std::find(order.begin(), order.end(), 18u) + 1, 15u);  // 9 after 12
    for (uint32_t i : order) AddAt(table, uint16_t(first + i), i);

    auto reports = table.Reports();
    ASSERT_EQ(reports.size(), 1u);
    const RtpStreamReport& r = reports[0];
    EXPECT_EQ(r.packets, 19u);
    EXPECT_EQ(r.expected, 20u);
    EXPECT_EQ(r.lost, 2);
    EXPECT_DOUBLE_EQ(r.lossPercent, 10.0);
    EXPECT_EQ(r.duplicates, 1u);
    EXPECT_EQ(r.outOfOrder, 2u);  // 65535 after 0, 9 after 12
    EXPECT_EQ(r.codec, "G711a");
    EXPECT_EQ(r.payloadType, 8);
}

TEST(RtpStreamStatsTest, JumpsOldPacketsAndRestarts) {
    RtpStreamStats s;
    RtpPayloadInfo g711{"G711a", 8000, true};
    auto add = [&](uint16_t seq, double t) {
        RtpHeader h;
        h.payloadType = 8;
        h.sequence = seq;
        h.timestamp = seq * 160u;
        s.Add(h, t, g711);
    };
    add(10, 0.00);
    add(9, 0.02);   // late packet from before the first one: extends the range backwards
    add(11, 0.04);
    EXPECT_EQ(s.Expected(), 3u);
    EXPECT_EQ(s.Lost(), 0);
    // One packet far ahead is a stray: not counted as a gap of thousands.
    add(30000, 0.06);
    EXPECT_EQ(s.Expected(), 3u);
    // A second in sequence after it: the source restarted its numbering.
    add(30001, 0.08);
    add(30002, 0.10);
    EXPECT_EQ(s.Expected(), 3u + 2u);
    EXPECT_EQ(s.Lost(), 0);
    EXPECT_EQ(s.Packets(), 6u);
    // Another restart, at 0: numbers seen before it are no duplicates of the new ones, even
    // of a late one from before the restart (65534 shares a slot of the duplicate window with
    // 30718).
    for (uint16_t seq = 30003; seq <= 30725; ++seq) add(seq, 0.10);
    add(65535, 0.12);
    for (uint16_t seq : {0, 1, 2, 3, 4, 6, 5, 65534}) add(seq, 0.14);
    EXPECT_EQ(s.Duplicates(), 0u);
    EXPECT_EQ(s.OutOfOrder(), 3u);  // 9 at the start, 5 and 65534 here
}

TEST(RtpStreamStatsTest, JitterFollowsA8WithThePayloadClock) {
    RtpStreamTable table;
    for (uint32_t i = 0; i < 10; ++i) AddAt(table, uint16_t(i), i, i == 5 ? 10.0 : 0.0);
    RtpStreamReport r = table.Reports()[0];
    // Packet 5 ten ms late: |D| = 80 units, J = 80/16 = 5 units; packet 6: |D| = 80 again,
    // J = 5 + 75/16 = 9.6875 units; then J decays by 15/16 per packet. 8 kHz: 1 unit = 0.125 ms.
    EXPECT_NEAR(r.maxJitterMs, 9.6875 * 0.125, 1e-9);
    const double j6 = 9.6875, j7 = j6 * 15 / 16, j8 = j7 * 15 / 16, j9 = j8 * 15 / 16;
    EXPECT_NEAR(r.meanJitterMs, (5 + j6 + j7 + j8 + j9) * 0.125 / 9, 1e-9);
    EXPECT_NEAR(r.maxDeltaMs, 30.0, 1e-6);
    EXPECT_NEAR(r.minDeltaMs, 10.0, 1e-6);
    EXPECT_NEAR(r.meanDeltaMs, 20.0, 1e-6);

    // A dynamic type at 16 kHz from the SDP: the same delay is twice as many units.
    RtpStreamTable wide;
    const std::vector<SdpRtpMap> maps = ReadSdpRtpMaps("m=audio 4000 RTP/AVP 96\r\na=rtpmap:96 opus/16000/1\r\n");
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].clockRate, 16000u);
    for (uint32_t i = 0; i < 7; ++i) {
        auto bytes = RtpBytes(96, uint16_t(i), i * 320, 7);
        wide.AddRtp(Ep("10.9.0.1:1"), Ep("10.9.0.2:2"), bytes, i * 0.020 + (i == 5 ? 0.010 : 0.0), "c", maps);
    }
    RtpStreamReport w = wide.Reports()[0];
    EXPECT_NEAR(w.maxJitterMs, (160.0 / 16 + (160.0 - 160.0 / 16) / 16) / 16.0, 1e-9);
    EXPECT_EQ(w.codec, "opus");
    EXPECT_FALSE(w.mosAdaptive.has_value());  // no impairment values for this codec
}

TEST(RtpStreamStatsTest, EventsAndComfortNoiseKeepSequenceButNotJitter) {
    RtpStreamTable table;
    for (uint32_t i = 0; i < 20; ++i) {
        if (i >= 8 && i < 12) {
            // telephone-event: every packet of one event carries the event's start time
            auto bytes = RtpBytes(101, uint16_t(i), 1000 + 8 * 160, 0x11223344, 4);
            table.AddRtp(Ep("10.0.0.1:4000"), Ep("10.0.0.2:5000"), bytes, 100.0 + i * 0.020, "call", kNoMaps);
        } else if (i == 15) {
            AddAt(table, uint16_t(i), i, 0, 13);  // comfort noise
        } else {
            AddAt(table, uint16_t(i), i);
        }
    }
    auto reports = table.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].expected, 20u);
    EXPECT_EQ(reports[0].lost, 0);
    EXPECT_EQ(reports[0].codec, "G711a");
    EXPECT_NEAR(reports[0].maxJitterMs, 0.0, 1e-6);
    EXPECT_EQ(reports[0].lateAdaptive, 0u);

    // A new SSRC on the same addresses is a new stream.
    AddAt(table, 500, 21, 0, 8, 0x55667788);
    EXPECT_EQ(table.Reports().size(), 2u);
}

TEST(RtpStreamStatsTest, JitterBufferDropsLatePackets) {
    // One packet 60 ms late: beyond the fixed 50 ms and beyond the adaptive buffer, which
    // had no jitter to grow on.
    RtpStreamTable spike;
    for (uint32_t i = 0; i < 100; ++i) AddAt(spike, uint16_t(i), i, i == 50 ? 60.0 : 0.0);
    RtpStreamReport s = spike.Reports()[0];
    EXPECT_EQ(s.lateFixed, 1u);
    EXPECT_EQ(s.lateAdaptive, 1u);
    EXPECT_EQ(s.lost, 0);
    ASSERT_TRUE(s.mosNetwork && s.mosFixed && s.mosAdaptive);
    EXPECT_LT(*s.mosFixed, *s.mosNetwork);

    // Steady heavy jitter (every other packet 70 ms late): the adaptive buffer grows to
    // hold it and drops far fewer packets than the fixed one.
    RtpStreamTable heavy;
    for (uint32_t i = 0; i < 200; ++i) AddAt(heavy, uint16_t(i), i, (i % 2) ? 70.0 : 0.0);
    RtpStreamReport h = heavy.Reports()[0];
    EXPECT_EQ(h.lateFixed, 100u);
    EXPECT_LT(h.lateAdaptive, 10u);
    EXPECT_GT(*h.mosAdaptive, *h.mosFixed);

    // Ten minutes from a sender whose clock runs 200 ppm slow: 120 ms of drift, which the
    // receiver follows; nothing is late.
    RtpStreamTable drift;
    for (uint32_t i = 0; i < 30000; ++i) AddAt(drift, uint16_t(i), i, i * 0.004);
    EXPECT_EQ(drift.Reports()[0].lateFixed, 0u);
    EXPECT_EQ(drift.Reports()[0].lateAdaptive, 0u);
}

// 5-second intervals from the first packet: a burst of loss, a late packet and a silence of
// seven seconds each land in their own interval, the burst's is the worst, and the figures
// of the intervals add up to the stream's.
TEST(RtpStreamStatsTest, IntervalsOfFiveSecondsAndTheWorstOne) {
    RtpStreamTable t;
    uint32_t index = 0;
    for (; index < 250; ++index) AddAt(t, uint16_t(index), index);                   // 0-5 s: clean
    for (; index < 500; ++index)
        if (index < 300 || index >= 320) AddAt(t, uint16_t(index), index, index == 400 ? 60.0 : 0.0);  // 20 lost, 1 late
    index += 350;                                                                   // 7 s of silence
    for (uint32_t k = 0; k < 100; ++k, ++index) AddAt(t, uint16_t(index - 350), index);
    const RtpStreamReport r = t.Reports()[0];
    ASSERT_EQ(r.intervals.size(), 3u);
    EXPECT_EQ(r.intervals[0].figures.index, 0u);
    EXPECT_EQ(r.intervals[0].figures.packets, 250u);
    EXPECT_EQ(r.intervals[0].figures.lost, 0);
    EXPECT_EQ(r.intervals[1].figures.index, 1u);
    EXPECT_EQ(r.intervals[1].figures.lost, 20);
    EXPECT_EQ(r.intervals[1].figures.lateFixed, 1u);
    EXPECT_EQ(r.intervals[2].figures.index, 3u) << "the silence leaves interval 2 out";
    uint64_t packets = 0;
    int64_t lost = 0;
    for (const auto& iv : r.intervals) {
        packets += iv.figures.packets;
        lost += iv.figures.lost;
        ASSERT_TRUE(iv.mos);
    }
    EXPECT_EQ(packets, r.packets);
    EXPECT_EQ(lost, r.lost);
    EXPECT_LT(*r.intervals[1].mos, *r.intervals[0].mos);
    ASSERT_TRUE(r.worstInterval);
    EXPECT_EQ(r.worstInterval->figures.index, 1u);
    const std::string line = IntervalListLine(r, r.intervals[1]);
    EXPECT_EQ(line.rfind("call;10.0.0.1:4000;10.0.0.2:5000;0x11223344;5;230;250;20;1;8.00;0.40;", 0), 0u) << line;
}

TEST(EModelTest, G711MatchesHandComputedValues) {
    const emodel::CodecImpairment g711 = *emodel::ImpairmentFor("G711a");
    // 100 ms: Id = 2.4. Ie,eff = 95 P / (P + 25.1).
    EXPECT_NEAR(emodel::RFactor(g711, 0, 100), 90.8, 1e-9);
    EXPECT_NEAR(emodel::EstimateMos(g711, 0), 4.3581, 1e-4);
    EXPECT_NEAR(emodel::RFactor(g711, 1, 100), 93.2 - 2.4 - 95.0 / 26.1, 1e-9);
    EXPECT_NEAR(emodel::EstimateMos(g711, 1), 4.2634, 1e-4);
    EXPECT_NEAR(emodel::EstimateMos(g711, 5), 3.8227, 1e-4);
    double previous = 5;
    for (double loss : {0.0, 0.5, 1.0, 2.0, 5.0, 10.0, 20.0}) {
        const double mos = emodel::EstimateMos(g711, loss);
        EXPECT_LT(mos, previous) << loss;
        previous = mos;
    }
    // Delay beyond 177.3 ms costs 0.11 more per ms.
    EXPECT_NEAR(emodel::DelayImpairment(277.3), 0.024 * 277.3 + 11.0, 1e-9);
    EXPECT_DOUBLE_EQ(emodel::MosFromR(-5), 1.0);
    EXPECT_DOUBLE_EQ(emodel::MosFromR(120), 4.5);
    // Near-total loss gives a small positive R, where the cubic alone falls below 1.
    for (double r = 0; r <= 100; r += 0.5) EXPECT_GE(emodel::MosFromR(r), 1.0) << "R " << r;
    EXPECT_LT(emodel::EstimateMos(*emodel::ImpairmentFor("G729"), 0), emodel::EstimateMos(g711, 0));
    EXPECT_FALSE(emodel::ImpairmentFor("Dyn"));
}

TEST(RtcpTest, SenderAndReceiverReportsFromBytes) {
    const uint64_t ntp = (uint64_t(0x83AA7E80) << 32) | 0x40000000u;
    std::vector<uint8_t> compound =
        RtcpBytes(true, 0xAABBCCDD, {{0x11223344, 64, -3, 70000, 80, 0x7E804000, 0x8000}}, ntp, 500);
    // An SDES chunk after it is stepped over; an RR follows.
    const std::vector<uint8_t> sdes = {0x81, 202, 0x00, 0x01, 0, 0, 0, 0};
    compound.insert(compound.end(), sdes.begin(), sdes.end());
    auto rr = RtcpBytes(false, 0x01020304, {{0x55, 0, 1000, 1, 2, 0, 0}});
    compound.insert(compound.end(), rr.begin(), rr.end());

    ASSERT_TRUE(LooksLikeRtcp(compound));
    auto reports = ReadRtcpCompound(compound);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].packetType, kRtcpSenderReport);
    EXPECT_EQ(reports[0].senderSsrc, 0xAABBCCDDu);
    EXPECT_EQ(reports[0].ntpTimestamp, ntp);
    EXPECT_EQ(reports[0].senderPacketCount, 500u);
    ASSERT_EQ(reports[0].blocks.size(), 1u);
    const RtcpReportBlock& b = reports[0].blocks[0];
    EXPECT_EQ(b.ssrc, 0x11223344u);
    EXPECT_EQ(b.fractionLost, 64);
    EXPECT_EQ(b.cumulativeLost, -3);
    EXPECT_EQ(b.highestSequence, 70000u);
    EXPECT_EQ(b.jitter, 80u);
    EXPECT_EQ(b.lastSr, 0x7E804000u);
    EXPECT_EQ(reports[1].packetType, kRtcpReceiverReport);
    EXPECT_EQ(reports[1].blocks.at(0).cumulativeLost, 1000);
    EXPECT_EQ(NtpMiddle(ntp), 0x7E804000u);

    // A length running past the end stops the walk with what was whole; a report count
    // that does not fit its packet is refused.
    std::vector<uint8_t> cut(compound.begin(), compound.end() - 4);
    EXPECT_EQ(ReadRtcpCompound(cut).size(), 1u);
    std::vector<uint8_t> lying = RtcpBytes(false, 1, {});
    lying[0] = 0x83;
    EXPECT_TRUE(ReadRtcpCompound(lying).empty());
    EXPECT_FALSE(LooksLikeRtcp(RtpBytes(8, 1, 1, 1)));
    EXPECT_FALSE(ReadRtpHeader(compound));

    // 1.5 s between SR and report, DLSR 1 s: 500 ms.
    EXPECT_NEAR(*RoundTripMs(0x7E804000u + 0x18000u, 0x7E804000u, 0x10000u), 500.0, 1e-9);
    EXPECT_FALSE(RoundTripMs(5, 10, 0));
    EXPECT_FALSE(RoundTripMs(5, 0, 0));
}

TEST(RtcpTest, ReportsAttachToTheirStreamWithRoundTrip) {
    RtpStreamTable table;
    for (uint32_t i = 0; i < 50; ++i) AddAt(table, uint16_t(i), i);  // 10.0.0.1 -> 10.0.0.2
    const uint64_t ntp = (uint64_t(3900000000u) << 32);
    // SR from the stream's source at t = 101.0, report from its receiver 120 ms later that
    // held the SR for 50 ms: round trip 70 ms.
    auto sr = RtcpBytes(true, 0x11223344, {}, ntp, 50);
    ASSERT_TRUE(table.AddRtcp(Ep("10.0.0.1:4001").address, sr, 101.0));
    auto rr = RtcpBytes(false, 0x99, {{0x11223344, 26, 4, 49, 160, NtpMiddle(ntp), uint32_t(0.050 * 65536)}});
    ASSERT_TRUE(table.AddRtcp(Ep("10.0.0.2:5001").address, rr, 101.120));
    // A report about the same SSRC from an address that does not receive it is ignored.
    auto stray = RtcpBytes(false, 0x98, {{0x11223344, 255, 999, 0, 0, 0, 0}});
    table.AddRtcp(Ep("10.9.9.9:7001").address, stray, 101.2);
    EXPECT_FALSE(table.AddRtcp(Ep("10.0.0.2:5001").address, RtpBytes(8, 1, 1, 1), 102.0));

    RtpStreamReport r = table.Reports()[0];
    ASSERT_TRUE(r.rtcp);
    EXPECT_EQ(r.rtcp->reports, 1u);
    EXPECT_EQ(r.rtcp->senderReports, 1u);
    EXPECT_EQ(r.rtcp->senderPacketCount, 50u);
    EXPECT_NEAR(r.rtcp->fractionLostPercent, 26 * 100.0 / 256, 1e-9);
    EXPECT_EQ(r.rtcp->cumulativeLost, 4);
    EXPECT_NEAR(r.rtcp->jitterMs, 20.0, 1e-9);
    ASSERT_TRUE(r.rtcp->roundTripMs);
    EXPECT_NEAR(*r.rtcp->roundTripMs, 70.0, 0.05);  // DLSR is in 1/65536 s
    EXPECT_TRUE(r.delayFromRtcp);
    EXPECT_NEAR(r.oneWayDelayMs, 35.0, 0.05);
    ASSERT_TRUE(r.mosAdaptive);
    EXPECT_NEAR(*r.mosAdaptive, emodel::EstimateMos(*emodel::ImpairmentFor("G711a"), 0, 35.0), 1e-3);
}

}  // namespace


namespace {

TEST(StreamReportTest, ListLineReportTextAndMosBands) {
    RtpStreamTable table;
    for (uint32_t i = 0; i < 100; ++i)
        if (i != 40) AddAt(table, uint16_t(i), i);
    for (uint32_t i = 0; i < 100; ++i) {
        auto bytes = RtpBytes(8, uint16_t(i), i * 160, 0xABCDEF01);
        table.AddRtp(Ep("10.0.0.2:5000"), Ep("10.0.0.1:4000"), bytes, 100.0 + i * 0.020, "call;x", kNoMaps);
    }
    const std::vector<RtpStreamReport> all = table.Reports();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(StreamListHeaderLine(),
              "call_id;source;destination;ssrc;payload_type;codec;packets;expected;lost;loss_pct;duplicates;"
              "max_delta_ms;mean_jitter_ms;max_jitter_ms;mos\n");
    const double mos = *all[0].mosAdaptive;
    EXPECT_EQ(StreamListLine(all[0]), "call;10.0.0.1:4000;10.0.0.2:5000;0x11223344;8;G711a;99;100;1;1.00;0;40.000;"
                                      "0.000;0.000;" + MosText(mos) + "\n");
    // A Call-ID with the separator in it is quoted, so the columns stay in place.
    EXPECT_EQ(StreamListLine(all[1]).rfind("\"call;x\";10.0.0.2:5000;", 0), 0u);

    EXPECT_EQ(ReverseStream(all[0], all), &all[1]);
    const std::string text = StreamReportText(all[0], ReverseStream(all[0], all));
    EXPECT_NE(text.find("MOS (estimado)"), std::string::npos);
    EXPECT_NE(text.find("0x11223344"), std::string::npos);
    EXPECT_NE(text.find("0xABCDEF01"), std::string::npos);  // both directions side by side
    EXPECT_EQ(text.find("RTCP"), text.find("RTCP perda"));    // no RTCP rows without reports

    EXPECT_EQ(WorstMos(all), std::min(*all[0].mosAdaptive, *all[1].mosAdaptive));
    EXPECT_FALSE(WorstMos({}));
    EXPECT_EQ(MosBand(4.0), 0);
    EXPECT_EQ(MosBand(3.996), 0);  // shown as 4.00
    EXPECT_EQ(MosBand(3.99), 1);
    EXPECT_EQ(MosBand(3.6), 1);
    EXPECT_EQ(MosBand(3.59), 2);
    EXPECT_EQ(StreamLabelSuffix(all[0]), " | perda 1.0% | jitter 0.0 ms");
}

}  // namespace

namespace {

TEST(RtpStreamTableTest, OldestStreamsGoPastTheBound) {
    RtpStreamTable table;
    auto add = [&](uint32_t ssrc, uint16_t seq) {
        auto bytes = RtpBytes(8, seq, seq * 160u, ssrc, 20);
        table.AddRtp(Ep("10.0.0.1:4000"), Ep("10.0.0.2:5000"), bytes, seq * 0.02, "c", kNoMaps);
    };
    for (uint32_t i = 0; i < RtpStreamTable::kMaxStreams; ++i) add(i, 1);
    EXPECT_EQ(table.Size(), RtpStreamTable::kMaxStreams);
    add(RtpStreamTable::kMaxStreams, 1);  // one more: the oldest block goes
    EXPECT_EQ(table.Size(), RtpStreamTable::kMaxStreams - RtpStreamTable::kTrimBlock + 1);
    // Streams kept still find their own entry after the re-indexing.
    add(RtpStreamTable::kMaxStreams - 1, 2);
    add(RtpStreamTable::kMaxStreams, 2);
    const auto reports = table.Reports();
    EXPECT_EQ(reports.size(), table.Size());
    EXPECT_EQ(reports.front().ssrc, RtpStreamTable::kTrimBlock);
    EXPECT_EQ(reports.back().packets, 2u);
    EXPECT_EQ(reports[reports.size() - 2].packets, 2u);
}

}  // namespace
