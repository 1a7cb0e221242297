// Waveform audio (WinMM) on the wave mapper: the system's default recording and playback
// devices, converted by the mapper to 44100 Hz 16-bit, mono (playback also stereo). A thread
// of ours waits on the driver's event and hands each finished buffer to the callback, then
// queues it again.
#include "platform/AudioStream.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <thread>
#include <vector>

namespace platform {

namespace {
constexpr int kBufferCount = 4;  // queued at the driver, so a late callback drops nothing
}  // namespace

struct AudioStream::Native {
    HWAVEIN in = nullptr;
    HWAVEOUT out = nullptr;
    HANDLE event = nullptr;
    std::vector<std::vector<uint8_t>> data;
    std::vector<WAVEHDR> headers;
    std::atomic<bool> stop{false};
    std::thread worker;
};

AudioSystem::AudioSystem() { started = true; }

AudioSystem::~AudioSystem() = default;

int AudioSystem::CountInputDevices() const { return static_cast<int>(waveInGetNumDevs()); }

int AudioSystem::CountOutputDevices() const { return static_cast<int>(waveOutGetNumDevs()); }

std::string AudioSystem::DriverName() const { return "winmm"; }

AudioStream::~AudioStream() { Close(); }

void AudioStream::Trampoline(void*, uint8_t*, int) {}

namespace {

WAVEFORMATEX Format(int channels = 1) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = static_cast<WORD>(channels);
    f.nSamplesPerSec = kAudioSampleRate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = static_cast<WORD>(2 * channels);
    f.nAvgBytesPerSec = static_cast<DWORD>(kAudioBytesPerSecond * channels);
    return f;
}

std::string MmError(const char* what, MMRESULT rc) {
    return std::string(what) + " (MMRESULT " + std::to_string(rc) + ")";
}

}  // namespace

bool AudioStream::OpenCapture(size_t callbackBytes, CaptureCallback callback) {
    if (device != 0 || callbackBytes == 0) return false;
    auto* n = new Native;
    n->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    WAVEFORMATEX f = Format();
    MMRESULT rc = waveInOpen(&n->in, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(n->event), 0, CALLBACK_EVENT);
    if (rc != MMSYSERR_NOERROR) {
        lastError = MmError("audio capture open failed", rc);
        CloseHandle(n->event);
        delete n;
        return false;
    }
    n->data.assign(kBufferCount, std::vector<uint8_t>(callbackBytes));
    n->headers.assign(kBufferCount, WAVEHDR{});
    for (int i = 0; i < kBufferCount; ++i) {
        WAVEHDR& h = n->headers[i];
        h.lpData = reinterpret_cast<LPSTR>(n->data[i].data());
        h.dwBufferLength = static_cast<DWORD>(callbackBytes);
        waveInPrepareHeader(n->in, &h, sizeof h);
        waveInAddBuffer(n->in, &h, sizeof h);
    }
    capture = true;
    onCapture = std::move(callback);
    native = n;
    device = 1;
    n->worker = std::thread([this, n] {
        while (!n->stop.load()) {
            WaitForSingleObject(n->event, 100);
            for (WAVEHDR& h : n->headers) {
                if (n->stop.load() || !(h.dwFlags & WHDR_DONE)) continue;
                if (h.dwBytesRecorded > 0 && onCapture)
                    onCapture(reinterpret_cast<const uint8_t*>(h.lpData), h.dwBytesRecorded);
                h.dwFlags &= ~static_cast<DWORD>(WHDR_DONE);
                h.dwBytesRecorded = 0;
                waveInAddBuffer(n->in, &h, sizeof h);
            }
        }
    });
    waveInStart(n->in);
    return true;
}

bool AudioStream::OpenPlayback(size_t callbackBytes, PlaybackCallback callback, int channels) {
    if (device != 0 || callbackBytes == 0 || channels < 1 || channels > 2) return false;
    auto* n = new Native;
    n->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    WAVEFORMATEX f = Format(channels);
    MMRESULT rc = waveOutOpen(&n->out, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(n->event), 0, CALLBACK_EVENT);
    if (rc != MMSYSERR_NOERROR) {
        lastError = MmError("audio playback open failed", rc);
        CloseHandle(n->event);
        delete n;
        return false;
    }
    capture = false;
    onPlayback = std::move(callback);
    native = n;
    device = 1;
    n->data.assign(kBufferCount, std::vector<uint8_t>(callbackBytes));
    n->headers.assign(kBufferCount, WAVEHDR{});
    for (int i = 0; i < kBufferCount; ++i) {
        WAVEHDR& h = n->headers[i];
        h.lpData = reinterpret_cast<LPSTR>(n->data[i].data());
        h.dwBufferLength = static_cast<DWORD>(callbackBytes);
        waveOutPrepareHeader(n->out, &h, sizeof h);
        if (onPlayback) onPlayback(n->data[i].data(), callbackBytes);
        waveOutWrite(n->out, &h, sizeof h);
    }
    n->worker = std::thread([this, n, callbackBytes] {
        while (!n->stop.load()) {
            WaitForSingleObject(n->event, 100);
            for (size_t i = 0; i < n->headers.size(); ++i) {
                WAVEHDR& h = n->headers[i];
                if (n->stop.load() || !(h.dwFlags & WHDR_DONE)) continue;
                if (onPlayback) onPlayback(n->data[i].data(), callbackBytes);
                h.dwFlags &= ~static_cast<DWORD>(WHDR_DONE);
                waveOutWrite(n->out, &h, sizeof h);
            }
        }
    });
    return true;
}

int AudioStream::PlaybackQueueDepth() { return kBufferCount; }

void AudioStream::Close() {
    if (device == 0) return;
    Native* n = native;
    // The worker is the only caller of the callbacks: once joined, none runs any more.
    n->stop.store(true);
    SetEvent(n->event);
    if (n->worker.joinable()) n->worker.join();
    if (n->in) {
        waveInReset(n->in);
        for (WAVEHDR& h : n->headers) waveInUnprepareHeader(n->in, &h, sizeof h);
        waveInClose(n->in);
    }
    if (n->out) {
        waveOutReset(n->out);
        for (WAVEHDR& h : n->headers) waveOutUnprepareHeader(n->out, &h, sizeof h);
        waveOutClose(n->out);
    }
    CloseHandle(n->event);
    delete n;
    native = nullptr;
    device = 0;
    onCapture = nullptr;
    onPlayback = nullptr;
}

}  // namespace platform
