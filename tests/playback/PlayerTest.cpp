// The call player: a tone call decoded on its thread, both directions played on the left and
// right channels through a private PulseAudio server's null sink and recorded back from its
// monitor with parec; the WAV files it saves; and its requests without a sound device.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

#include "ToneCalls.h"
#include "flow/FlowCore.h"
#include "playback/CallPlayer.h"
#include "playback/WavFile.h"
#include "tools/PulseServer.h"

namespace {

// Zero crossings per second of one channel of interleaved stereo, over its frames with sound.
double ChannelHz(const std::vector<int16_t>& stereo, size_t channel, size_t from, size_t frames) {
    size_t crossings = 0;
    for (size_t n = from + 1; n < from + frames && 2 * n + channel < stereo.size(); ++n)
        crossings += (stereo[2 * (n - 1) + channel] < 0) != (stereo[2 * n + channel] < 0);
    return crossings / 2.0 / (double(frames) / 44100.0);
}

// The same by the median distance between rising zero crossings: a sound server under load
// may drop a few device buffers, which leaves gaps but does not change the period.
double MedianChannelHz(const std::vector<int16_t>& stereo, size_t channel) {
    std::vector<size_t> periods;
    size_t last = 0;
    for (size_t n = 1; 2 * n + channel < stereo.size(); ++n) {
        const int16_t a = stereo[2 * (n - 1) + channel], b = stereo[2 * n + channel];
        if (!(a < 0 && b >= 0)) continue;
        if (last && n - last < 441) periods.push_back(n - last);  // under 10 ms: no gap between
        last = n;
    }
    if (periods.size() < 100) return 0;
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    return 44100.0 / double(periods[periods.size() / 2]);
}

// Seconds from the first 10 ms block with sound on either channel to the end of the last one.
double SoundSpanSeconds(const std::vector<int16_t>& stereo) {
    constexpr size_t kBlock = 441;
    const size_t blocks = stereo.size() / 2 / kBlock;
    size_t first = blocks, last = 0;
    for (size_t b = 0; b < blocks; ++b) {
        int peak = 0;
        for (size_t i = 2 * b * kBlock; i < 2 * (b + 1) * kBlock; ++i) peak = std::max(peak, std::abs(int(stereo[i])));
        if (peak <= 500) continue;
        first = std::min(first, b);
        last = b + 1;
    }
    return first < last ? double((last - first) * kBlock) / 44100.0 : 0.0;
}

class Player : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        capture = ToneCallsCapture(&why);
        if (capture.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(core.StartOffline(capture));
        ASSERT_TRUE(core.WaitStopped(std::chrono::seconds(30)));
        core.WaitAnalysed();
    }
    std::string capture;
    FlowCore core;
};

TEST_F(Player, BothDirectionsGoLeftAndRightAndSaveAsWav) {
    CallPlayer player(CallPlayer::FromFlowCore(core));
    // Play asks for a device; without one the play fails, the frames are still prepared.
    const auto s = player.WaitHandled(player.RequestPlay("pcma-1@tone", PlayerChannels::BothDirections,
                                                        PlayoutMode::JitterBuffer));
    ASSERT_EQ(s->streams.size(), 2u);
    ASSERT_GE(s->left, 0);
    ASSERT_GE(s->right, 0);
    EXPECT_EQ(s->streams[size_t(s->left)].report.ssrc, kToneSsrcBase + 1000);
    EXPECT_EQ(s->streams[size_t(s->right)].report.ssrc, kToneSsrcBase + 440);
    EXPECT_NEAR(s->durationSeconds, 2.0, 0.05);
    player.WaitHandled(player.RequestStop());
    const std::vector<int16_t> frames = player.PreparedForTesting();
    ASSERT_NEAR(frames.size() / 2 / 44100.0, 2.0, 0.05);
    EXPECT_NEAR(ChannelHz(frames, 0, 4410, 44100), 1000.0, 10.0);
    EXPECT_NEAR(ChannelHz(frames, 1, 4410, 44100), 440.0, 10.0);

    // One direction alone is on both channels.
    player.WaitHandled(player.RequestPlay("pcma-1@tone", PlayerChannels::ReverseOnly, PlayoutMode::JitterBuffer));
    player.WaitHandled(player.RequestStop());
    EXPECT_NEAR(ChannelHz(player.PreparedForTesting(), 0, 4410, 44100), 440.0, 10.0);
    EXPECT_NEAR(ChannelHz(player.PreparedForTesting(), 1, 4410, 44100), 440.0, 10.0);

    // A direction whose source changed its SSRC: both streams, each where it arrived.
    const auto changed = player.WaitHandled(
        player.RequestPlay("ssrc-9@tone", PlayerChannels::ForwardOnly, PlayoutMode::JitterBuffer));
    ASSERT_EQ(changed->streams.size(), 2u);
    EXPECT_NEAR(changed->durationSeconds, 2.0, 0.05);
    player.WaitHandled(player.RequestStop());
    EXPECT_NEAR(ChannelHz(player.PreparedForTesting(), 0, 2205, 39690), 1000.0, 10.0);
    EXPECT_NEAR(ChannelHz(player.PreparedForTesting(), 1, 46305, 39690), 1500.0, 10.0);

    const std::string dir = testsupport::MakeTempDir("ouvir");
    const auto saved = player.WaitHandled(player.RequestSaveWav("g729-6@tone", PlayoutMode::JitterBuffer, dir));
    EXPECT_EQ(saved->message.find("WAV gravados em "), 0u) << saved->message;
    EXPECT_NE(saved->message.find("(0 arquivos)"), std::string::npos) << saved->message;  // nothing decodes G.729
    ASSERT_EQ(saved->streams.size(), 1u);
    EXPECT_FALSE(saved->streams[0].hasDecoder);
    const auto g722 = player.WaitHandled(player.RequestSaveWav("g722-3@tone", PlayoutMode::JitterBuffer, dir));
    EXPECT_NE(g722->message.find("(2 arquivos)"), std::string::npos) << g722->message;
    size_t wavs = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(g722->savedDirectory)) {
        const std::string bytes = testsupport::ReadFile(e.path().string());
        std::vector<int16_t> samples;
        uint32_t rate = 0;
        ASSERT_TRUE(ReadWavBytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), samples, rate));
        EXPECT_EQ(rate, 16000u);
        ++wavs;
    }
    EXPECT_EQ(wavs, 2u);
    const auto missing = player.WaitHandled(player.RequestPlay("no-such-call", PlayerChannels::BothDirections,
                                                              PlayoutMode::JitterBuffer));
    EXPECT_EQ(missing->state, PlayerState::Failed);
    std::filesystem::remove_all(dir);
}

// 10 ms blocks of one channel, between `from` and `to` seconds, whose loudest sample is below 300.
size_t QuietBlocks(const std::vector<int16_t>& stereo, size_t channel, double from, double to) {
    size_t quiet = 0;
    for (size_t n = size_t(from * 44100); n + 441 <= size_t(to * 44100) && 2 * (n + 441) <= stereo.size(); n += 441) {
        int peak = 0;
        for (size_t i = n; i < n + 441; ++i) peak = std::max(peak, std::abs(int(stereo[2 * i + channel])));
        quiet += peak < 300;
    }
    return quiet;
}

// The call with every 10th packet lost and every 20th of the others dropped late (4 s of 1 kHz):
// listened to with the codec's concealment it has no gap; without it, and in its WAV file,
// each of the 30 packets is silence.
TEST_F(Player, ListeningConcealsLostPacketsTheWavFileKeepsThemSilent) {
    CallPlayer player(CallPlayer::FromFlowCore(core));
    const auto heard =
        player.WaitHandled(player.RequestPlay("loss-7@tone", PlayerChannels::ForwardOnly, PlayoutMode::JitterBuffer));
    ASSERT_EQ(heard->streams.size(), 1u);
    EXPECT_EQ(heard->fill, LossFill::Conceal);
    EXPECT_NEAR(heard->streams[0].concealedSeconds, 30 * 0.02, 1e-9);
    player.WaitHandled(player.RequestStop());
    const std::vector<int16_t> concealed = player.PreparedForTesting();
    ASSERT_NEAR(concealed.size() / 2 / 44100.0, 4.0, 0.05);
    EXPECT_EQ(QuietBlocks(concealed, 0, 0.1, 3.9), 0u);
    EXPECT_NEAR(ChannelHz(concealed, 0, 4410, 44100 * 3), 1000.0, 10.0);

    const auto plain = player.WaitHandled(player.RequestPlay("loss-7@tone", PlayerChannels::ForwardOnly,
                                                            PlayoutMode::JitterBuffer, std::nullopt, LossFill::Silence));
    EXPECT_EQ(plain->fill, LossFill::Silence);
    EXPECT_EQ(plain->streams[0].concealedSeconds, 0.0);
    player.WaitHandled(player.RequestStop());
    // A 20 ms gap holds at least one whole 10 ms block.
    EXPECT_GE(QuietBlocks(player.PreparedForTesting(), 0, 0.1, 3.9), 28u);

    // Saved after listening with concealment: the file has the silent gaps all the same.
    player.WaitHandled(player.RequestPlay("loss-7@tone", PlayerChannels::ForwardOnly, PlayoutMode::JitterBuffer));
    player.WaitHandled(player.RequestStop());
    const std::string dir = testsupport::MakeTempDir("ouvir_perdas");
    const auto saved = player.WaitHandled(player.RequestSaveWav("loss-7@tone", PlayoutMode::JitterBuffer, dir));
    EXPECT_NE(saved->message.find("(1 arquivos)"), std::string::npos) << saved->message;
    EXPECT_NE(saved->state, PlayerState::Decoding);
    size_t wavs = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(saved->savedDirectory)) {
        const std::string bytes = testsupport::ReadFile(e.path().string());
        std::vector<int16_t> samples;
        uint32_t rate = 0;
        ASSERT_TRUE(ReadWavBytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), samples, rate));
        ASSERT_EQ(rate, 8000u);
        size_t zeroPackets = 0;
        for (size_t at = 0; at + 160 <= samples.size(); at += 160)
            zeroPackets += std::all_of(samples.begin() + at, samples.begin() + at + 160, [](int16_t v) { return v == 0; });
        EXPECT_EQ(zeroPackets, 30u);
        ++wavs;
    }
    EXPECT_EQ(wavs, 1u);
    std::filesystem::remove_all(dir);
}

// Through a sound server: what reaches the null sink is the call, left and right.
TEST_F(Player, PlaysThroughPulseAudio) {
    if (testsupport::RunCommand("command -v pulseaudio && command -v parec").exitCode != 0)
        GTEST_SKIP() << "pulseaudio or parec is not installed";
    PulseServer pulse;
    if (!pulse.Start()) GTEST_SKIP() << "the private PulseAudio server did not start";
    CallPlayer player(CallPlayer::FromFlowCore(core));
    const std::string raw = pulse.dir + "/spk.raw";
    testsupport::Child parec;
    ASSERT_TRUE(parec.Start({"parec", "--device=spk.monitor", "--format=s16le", "--rate=44100", "--channels=2", "--raw",
                             "--latency-msec=20"},
                            false, raw));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const auto s = player.WaitHandled(player.RequestPlay("pcma-1@tone", PlayerChannels::BothDirections,
                                                        PlayoutMode::JitterBuffer));
    ASSERT_EQ(s->state, PlayerState::Playing) << s->message;
    // The end of the play shows in a snapshot of its own, once the device played out the
    // buffers it held: the position stands at the end (never beyond) meanwhile.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::optional<std::chrono::steady_clock::time_point> atEnd;
    double furthest = 0;
    while (player.Snapshot()->state == PlayerState::Playing && std::chrono::steady_clock::now() < deadline) {
        furthest = std::max(furthest, player.PositionSeconds());
        if (!atEnd && player.PositionSeconds() >= s->durationSeconds - 1e-3) atEnd = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto finishedAt = std::chrono::steady_clock::now();
    EXPECT_EQ(player.Snapshot()->state, PlayerState::Finished);
    EXPECT_NEAR(player.PositionSeconds(), 2.0, 0.05);
    EXPECT_LE(furthest, s->durationSeconds + 1.0 / 44100);  // the frames are the duration rounded up
    ASSERT_TRUE(atEnd.has_value());
    // The callbacks of silence beyond what the server queues come at the pace it plays
    // (0.35 s here from the end to Finished; 0.14 s when the device was closed on the last
    // samples, most of it the close itself).
    const double drained = std::chrono::duration<double>(finishedAt - *atEnd).count();
    std::printf("Finished %.3f s after the last samples were handed over\n", drained);
    EXPECT_GE(drained, 0.2) << "the device was closed as soon as it had the last samples";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    parec.Stop();
    const std::string bytes = testsupport::ReadFile(raw);
    std::vector<int16_t> heard(bytes.size() / 2);
    for (size_t i = 0; i < heard.size(); ++i)
        heard[i] = static_cast<int16_t>(uint8_t(bytes[2 * i]) | (uint8_t(bytes[2 * i + 1]) << 8));
    ASSERT_GT(heard.size(), 2u * 44100) << "the monitor recorded too little";
    // 44.1 and 100.2 samples per period: the median period is 44 and 100 (or 101).
    EXPECT_NEAR(MedianChannelHz(heard, 0), 1000.0, 25.0);
    EXPECT_NEAR(MedianChannelHz(heard, 1), 440.0, 5.0);
    // The device is closed only once it played out what it held: the call's end is heard
    // (2.000 s here), to within a 10 ms block either side and one device buffer a loaded
    // server may drop.
    const double span = SoundSpanSeconds(heard);
    std::printf("sound heard for %.3f s of a %.3f s call\n", span, s->durationSeconds);
    EXPECT_GE(span, s->durationSeconds - 0.06);
    EXPECT_LE(span, s->durationSeconds + 0.1);
}

}  // namespace
