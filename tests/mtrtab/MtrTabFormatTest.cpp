// Cell texts and colours of the MTR results table.
#include <gtest/gtest.h>

#include "mtr/view/MtrTabFormat.h"

namespace {

void ExpectColor(const ImVec4& expected, const ImVec4& actual, const char* what) {
    EXPECT_FLOAT_EQ(expected.x, actual.x) << what;
    EXPECT_FLOAT_EQ(expected.y, actual.y) << what;
    EXPECT_FLOAT_EQ(expected.z, actual.z) << what;
    EXPECT_FLOAT_EQ(expected.w, actual.w) << what;
}

HopStats Unanswered(int sent) {
    HopStats hop;
    hop.host = "???";
    hop.sent = sent;
    return hop;
}

}  // namespace

TEST(MtrTabFormat, JitterScaleBoundaries) {
    ExpectColor(kMtrGreen, MtrJitterColor(0.0), "0.00");
    ExpectColor(kMtrGreen, MtrJitterColor(3.99), "3.99");
    ExpectColor(kMtrPaleYellow, MtrJitterColor(4.00), "4.00");
    ExpectColor(kMtrPaleYellow, MtrJitterColor(9.99), "9.99");
    ExpectColor(kMtrOrange, MtrJitterColor(10.00), "10.00");
    ExpectColor(kMtrOrange, MtrJitterColor(19.99), "19.99");
    ExpectColor(kMtrLightRed, MtrJitterColor(20.00), "20.00");
    ExpectColor(kMtrLightRed, MtrJitterColor(250.0), "250");
}

TEST(MtrTabFormat, LossAndLostAreRedOnlyAboveZero) {
    EXPECT_FALSE(MtrLossColor(0.0).has_value());
    ASSERT_TRUE(MtrLossColor(3.3).has_value());
    ExpectColor(kMtrRed, *MtrLossColor(3.3), "3.3%");
    // A loss too small to show in one decimal is still a loss.
    ASSERT_TRUE(MtrLossColor(0.01).has_value());

    EXPECT_FALSE(MtrLostColor(0).has_value());
    ASSERT_TRUE(MtrLostColor(1).has_value());
    ExpectColor(kMtrRed, *MtrLostColor(1), "lost 1");
}

TEST(MtrTabFormat, LossPercentCountsPendingProbesAsSentOnly) {
    HopStats hop;
    EXPECT_DOUBLE_EQ(0.0, HopLossPercent(hop));  // nothing sent: no division by zero
    hop.sent = 30;
    hop.received = 28;
    hop.lost = 1;  // one still pending
    EXPECT_NEAR(3.333, HopLossPercent(hop), 0.001);
    hop.lost = 30;
    hop.received = 0;
    EXPECT_DOUBLE_EQ(100.0, HopLossPercent(hop));
}

TEST(MtrTabFormat, UnansweredHopRow) {
    const auto cells = MtrRowCells(7, Unanswered(3));
    const char* expected[kMtrTableColumns] = {"7",      "???",    "0.0%",      "3",
                                              "0",      "0",      "0.0 ms",    "0.0 ms",
                                              "9999.0 ms", "0.0 ms", "0.00 ms", "-", "-"};
    for (int c = 0; c < kMtrTableColumns; ++c) EXPECT_EQ(expected[c], cells[c].text) << kMtrTableHeaders[c];
    EXPECT_FALSE(cells[2].color.has_value()) << "0.0% is drawn in the default colour";
    EXPECT_FALSE(cells[5].color.has_value()) << "no lost probe: default colour";
    ASSERT_TRUE(cells[4].color.has_value());
    ExpectColor(kMtrGreen, *cells[4].color, "Rec is always green");
    ASSERT_TRUE(cells[10].color.has_value());
    ExpectColor(kMtrGreen, *cells[10].color, "zero jitter");
    for (int c : {0, 1, 3, 6, 7, 8, 9, kMtrMosColumn}) EXPECT_FALSE(cells[c].color.has_value()) << kMtrTableHeaders[c];
}

TEST(MtrTabFormat, AnsweredHopRowFormats) {
    HopStats hop;
    hop.host = "10.200.2.2";
    hop.sent = 30;
    hop.received = 29;
    hop.lost = 1;
    hop.lastMs = 14.46;
    hop.avgMs = 13.5;
    hop.bestMs = 12.5;
    hop.worstMs = 30.04;
    hop.jitterMs = 12.126;
    const auto cells = MtrRowCells(2, hop);
    EXPECT_EQ("2", cells[0].text);
    EXPECT_EQ("10.200.2.2", cells[1].text);
    EXPECT_EQ("3.3%", cells[2].text);
    ASSERT_TRUE(cells[2].color.has_value());
    ExpectColor(kMtrRed, *cells[2].color, "loss");
    EXPECT_EQ("30", cells[3].text);
    EXPECT_EQ("29", cells[4].text);
    EXPECT_EQ("1", cells[5].text);
    ASSERT_TRUE(cells[5].color.has_value());
    EXPECT_EQ("14.5 ms", cells[6].text);
    EXPECT_EQ("13.5 ms", cells[7].text);
    EXPECT_EQ("12.5 ms", cells[8].text);
    EXPECT_EQ("30.0 ms", cells[9].text);
    EXPECT_EQ("12.13 ms", cells[10].text);
    ExpectColor(kMtrOrange, *cells[10].color, "jitter 12.126");
}

TEST(MtrTabFormat, ProtocolComboLabelsAndCommandLineNamesAreOneList) {
    EXPECT_STREQ(kProbeProtocolLabels[kProbeUdp], "UDP");
    EXPECT_STREQ(kProbeProtocolLabels[kProbeIcmp], "ICMP");
    EXPECT_STREQ(kProbeProtocolLabels[kProbeTcp], "TCP");
    for (int32_t p : {kProbeUdp, kProbeIcmp, kProbeTcp}) EXPECT_EQ(ProbeProtocolFromName(ProbeProtocolName(p)), p);
    EXPECT_EQ(ProbeProtocolName(kProbeTcp), "tcp");
    EXPECT_FALSE(ProbeProtocolFromName("UDP").has_value());  // options are lower case
    EXPECT_FALSE(ProbeProtocolFromName("sctp").has_value());
    EXPECT_EQ(MtrPcapFileName("08122026_101500", kProbeIcmp), "08122026_101500_icmp.pcap");
}

TEST(MtrTabFormat, MosScale) {
    EXPECT_FALSE(MtrMosColor(std::nullopt).has_value());
    ExpectColor(kMtrGreen, *MtrMosColor(4.41), "4.41");
    ExpectColor(kMtrGreen, *MtrMosColor(4.0), "4.0");
    ExpectColor(kMtrPaleYellow, *MtrMosColor(3.99), "3.99");
    ExpectColor(kMtrOrange, *MtrMosColor(3.5), "3.5");
    ExpectColor(kMtrLightRed, *MtrMosColor(3.09), "3.09");
    HopStats hop = Unanswered(3);
    EXPECT_EQ("-", MtrRowCells(1, hop)[kMtrMosColumn].text);
    hop.received = 3;
    hop.avgMs = 20.0;
    const auto cells = MtrRowCells(1, hop);
    EXPECT_EQ("4.40", cells[kMtrMosColumn].text);  // 10 ms one way, no loss
    ExpectColor(kMtrGreen, *cells[kMtrMosColumn].color, "clean hop");
}

TEST(MtrTabFormat, HistoryBucketsSpreadTheWindowAndKeepEveryLoss) {
    HopHistory h;
    EXPECT_TRUE(MtrHistoryBuckets(h, 0).empty());
    ASSERT_EQ(MtrHistoryBuckets(h, 5).size(), 5u);
    for (const auto& b : MtrHistoryBuckets(h, 5)) EXPECT_FALSE(b.answered || b.lost);

    // Three probes over 5 columns: left edge, middle, right edge; the waiting one draws nothing.
    for (int i = 0; i < 3; ++i) h.Push(i * 10'000'000);
    h.Settle(0, 4.0f);
    h.Settle(1, kHopSampleLost);
    auto b = MtrHistoryBuckets(h, 5);
    EXPECT_TRUE(b[0].answered);
    EXPECT_FLOAT_EQ(b[0].maxMs, 4.0f);
    EXPECT_TRUE(b[2].lost);
    EXPECT_FALSE(b[2].answered);
    EXPECT_FALSE(b[4].answered || b[4].lost);
    EXPECT_FALSE(b[1].answered || b[1].lost || b[3].answered || b[3].lost);

    // A full window over fewer columns than probes: each column holds the slowest of its
    // probes, and a single lost probe still marks its column.
    HopHistory full;
    for (size_t i = 0; i < kMtrHistoryLength; ++i) {
        full.Push(static_cast<int64_t>(i) * 10'000'000);
        full.Settle(i, i == 301 ? kHopSampleLost : static_cast<float>(i % 10));
    }
    b = MtrHistoryBuckets(full, 100);
    int lossColumns = 0;
    for (const auto& x : b) {
        EXPECT_TRUE(x.answered);
        EXPECT_LE(x.maxMs, 9.0f);
        lossColumns += x.lost;
    }
    EXPECT_EQ(lossColumns, 1);
    EXPECT_TRUE(b[301 * 99 / 599].lost);
    EXPECT_FLOAT_EQ(b[0].maxMs, 6.0f);  // probes 0..6 share the first column

    const MtrHistorySummary sum = MtrHistorySummaryOf(full);
    EXPECT_EQ(sum.answered, 599);
    EXPECT_EQ(sum.lost, 1);
    EXPECT_FLOAT_EQ(sum.minMs, 0.0f);
    EXPECT_FLOAT_EQ(sum.maxMs, 9.0f);
    EXPECT_NEAR(sum.avgMs, (4.5 * 600 - 1) / 599, 1e-4);  // probe 301 (1 ms) was lost
    EXPECT_EQ(sum.firstTicks, 0);
    EXPECT_EQ(sum.lastTicks, 5'990'000'000);
}
