// orvanta-cli flow: the Flow monitor without a window. Reads a savefile (or captures on a
// device for a number of seconds) through FlowCore, whose worker analyses the packets as it
// does for the Flow tab, then prints the call list with the CSV export's ten columns and the
// RTP flow entries of each call. A capture that ends by itself (interface gone, read error)
// stops the run with exit status 3 and the cause on standard error.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "capture/Sniffer.h"
#include "cli/Command.h"
#include "flow/CallTracker.h"
#include "flow/FlowCore.h"
#include "flow/FlowCsv.h"
#include "flow/StreamReport.h"
#include "playback/CallAudio.h"
#include "ui/CallExportFiles.h"
#include "ui/DiagnosisTexts.h"
#include "ui/EngineTexts.h"

namespace {

std::atomic<bool> interrupted{false};
extern "C" void OnFlowInterrupt(int) { interrupted.store(true); }

const char* kUsage =
    "flow --read FILE.pcap [--streams] [--streams-intervals] [--diagnose] [--csv SAIDA.csv] [--pcap SAIDA.pcap] "
    "[--wav PASTA [--wav-all]] | "
    "flow --iface INTERFACE --seconds N [--sip-port P] [--rtp-min A --rtp-max B] [--streams] [--streams-intervals] "
    "[--diagnose] [--csv SAIDA.csv] [--pcap SAIDA.pcap] [--call CALL-ID --export PASTA]";

struct FlowOptions {
    std::string file;
    std::string device;
    bool live = false;
    double seconds = -1;
    int sipPort = 5060;
    int rtpMin = 10000;
    int rtpMax = 50000;
    std::string csvPath;
    std::string pcapPath;
    bool streams = false;  // one line per RTP stream after the call list
    bool diagnose = false;  // one line of verdicts per record, last
    bool intervals = false;  // one line per 5-second interval of each stream
    std::string callId;      // --call: the record --export writes
    std::string exportDir;
    std::string wavDir;      // --wav: one WAV per RTP stream
    bool wavAll = false;     // --wav-all: every packet that arrived, however late
};

bool ParseInt(const std::string& text, int& out) {
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || v < 0 || v > 65535) return false;
    out = static_cast<int>(v);
    return true;
}

std::optional<FlowOptions> ParseArgs(const std::vector<std::string>& args) {
    FlowOptions o;
    bool haveFile = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--streams") {
            o.streams = true;
            continue;
        }
        if (a == "--diagnose") {
            o.diagnose = true;
            continue;
        }
        if (a == "--streams-intervals") {
            o.intervals = true;
            continue;
        }
        if (a == "--wav-all") {
            o.wavAll = true;
            continue;
        }
        if (i + 1 >= args.size()) return std::nullopt;  // every other option takes a value
        const std::string& v = args[++i];
        if (a == "--read") {
            o.file = v;
            haveFile = true;
        } else if (a == "--iface") {
            o.device = v;
            o.live = true;
        } else if (a == "--seconds") {
            char* end = nullptr;
            o.seconds = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !(o.seconds >= 0)) return std::nullopt;
        } else if (a == "--sip-port") {
            if (!ParseInt(v, o.sipPort) || o.sipPort == 0) return std::nullopt;
        } else if (a == "--rtp-min") {
            if (!ParseInt(v, o.rtpMin)) return std::nullopt;
        } else if (a == "--rtp-max") {
            if (!ParseInt(v, o.rtpMax)) return std::nullopt;
        } else if (a == "--csv") {
            o.csvPath = v;
        } else if (a == "--pcap") {
            o.pcapPath = v;
        } else if (a == "--call") {
            o.callId = v;
        } else if (a == "--export") {
            o.exportDir = v;
        } else if (a == "--wav") {
            o.wavDir = v;
        } else {
            return std::nullopt;
        }
    }
    if (o.live == haveFile) return std::nullopt;          // exactly one source
    if (o.live && o.seconds < 0) return std::nullopt;     // a live run needs its length
    if (!o.live && o.seconds >= 0) return std::nullopt;
    if (o.callId.empty() != o.exportDir.empty()) return std::nullopt;  // --call and --export go together
    if (o.wavAll && o.wavDir.empty()) return std::nullopt;
    return o;
}

void PrintCalls(const std::vector<SipCall>& calls, const FlowCounters& n, const FlowEngineCounters& engine,
                const CallTrackerStats& kept, bool live) {
    std::string out = CsvHeaderLine();
    for (const SipCall& c : calls) out += CallCsvLine(c);
    out += kCsvLineEnd;
    out += CsvLine({"Call-ID", "Fluxo RTP", "Codec", "Pacotes"});
    for (const SipCall& c : calls) {
        for (const SipMessage& m : c.messages) {
            if (m.type != SipMsgType::Rtp) continue;
            out += CsvLine({c.callId, m.sourceIp + " -> " + m.destinationIp, m.codec, std::to_string(m.count)});
        }
    }
    out += "\nChamadas: " + std::to_string(n.calls) + "; Registers: " + std::to_string(n.registers) +
           "; Pacotes: " + std::to_string(engine.analysed) + "\n";
    // What the reassembly and stream bounds dropped, once anything was.
    const uint64_t fragments = engine.fragmentsIncomplete + engine.fragmentsOverlap + engine.fragmentsOverBounds;
    if (fragments || kept.tcpBytesDropped || kept.streamsDropped) {
        out += "Fragmentos descartados: " + std::to_string(fragments) +
               "; Bytes TCP perdidos: " + std::to_string(kept.tcpBytesDropped) +
               "; Fluxos RTP removidos: " + std::to_string(kept.streamsDropped) + "\n";
    }
    // A savefile is read at the analysis's pace and loses nothing; a live capture can lose
    // packets in the kernel (buffer full) or before analysis (worker behind): say how many.
    if (live) {
        out += "Recebidos pelo kernel: " + std::to_string(engine.kernelReceived) +
               "; Perdidos pelo kernel: " + std::to_string(engine.kernelDropped) +
               "; Descartados antes da analise: " + std::to_string(engine.trimmedUnanalysed) + "\n";
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
}

// --wav: every stream of the capture played out and written, one line per stream.
bool WriteWavs(const FlowOptions& o, const FlowCore& core, const std::vector<SipCall>& calls,
               std::vector<RtpStreamReport>& decodedReports) {
    if (core.FirstPosition() > 0) {
        std::fprintf(stderr, "orvanta-cli flow: o buffer guardou so os ultimos %zu pacotes; os WAV comecam neles\n",
                     FlowCore::kMaxPackets);
    }
    SdpMapsByCall maps;
    for (const SipCall& c : calls) maps[c.callId] = c.rtpMaps;
    const std::vector<RtpStreamReport> streams = core.Tracker().GetStreamReports();
    const std::vector<DecodedStream> decoded = DecodeStreams(
        streams, core.GetPackets(), maps, o.wavAll ? PlayoutMode::EveryPacket : PlayoutMode::JitterBuffer);
    const WavExportResult written = WriteStreamWavs(o.wavDir, decoded);
    std::string out(1, '\n');
    for (size_t i = 0; i < decoded.size(); ++i) {
        out += WavListLine(decoded[i].report, written.files[i]);
        if (!decoded[i].audio.HasDecoder())
            std::fprintf(stderr, "orvanta-cli flow: %s 0x%08X: sem decodificador para %s\n",
                         decoded[i].report.source.c_str(), decoded[i].report.ssrc,
                         decoded[i].audio.codec.empty() ? decoded[i].report.codec.c_str() : decoded[i].audio.codec.c_str());
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    for (const DecodedStream& d : decoded) decodedReports.push_back(d.report);
    if (!written.written) std::fprintf(stderr, "orvanta-cli flow: nao foi possivel gravar %s\n", written.error.c_str());
    return written.written;
}

int RunFlow(const std::vector<std::string>& args) {
    auto parsed = ParseArgs(args);
    if (!parsed) {
        std::fprintf(stderr, "uso: orvanta-cli %s\n", kUsage);
        return kExitUsage;
    }
    const FlowOptions& o = *parsed;
    FlowCore core;
    // The packets themselves are wanted only by the packet exports and the WAV files.
    core.KeepPackets(!o.pcapPath.empty() || !o.callId.empty() || !o.wavDir.empty());

    const bool started = o.live ? core.Start(o.device, o.sipPort, o.rtpMin, o.rtpMax) : core.StartOffline(o.file);
    if (!started) {
        std::string detail = core.LastStartErrorDetail();
        std::fprintf(stderr, "orvanta-cli flow: %s%s%s\n", StartErrorText(core.LastStartError()).c_str(),
                     detail.empty() ? "" : " ", detail.c_str());
        return kExitFailure;
    }
    if (o.live) {
        std::fprintf(stderr, "Capturando em %s com o filtro \"%s\" por %g s...\n", o.device.c_str(),
                     FlowCore::BuildFilter(o.sipPort, o.rtpMin, o.rtpMax).c_str(), o.seconds);
    }
    std::signal(SIGINT, OnFlowInterrupt);
    std::signal(SIGTERM, OnFlowInterrupt);

    // The engine's worker does the analysis; this thread only watches the clock, the
    // signals and the engine's health (a capture that ended by itself stops the run).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(o.live ? o.seconds : 0);
    while (!interrupted.load() && !core.WaitStopped(std::chrono::milliseconds(10))) {
        if (o.live && std::chrono::steady_clock::now() >= deadline) break;
    }
    core.Stop();
    core.WaitAnalysed();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);

    const std::vector<SipCall> calls = core.Tracker().GetCalls();
    const CallTrackerStats kept = core.Tracker().Stats();
    PrintCalls(calls, core.Tracker().Counters(), core.Counters(), kept, o.live);
    int rc = kExitOk;
    // With --wav the verdicts also know which streams decoded to silence only.
    std::vector<RtpStreamReport> decodedReports;
    if (!o.wavDir.empty() && !WriteWavs(o, core, calls, decodedReports)) rc = kExitFailure;
    if (o.streams) {
        std::string out(1, '\n');  // (not "\n" + ...: GCC 12 -Wrestrict false positive)
        out += StreamListHeaderLine();
        for (const RtpStreamReport& r : core.Tracker().GetStreamReports()) out += StreamListLine(r);
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    if (o.intervals) {
        std::string out(1, '\n');
        out += IntervalListHeaderLine();
        for (const RtpStreamReport& r : core.Tracker().GetStreamReports())
            for (const RtpStreamReport::Interval& iv : r.intervals) out += IntervalListLine(r, iv);
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    if (o.diagnose) {
        std::string out(1, '\n');
        out += DiagnosisHeaderLine();
        for (const SipCall& call : calls) {
            if (o.wavDir.empty()) {
                out += DiagnosisLine(call.callId, core.Tracker().Diagnose(call.callId), DtmfDigits(call));
                continue;
            }
            std::vector<RtpStreamReport> ofCall;
            for (const RtpStreamReport& r : decodedReports)
                if (r.callId == call.callId) ofCall.push_back(r);
            out += DiagnosisLine(call.callId, core.Tracker().Diagnose(call.callId, ofCall), DtmfDigits(call));
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    if (kept.recordsDropped || kept.messagesDropped) {
        std::fprintf(stderr, "orvanta-cli flow: limite de registros atingido: %llu registros e %llu mensagens removidos\n",
                     static_cast<unsigned long long>(kept.recordsDropped),
                     static_cast<unsigned long long>(kept.messagesDropped));
    }

    if (!o.csvPath.empty()) {
        // Like the tab's export: no calls, no file.
        if (calls.empty()) {
            std::fprintf(stderr, "orvanta-cli flow: nenhuma chamada; %s nao foi gravado\n", o.csvPath.c_str());
        } else if (const CsvWriteResult w = WriteCallsCsvFile(o.csvPath, calls); !w.written) {
            std::fprintf(stderr, "orvanta-cli flow: nao foi possivel gravar %s: %s\n", o.csvPath.c_str(),
                         w.error.c_str());
            rc = kExitFailure;
        }
    }
    if (!o.pcapPath.empty()) {
        const std::vector<PacketLogEntry> packets = core.GetPackets();
        if (packets.empty()) {
            std::fprintf(stderr, "orvanta-cli flow: nenhum pacote; %s nao foi gravado\n", o.pcapPath.c_str());
        } else if (std::string why; !SavePacketsToPcap(o.pcapPath, packets, &why)) {
            std::fprintf(stderr, "orvanta-cli flow: nao foi possivel gravar %s: %s\n", o.pcapPath.c_str(), why.c_str());
            rc = kExitFailure;
        }
    }
    if (!o.callId.empty()) {
        CallExportData data;
        if (std::optional<SipCall> call = core.Tracker().GetCall(o.callId)) {
            data.call = std::move(*call);
            data.streams = core.Tracker().GetStreamReports(&o.callId);
            data.verdicts = core.Tracker().Diagnose(o.callId);
            data.packets = CallPackets(data.call, data.streams, core.GetPackets());
            const FlowExportResult written = WriteCallExport(o.exportDir, data);
            std::fprintf(written.written ? stdout : stderr, "%s\n", written.message.c_str());
            if (!written.written) rc = kExitFailure;
        } else {
            std::fprintf(stderr, "orvanta-cli flow: chamada nao encontrada: %s\n", o.callId.c_str());
            rc = kExitFailure;
        }
    }
    if (core.StopCause() != FlowStopCause::None) {
        std::fprintf(stderr, "orvanta-cli flow: %s\n", CaptureEndText(core.StopError()).c_str());
        return kExitEngineStopped;
    }
    return rc;
}

CommandRegistration reg({"flow", kUsage, &RunFlow});

}  // namespace
