// `orvanta-cli flow --read FILE --streams` against ground truth: tshark's rtp,streams report
// on the fixture captures and on the synthetic office capture, and the generator's manifest
// (packets captured and lost per stream; some streams wrap their sequence numbers).
//
// Comparison rules, for every stream tshark reports:
//  - packets equal;
//  - tshark's lost is expected minus every packet received, repeats included, so it equals
//    our lost minus our duplicates;
//  - max delta within 0.002 ms (both print three decimals);
//  - mean and max jitter within 0.002 ms, except in streams carrying telephone-events: tshark
//    runs the jitter estimate over the event packets too (each repeats its start time stamp),
//    this tool deliberately does not, so there only ours must not be larger.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "lib/TestSupport.h"

using testsupport::CommandResult;
using testsupport::RunCommand;

namespace {

const std::string kCli = std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli";
constexpr double kTimeTolerance = 0.002;

struct Stream {
    std::string callId;
    long long packets = 0, expected = 0, lost = 0, duplicates = 0;
    double maxDelta = 0, meanJitter = 0, maxJitter = 0;
    std::string mos;
    bool events = false;
};

std::vector<std::string> Split(const std::string& line, char sep) {
    std::vector<std::string> out;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, sep)) out.push_back(field);
    if (!line.empty() && line.back() == sep) out.emplace_back();
    return out;
}

std::string Key(const std::string& src, const std::string& dst, const std::string& ssrc) {
    return src + " " + dst + " " + ssrc;
}

bool Have(const std::string& tool) { return RunCommand("command -v " + tool + " >/dev/null 2>&1").exitCode == 0; }

// key -> stream, from the --streams section of orvanta-cli's output.
std::map<std::string, Stream> OurStreams(const std::string& pcap) {
    CommandResult r = RunCommand("'" + kCli + "' flow --read '" + pcap + "' --streams 2>/dev/null");
    EXPECT_EQ(r.exitCode, 0) << pcap;
    std::map<std::string, Stream> out;
    std::istringstream in(r.out);
    std::string line;
    bool inList = false;
    while (std::getline(in, line)) {
        if (line == "call_id;source;destination;ssrc;payload_type;codec;packets;expected;lost;loss_pct;duplicates;"
                    "max_delta_ms;mean_jitter_ms;max_jitter_ms;mos") {
            inList = true;
            continue;
        }
        if (!inList || line.empty()) continue;
        const std::vector<std::string> f = Split(line, ';');
        EXPECT_EQ(f.size(), 15u) << line;
        if (f.size() != 15) continue;
        Stream s;
        s.callId = f[0];
        s.packets = std::stoll(f[6]);
        s.expected = std::stoll(f[7]);
        s.lost = std::stoll(f[8]);
        s.duplicates = std::stoll(f[10]);
        s.maxDelta = std::stod(f[11]);
        s.meanJitter = std::stod(f[12]);
        s.maxJitter = std::stod(f[13]);
        s.mos = f[14];
        EXPECT_EQ(f[3].size(), 10u) << line;
        out[Key(f[1], f[2], f[3])] = s;
    }
    EXPECT_TRUE(inList) << "no stream list in the output for " << pcap;
    return out;
}

// key -> stream, from `tshark -q -z rtp,streams`.
std::map<std::string, Stream> TsharkStreams(const std::string& pcap) {
    CommandResult r = RunCommand("tshark -r '" + pcap + "' -q -z rtp,streams 2>/dev/null");
    std::map<std::string, Stream> out;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string t; words >> t;) w.push_back(t);
        if (w.size() < 16 || w[6].rfind("0x", 0) != 0) continue;
        if (w.back() == "X") w.pop_back();
        const size_t n = w.size();
        // ... Pkts Lost (pct) MinDelta MeanDelta MaxDelta MinJitter MeanJitter MaxJitter
        Stream s;
        s.packets = std::stoll(w[n - 9]);
        s.lost = std::stoll(w[n - 8]);
        s.maxDelta = std::stod(w[n - 4]);
        s.meanJitter = std::stod(w[n - 2]);
        s.maxJitter = std::stod(w[n - 1]);
        for (size_t i = 7; i < n - 9; ++i) s.events |= w[i].find("event") != std::string::npos;
        std::string ssrc = w[6];
        for (size_t i = 2; i < ssrc.size(); ++i) ssrc[i] = char(std::toupper(static_cast<unsigned char>(ssrc[i])));
        // tshark prints IPv6 addresses bare; ours carry brackets before the port.
        auto endpoint = [](const std::string& a, const std::string& port) {
            return (a.find(':') != std::string::npos ? "[" + a + "]" : a) + ":" + port;
        };
        out[Key(endpoint(w[2], w[3]), endpoint(w[4], w[5]), ssrc)] = s;
    }
    return out;
}

struct Deviation {
    double maxDelta = 0, meanJitter = 0, maxJitter = 0;
    size_t streams = 0;
};

// Every stream tshark sees must be in our list with the same figures; returns the largest
// differences found.
Deviation CompareWithTshark(const std::string& pcap, const std::map<std::string, Stream>& ours) {
    const std::map<std::string, Stream> theirs = TsharkStreams(pcap);
    Deviation dev;
    for (const auto& [key, t] : theirs) {
        auto it = ours.find(key);
        if (it == ours.end()) {
            ADD_FAILURE() << pcap << ": tshark stream missing: " << key;
            continue;
        }
        const Stream& o = it->second;
        ++dev.streams;
        EXPECT_EQ(o.packets, t.packets) << key;
        EXPECT_EQ(o.lost - o.duplicates, t.lost) << key;
        EXPECT_NEAR(o.maxDelta, t.maxDelta, kTimeTolerance) << key;
        dev.maxDelta = std::max(dev.maxDelta, std::fabs(o.maxDelta - t.maxDelta));
        if (t.events) {
            EXPECT_LE(o.maxJitter, t.maxJitter + kTimeTolerance) << key;
            continue;
        }
        EXPECT_NEAR(o.meanJitter, t.meanJitter, kTimeTolerance) << key;
        EXPECT_NEAR(o.maxJitter, t.maxJitter, kTimeTolerance) << key;
        dev.meanJitter = std::max(dev.meanJitter, std::fabs(o.meanJitter - t.meanJitter));
        dev.maxJitter = std::max(dev.maxJitter, std::fabs(o.maxJitter - t.maxJitter));
    }
    return dev;
}

TEST(StreamTruth, FixtureCapturesMatchTshark) {
    if (!Have("tshark")) GTEST_SKIP() << "tshark is not installed";
    size_t streams = 0;
    for (const auto& e : std::filesystem::directory_iterator(OC_PCAP_DIR)) {
        if (e.path().extension() != ".pcap") continue;
        const auto ours = OurStreams(e.path().string());
        streams += CompareWithTshark(e.path().string(), ours).streams;
        for (const auto& [key, s] : ours) {
            // Loss-free G.711 with a few ms of jitter on a LAN: the headline estimate is good.
            if (s.lost == 0 && !s.mos.empty()) {
                EXPECT_GE(std::stod(s.mos), 4.0) << key;
            }
        }
    }
    EXPECT_GE(streams, 44u);  // 01, 02, 05, 08, 09, the 20 calls of 10 and the IPv6 call of 11
}

TEST(StreamTruth, DtmfRepeatsAreDuplicatesNotLoss) {
    const auto ours = OurStreams(std::string(OC_PCAP_DIR) + "/08_call_pcmu_dtmf_rfc2833.pcap");
    bool found = false;
    for (const auto& [key, s] : ours) {
        if (s.duplicates == 0) continue;
        found = true;
        EXPECT_EQ(s.duplicates, 6) << key;  // three events, end packet sent three times
        EXPECT_EQ(s.lost, 0) << key;
        EXPECT_EQ(s.expected, s.packets - 6) << key;
    }
    EXPECT_TRUE(found);
}

TEST(StreamTruth, SyntheticCaptureMatchesManifestAndTshark) {
    if (!Have("tshark")) GTEST_SKIP() << "tshark is not installed";
    if (!Have("python3")) GTEST_SKIP() << "python3 is not installed";
    if (!std::filesystem::exists("/usr/share/sip-tester/g711a.pcap"))
        GTEST_SKIP() << "the generator needs sip-tester's A-law sample";
    const std::string dir = std::filesystem::temp_directory_path() / ("oc_truth_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string pcap = dir + "/synth.pcap";
    ASSERT_EQ(RunCommand("python3 '" OC_SOURCE_DIR "/bench/gen/synth_big.py' '" + pcap + "' 500 >/dev/null 2>&1").exitCode, 0);

    const auto ours = OurStreams(pcap);
    // Manifest: "a:p->b:q ssrc=0x... pt=8[+101] pkts=N lost=L dropped=D ..." per stream.
    std::ifstream manifest(pcap + ".manifest.tsv");
    std::string line;
    size_t checked = 0, lossy = 0;
    while (std::getline(manifest, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> cols = Split(line, '\t');
        if (cols.size() < 7 || cols[6].empty()) continue;
        for (const std::string& item : Split(cols[6], ';')) {
            std::istringstream words(item);
            std::string flow, ssrc, pt, pkts, lost;
            words >> flow >> ssrc >> pt >> pkts >> lost;
            const size_t arrow = flow.find("->");
            ASSERT_NE(arrow, std::string::npos) << item;
            const std::string key = Key(flow.substr(0, arrow), flow.substr(arrow + 2), ssrc.substr(5));
            auto it = ours.find(key);
            if (it == ours.end()) {
                ADD_FAILURE() << "manifest stream missing: " << key;
                continue;
            }
            const Stream& s = it->second;
            ++checked;
            EXPECT_EQ(s.packets, std::stoll(pkts.substr(5))) << key;
            EXPECT_EQ(s.lost, std::stoll(lost.substr(5))) << key;
            EXPECT_EQ(s.expected, s.packets - s.duplicates + s.lost) << key;
            lossy += s.lost > 0;
            EXPECT_FALSE(s.mos.empty()) << key;
        }
    }
    EXPECT_GT(checked, 700u);
    EXPECT_GT(lossy, 20u);

    const Deviation dev = CompareWithTshark(pcap, ours);
    EXPECT_EQ(dev.streams, checked);
    std::printf("synthetic capture: %zu streams compared with tshark; largest differences: max delta %.4f ms, "
                "mean jitter %.4f ms, max jitter %.4f ms\n",
                dev.streams, dev.maxDelta, dev.meanJitter, dev.maxJitter);
    std::filesystem::remove_all(dir);
}

}  // namespace
