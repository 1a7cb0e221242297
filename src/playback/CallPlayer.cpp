#include "playback/CallPlayer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "flow/FlowCore.h"
#include "flow/StreamReport.h"
#include "logs/LogPaths.h"

namespace {

bool SameStream(const RtpStreamReport& a, const RtpStreamReport& b) {
    return a.ssrc == b.ssrc && a.src == b.src && a.dst == b.dst;
}

// One stream's samples on the device's clock, from `offset` seconds on, added to the
// channel: linear interpolation between the decoded samples.
void Resample(const StreamAudio& audio, double offset, std::vector<int16_t>& frames, size_t channel) {
    const uint32_t rate = audio.format.audioRate;
    if (!rate || audio.samples.empty()) return;
    const size_t count = frames.size() / 2;
    const size_t first = static_cast<size_t>(std::max(0.0, std::ceil(offset * platform::kAudioSampleRate)));
    for (size_t n = first; n < count; ++n) {
        const double at = (double(n) / platform::kAudioSampleRate - offset) * rate;
        const size_t i = static_cast<size_t>(at);
        if (i >= audio.samples.size()) break;
        const double frac = at - double(i);
        const double next = i + 1 < audio.samples.size() ? audio.samples[i + 1] : audio.samples[i];
        // Added, not written: the streams of one direction that overlap are mixed.
        int16_t& out = frames[2 * n + channel];
        out = static_cast<int16_t>(std::clamp<long>(out + std::lround(audio.samples[i] * (1.0 - frac) + next * frac),
                                                    -32768, 32767));
    }
}

}  // namespace

CallPlayer::MediaSource CallPlayer::FromFlowCore(const FlowCore& core) {
    return [&core](const std::string& callId) -> std::optional<CallMedia> {
        std::optional<SipCall> call = core.Tracker().GetCall(callId);
        if (!call) return std::nullopt;
        CallMedia media;
        media.streams = core.Tracker().GetStreamReports(&callId);
        media.sdpMaps = call->rtpMaps;
        media.packets = core.GetPackets();
        return media;
    };
}

CallPlayer::CallPlayer(MediaSource source) : source(std::move(source)) {
    latest.store(std::make_shared<const PlayerSnapshot>());
    worker = std::thread([this] { Loop(); });
}

CallPlayer::~CallPlayer() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        quit = true;
    }
    changed.notify_all();
    worker.join();
    StopDevice();
}

uint64_t CallPlayer::Post(Request r) {
    std::lock_guard<std::mutex> lock(mutex);
    r.serial = nextSerial++;
    const uint64_t serial = r.serial;
    requests.push_back(std::move(r));
    changed.notify_all();
    return serial;
}

uint64_t CallPlayer::RequestPlay(const std::string& callId, PlayerChannels channels, PlayoutMode mode,
                                 std::optional<RtpStreamReport> stream, LossFill fill) {
    Request r;
    r.kind = Request::Kind::Play;
    r.callId = callId;
    r.channels = channels;
    r.mode = mode;
    r.fill = fill;
    r.stream = std::move(stream);
    return Post(std::move(r));
}

uint64_t CallPlayer::RequestStop() {
    Request r;
    r.kind = Request::Kind::Stop;
    return Post(std::move(r));
}

uint64_t CallPlayer::RequestSeek(double seconds) {
    Request r;
    r.kind = Request::Kind::Seek;
    r.seconds = seconds;
    return Post(std::move(r));
}

uint64_t CallPlayer::RequestSaveWav(const std::string& callId, PlayoutMode mode, const std::string& directory) {
    Request r;
    r.kind = Request::Kind::Save;
    r.callId = callId;
    r.mode = mode;
    r.directory = directory;
    return Post(std::move(r));
}

uint64_t CallPlayer::LastRequested() const {
    std::lock_guard<std::mutex> lock(mutex);
    return nextSerial - 1;
}

std::shared_ptr<const PlayerSnapshot> CallPlayer::WaitHandled(uint64_t serial) const {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return latest.load()->handled >= serial; });
    return latest.load();
}

void CallPlayer::Publish(const std::function<void(PlayerSnapshot&)>& change) {
    change(current);
    latest.store(std::make_shared<const PlayerSnapshot>(current));
    std::lock_guard<std::mutex> lock(mutex);
    changed.notify_all();
}

void CallPlayer::Loop() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!quit) {
        if (requests.empty()) {
            // While a play runs, look every 50 ms whether the device reached the end.
            if (device.IsOpen()) changed.wait_for(lock, std::chrono::milliseconds(50));
            else changed.wait(lock);
            if (finished.load() && device.IsOpen()) {
                lock.unlock();
                StopDevice();
                Publish([](PlayerSnapshot& s) { s.state = PlayerState::Finished; });
                lock.lock();
            }
            continue;
        }
        Request r = std::move(requests.front());
        requests.pop_front();
        lock.unlock();
        Execute(r);
        Publish([&](PlayerSnapshot& s) { s.handled = r.serial; });
        lock.lock();
    }
}

void CallPlayer::StopDevice() {
    device.Close();  // waits for a running callback
}

size_t CallPlayer::DrainCallbacks() {
    const double callbackSeconds = double(kCallbackBytes / 4) / platform::kAudioSampleRate;
    return std::max(static_cast<size_t>(std::max(0, platform::AudioStream::PlaybackQueueDepth())),
                    static_cast<size_t>(std::ceil(kDrainSeconds / callbackSeconds)));
}

void CallPlayer::OnDevice(uint8_t* data, size_t bytes) {
    const size_t wanted = bytes / 4;  // stereo frames of two 16-bit samples
    const size_t total = frames.size() / 2;
    size_t at = std::min(position.load(), total);
    const size_t n = std::min(wanted, total - at);
    if (n) std::memcpy(data, frames.data() + 2 * at, n * 4);
    if (n < wanted) std::memset(data + n * 4, 0, (wanted - n) * 4 + bytes % 4);
    position.store(at + n);
    // The position stops at the end while the device plays out what it still holds: each
    // callback of silence alone means one more of its queued buffers was heard. A seek back
    // starts the count again.
    if (n) {
        silentCallbacks.store(0);
    } else if (silentCallbacks.fetch_add(1) + 1 >= DrainCallbacks()) {
        finished.store(true);
    }
}

bool CallPlayer::Decode(const std::string& callId, PlayoutMode mode, LossFill fill) {
    if (haveDecoded && decodedCall == callId && decodedMode == mode && decodedFill == fill) return true;
    Publish([&](PlayerSnapshot& s) {
        s.state = PlayerState::Decoding;
        s.callId = callId;
        s.mode = mode;
        s.fill = fill;
        s.streams.clear();
        s.decodedReports.reset();
    });
    haveDecoded = false;
    decoded.clear();
    std::optional<CallMedia> media = source ? source(callId) : std::nullopt;
    if (!media) return false;
    SdpMapsByCall maps;
    maps[callId] = media->sdpMaps;
    decoded = DecodeStreams(media->streams, media->packets, maps, mode, fill);
    decodedCall = callId;
    decodedMode = mode;
    decodedFill = fill;
    haveDecoded = true;
    std::vector<PlayerStream> shown;
    for (const DecodedStream& d : decoded) {
        PlayerStream p;
        p.report = d.report;
        p.hasDecoder = d.audio.HasDecoder();
        p.seconds = d.audio.Seconds();
        p.played = d.audio.played;
        p.late = d.audio.late;
        p.lost = d.audio.lost;
        if (d.audio.format.audioRate) p.concealedSeconds = double(d.audio.concealedSamples) / d.audio.format.audioRate;
        shown.push_back(std::move(p));
    }
    auto reports = std::make_shared<std::vector<RtpStreamReport>>();
    for (const DecodedStream& d : decoded) reports->push_back(d.report);
    Publish([&](PlayerSnapshot& s) {
        s.streams = std::move(shown);
        s.decodedReports = std::move(reports);
    });
    return true;
}

void CallPlayer::Play(const Request& r) {
    StopDevice();
    if (!Decode(r.callId, r.mode, r.fill)) {
        Publish([&](PlayerSnapshot& s) {
            s.state = PlayerState::Failed;
            s.message = "Chamada nao encontrada";
        });
        return;
    }
    // Which streams go to which channel.
    int left = -1, right = -1;
    std::vector<RtpStreamReport> reports;
    for (const DecodedStream& d : decoded) reports.push_back(d.report);
    int busiest = -1;
    for (size_t i = 0; i < decoded.size(); ++i)
        if (decoded[i].audio.HasDecoder() && (busiest < 0 || decoded[i].report.packets > decoded[size_t(busiest)].report.packets))
            busiest = static_cast<int>(i);
    int reverse = -1;
    if (busiest >= 0)
        if (const RtpStreamReport* back = ReverseStream(reports[size_t(busiest)], reports))
            reverse = static_cast<int>(back - reports.data());
    switch (r.channels) {
        case PlayerChannels::BothDirections: left = busiest, right = reverse; break;
        case PlayerChannels::ForwardOnly: left = right = busiest; break;
        case PlayerChannels::ReverseOnly: left = right = reverse; break;
        case PlayerChannels::OneStream:
            for (size_t i = 0; i < decoded.size() && r.stream; ++i)
                if (SameStream(decoded[i].report, *r.stream)) left = right = static_cast<int>(i);
            break;
    }
    auto playable = [&](int i) { return i >= 0 && decoded[size_t(i)].audio.HasDecoder(); };
    if (!playable(left)) left = -1;
    if (!playable(right)) right = -1;
    if (left < 0 && right < 0) {
        Publish([&](PlayerSnapshot& s) {
            s.state = PlayerState::Failed;
            s.channels = r.channels;
            s.left = s.right = -1;
            s.message = "Nada para tocar: sem decodificador ou sem RTP";
        });
        return;
    }
    // Each channel plays its stream and, for a direction, every other stream the same way
    // between the same addresses (a new SSRC after a re-INVITE or a restart), each at the
    // time it arrived.
    auto group = [&](int main) {
        std::vector<size_t> members;
        if (main < 0) return members;
        const RtpStreamReport& m = decoded[size_t(main)].report;
        for (size_t i = 0; i < decoded.size(); ++i) {
            const RtpStreamReport& o = decoded[i].report;
            const bool sameWay = o.src.address == m.src.address && o.dst.address == m.dst.address;
            if (int(i) == main || (r.channels != PlayerChannels::OneStream && sameWay && decoded[i].audio.HasDecoder() &&
                                   decoded[i].audio.format.audioRate != 0))
                members.push_back(i);
        }
        return members;
    };
    const std::vector<size_t> leftGroup = group(left), rightGroup = group(right);
    double start = 1e300, end = 0;
    for (const std::vector<size_t>* g : {&leftGroup, &rightGroup}) {
        for (size_t i : *g) {
            const DecodedStream& d = decoded[i];
            start = std::min(start, d.report.firstSeconds);
            end = std::max(end, d.report.firstSeconds + d.audio.Seconds());
        }
    }
    frames.assign(2 * static_cast<size_t>(std::ceil((end - start) * platform::kAudioSampleRate)), 0);
    for (size_t i : leftGroup) Resample(decoded[i].audio, decoded[i].report.firstSeconds - start, frames, 0);
    for (size_t i : rightGroup) Resample(decoded[i].audio, decoded[i].report.firstSeconds - start, frames, 1);
    position.store(0);
    silentCallbacks.store(0);
    finished.store(false);
    const bool open = device.OpenPlayback(kCallbackBytes, [this](uint8_t* data, size_t bytes) { OnDevice(data, bytes); }, 2);
    deviceFailed.store(!open);
    Publish([&](PlayerSnapshot& s) {
        s.state = open ? PlayerState::Playing : PlayerState::Failed;
        s.channels = r.channels;
        s.left = left;
        s.right = right;
        s.durationSeconds = end - start;
        s.message = open ? std::string() : "Sem dispositivo de audio: " + device.LastError();
    });
}

void CallPlayer::Execute(const Request& r) {
    switch (r.kind) {
        case Request::Kind::Play: Play(r); break;
        case Request::Kind::Stop:
            StopDevice();
            position.store(0);
            Publish([](PlayerSnapshot& s) {
                if (s.state == PlayerState::Playing) s.state = PlayerState::Idle;
            });
            break;
        case Request::Kind::Seek: {
            const size_t total = frames.size() / 2;
            const double at = std::max(0.0, r.seconds) * platform::kAudioSampleRate;
            position.store(std::min(total, static_cast<size_t>(at)));
            break;
        }
        case Request::Kind::Save: {
            // The files hold what arrived: lost packets are silence there, as in orvanta-cli's.
            // While a play runs its decoded streams stay as they are and the files are decoded
            // on the side; otherwise the saved call becomes the one shown.
            std::vector<DecodedStream> aside;
            const std::vector<DecodedStream>* files = &aside;
            bool found = false;
            if (device.IsOpen()) {
                if (std::optional<CallMedia> media = source ? source(r.callId) : std::nullopt) {
                    SdpMapsByCall maps;
                    maps[r.callId] = media->sdpMaps;
                    aside = DecodeStreams(media->streams, media->packets, maps, r.mode, LossFill::Silence);
                    found = true;
                }
            } else {
                found = Decode(r.callId, r.mode, LossFill::Silence);
                files = &decoded;
                if (found)
                    Publish([](PlayerSnapshot& s) {
                        if (s.state == PlayerState::Decoding) s.state = PlayerState::Idle;
                    });
            }
            if (!found) {
                Publish([](PlayerSnapshot& s) {
                    s.state = PlayerState::Failed;
                    s.message = "Chamada nao encontrada";
                });
                break;
            }
            std::string safe;
            for (char c : r.callId) {
                const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                                   c == '.' || c == '-' || c == '@';
                safe += plain ? c : '_';
                if (safe.size() >= 48) break;
            }
            const std::string folder =
                (std::filesystem::path(r.directory) / (FileTimeStamp() + "_ouvir_" + (safe.empty() ? "sem_id" : safe)))
                    .string();
            const WavExportResult w = WriteStreamWavs(folder, *files);
            size_t count = 0;
            for (const std::string& f : w.files) count += f != "-";
            Publish([&](PlayerSnapshot& s) {
                s.savedDirectory = w.written ? folder : std::string();
                s.message = w.written ? "WAV gravados em " + folder + " (" + std::to_string(count) + " arquivos)"
                                      : "Falha ao gravar WAV: " + w.error;
            });
            break;
        }
    }
}
