#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/AudioStream.h"
#include "tools/MicVolumeWorker.h"

// Level meter colours: green below 0.6, yellow below 0.9, red from 0.9 up.
enum class LevelColour { Green, Yellow, Red };
LevelColour LevelMeterColour(float level);

// Microphone test: records up to 10 seconds from the default input (44100 Hz, mono, 16-bit),
// reports the peak level while recording, plays the recording back on the default output
// and reads or sets the default input's volume (through a worker, never waiting on the sound
// server). The recording lives in memory only.
class AudioTester {
public:
    static constexpr size_t kBufferBytes = 4096;  // one device callback, about 46 ms
    static constexpr int kBufferCount = 4;
    static constexpr float kRecordLimitSeconds = 10.0f;
    static constexpr float kLevelScale = 1.0f / 32768.0f;

    // `micVolume`: the sound server's volume control; empty: the system's.
    explicit AudioTester(std::unique_ptr<MicVolumeControl> micVolume = nullptr);
    ~AudioTester();
    AudioTester(const AudioTester&) = delete;
    AudioTester& operator=(const AudioTester&) = delete;

    bool HasDevices() const;
    bool StartRecording();
    void StopRecording();
    bool StartPlayback();
    void StopPlayback();
    float GetLevel() const { return level.load(); }
    // Neither waits for the sound server: GetMicVolume gives what the worker last read (0 when
    // nothing could be read) or the value just asked for; SetMicVolume hands it over.
    float GetMicVolume() { return micVolume.Value(); }
    void SetMicVolume(float volume) { micVolume.Request(volume); }

    // Called for every filled input buffer (on the audio thread in normal use).
    void OnWaveInData(const uint8_t* data, size_t bytes);

    bool IsRecording() const { return isRecording.load(); }
    bool IsPlaying() const { return isPlaying.load(); }
    float RecordedSeconds() const { return recordedSeconds.load(); }
    // A copy of the recording, for tests and diagnostics.
    std::vector<uint8_t> RecordingCopy();
    // True while an input device is held open (a recording runs or is being released).
    bool InputDeviceOpen();

    // Peak of 16-bit little-endian samples scaled by 1/32768 (-32768 gives 1.0).
    static float PeakLevel(const uint8_t* data, size_t bytes);

private:
    void ReleaseInput();
    void LimitWatcher();
    // The sound system, started on first use: a run that never opens the Som tab starts none
    // (and stopping one costs up to a tenth of a second in SDL's ALSA backend).
    const platform::AudioSystem& Sound() const;

    mutable std::once_flag soundStarted;
    mutable std::unique_ptr<platform::AudioSystem> audioSystem;
    MicVolumeWorker micVolume;

    // Device handles; taken only on the GUI thread and the limit watcher, never in callbacks
    // (closing a device waits for its callback to return).
    std::mutex deviceMutex;
    platform::AudioStream waveIn;
    platform::AudioStream waveOut;

    std::vector<uint8_t> recordedData;
    std::mutex recordMutex;
    std::atomic<bool> isRecording {false};
    std::atomic<bool> isPlaying {false};
    std::atomic<float> level {0.0f};
    std::atomic<float> recordedSeconds {0.0f};

    // The recording limit is reached inside the audio callback, which cannot close its own
    // device; the watcher thread releases it at once.
    std::thread watcher;
    std::mutex watchMutex;
    std::condition_variable watchWake;
    bool limitReached = false;
    bool stopWatcher = false;

    std::vector<uint8_t> playbackData;
    size_t playbackPos = 0;  // audio thread only while playing
};
