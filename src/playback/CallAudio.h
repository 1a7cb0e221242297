#pragma once
// The audio of a capture's RTP streams: each stream's packets picked out of the buffered
// packets, played out (StreamPlayout) and written as WAV files.
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture/Packet.h"
#include "flow/RtpStreamStats.h"
#include "playback/StreamPlayout.h"

// The RTP packets of each stream of `streams` (by source, destination and SSRC), in the
// order of `packets`, which is capture order.
std::vector<std::vector<StreamPacket>> GatherStreamPackets(std::span<const RtpStreamReport> streams,
                                                           const std::vector<PacketLogEntry>& packets);

struct DecodedStream {
    RtpStreamReport report;  // with `audio` set when the stream was decoded
    StreamAudio audio;
};
using SdpMapsByCall = std::unordered_map<std::string, std::vector<SdpRtpMap>>;

// Every stream of `streams` played out from `packets`; mapsByCall: each call's a=rtpmap lines.
// The WAV files keep lost packets silent; listening may conceal them.
std::vector<DecodedStream> DecodeStreams(std::span<const RtpStreamReport> streams,
                                         const std::vector<PacketLogEntry>& packets, const SdpMapsByCall& mapsByCall,
                                         PlayoutMode mode, LossFill fill = LossFill::Silence);

// "03-a84b1c@10.0.0.1-0x1A2B3C4D.wav": the stream's place in the list from 1, its Call-ID
// with every character a file name may not hold as '_' (at most 48 of them), and the SSRC.
std::string WavFileName(size_t index, const RtpStreamReport& report);

struct WavExportResult {
    bool written = true;
    std::vector<std::string> files;  // per stream: the path written, "-" without a decoder
    std::string error;               // the first failure
};
// One WAV file per decoded stream in `directory` (made when missing).
WavExportResult WriteStreamWavs(const std::string& directory, const std::vector<DecodedStream>& streams);
