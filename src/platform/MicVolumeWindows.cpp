// Volume of the default recording endpoint through Core Audio (IAudioEndpointVolume).
#include "platform/MicVolume.h"

#include <windows.h>
#include <initguid.h>
#include <mmdeviceapi.h>
#include <endpointvolume.h>

#include <algorithm>
#include <chrono>

namespace platform {

namespace {
constexpr auto kReconnectInterval = std::chrono::seconds(1);
}  // namespace

struct MicVolume::Impl {
    bool comStarted = false;
    IAudioEndpointVolume* endpoint = nullptr;
    std::chrono::steady_clock::time_point lastAttempt{};
    bool attempted = false;

    Impl() {
        // S_FALSE (already started on this thread) also needs its CoUninitialize.
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        comStarted = hr == S_OK || hr == S_FALSE;
    }
    ~Impl() {
        Release();
        if (comStarted) CoUninitialize();
    }
    void Release() {
        if (endpoint) endpoint->Release();
        endpoint = nullptr;
    }
    // A microphone plugged in later becomes the default endpoint: look again, at most once a second.
    bool Ready() {
        if (endpoint) return true;
        const auto now = std::chrono::steady_clock::now();
        if (attempted && now - lastAttempt < kReconnectInterval) return false;
        attempted = true;
        lastAttempt = now;
        IMMDeviceEnumerator* enumerator = nullptr;
        if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                    reinterpret_cast<void**>(&enumerator))))
            return false;
        IMMDevice* mic = nullptr;
        if (SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, &mic))) {
            mic->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&endpoint));
            mic->Release();
        }
        enumerator->Release();
        return endpoint != nullptr;
    }
};

MicVolume::MicVolume() : impl(std::make_unique<Impl>()) {}

MicVolume::~MicVolume() = default;

bool MicVolume::Get(float& volume) {
    if (!impl->Ready()) return false;
    float v = 0.0f;
    if (FAILED(impl->endpoint->GetMasterVolumeLevelScalar(&v))) {
        impl->Release();  // the device went away; find the new default next time
        return false;
    }
    volume = v;
    return true;
}

bool MicVolume::Set(float volume) {
    if (!impl->Ready()) return false;
    if (FAILED(impl->endpoint->SetMasterVolumeLevelScalar(std::clamp(volume, 0.0f, 1.0f), nullptr))) {
        impl->Release();
        return false;
    }
    return true;
}

}  // namespace platform
