#include "tools/AudioTester.h"

#include <cstdlib>
#include <cstring>

#include "logs/Trace.h"

LevelColour LevelMeterColour(float level) {
    if (level < 0.6f) return LevelColour::Green;
    if (level < 0.9f) return LevelColour::Yellow;
    return LevelColour::Red;
}

AudioTester::AudioTester(std::unique_ptr<MicVolumeControl> mic)
    : micVolume(mic ? std::move(mic) : SystemMicVolume()) {
    recordedData.reserve(static_cast<size_t>(kRecordLimitSeconds * platform::kAudioBytesPerSecond) + 2 * kBufferBytes);
}

AudioTester::~AudioTester() {
    StopRecording();
    StopPlayback();
}

const platform::AudioSystem& AudioTester::Sound() const {
    std::call_once(soundStarted, [this] {
        audioSystem = std::make_unique<platform::AudioSystem>();
        if (audioSystem->DriverName().empty()) Trace("Audio: " + audioSystem->LastError());
        else Trace("Audio driver: " + audioSystem->DriverName());
    });
    return *audioSystem;
}

bool AudioTester::HasDevices() const {
    const platform::AudioSystem& sound = Sound();
    return sound.CountInputDevices() > 0 && sound.CountOutputDevices() > 0;
}

float AudioTester::PeakLevel(const uint8_t* data, size_t bytes) {
    int peak = 0;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        int16_t s = static_cast<int16_t>(static_cast<uint16_t>(data[i]) | (static_cast<uint16_t>(data[i + 1]) << 8));
        int a = std::abs(static_cast<int>(s));
        if (a > peak) peak = a;
    }
    return static_cast<float>(peak) * kLevelScale;
}

void AudioTester::OnWaveInData(const uint8_t* data, size_t bytes) {
    // Buffers that arrive after the end of a recording are dropped.
    if (!isRecording.load()) return;
    level = PeakLevel(data, bytes);
    bool reached = false;
    {
        std::lock_guard<std::mutex> lock(recordMutex);
        if (!isRecording.load()) return;
        recordedData.insert(recordedData.end(), data, data + bytes);
        float seconds = recordedSeconds.load() + static_cast<float>(bytes / static_cast<double>(platform::kAudioBytesPerSecond));
        recordedSeconds = seconds;
        if (seconds >= kRecordLimitSeconds) {
            isRecording = false;
            reached = true;
        }
    }
    if (reached) {
        std::lock_guard<std::mutex> lock(watchMutex);
        limitReached = true;
        watchWake.notify_one();
    }
}

void AudioTester::LimitWatcher() {
    std::unique_lock<std::mutex> lock(watchMutex);
    watchWake.wait(lock, [this] { return limitReached || stopWatcher; });
    if (limitReached && !stopWatcher) {
        lock.unlock();
        std::lock_guard<std::mutex> dev(deviceMutex);
        waveIn.Close();
        Trace("Audio recording reached its limit; input released");
    }
}

void AudioTester::ReleaseInput() {
    {
        std::lock_guard<std::mutex> lock(watchMutex);
        stopWatcher = true;
        watchWake.notify_one();
    }
    if (watcher.joinable()) watcher.join();
    std::lock_guard<std::mutex> dev(deviceMutex);
    waveIn.Close();
}

bool AudioTester::StartRecording() {
    if (isRecording.load()) return false;
    // A recording ended by the limit may still hold its device for a moment; release it first.
    ReleaseInput();
    {
        std::lock_guard<std::mutex> lock(watchMutex);
        limitReached = false;
        stopWatcher = false;
    }
    Sound();
    // The device is opened before the old recording goes, so a start that fails leaves the
    // previous recording to be listened to. Buffers arriving before the switch below are
    // dropped (isRecording is still false).
    bool opened;
    {
        std::lock_guard<std::mutex> dev(deviceMutex);
        opened = waveIn.OpenCapture(kBufferBytes, [this](const uint8_t* d, size_t n) { OnWaveInData(d, n); });
    }
    if (!opened) {
        Trace("Audio: " + waveIn.LastError());
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(recordMutex);
        recordedData.clear();
        recordedSeconds = 0.0f;
        isRecording = true;
    }
    watcher = std::thread(&AudioTester::LimitWatcher, this);
    Trace("Audio recording started");
    return true;
}

void AudioTester::StopRecording() {
    isRecording = false;
    ReleaseInput();
}

bool AudioTester::InputDeviceOpen() {
    std::lock_guard<std::mutex> dev(deviceMutex);
    return waveIn.IsOpen();
}

std::vector<uint8_t> AudioTester::RecordingCopy() {
    std::lock_guard<std::mutex> lock(recordMutex);
    return recordedData;
}

bool AudioTester::StartPlayback() {
    if (isPlaying.load() || isRecording.load()) return false;
    Sound();
    {
        std::lock_guard<std::mutex> lock(recordMutex);
        if (recordedData.empty()) return false;
        playbackData = recordedData;
    }
    playbackPos = 0;
    std::lock_guard<std::mutex> dev(deviceMutex);
    bool opened = waveOut.OpenPlayback(kBufferBytes, [this](uint8_t* out, size_t n) {
        // The recording once, then silence until the user stops playback.
        size_t left = playbackData.size() - playbackPos;
        size_t take = left < n ? left : n;
        if (take) std::memcpy(out, playbackData.data() + playbackPos, take);
        if (take < n) std::memset(out + take, 0, n - take);
        playbackPos += take;
    });
    if (!opened) {
        Trace("Audio: " + waveOut.LastError());
        return false;
    }
    isPlaying = true;
    Trace("Audio playback started");
    return true;
}

void AudioTester::StopPlayback() {
    isPlaying = false;
    std::lock_guard<std::mutex> dev(deviceMutex);
    waveOut.Close();
}

