#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <cstdlib>
#include <cstring>

#include "PulseServer.h"
#include "lib/SilentSoundServer.h"
#include "lib/TestSupport.h"
#include "tools/AudioTester.h"

using namespace std::chrono;

namespace {

int16_t Sample(const std::vector<uint8_t>& bytes, size_t i) {
    return static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
}

// Streams opened by clients; the remap module keeps one of its own all the time.
bool NoRecordingStreams(PulseServer& pulse) {
    return pulse.PactlOut("list short source-outputs").find("protocol-native") == std::string::npos;
}

}  // namespace

TEST(AudioLevel, PeakAndMeterColours) {
    std::vector<uint8_t> silence(4096, 0);
    EXPECT_EQ(AudioTester::PeakLevel(silence.data(), silence.size()), 0.0f);
    std::vector<uint8_t> loud(8, 0);
    loud[4] = 0x00;
    loud[5] = 0x80;  // -32768
    EXPECT_EQ(AudioTester::PeakLevel(loud.data(), loud.size()), 1.0f);
    loud[5] = 0x40;  // +16384
    EXPECT_EQ(AudioTester::PeakLevel(loud.data(), loud.size()), 0.5f);
    EXPECT_EQ(AudioTester::PeakLevel(loud.data(), 3), 0.0f);  // an odd byte is not a sample
    EXPECT_EQ(LevelMeterColour(0.0f), LevelColour::Green);
    EXPECT_EQ(LevelMeterColour(0.59f), LevelColour::Green);
    EXPECT_EQ(LevelMeterColour(0.6f), LevelColour::Yellow);
    EXPECT_EQ(LevelMeterColour(0.89f), LevelColour::Yellow);
    EXPECT_EQ(LevelMeterColour(0.9f), LevelColour::Red);
    EXPECT_EQ(LevelMeterColour(1.0f), LevelColour::Red);
}

TEST(AudioTester, TenSecondLimitEndsRecordingAndReleasesTheDevice) {
    PulseServer pulse;
    ASSERT_TRUE(pulse.Start()) << testsupport::ReadFile(pulse.dir + "/server.log");
    ASSERT_TRUE(pulse.PlayToneIntoMic(0.5, 14));
    AudioTester tester;
    ASSERT_TRUE(tester.HasDevices());
    EXPECT_FALSE(tester.StartPlayback());  // nothing recorded yet
    auto t0 = steady_clock::now();
    ASSERT_TRUE(tester.StartRecording());
    EXPECT_FALSE(tester.StartRecording());
    EXPECT_TRUE(testsupport::WaitFor([&] { return !NoRecordingStreams(pulse); }, seconds(3)));
    // The tone must reach the meter while recording runs.
    EXPECT_TRUE(testsupport::WaitFor([&] { return tester.GetLevel() > 0.4f; }, seconds(5)));
    ASSERT_TRUE(testsupport::WaitFor([&] { return !tester.IsRecording(); }, seconds(16)));
    double wall = duration<double>(steady_clock::now() - t0).count();
    EXPECT_GT(wall, 9.5);
    EXPECT_LT(wall, 12.5);
    // 216 buffers of 4096 bytes: 884,736 bytes, about 10.03 s.
    std::vector<uint8_t> rec = tester.RecordingCopy();
    EXPECT_EQ(rec.size(), 884736u);
    EXPECT_NEAR(tester.RecordedSeconds(), 10.03f, 0.01f);
    EXPECT_NEAR(tester.GetLevel(), 0.5f, 0.05f);
    // The device goes back to the system without anyone pressing stop.
    EXPECT_TRUE(testsupport::WaitFor([&] { return !tester.InputDeviceOpen(); }, milliseconds(500)));
    EXPECT_TRUE(testsupport::WaitFor([&] { return NoRecordingStreams(pulse); }, seconds(2)));
    EXPECT_EQ(tester.RecordingCopy().size(), 884736u);  // nothing added after the limit
}

TEST(AudioTester, PlaybackPlaysExactlyTheRecordedBytes) {
    PulseServer pulse;
    ASSERT_TRUE(pulse.Start()) << testsupport::ReadFile(pulse.dir + "/server.log");
    ASSERT_TRUE(pulse.PlayToneIntoMic(0.3, 6, true));
    AudioTester tester;
    ASSERT_TRUE(tester.StartRecording());
    ASSERT_TRUE(testsupport::WaitFor([&] { return tester.RecordedSeconds() > 1.5f; }, seconds(5)));
    tester.StopRecording();
    EXPECT_FALSE(tester.IsRecording());
    EXPECT_FALSE(tester.InputDeviceOpen());
    EXPECT_TRUE(testsupport::WaitFor([&] { return NoRecordingStreams(pulse); }, seconds(2)));
    std::vector<uint8_t> rec = tester.RecordingCopy();
    ASSERT_GE(rec.size(), 4096u * 16);
    EXPECT_EQ(rec.size() % 4096, 0u);
    pulse.StopTone();
    EXPECT_NEAR(AudioTester::PeakLevel(rec.data(), rec.size()), 0.3f, 0.05f);

    // Listen to what reaches the loudspeaker, then play.
    std::string captured = pulse.dir + "/spk.raw";
    testsupport::Child parec;
    ASSERT_TRUE(parec.Start({"parec", "--device=spk.monitor", "--format=s16le", "--rate=44100", "--channels=1",
                             "--raw", "--latency-msec=20"},
                            false, captured));
    std::this_thread::sleep_for(milliseconds(400));
    ASSERT_TRUE(tester.StartPlayback());
    EXPECT_TRUE(tester.IsPlaying());
    EXPECT_FALSE(tester.StartPlayback());
    double seconds = rec.size() / 88200.0;
    std::this_thread::sleep_for(milliseconds(static_cast<int>(seconds * 1000) + 800));
    EXPECT_TRUE(tester.IsPlaying());  // stays until stopped, as the tab shows it
    tester.StopPlayback();
    EXPECT_FALSE(tester.IsPlaying());
    std::this_thread::sleep_for(milliseconds(200));
    parec.Stop();

    std::vector<uint8_t> out;
    {
        std::string raw = testsupport::ReadFile(captured);
        out.assign(raw.begin(), raw.end());
    }
    size_t n = rec.size() / 2, m = out.size() / 2;
    ASSERT_GT(m, n) << "monitor captured too little";
    // Locate the recording in the monitor stream by a window from its middle.
    const size_t probe = n / 2, win = 2000;
    long offset = -1;
    for (size_t j = 0; j + win <= m && offset < 0; ++j) {
        bool match = true;
        for (size_t k = 0; k < win && match; ++k) match = std::abs(Sample(out, j + k) - Sample(rec, probe + k)) <= 2;
        if (match) offset = static_cast<long>(j) - static_cast<long>(probe);
    }
    ASSERT_GE(offset, 0) << "the recording was not found at the loudspeaker";
    ASSERT_LE(static_cast<size_t>(offset) + n, m);
    size_t mismatches = 0;
    for (size_t i = 0; i < n; ++i) mismatches += std::abs(Sample(out, offset + i) - Sample(rec, i)) > 2;
    EXPECT_EQ(mismatches, 0u);
    // Exactly the recording: silence before and after it.
    int loudAround = 0;
    for (size_t i = 0; i < static_cast<size_t>(offset); ++i) loudAround = std::max(loudAround, std::abs(int(Sample(out, i))));
    for (size_t i = offset + n; i < m; ++i) loudAround = std::max(loudAround, std::abs(int(Sample(out, i))));
    EXPECT_LE(loudAround, 2);

    // A second playback plays the same recording again.
    EXPECT_TRUE(tester.StartPlayback());
    tester.StopPlayback();
}

namespace {

// The volume is read and set on the tester's worker: wait until it shows what is expected.
bool VolumeBecomes(AudioTester& tester, float expected) {
    return testsupport::WaitFor([&] { return std::abs(tester.GetMicVolume() - expected) < 0.01f; }, seconds(3));
}
bool PactlShows(PulseServer& pulse, const std::string& text) {
    return testsupport::WaitFor(
        [&] { return pulse.PactlOut("get-source-volume mic").find(text) != std::string::npos; }, seconds(3));
}

}  // namespace

TEST(AudioTester, MicrophoneVolumeFollowsTheDefaultSource) {
    PulseServer pulse;
    ASSERT_TRUE(pulse.Start()) << testsupport::ReadFile(pulse.dir + "/server.log");
    AudioTester tester;
    ASSERT_TRUE(pulse.Pactl("set-source-volume mic 40%"));
    EXPECT_TRUE(VolumeBecomes(tester, 0.40f)) << tester.GetMicVolume();
    tester.SetMicVolume(0.75f);
    EXPECT_NEAR(tester.GetMicVolume(), 0.75f, 0.01f);  // shown at once, before the server has it
    EXPECT_TRUE(PactlShows(pulse, "75%")) << pulse.PactlOut("get-source-volume mic");
    EXPECT_TRUE(VolumeBecomes(tester, 0.75f));
    // Above the nominal maximum the slider shows its end; out-of-range requests are clamped.
    ASSERT_TRUE(pulse.Pactl("set-source-volume mic 130%"));
    EXPECT_TRUE(VolumeBecomes(tester, 1.0f)) << tester.GetMicVolume();
    tester.SetMicVolume(-3.0f);
    EXPECT_TRUE(PactlShows(pulse, " 0%")) << pulse.PactlOut("get-source-volume mic");
    // The default source changing elsewhere is followed at the next read.
    ASSERT_TRUE(pulse.Pactl("set-source-volume micsrc.monitor 20%"));
    ASSERT_TRUE(pulse.Pactl("set-default-source micsrc.monitor"));
    EXPECT_TRUE(VolumeBecomes(tester, 0.20f)) << tester.GetMicVolume();
}

TEST(AudioTester, MicrophoneVolumeIsFoundWhenTheServerAppearsLater) {
    PulseServer pulse;
    ASSERT_TRUE(pulse.Prepare());
    AudioTester tester;
    EXPECT_TRUE(VolumeBecomes(tester, 0.0f));
    tester.SetMicVolume(0.9f);  // nothing to set yet
    EXPECT_TRUE(VolumeBecomes(tester, 0.0f)) << "a set that found no server is not shown as done";
    ASSERT_TRUE(pulse.Launch());
    ASSERT_TRUE(pulse.Pactl("set-source-volume mic 30%"));
    // The next reads retry the connection (at most once a second) and find the microphone.
    EXPECT_TRUE(VolumeBecomes(tester, 0.30f));
}

TEST(AudioTester, AFailedStartKeepsThePreviousRecording) {
    PulseServer pulse;
    ASSERT_TRUE(pulse.Start()) << testsupport::ReadFile(pulse.dir + "/server.log");
    ASSERT_TRUE(pulse.PlayToneIntoMic(0.3, 4));
    AudioTester tester;
    ASSERT_TRUE(tester.StartRecording());
    ASSERT_TRUE(testsupport::WaitFor([&] { return tester.RecordedSeconds() > 0.5f; }, seconds(5)));
    tester.StopRecording();
    const std::vector<uint8_t> before = tester.RecordingCopy();
    ASSERT_FALSE(before.empty());

    pulse.StopTone();
    pulse.server.Stop();  // the sound server goes away
    EXPECT_FALSE(tester.StartRecording());
    EXPECT_FALSE(tester.IsRecording());
    EXPECT_EQ(tester.RecordingCopy(), before);
}

TEST(AudioTester, AVolumeCallThatNeverReturnsHoldsUpNoCaller) {
    auto owned = std::make_unique<SilentSoundServer>(std::this_thread::get_id());
    SilentSoundServer& server = *owned;
    {
        AudioTester tester(std::move(owned));
        EXPECT_EQ(tester.GetMicVolume(), 0.0f);
        ASSERT_TRUE(testsupport::WaitFor([&] { return server.calls.load() == 1; }, seconds(5)));
        // The worker is stuck in the server; asking and setting still return at once.
        tester.SetMicVolume(0.6f);
        EXPECT_FLOAT_EQ(tester.GetMicVolume(), 0.6f);
        tester.SetMicVolume(0.7f);
        EXPECT_FLOAT_EQ(tester.GetMicVolume(), 0.7f);
        EXPECT_EQ(server.calls.load(), 1);
        EXPECT_FALSE(server.calledOnGuiThread.load());
        server.Release();
    }
}

TEST(AudioTester, NoSoundServerMeansNoDevices) {
    std::string dir = testsupport::MakeTempDir("nopulse");
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    setenv("HOME", dir.c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + dir + "/absent").c_str(), 1);
    AudioTester tester;
    EXPECT_FALSE(tester.HasDevices());
    EXPECT_FALSE(tester.StartRecording());
    EXPECT_FALSE(tester.IsRecording());
    EXPECT_EQ(tester.GetMicVolume(), 0.0f);
    tester.SetMicVolume(0.5f);  // no effect, no crash
    EXPECT_TRUE(VolumeBecomes(tester, 0.0f));
    std::filesystem::remove_all(dir);
}
