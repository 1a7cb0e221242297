#pragma once
// A private PulseAudio server with virtual devices for the audio tests:
//   spk  - null sink, the default output; what the program plays shows up at spk.monitor
//          (without rewinds, which would let the monitor miss the start of a new stream)
//   mic  - the default input, a remap of the null sink "micsrc"'s monitor, so a tone played
//          into micsrc is what the microphone hears.
// It runs with its own XDG_RUNTIME_DIR and HOME and is stopped by its PID.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "lib/TestSupport.h"

class PulseServer {
public:
    bool Start() { return Prepare() && Launch(); }

    // The private folder and the environment that points clients at it, without a server yet.
    bool Prepare() {
        dir = testsupport::MakeTempDir("pulse");
        if (dir.empty()) return false;
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        setenv("HOME", dir.c_str(), 1);
        setenv("PULSE_SERVER", ("unix:" + dir + "/pulse/native").c_str(), 1);
        unsetenv("SDL_AUDIODRIVER");
        std::filesystem::create_directories(dir + "/pulse");
        return true;
    }

    bool Launch() {
        if (!server.Start({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--disallow-exit",
                           "--load=module-native-protocol-unix auth-anonymous=1 socket=" + dir + "/pulse/native",
                           "--load=module-null-sink sink_name=spk norewinds=1", "--load=module-null-sink sink_name=micsrc",
                           "--load=module-remap-source master=micsrc.monitor source_name=mic"},
                          false, dir + "/server.log"))
            return false;
        bool up = testsupport::WaitFor([] { return testsupport::RunCommand("pactl info").exitCode == 0; },
                                       std::chrono::seconds(10));
        if (!up) return false;
        return Pactl("set-default-source mic") && Pactl("set-default-sink spk");
    }

    // Plays a sine of the given amplitude (0..1) into the microphone, for `seconds`: 440 Hz,
    // or with sweep a glide from 200 to 2000 Hz, which never repeats itself exactly.
    bool PlayToneIntoMic(double amplitude, int seconds, bool sweep = false) {
        std::string wav = dir + "/tone.wav";
        auto r = testsupport::RunCommand("sox -n -r 44100 -c 1 -b 16 " + wav + " synth " + std::to_string(seconds) +
                                         (sweep ? " sine 200-2000 vol " : " sine 440 vol ") + std::to_string(amplitude));
        if (r.exitCode != 0) return false;
        return tone.Start({"paplay", "--device=micsrc", wav});
    }
    void StopTone() { tone.Stop(); }

    bool Pactl(const std::string& args) { return testsupport::RunCommand("pactl " + args).exitCode == 0; }
    std::string PactlOut(const std::string& args) { return testsupport::RunCommand("pactl " + args).out; }

    ~PulseServer() {
        tone.Stop();
        server.Stop();
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }

    std::string dir;
    testsupport::Child server;
    testsupport::Child tone;
};
