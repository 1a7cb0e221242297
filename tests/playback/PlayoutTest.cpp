// The receiver's play-out of hand-made G.711 streams: timestamp order, pauses, clock jumps,
// copies, the adaptive buffer's late drops; silence and clipping; the WAV bytes; the codec
// table; RTP media bytes past CSRCs, extensions and padding; silence as no audio.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

extern "C" {
#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>
}

#include "flow/Diagnosis.h"
#include "playback/StreamPlayout.h"
#include "playback/WavFile.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// 20 ms of A-law: a 1 kHz tone whose phase runs on with the timestamp, so any sample of the
// output says which packet it came from and where.
StreamPacket Packet(uint16_t seq, uint32_t ts, double arrival, int samples = 160) {
    StreamPacket p;
    p.arrivalSeconds = arrival;
    p.header.payloadType = 8;
    p.header.sequence = seq;
    p.header.timestamp = ts;
    p.header.ssrc = 0x1234;
    for (int i = 0; i < samples; ++i)
        p.payload.push_back(linear_to_alaw(static_cast<int>(8000 * std::sin(2 * kPi * 1000 * (ts + i) / 8000.0))));
    return p;
}

// `count` packets of `samples` each, sent and received at the pace of their timestamps.
std::vector<StreamPacket> Steady(int count, int samples = 160) {
    std::vector<StreamPacket> out;
    for (int i = 0; i < count; ++i)
        out.push_back(Packet(static_cast<uint16_t>(100 + i), 5000u + uint32_t(samples) * i, 10.0 + samples / 8000.0 * i,
                             samples));
    return out;
}

const std::vector<SdpRtpMap> kNoMaps;

TEST(Playout, OrdersByTimestampAndDropsCopies) {
    // 10 ms packets: overtaken by the next one and still within the shallowest buffer (20 ms).
    const StreamAudio inOrder = PlayOutStream(Steady(20, 80), kNoMaps, PlayoutMode::JitterBuffer);
    ASSERT_EQ(inOrder.samples.size(), 20u * 80);
    EXPECT_EQ(inOrder.played, 20u);

    std::vector<StreamPacket> shuffled = Steady(20, 80);
    shuffled[5].arrivalSeconds += 0.012;  // behind 6
    std::swap(shuffled[5], shuffled[6]);
    shuffled.insert(shuffled.begin() + 12, shuffled[11]);  // a copy of 11 right behind it
    shuffled[12].arrivalSeconds += 0.001;
    const StreamAudio played = PlayOutStream(shuffled, kNoMaps, PlayoutMode::JitterBuffer);
    EXPECT_EQ(played.samples, inOrder.samples);
    EXPECT_EQ(played.duplicates, 1u);
    EXPECT_EQ(played.played, 20u);
    EXPECT_EQ(played.late, 0u);
    EXPECT_DOUBLE_EQ(played.UncoveredShare(), 0.0);
    EXPECT_EQ(played.codec, "G711a");
    EXPECT_EQ(played.format.audioRate, 8000u);
}

TEST(Playout, PausesStaySilentAndClockJumpsStartSegments) {
    // Silence suppression: 1 s without packets, timestamps and arrivals moving on alike.
    std::vector<StreamPacket> p = Steady(10);
    for (int i = 0; i < 10; ++i) p.push_back(Packet(uint16_t(110 + i), 5000 + 160u * (60 + i), 10.0 + 0.02 * (60 + i)));
    StreamAudio a = PlayOutStream(p, kNoMaps, PlayoutMode::JitterBuffer);
    ASSERT_EQ(a.segments.size(), 1u);
    ASSERT_EQ(a.samples.size(), 70u * 160);
    EXPECT_NEAR(a.UncoveredShare(), 50.0 / 70.0, 1e-9);
    for (size_t i = 1600; i < 60 * 160; ++i) ASSERT_EQ(a.samples[i], 0) << i;

    // The source's clock leaps an hour ahead between two packets 20 ms apart: a new segment
    // right after the first, not an hour of silence.
    p = Steady(10);
    for (int i = 0; i < 10; ++i) p.push_back(Packet(uint16_t(110 + i), 5000 + 28800000u + 160u * i, 10.2 + 0.02 * i));
    a = PlayOutStream(p, kNoMaps, PlayoutMode::JitterBuffer);
    ASSERT_EQ(a.segments.size(), 2u);
    EXPECT_EQ(a.segments[0].startSample, 0u);
    EXPECT_EQ(a.segments[1].startSample, 1600u);
    EXPECT_EQ(a.samples.size(), 3200u);

    // A capture clock that leapt two days between packets whose timestamps leapt alike: the
    // pause is kept to ten minutes.
    p = Steady(10);
    p.push_back(Packet(110, 5000 + 160u * 10 + 8000u * 172800, 10.2 + 172800));
    a = PlayOutStream(p, kNoMaps, PlayoutMode::JitterBuffer);
    EXPECT_EQ(a.samples.size(), 1600u + 600u * 8000 + 160);
    EXPECT_EQ(a.played, 11u);

    // And a source that restarted, its clock far behind (below zero) and its numbering anew.
    p = Steady(10);
    for (int i = 0; i < 10; ++i) p.push_back(Packet(uint16_t(40000 + i), 160u * i - 800000u, 10.5 + 0.02 * i));
    a = PlayOutStream(p, kNoMaps, PlayoutMode::JitterBuffer);
    ASSERT_EQ(a.segments.size(), 2u);
    EXPECT_EQ(a.segments[1].startSample, 4000u);  // placed at its arrival, 0.5 s after the start
    EXPECT_EQ(a.played, 20u);
}

TEST(Playout, LateForTheAdaptiveBufferIsSilentUnlessEveryPacketPlays) {
    std::vector<StreamPacket> p = Steady(60);
    p[30].arrivalSeconds += 0.5;  // beyond the deepest buffer
    std::stable_sort(p.begin(), p.end(), [](const StreamPacket& a, const StreamPacket& b) {
        return a.arrivalSeconds < b.arrivalSeconds;
    });
    const StreamAudio buffered = PlayOutStream(p, kNoMaps, PlayoutMode::JitterBuffer);
    EXPECT_EQ(buffered.late, 1u);
    EXPECT_EQ(buffered.played, 59u);
    ASSERT_EQ(buffered.samples.size(), 60u * 160);
    for (size_t i = 30 * 160; i < 31 * 160; ++i) ASSERT_EQ(buffered.samples[i], 0);
    EXPECT_NEAR(buffered.UncoveredShare(), 1.0 / 60, 1e-9);

    const StreamAudio every = PlayOutStream(p, kNoMaps, PlayoutMode::EveryPacket);
    EXPECT_EQ(every.played, 60u);
    EXPECT_EQ(every.samples, PlayOutStream(Steady(60), kNoMaps, PlayoutMode::JitterBuffer).samples);

    // Lost ones: the sequence numbers that never came.
    p = Steady(60);
    p.erase(p.begin() + 40, p.begin() + 43);
    const StreamAudio lost = PlayOutStream(p, kNoMaps, PlayoutMode::JitterBuffer);
    EXPECT_EQ(lost.lost, 3u);
    EXPECT_NEAR(lost.UncoveredShare(), 3.0 / 60, 1e-9);
}

// The loudest sample of a stretch of the timeline.
int Peak(const std::vector<int16_t>& s, size_t from, size_t to) {
    int peak = 0;
    for (size_t i = from; i < to && i < s.size(); ++i) peak = std::max(peak, std::abs(int(s[i])));
    return peak;
}

TEST(Playout, ConcealmentFillsMissingNumbersNotPauses) {
    // A late drop and, further on, 30 lost packets in a row.
    std::vector<StreamPacket> p = Steady(100);
    p[20].arrivalSeconds += 0.5;
    p.erase(p.begin() + 50, p.begin() + 80);
    std::stable_sort(p.begin(), p.end(), [](const StreamPacket& a, const StreamPacket& b) {
        return a.arrivalSeconds < b.arrivalSeconds;
    });
    const StreamAudio silent = PlayOutStream(p, kNoMaps, PlayoutMode::JitterBuffer);
    const StreamAudio heard = PlayOutStream(p, kNoMaps, PlayoutMode::JitterBuffer, LossFill::Conceal);
    ASSERT_EQ(heard.samples.size(), silent.samples.size());
    EXPECT_EQ(Peak(silent.samples, 20 * 160, 21 * 160), 0);
    EXPECT_GT(Peak(heard.samples, 20 * 160, 21 * 160), 4000);  // the 8000-peak tone, fading
    // The long loss: concealed for kMaxConcealSeconds at most (spandsp's fades out in 50 ms).
    EXPECT_GT(Peak(heard.samples, 50 * 160, 50 * 160 + 80), 4000);
    EXPECT_EQ(Peak(heard.samples, 50 * 160 + 440, 80 * 160), 0);  // 50 ms after a quarter pitch period
    EXPECT_EQ(heard.concealedSamples, 160u + static_cast<size_t>(kMaxConcealSeconds * 8000));
    EXPECT_EQ(heard.coveredSamples, silent.coveredSamples);
    EXPECT_EQ(heard.played, silent.played);
    // Everything played the same but the packet after each gap, which the concealment
    // smooths into.
    for (size_t i = 0; i < silent.samples.size(); ++i) {
        const bool gapOrNext = (i >= 20 * 160 && i < 22 * 160) || (i >= 50 * 160 && i < 81 * 160);
        if (gapOrNext) continue;
        ASSERT_EQ(heard.samples[i], silent.samples[i]) << i;
    }

    // Silence suppression: no number missing, so the pause stays silent.
    std::vector<StreamPacket> q = Steady(10);
    for (int i = 0; i < 10; ++i) q.push_back(Packet(uint16_t(110 + i), 5000 + 160u * (60 + i), 10.0 + 0.02 * (60 + i)));
    const StreamAudio paused = PlayOutStream(q, kNoMaps, PlayoutMode::JitterBuffer, LossFill::Conceal);
    EXPECT_EQ(paused.samples, PlayOutStream(q, kNoMaps, PlayoutMode::JitterBuffer).samples);
    EXPECT_EQ(paused.concealedSamples, 0u);
}

TEST(Playout, CodecsWithoutDecoderAndOtherPayloads) {
    std::vector<StreamPacket> p = Steady(5);
    for (StreamPacket& x : p) x.header.payloadType = 18;
    StreamAudio a = PlayOutStream(p, kNoMaps, PlayoutMode::JitterBuffer);
    EXPECT_FALSE(a.HasDecoder());
    EXPECT_EQ(a.codec, "G729");
    EXPECT_TRUE(a.samples.empty());

    // A dynamic type the SDP names is decoded by its name; telephone events are not voice.
    p = Steady(10);
    for (StreamPacket& x : p) x.header.payloadType = 98;
    p[4].header.payloadType = 101;
    const std::vector<SdpRtpMap> maps = {{98, "PCMA", 8000}, {101, "telephone-event", 8000}};
    a = PlayOutStream(p, maps, PlayoutMode::JitterBuffer);
    EXPECT_EQ(a.codec, "G711a");
    EXPECT_EQ(a.played, 9u);

    EXPECT_EQ(VoiceFormatOf("G722").audioRate, 16000u);
    EXPECT_EQ(VoiceFormatOf("G722").rtpClock, 8000u);
    EXPECT_EQ(VoiceFormatOf("OPUS").decoder, VoiceDecoderKind::Opus);
    EXPECT_EQ(VoiceFormatOf("opus").rtpClock, 48000u);
    EXPECT_EQ(VoiceFormatOf("GSM").decoder, VoiceDecoderKind::Gsm);
    for (const char* none : {"G729", "G723", "Dyn", "PT:5", ""}) EXPECT_EQ(VoiceFormatOf(none).decoder, VoiceDecoderKind::None);
}

TEST(AudioLevels, SilenceAndClipping) {
    std::vector<int16_t> quiet(8000);
    for (size_t i = 0; i < quiet.size(); ++i) quiet[i] = static_cast<int16_t>((i % 7) * 20 - 60);  // below -50 dBFS
    DecodedAudioFacts f = MeasureAudio(quiet, 8000);
    EXPECT_TRUE(f.silent);
    EXPECT_FALSE(f.clipped);
    EXPECT_TRUE(MeasureAudio(std::vector<int16_t>(800, 0), 8000).silent);

    std::vector<int16_t> tone(8000);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>(30000 * std::sin(2 * kPi * 1000 * i / 8000.0));
    f = MeasureAudio(tone, 8000);
    EXPECT_FALSE(f.silent);
    EXPECT_FALSE(f.clipped);  // loud, but a clean peak touches the top one sample at a time
    EXPECT_NEAR(f.peakDbfs, 20 * std::log10(30000.0 / 32768), 0.1);

    // Overdriven: the same sine at twice full scale, held at the rails.
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<int16_t>(std::clamp(60000 * std::sin(2 * kPi * 200 * i / 8000.0), -32768.0, 32767.0));
    f = MeasureAudio(tone, 8000);
    EXPECT_TRUE(f.clipped);
    EXPECT_EQ(f.clipEvents, 400u);  // each half-wave of 200 Hz for a second
}

TEST(WavFile, HeaderAndRoundTrip) {
    const std::vector<int16_t> s = {0, 1, -1, 32767, -32768};
    const std::vector<uint8_t> b = WavBytes(s, 16000);
    ASSERT_EQ(b.size(), 44u + 10);
    const std::vector<uint8_t> head = {'R', 'I', 'F', 'F', 46, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                       16,  0,   0,   0,   1,  0, 1, 0, 0x80, 0x3E, 0, 0, 0, 0x7D, 0, 0,
                                       2,   0,   16,  0,   'd', 'a', 't', 'a', 10, 0, 0, 0};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), b.begin()));
    EXPECT_EQ(b[44 + 4], 0xFF);  // -1, little endian
    EXPECT_EQ(b[44 + 5], 0xFF);
    std::vector<int16_t> back;
    uint32_t rate = 0;
    ASSERT_TRUE(ReadWavBytes(b, back, rate));
    EXPECT_EQ(back, s);
    EXPECT_EQ(rate, 16000u);
    std::vector<uint8_t> cut(b.begin(), b.end() - 2);
    EXPECT_FALSE(ReadWavBytes(cut, back, rate));
}

TEST(RtpMedia, SkipsCsrcsExtensionAndPadding) {
    // Two CSRCs, a one-word extension, 3 media bytes, 2 padding bytes.
    const std::vector<uint8_t> p = {0xB2, 8, 0, 1, 0, 0, 0, 160, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 2,
                                    0xBE, 0xDE, 0, 1, 1, 2, 3, 4, 0xAA, 0xBB, 0xCC, 0, 2};
    const std::span<const uint8_t> media = RtpMediaBytes(p);
    ASSERT_EQ(media.size(), 3u);
    EXPECT_EQ(media[0], 0xAA);
    EXPECT_EQ(media[2], 0xCC);
    EXPECT_TRUE(RtpMediaBytes(std::vector<uint8_t>(8, 0x80)).empty());
}

TEST(Diagnosis, RtpThatDecodedToSilenceIsNoAudio) {
    SipCall call;
    call.callId = "c";
    call.isInvite = true;
    SipMessage invite;
    invite.isRequest = true;
    invite.type = SipMsgType::Invite;
    invite.timeMicros = 1'000'000;
    SipMessage ok;
    ok.type = SipMsgType::Invite;
    ok.statusCode = 200;
    ok.timeMicros = 1'100'000;
    call.messages = {invite, ok};
    call.sawSuccess = true;
    RtpStreamReport a, b;
    a.packets = b.packets = 250;
    a.src = b.dst = Endpoint::Parse("10.0.0.1:4000").value();
    a.dst = b.src = Endpoint::Parse("10.0.0.2:5000").value();
    a.firstSeconds = b.firstSeconds = 1.2;
    a.lastSeconds = b.lastSeconds = 6.2;
    a.expected = b.expected = 250;
    DecodedAudioFacts silent;
    silent.silent = true;
    a.audio = b.audio = silent;
    auto noAudio = [&](const std::vector<RtpStreamReport>& s) {
        for (const Verdict& v : Diagnose(call, s, 7'000'000))
            if (v.code == Diagnosis::NoAudio) return v.packets;
        return uint64_t{0};
    };
    EXPECT_EQ(noAudio({a, b}), 500u);
    b.audio->silent = false;
    EXPECT_EQ(noAudio({a, b}), 0u);  // one side heard something
    b.audio.reset();
    EXPECT_EQ(noAudio({a, b}), 0u);  // not decoded: not known to be silent
}

}  // namespace
