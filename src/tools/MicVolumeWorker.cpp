#include "tools/MicVolumeWorker.h"

#include <chrono>

#include "platform/MicVolume.h"

namespace {

class SystemControl : public MicVolumeControl {
public:
    bool Get(float& volume) override { return mic_.Get(volume); }
    bool Set(float volume) override { return mic_.Set(volume); }

private:
    platform::MicVolume mic_;
};

}  // namespace

std::unique_ptr<MicVolumeControl> SystemMicVolume() { return std::make_unique<SystemControl>(); }

MicVolumeWorker::MicVolumeWorker(std::unique_ptr<MicVolumeControl> control) : control_(std::move(control)) {}

MicVolumeWorker::~MicVolumeWorker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void MicVolumeWorker::StartOnce() {
    // Started on first use: a program that never shows the volume asks the server nothing.
    std::call_once(started_, [this] { thread_ = std::thread(&MicVolumeWorker::Run, this); });
}

float MicVolumeWorker::Value() {
    StartOnce();
    float shown;
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wake = !readWanted_;
        readWanted_ = true;
        shown = setPending_ || requestInFlight_ ? requested_ : value_;
    }
    if (wake) wake_.notify_all();
    return shown;
}

void MicVolumeWorker::Request(float volume) {
    StartOnce();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requested_ = volume;
        setPending_ = true;
    }
    wake_.notify_all();
}

void MicVolumeWorker::Run() {
    const auto interval = std::chrono::milliseconds(kReadIntervalMs);
    std::unique_lock<std::mutex> lock(mutex_);
    auto lastRead = std::chrono::steady_clock::now() - interval;
    while (true) {
        wake_.wait(lock, [this] { return stop_ || setPending_ || readWanted_; });
        if (stop_) break;
        // A set goes out at once; reads are spaced out, and only made while someone looks.
        if (!setPending_) {
            wake_.wait_until(lock, lastRead + interval, [this] { return stop_ || setPending_; });
            if (stop_) break;
        }
        const bool set = setPending_;
        const float target = requested_;
        setPending_ = false;
        readWanted_ = false;
        if (set) requestInFlight_ = true;

        lock.unlock();
        if (set) control_->Set(target);
        float now = 0.0f;
        const bool known = control_->Get(now);
        lock.lock();
        lastRead = std::chrono::steady_clock::now();
        value_ = known ? now : 0.0f;
        // A newer request that came in meanwhile keeps its value on show.
        if (set && !setPending_) requestInFlight_ = false;
    }
}
