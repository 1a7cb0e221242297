#pragma once
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

// The sound server's side of the microphone volume, as the worker below needs it. The real
// one is platform::MicVolume; tests put a server here that is slow or never answers.
class MicVolumeControl {
public:
    virtual ~MicVolumeControl() = default;
    // False (volume untouched) when no server or no default source is available.
    virtual bool Get(float& volume) = 0;
    virtual bool Set(float volume) = 0;
};

std::unique_ptr<MicVolumeControl> SystemMicVolume();

// Reads and sets the microphone volume on a thread of its own, so that a sound server that
// is slow or does not answer never holds up a GUI frame. Value() is what the last read found
// (0 when nothing could be read), or the value last asked for until it has been applied and
// read back; each call to Value() asks for a fresh read, at most every kReadInterval.
class MicVolumeWorker {
public:
    static constexpr int kReadIntervalMs = 250;

    explicit MicVolumeWorker(std::unique_ptr<MicVolumeControl> control);
    ~MicVolumeWorker();
    MicVolumeWorker(const MicVolumeWorker&) = delete;
    MicVolumeWorker& operator=(const MicVolumeWorker&) = delete;

    float Value();
    void Request(float volume);

private:
    void Run();
    void StartOnce();

    std::unique_ptr<MicVolumeControl> control_;
    std::once_flag started_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool readWanted_ = false;
    bool setPending_ = false;
    float requested_ = 0.0f;
    bool requestInFlight_ = false;  // a set was taken by the worker and not read back yet
    float value_ = 0.0f;
};
