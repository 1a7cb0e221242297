#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// Audio streams on the default devices, always 44100 Hz, signed 16-bit little endian, mono
// (playback may be stereo: left and right samples interleaved).
// The audio system is started when the first AudioSystem is built and stopped with the last.
class AudioSystem {
public:
    AudioSystem();
    ~AudioSystem();
    AudioSystem(const AudioSystem&) = delete;
    AudioSystem& operator=(const AudioSystem&) = delete;

    int CountInputDevices() const;
    int CountOutputDevices() const;
    std::string DriverName() const;  // empty when the audio system could not start
    std::string LastError() const { return lastError; }

private:
    bool started = false;
    std::string lastError;
};

// Called on the audio thread with one buffer of captured bytes (callbackBytes long).
using CaptureCallback = std::function<void(const uint8_t* data, size_t bytes)>;
// Called on the audio thread to fill one buffer of output bytes.
using PlaybackCallback = std::function<void(uint8_t* data, size_t bytes)>;

// One open device. Close() waits until no callback runs any more; it must not be called
// from inside a callback. Close() on a closed stream does nothing.
class AudioStream {
public:
    AudioStream() = default;
    ~AudioStream();
    AudioStream(const AudioStream&) = delete;
    AudioStream& operator=(const AudioStream&) = delete;

    bool OpenCapture(size_t callbackBytes, CaptureCallback callback);
    bool OpenPlayback(size_t callbackBytes, PlaybackCallback callback, int channels = 1);
    void Close();
    bool IsOpen() const { return device != 0; }
    std::string LastError() const { return lastError; }
    // How many playback buffers the system holds queued behind the one a callback fills: the
    // callbacks that still come before the last samples handed over are heard. Close() drops
    // what is queued, so a player that wants its end heard feeds silence that long first.
    static int PlaybackQueueDepth();

private:
    static void Trampoline(void* self, uint8_t* stream, int len);
    uint32_t device = 0;
    struct Native;             // the system's own stream state where it needs more than an id
    Native* native = nullptr;
    bool capture = false;
    std::string lastError;
    CaptureCallback onCapture;
    PlaybackCallback onPlayback;
};

constexpr int kAudioSampleRate = 44100;
constexpr int kAudioBytesPerSecond = 88200;

}  // namespace platform
