#include "playback/CallAudio.h"

#include <cstdio>
#include <filesystem>

#include "capture/NetAddress.h"
#include "logs/LogPaths.h"
#include "playback/WavFile.h"

std::vector<std::vector<StreamPacket>> GatherStreamPackets(std::span<const RtpStreamReport> streams,
                                                           const std::vector<PacketLogEntry>& packets) {
    std::vector<std::vector<StreamPacket>> out(streams.size());
    for (const PacketLogEntry& e : packets) {
        if (e.ipProtocol != kIpProtoUdp || !e.hasPorts) continue;
        const std::span<const uint8_t> payload = e.Payload();
        RtpHeader h;
        if (!ParseRtpHeader(payload, h)) continue;
        const Endpoint src = e.Source(), dst = e.Destination();
        for (size_t i = 0; i < streams.size(); ++i) {
            const RtpStreamReport& s = streams[i];
            if (s.ssrc != h.ssrc || !(s.src == src) || !(s.dst == dst)) continue;
            const std::span<const uint8_t> media = RtpMediaBytes(payload);
            out[i].push_back({double(e.TimeMicros()) / 1e6, h, std::vector<uint8_t>(media.begin(), media.end())});
            break;
        }
    }
    return out;
}

std::vector<DecodedStream> DecodeStreams(std::span<const RtpStreamReport> streams,
                                         const std::vector<PacketLogEntry>& packets, const SdpMapsByCall& mapsByCall,
                                         PlayoutMode mode, LossFill fill) {
    static const std::vector<SdpRtpMap> kNoMaps;
    const std::vector<std::vector<StreamPacket>> perStream = GatherStreamPackets(streams, packets);
    std::vector<DecodedStream> out;
    out.reserve(streams.size());
    for (size_t i = 0; i < streams.size(); ++i) {
        const auto maps = mapsByCall.find(streams[i].callId);
        const std::vector<SdpRtpMap>& callMaps = maps == mapsByCall.end() ? kNoMaps : maps->second;
        DecodedStream d{streams[i], PlayOutStream(perStream[i], callMaps, mode, fill)};
        if (d.audio.HasDecoder()) d.report.audio = d.audio.facts;
        out.push_back(std::move(d));
    }
    return out;
}

std::string WavFileName(size_t index, const RtpStreamReport& r) {
    char head[16], tail[24];
    std::snprintf(head, sizeof head, "%02zu-", index);
    std::snprintf(tail, sizeof tail, "0x%08X.wav", r.ssrc);
    std::string name = head;
    size_t kept = 0;
    for (char c : r.callId) {
        if (kept++ == 48) break;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-' || c == '@';
        name += plain ? c : '_';
    }
    if (!r.callId.empty()) name += '-';
    return name + tail;
}

WavExportResult WriteStreamWavs(const std::string& directory, const std::vector<DecodedStream>& streams) {
    WavExportResult result;
    if (!EnsureDirectory(directory)) {
        result.written = false;
        result.error = directory + ": nao foi possivel criar a pasta";
        result.files.assign(streams.size(), "-");
        return result;
    }
    for (size_t i = 0; i < streams.size(); ++i) {
        const DecodedStream& s = streams[i];
        if (!s.audio.HasDecoder()) {
            result.files.push_back("-");
            continue;
        }
        const std::string path = (std::filesystem::path(directory) / WavFileName(i + 1, s.report)).string();
        std::string why;
        if (!WriteWavFile(path, s.audio.samples, s.audio.format.audioRate, &why)) {
            if (result.written) result.error = path + ": " + why;
            result.written = false;
            result.files.push_back("-");
            continue;
        }
        result.files.push_back(path);
    }
    return result;
}
