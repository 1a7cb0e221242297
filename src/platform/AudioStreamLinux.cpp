#include "platform/AudioStream.h"

#include <SDL2/SDL.h>

#include <mutex>


namespace platform {

namespace {
std::mutex initMutex;
}  // namespace

AudioSystem::AudioSystem() {
    std::lock_guard<std::mutex> lock(initMutex);
    // SDL counts subsystem initialisations itself, but SDL_InitSubSystem is not thread-safe.
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
        started = true;
    } else {
        lastError = std::string("SDL audio init failed: ") + SDL_GetError();
    }
}

AudioSystem::~AudioSystem() {
    std::lock_guard<std::mutex> lock(initMutex);
    if (started) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
}

std::string AudioSystem::DriverName() const {
    const char* name = started ? SDL_GetCurrentAudioDriver() : nullptr;
    return name ? name : "";
}

int AudioSystem::CountInputDevices() const {
    if (!started) return 0;
    int n = SDL_GetNumAudioDevices(1);
    return n < 0 ? 0 : n;
}

int AudioSystem::CountOutputDevices() const {
    if (!started) return 0;
    int n = SDL_GetNumAudioDevices(0);
    return n < 0 ? 0 : n;
}

AudioStream::~AudioStream() { Close(); }

void AudioStream::Trampoline(void* user, uint8_t* stream, int len) {
    auto* self = static_cast<AudioStream*>(user);
    if (len <= 0) return;
    if (self->capture) {
        if (self->onCapture) self->onCapture(stream, static_cast<size_t>(len));
    } else if (self->onPlayback) {
        self->onPlayback(stream, static_cast<size_t>(len));
    } else {
        SDL_memset(stream, 0, static_cast<size_t>(len));
    }
}

static SDL_AudioSpec WantedSpec(size_t callbackBytes, void* user, int channels = 1) {
    SDL_AudioSpec want;
    SDL_zero(want);
    want.freq = kAudioSampleRate;
    want.format = AUDIO_S16LSB;
    want.channels = static_cast<Uint8>(channels);
    want.samples = static_cast<Uint16>(callbackBytes / (2 * channels));
    want.userdata = user;
    return want;
}

bool AudioStream::OpenCapture(size_t callbackBytes, CaptureCallback callback) {
    if (device != 0) return false;
    capture = true;
    onCapture = std::move(callback);
    SDL_AudioSpec want = WantedSpec(callbackBytes, this);
    want.callback = &AudioStream::Trampoline;
    SDL_AudioSpec have;
    // No allowed changes: SDL converts to exactly this format and buffer size for us.
    device = SDL_OpenAudioDevice(nullptr, 1, &want, &have, 0);
    if (device == 0) {
        lastError = std::string("audio capture open failed: ") + SDL_GetError();
        onCapture = nullptr;
        return false;
    }
    SDL_PauseAudioDevice(device, 0);
    return true;
}

bool AudioStream::OpenPlayback(size_t callbackBytes, PlaybackCallback callback, int channels) {
    if (device != 0 || channels < 1 || channels > 2) return false;
    capture = false;
    onPlayback = std::move(callback);
    SDL_AudioSpec want = WantedSpec(callbackBytes, this, channels);
    want.callback = &AudioStream::Trampoline;
    SDL_AudioSpec have;
    device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (device == 0) {
        lastError = std::string("audio playback open failed: ") + SDL_GetError();
        onPlayback = nullptr;
        return false;
    }
    SDL_PauseAudioDevice(device, 0);
    return true;
}

// SDL's own buffer in its audio thread and one more at the sound server (its PulseAudio
// backend asks for a target length of one buffer; ALSA's period count is alike).
int AudioStream::PlaybackQueueDepth() { return 2; }

void AudioStream::Close() {
    if (device == 0) return;
    // SDL_CloseAudioDevice waits for a running callback and stops the audio thread.
    SDL_CloseAudioDevice(device);
    device = 0;
    onCapture = nullptr;
    onPlayback = nullptr;
}

}  // namespace platform
