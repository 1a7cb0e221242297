#include "platform/MicVolume.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>


namespace platform {

namespace {
// Every server round trip is bounded: a stalled sound server must not freeze the window.
constexpr pa_usec_t kRoundTripLimitUsec = 500 * 1000;
constexpr auto kReconnectInterval = std::chrono::seconds(1);
}  // namespace

struct MicVolume::Impl {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    std::chrono::steady_clock::time_point lastAttempt {};
    bool attempted = false;

    // Results of the callbacks, written on the mainloop thread under its lock.
    std::string defaultSource;
    bool sourceFound = false;
    pa_cvolume sourceVolume {};
    int success = -1;
    bool deadline = false;

    ~Impl() { Disconnect(); }

    static void OnContextState(pa_context*, void* user) {
        pa_threaded_mainloop_signal(static_cast<Impl*>(user)->loop, 0);
    }
    static void OnDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
        auto* self = static_cast<Impl*>(user);
        self->deadline = true;
        pa_threaded_mainloop_signal(self->loop, 0);
    }
    static void OnServerInfo(pa_context*, const pa_server_info* info, void* user) {
        auto* self = static_cast<Impl*>(user);
        self->defaultSource = (info && info->default_source_name) ? info->default_source_name : "";
        pa_threaded_mainloop_signal(self->loop, 0);
    }
    static void OnSourceInfo(pa_context*, const pa_source_info* info, int eol, void* user) {
        auto* self = static_cast<Impl*>(user);
        if (eol == 0 && info) {
            self->sourceFound = true;
            self->sourceVolume = info->volume;
        }
        pa_threaded_mainloop_signal(self->loop, 0);
    }
    static void OnSuccess(pa_context*, int ok, void* user) {
        auto* self = static_cast<Impl*>(user);
        self->success = ok;
        pa_threaded_mainloop_signal(self->loop, 0);
    }

    void Disconnect() {
        if (loop && deadlineEvent) {
            pa_threaded_mainloop_lock(loop);
            pa_threaded_mainloop_get_api(loop)->time_free(deadlineEvent);
            pa_threaded_mainloop_unlock(loop);
        }
        deadlineEvent = nullptr;
        if (loop) pa_threaded_mainloop_stop(loop);
        if (context) {
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
        if (loop) {
            pa_threaded_mainloop_free(loop);
            loop = nullptr;
        }
    }

    // One timer per connection, re-armed for every wait (called with the loop locked).
    pa_time_event* deadlineEvent = nullptr;
    pa_time_event* ArmDeadline() {
        deadline = false;
        pa_usec_t at = pa_rtclock_now() + kRoundTripLimitUsec;
        if (!deadlineEvent) deadlineEvent = pa_context_rttime_new(context, at, &OnDeadline, this);
        else pa_context_rttime_restart(context, deadlineEvent, at);
        return deadlineEvent;
    }
    void DisarmDeadline(pa_time_event* ev) {
        if (ev) pa_context_rttime_restart(context, ev, PA_USEC_INVALID);
    }

    bool Connected() {
        if (!context) return false;
        pa_threaded_mainloop_lock(loop);
        bool ready = pa_context_get_state(context) == PA_CONTEXT_READY;
        pa_threaded_mainloop_unlock(loop);
        return ready;
    }

    bool EnsureConnected() {
        if (Connected()) return true;
        auto now = std::chrono::steady_clock::now();
        if (attempted && now - lastAttempt < kReconnectInterval) return false;
        attempted = true;
        lastAttempt = now;
        Disconnect();

        loop = pa_threaded_mainloop_new();
        if (!loop) return false;
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "OrvantaConnect");
        if (!context) {
            Disconnect();
            return false;
        }
        pa_context_set_state_callback(context, &OnContextState, this);
        // No autospawn: the program never starts a sound server of its own.
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            pa_threaded_mainloop_start(loop) < 0) {
            Disconnect();
            return false;
        }
        pa_threaded_mainloop_lock(loop);
        pa_time_event* ev = ArmDeadline();
        pa_context_state_t state;
        while (true) {
            state = pa_context_get_state(context);
            if (state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state) || deadline) break;
            pa_threaded_mainloop_wait(loop);
        }
        DisarmDeadline(ev);
        pa_threaded_mainloop_unlock(loop);
        if (state != PA_CONTEXT_READY) {
            Disconnect();
            return false;
        }
        return true;
    }

    // Called with the loop locked; waits for the operation or the deadline.
    bool Finish(pa_operation* op) {
        if (!op) return false;
        pa_time_event* ev = ArmDeadline();
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && !deadline) pa_threaded_mainloop_wait(loop);
        bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
        if (!done) pa_operation_cancel(op);
        pa_operation_unref(op);
        DisarmDeadline(ev);
        return done;
    }

    // Called with the loop locked: reads the default source's name and volume.
    bool QueryDefaultSource() {
        defaultSource.clear();
        if (!Finish(pa_context_get_server_info(context, &OnServerInfo, this))) return false;
        if (defaultSource.empty()) return false;
        sourceFound = false;
        if (!Finish(pa_context_get_source_info_by_name(context, defaultSource.c_str(), &OnSourceInfo, this)))
            return false;
        return sourceFound && sourceVolume.channels > 0;
    }
};

MicVolume::MicVolume() : impl(std::make_unique<Impl>()) {}
MicVolume::~MicVolume() = default;

bool MicVolume::Get(float& volume) {
    if (!impl->EnsureConnected()) return false;
    pa_threaded_mainloop_lock(impl->loop);
    bool ok = impl->QueryDefaultSource();
    pa_volume_t avg = ok ? pa_cvolume_avg(&impl->sourceVolume) : 0;
    pa_threaded_mainloop_unlock(impl->loop);
    if (!ok) return false;
    volume = std::clamp(static_cast<float>(avg) / static_cast<float>(PA_VOLUME_NORM), 0.0f, 1.0f);
    return true;
}

bool MicVolume::Set(float volume) {
    if (!std::isfinite(volume)) return false;
    if (!impl->EnsureConnected()) return false;
    volume = std::clamp(volume, 0.0f, 1.0f);
    pa_threaded_mainloop_lock(impl->loop);
    bool ok = impl->QueryDefaultSource();
    if (ok) {
        pa_cvolume cv = impl->sourceVolume;
        pa_cvolume_set(&cv, cv.channels, static_cast<pa_volume_t>(std::lround(volume * PA_VOLUME_NORM)));
        impl->success = -1;
        ok = impl->Finish(pa_context_set_source_volume_by_name(impl->context, impl->defaultSource.c_str(), &cv,
                                                               &Impl::OnSuccess, impl.get())) &&
             impl->success == 1;
    }
    pa_threaded_mainloop_unlock(impl->loop);
    return ok;
}

}  // namespace platform
