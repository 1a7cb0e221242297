#pragma once
// Listens to a call: decodes its streams (CallAudio) on a thread of its own and plays them
// on the default output device, the call's two directions on the left and right channels
// (or one of them alone, or one stream on both). Views talk to it by requests, each of which
// returns at once, and read Snapshot(), which never waits on the work.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "playback/CallAudio.h"
#include "platform/AudioStream.h"

class FlowCore;

// What a call's audio is made from: its streams, its a=rtpmap lines and the packets.
struct CallMedia {
    std::vector<RtpStreamReport> streams;
    std::vector<SdpRtpMap> sdpMaps;
    std::vector<PacketLogEntry> packets;
};

enum class PlayerState : uint8_t { Idle, Decoding, Playing, Finished, Failed };
// Which streams sound: the call's two directions (left the busiest stream, right the one
// back), one of them on both channels, or the stream asked for by its key.
enum class PlayerChannels : uint8_t { BothDirections, ForwardOnly, ReverseOnly, OneStream };

struct PlayerStream {
    RtpStreamReport report;  // with `audio` set when decoded
    bool hasDecoder = false;
    double seconds = 0;
    uint64_t played = 0, late = 0, lost = 0;
    double concealedSeconds = 0;  // what the codec's concealment filled in
};

struct PlayerSnapshot {
    uint64_t handled = 0;       // serial of the latest request carried out
    PlayerState state = PlayerState::Idle;
    std::string callId;
    PlayoutMode mode = PlayoutMode::JitterBuffer;
    LossFill fill = LossFill::Silence;  // of the decoded streams
    PlayerChannels channels = PlayerChannels::BothDirections;
    std::vector<PlayerStream> streams;  // the call's, decoded
    // The same streams' reports with the decoded audio (`audio` set where decoded), one list
    // per decode: what the call's verdicts take to know which streams carried only silence.
    std::shared_ptr<const std::vector<RtpStreamReport>> decodedReports;
    int left = -1, right = -1;  // streams index on each channel (-1: silent)
    double durationSeconds = 0;
    std::string message;        // the last save or failure, as shown
    std::string savedDirectory;
};

class CallPlayer {
public:
    using MediaSource = std::function<std::optional<CallMedia>(const std::string& callId)>;
    // The calls of `core`: its stream reports, the call's SDP maps and the buffered packets.
    static MediaSource FromFlowCore(const FlowCore& core);
    // Device callbacks of about 46 ms of stereo.
    static constexpr size_t kCallbackBytes = 8192;
    // After the last samples the device is fed silence for at least this long (and for as many
    // callbacks as it queues) before it is closed, so the end of the call is heard.
    static constexpr double kDrainSeconds = 0.2;
    // Callbacks of silence after the end before a play is finished.
    static size_t DrainCallbacks();

    explicit CallPlayer(MediaSource source);
    ~CallPlayer();
    CallPlayer(const CallPlayer&) = delete;
    CallPlayer& operator=(const CallPlayer&) = delete;

    // Decodes the call (when it is not the one decoded already, or in another mode) and plays
    // it from the start. OneStream plays `stream` (source, destination and SSRC). `fill`:
    // what sounds where packets were lost or dropped late (the codec's concealment, or
    // silence as in the WAV files).
    uint64_t RequestPlay(const std::string& callId, PlayerChannels channels, PlayoutMode mode,
                         std::optional<RtpStreamReport> stream = std::nullopt, LossFill fill = LossFill::Conceal);
    uint64_t RequestStop();
    // Jumps to this point of the playing audio.
    uint64_t RequestSeek(double seconds);
    // One WAV per stream of the call (the mode's play-out, lost packets silent) in a new
    // folder below `directory`.
    uint64_t RequestSaveWav(const std::string& callId, PlayoutMode mode, const std::string& directory);

    // The latest snapshot (never null, never waits) and the live play position.
    std::shared_ptr<const PlayerSnapshot> Snapshot() const { return latest.load(); }
    double PositionSeconds() const { return double(position.load()) / platform::kAudioSampleRate; }
    // Blocks until a request has been carried out (command line, tests).
    std::shared_ptr<const PlayerSnapshot> WaitHandled(uint64_t serial) const;
    // The serial of the latest request posted, by anyone (0: none yet).
    uint64_t LastRequested() const;
    // What the device is fed (44100 Hz, left and right interleaved) for the current play;
    // only between plays, for tests.
    std::vector<int16_t> PreparedForTesting() const { return frames; }
    // The sound device could not be opened (no device, no server): decoding and saving work.
    bool DeviceFailed() const { return deviceFailed.load(); }

private:
    struct Request {
        enum class Kind { Play, Stop, Seek, Save } kind = Kind::Stop;
        uint64_t serial = 0;
        std::string callId;
        PlayerChannels channels = PlayerChannels::BothDirections;
        PlayoutMode mode = PlayoutMode::JitterBuffer;
        LossFill fill = LossFill::Silence;
        std::optional<RtpStreamReport> stream;
        double seconds = 0;
        std::string directory;
    };
    uint64_t Post(Request r);
    void Loop();
    void Execute(const Request& r);
    bool Decode(const std::string& callId, PlayoutMode mode, LossFill fill);
    void Play(const Request& r);
    void StopDevice();
    void Publish(const std::function<void(PlayerSnapshot&)>& change);
    void OnDevice(uint8_t* data, size_t bytes);

    MediaSource source;
    platform::AudioSystem audioSystem;
    platform::AudioStream device;  // the player thread opens and closes it

    // Player thread only: the decoded call.
    std::string decodedCall;
    PlayoutMode decodedMode = PlayoutMode::JitterBuffer;
    LossFill decodedFill = LossFill::Silence;
    bool haveDecoded = false;
    std::vector<DecodedStream> decoded;

    // Player thread -> audio thread: the prepared frames (fixed while the device is open) and
    // the position, in frames.
    std::vector<int16_t> frames;  // interleaved left, right at platform::kAudioSampleRate
    std::atomic<size_t> position{0};
    std::atomic<size_t> silentCallbacks{0};  // audio thread: callbacks fed past the end in a row
    std::atomic<bool> finished{false};
    std::atomic<bool> deviceFailed{false};

    mutable std::mutex mutex;
    mutable std::condition_variable changed;  // a request, quit, or a publication
    std::deque<Request> requests;
    uint64_t nextSerial = 1;
    bool quit = false;
    PlayerSnapshot current;  // player thread: what the next publication starts from
    std::atomic<std::shared_ptr<const PlayerSnapshot>> latest;

    std::thread worker;
};
