#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tools/MicVolumeWorker.h"

// A sound server that takes every volume call and never answers until released; notes a
// call made on the thread that draws the window.
class SilentSoundServer : public MicVolumeControl {
public:
    explicit SilentSoundServer(std::thread::id guiThread) : gui(guiThread) {}
    bool Get(float&) override { return Hang(); }
    bool Set(float) override { return Hang(); }
    void Release() {
        std::lock_guard<std::mutex> lock(m);
        released = true;
        cv.notify_all();
    }
    std::atomic<int> calls{0};
    std::atomic<bool> calledOnGuiThread{false};

private:
    bool Hang() {
        if (std::this_thread::get_id() == gui) {
            calledOnGuiThread = true;
            return false;
        }
        ++calls;
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [this] { return released; });
        return false;
    }
    std::thread::id gui;
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
};
