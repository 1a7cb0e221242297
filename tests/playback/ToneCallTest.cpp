// Calls whose RTP an outside encoder made (ffmpeg's RTP muxer, sox), each carrying known
// tones: decoded at the codec's audio rate with the tone's frequency and length, the lost and
// late packets silent in their share, silence-only RTP diagnosed as no audio, G.729 without
// a decoder, and the command line's WAV files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <map>

#include "ToneCalls.h"
#include "flow/FlowCore.h"
#include "playback/CallAudio.h"
#include "playback/WavFile.h"

namespace {

struct Tone {
    double hz = 0;
    double seconds = 0;  // 20 ms frames with sound
};

// Frequency by zero crossings over the frames with sound; length as those frames' count.
Tone MeasureTone(const std::vector<int16_t>& s, uint32_t rate) {
    const size_t frame = rate / 50;
    size_t loud = 0, crossings = 0;
    for (size_t start = 0; start + frame <= s.size(); start += frame) {
        int peak = 0;
        for (size_t i = start; i < start + frame; ++i) peak = std::max(peak, std::abs(int(s[i])));
        if (peak < 300) continue;
        ++loud;
        for (size_t i = std::max<size_t>(start, 1); i < start + frame; ++i) crossings += (s[i - 1] < 0) != (s[i] < 0);
    }
    Tone t;
    t.seconds = loud * 0.02;
    if (loud) t.hz = crossings / 2.0 / t.seconds;
    return t;
}

class ToneCalls : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        capture = ToneCallsCapture(&why);
        if (capture.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(core.StartOffline(capture));
        ASSERT_TRUE(core.WaitStopped(std::chrono::seconds(30)));
        core.WaitAnalysed();
        for (const SipCall& c : core.Tracker().GetCalls()) maps[c.callId] = c.rtpMaps;
        streams = core.Tracker().GetStreamReports();
        packets = core.GetPackets();
    }
    std::vector<DecodedStream> Decode(PlayoutMode mode) { return DecodeStreams(streams, packets, maps, mode); }
    static const DecodedStream* OfCall(const std::vector<DecodedStream>& all, const std::string& prefix) {
        for (const DecodedStream& d : all)
            if (d.report.callId.rfind(prefix, 0) == 0) return &d;
        return nullptr;
    }

    std::string capture;
    FlowCore core;
    SdpMapsByCall maps;
    std::vector<RtpStreamReport> streams;
    std::vector<PacketLogEntry> packets;
};

TEST_F(ToneCalls, EveryCodecGivesItsToneAtItsRate) {
    const std::map<std::string, uint32_t> rates = {{"G711a", 8000}, {"G711u", 8000}, {"G722", 16000},
                                                   {"GSM", 8000},   {"opus", 48000}};
    size_t checked = 0;
    for (const DecodedStream& d : Decode(PlayoutMode::JitterBuffer)) {
        const std::string call = d.report.callId;
        if (call.rfind("loss", 0) == 0 || call.rfind("silence", 0) == 0 || call.rfind("g729", 0) == 0 ||
            call.rfind("ssrc", 0) == 0)
            continue;
        SCOPED_TRACE(call + " " + d.report.codec);
        ASSERT_TRUE(rates.contains(d.report.codec));
        ASSERT_TRUE(d.audio.HasDecoder());
        EXPECT_EQ(d.audio.format.audioRate, rates.at(d.report.codec));
        const double hz = d.report.ssrc - kToneSsrcBase;
        const Tone t = MeasureTone(d.audio.samples, d.audio.format.audioRate);
        EXPECT_NEAR(t.hz, hz, hz * 0.02);
        EXPECT_NEAR(t.seconds, 2.0, 0.05);
        EXPECT_NEAR(d.audio.Seconds(), 2.0, 0.05);
        EXPECT_EQ(d.audio.late, 0u);
        EXPECT_EQ(d.audio.segments.size(), 1u);
        ASSERT_TRUE(d.report.audio.has_value());
        EXPECT_FALSE(d.report.audio->silent);
        EXPECT_FALSE(d.report.audio->clipped);
        ++checked;
    }
    EXPECT_EQ(checked, 10u);  // two directions of five codecs
}

TEST_F(ToneCalls, FiveKilohertzSurvivesG722) {
    const std::vector<DecodedStream> all = Decode(PlayoutMode::JitterBuffer);
    const DecodedStream* g722 = nullptr;
    for (const DecodedStream& d : all)
        if (d.report.ssrc == kToneSsrcBase + 5000) g722 = &d;
    ASSERT_NE(g722, nullptr);
    // Above the 4 kHz a narrowband codec can carry: only a 16 kHz decode has it.
    EXPECT_EQ(g722->audio.format.audioRate, 16000u);
    EXPECT_NEAR(MeasureTone(g722->audio.samples, 16000).hz, 5000.0, 100.0);
    EXPECT_GT(g722->audio.facts.peakDbfs, -30.0);
}

TEST_F(ToneCalls, LostAndLatePacketsBecomeSilenceInTheirShare) {
    // 200 packets: every 10th lost (20), every 20th of the rest 300 ms late (10).
    const std::vector<DecodedStream> buffered = Decode(PlayoutMode::JitterBuffer);
    const DecodedStream* d = OfCall(buffered, "loss");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->audio.lost, 20u);
    EXPECT_EQ(d->audio.late, 10u);
    EXPECT_EQ(d->audio.played, 170u);
    EXPECT_EQ(d->audio.late, d->report.lateAdaptive);  // the verdicts the MOS counted
    EXPECT_NEAR(d->audio.UncoveredShare(), 0.15, 0.006);
    EXPECT_NEAR(MeasureTone(d->audio.samples, 8000).seconds, 4.0 * 0.85, 0.05);
    EXPECT_NEAR(d->audio.Seconds(), 4.0, 0.03);

    const std::vector<DecodedStream> all = Decode(PlayoutMode::EveryPacket);
    const DecodedStream* every = OfCall(all, "loss");
    ASSERT_NE(every, nullptr);
    EXPECT_EQ(every->audio.played, 180u);
    EXPECT_NEAR(every->audio.UncoveredShare(), 0.10, 0.006);
}

// One packet a second into each stream taken out: listening with concealment hears the
// tone go on where the codec's library conceals (G.711, Opus), silence where it has none
// (G.722, GSM); without concealment, as in the WAV files, the packet's place is silent.
TEST_F(ToneCalls, ALostPacketIsConcealedOnlyWhereTheCodecCanAndOnlyWhenAsked) {
    const std::vector<std::vector<StreamPacket>> perStream = GatherStreamPackets(streams, packets);
    const std::map<std::string, bool> conceals = {
        {"pcma-", true}, {"pcmu-", true}, {"opus-", true}, {"g722-", false}, {"gsm-", false}};
    size_t checked = 0;
    for (size_t i = 0; i < streams.size(); ++i) {
        const auto kind = std::find_if(conceals.begin(), conceals.end(),
                                       [&](const auto& c) { return streams[i].callId.rfind(c.first, 0) == 0; });
        if (kind == conceals.end()) continue;
        SCOPED_TRACE(streams[i].callId + " " + streams[i].codec);
        std::vector<StreamPacket> p = perStream[i];
        ASSERT_GT(p.size(), 60u);
        const std::vector<SdpRtpMap>& sdp = maps.at(streams[i].callId);
        const VoiceFormat format = VoiceFormatOf(PlayOutStream(p, sdp, PlayoutMode::JitterBuffer).codec);
        // Where the taken packet's samples are on the timeline (one segment from the first).
        const size_t at = size_t(p[50].header.timestamp - p[0].header.timestamp) * format.audioRate / format.rtpClock;
        const size_t frame = size_t(p[51].header.timestamp - p[50].header.timestamp) * format.audioRate / format.rtpClock;
        p.erase(p.begin() + 50);

        const StreamAudio silent = PlayOutStream(p, sdp, PlayoutMode::JitterBuffer);
        const StreamAudio heard = PlayOutStream(p, sdp, PlayoutMode::JitterBuffer, LossFill::Conceal);
        ASSERT_GE(silent.samples.size(), at + frame);
        ASSERT_EQ(heard.samples.size(), silent.samples.size());
        EXPECT_EQ(silent.concealedSamples, 0u);
        const std::vector<int16_t> gapSilent(silent.samples.begin() + at, silent.samples.begin() + at + frame);
        const std::vector<int16_t> gapHeard(heard.samples.begin() + at, heard.samples.begin() + at + frame);
        EXPECT_EQ(gapSilent, std::vector<int16_t>(frame, 0));
        // Up to the loss both are the same decode.
        EXPECT_TRUE(std::equal(silent.samples.begin(), silent.samples.begin() + at, heard.samples.begin()));
        if (!kind->second) {
            EXPECT_EQ(heard.samples, silent.samples);
            EXPECT_EQ(heard.concealedSamples, 0u);
            ++checked;
            continue;
        }
        EXPECT_EQ(heard.concealedSamples, frame);
        // The tone at its own frequency, loud for the whole place of the packet (the
        // concealment fades, but not within one packet).
        const double hz = streams[i].ssrc - kToneSsrcBase;
        const Tone t = MeasureTone(gapHeard, format.audioRate);
        EXPECT_NEAR(t.seconds, double(frame) / format.audioRate, 1e-9);
        EXPECT_NEAR(t.hz, hz, hz * 0.05);
        ++checked;
    }
    EXPECT_EQ(checked, 10u);
}

TEST_F(ToneCalls, SilentRtpIsNoAudioAndG729HasNoDecoder) {
    const std::vector<DecodedStream> all = Decode(PlayoutMode::JitterBuffer);
    std::vector<RtpStreamReport> silentCall;
    for (const DecodedStream& d : all) {
        if (d.report.callId.rfind("silence", 0) == 0) {
            ASSERT_TRUE(d.report.audio.has_value());
            EXPECT_TRUE(d.report.audio->silent);
            silentCall.push_back(d.report);
        }
        if (d.report.callId.rfind("g729", 0) == 0) {
            EXPECT_FALSE(d.audio.HasDecoder());
            EXPECT_EQ(d.audio.codec, "G729");
            EXPECT_TRUE(d.audio.samples.empty());
            EXPECT_FALSE(d.report.audio.has_value());
        }
    }
    ASSERT_EQ(silentCall.size(), 2u);
    const std::string callId = silentCall[0].callId;
    auto has = [](const std::vector<Verdict>& v, Diagnosis code) {
        return std::any_of(v.begin(), v.end(), [&](const Verdict& x) { return x.code == code; });
    };
    // Without the decoded audio the call looks fine; with it, nothing was heard.
    EXPECT_FALSE(has(core.Tracker().Diagnose(callId), Diagnosis::NoAudio));
    const std::vector<Verdict> verdicts = core.Tracker().Diagnose(callId, silentCall);
    ASSERT_TRUE(has(verdicts, Diagnosis::NoAudio));
    for (const Verdict& v : verdicts)
        if (v.code == Diagnosis::NoAudio) {
            EXPECT_EQ(v.packets, 300u);
        }
}

TEST_F(ToneCalls, CommandLineWritesOneWavPerStream) {
    const std::string dir = testsupport::MakeTempDir("wav");
    const testsupport::CommandResult r = testsupport::RunCommand(std::string(OC_BINARY_DIR) +
                                                                 "/src/cli/orvanta-cli flow --read " + capture +
                                                                 " --wav " + dir + " --diagnose");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> lines;
    for (size_t at = 0; (at = r.out.find("\nwav;", at)) != std::string::npos; ++at)
        lines.push_back(r.out.substr(at + 1, r.out.find('\n', at + 1) - at - 1));
    ASSERT_EQ(lines.size(), streams.size());
    size_t files = 0;
    for (const std::string& line : lines) {
        const std::string file = line.substr(line.rfind(';') + 1);
        if (line.find(";G729;") != std::string::npos) {
            EXPECT_EQ(file, "-");
            continue;
        }
        const std::string bytes = testsupport::ReadFile(file);
        std::vector<int16_t> samples;
        uint32_t rate = 0;
        ASSERT_TRUE(ReadWavBytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), samples, rate))
            << file;
        EXPECT_EQ(rate, line.find(";G722;") != std::string::npos ? 16000u
                        : line.find(";opus;") != std::string::npos ? 48000u
                                                                   : 8000u);
        const uint32_t seconds = line.find("wav;ssrc-") == 0 ? 1 : 2;  // that call's two streams last 1 s each
        EXPECT_GT(samples.size(), rate * seconds - rate / 20);
        ++files;
    }
    EXPECT_EQ(files, streams.size() - 1);
    EXPECT_NE(lines[0].find("wav;pcma-1@tone;10.0.1.1:20002;10.0.1.2:30002;0x51A703E8;G711a;"), std::string::npos);
    EXPECT_NE(r.err.find("sem decodificador para G729"), std::string::npos);
    EXPECT_NE(r.out.find("silence-8@tone;no_audio;"), std::string::npos);
    std::filesystem::remove_all(dir);
}

}  // namespace
