// Plays one call of a capture through the call player on the default output device, as the
// Flow tab does, for pulse_playback.sh (which records what reaches the sound server):
//   oc_win_play_call CAPTURE CALL_ID
// First the whole call to its end, then, after a second of silence, the call again, stopped
// half a second in. Prints one line per step; exit 0 when every step went as it should,
// 1 otherwise, 2 for a wrong command line.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "flow/FlowCore.h"
#include "playback/CallPlayer.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

bool WaitWhilePlaying(const CallPlayer& player, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (player.Snapshot()->state == PlayerState::Playing && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return player.Snapshot()->state != PlayerState::Playing;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: oc_win_play_call CAPTURE CALL_ID\n");
        return 2;
    }
    const std::string callId = argv[2];
    FlowCore core;
    if (!core.StartOffline(argv[1])) {
        std::printf("FAIL: the capture did not open\n");
        return 1;
    }
    const auto readBy = Clock::now() + std::chrono::seconds(30);
    while (core.IsRunning() && Clock::now() < readBy) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    core.WaitAnalysed();

    CallPlayer player(CallPlayer::FromFlowCore(core));
    bool ok = true;
    auto check = [&ok](bool good, const char* what, double value) {
        std::printf("%s %s %.3f\n", good ? "ok" : "FAIL:", what, value);
        ok = ok && good;
    };

    // The whole call: the device plays it to its end, and closing it once it has does not hang.
    auto started = Clock::now();
    auto s = player.WaitHandled(player.RequestPlay(callId, PlayerChannels::BothDirections, PlayoutMode::JitterBuffer));
    if (s->state != PlayerState::Playing) {
        std::printf("FAIL: not playing: %s\n", s->message.c_str());
        return 1;
    }
    check(std::fabs(s->durationSeconds - 2.0) < 0.05, "duration", s->durationSeconds);
    const bool ended = WaitWhilePlaying(player, 20);
    const double took = SecondsSince(started);
    check(ended && player.Snapshot()->state == PlayerState::Finished, "finished after", took);
    // The device asks for buffers as it plays them: far quicker than real time is a device
    // that does not wait, far slower one that gets its buffers back late.
    check(took > 1.5 && took < 3.5, "played in real time", took);
    check(std::fabs(player.PositionSeconds() - 2.0) < 0.05, "position", player.PositionSeconds());

    std::this_thread::sleep_for(std::chrono::seconds(1));

    // Stopped while the driver still holds queued buffers.
    s = player.WaitHandled(player.RequestPlay(callId, PlayerChannels::BothDirections, PlayoutMode::JitterBuffer));
    check(s->state == PlayerState::Playing, "playing again", 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    started = Clock::now();
    s = player.WaitHandled(player.RequestStop());
    const double stopTook = SecondsSince(started);
    check(stopTook < 1.0 && s->state == PlayerState::Idle, "stopped in", stopTook);
    std::fflush(stdout);
    return ok ? 0 : 1;
}
