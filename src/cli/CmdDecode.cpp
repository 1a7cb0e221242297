// orvanta-cli decode: runs the capture loop's decoder over a savefile (or, with -i, over a
// live device) and prints one tab-separated line per decoded frame.
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
#include "ui/EngineTexts.h"

namespace {

std::atomic<bool> interrupted{false};
extern "C" void OnInterrupt(int) { interrupted.store(true); }

struct DecodeOptions {
    std::string file;
    std::string device;
    bool live = false;
    std::string filter;
    long count = 0;    // live: stop after this many printed frames (0: no limit)
    double seconds = 0;  // live: stop after this long (0: no limit)
};

const char* kUsage = "decode FILE.pcap [-f FILTRO] | decode -i INTERFACE [-f FILTRO] [-c N] [-t SEGUNDOS]";

std::optional<DecodeOptions> ParseArgs(const std::vector<std::string>& args) {
    DecodeOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
        if (a == "-i" || a == "-f" || a == "-c" || a == "-t") {
            const std::string* v = value();
            if (!v) return std::nullopt;
            char* end = nullptr;
            if (a == "-i") {
                o.device = *v;
                o.live = true;
            } else if (a == "-f") {
                o.filter = *v;
            } else if (a == "-c") {
                o.count = std::strtol(v->c_str(), &end, 10);
                if (*end || o.count < 0) return std::nullopt;
            } else {
                o.seconds = std::strtod(v->c_str(), &end);
                if (*end || o.seconds < 0) return std::nullopt;
            }
        } else if (o.file.empty() && !a.empty() && a[0] != '-') {
            o.file = a;
        } else {
            return std::nullopt;
        }
    }
    if (o.live == !o.file.empty()) return std::nullopt;  // exactly one source
    return o;
}

// One output line; tabs or line breaks inside a field would shift the columns.
void PutField(std::string& line, const std::string& field) {
    for (char c : field) line.push_back(c == '\t' || c == '\n' || c == '\r' ? ' ' : c);
}

std::string FormatLine(const PacketLogEntry& e, const std::optional<SniffResult>& reply) {
    std::string line;
    line.reserve(128);
    PutField(line, e.time);
    line.push_back('\t');
    PutField(line, e.source);
    line.push_back('\t');
    PutField(line, e.destination);
    line.push_back('\t');
    PutField(line, e.protocol);
    line.push_back('\t');
    line += std::to_string(e.wireLength);
    line.push_back('\t');
    PutField(line, e.info);
    if (reply) {
        line += "\treply fromIp=" + reply->fromIp + " origSeq=" + std::to_string(reply->origSeq) +
                " type=" + std::to_string(reply->type) + " code=" + std::to_string(reply->code);
    }
    line.push_back('\n');
    return line;
}

void PrintSummary(const Sniffer& sniffer) {
    const DecodeCounts c = sniffer.Counters();
    std::fprintf(stderr,
                 "# %llu quadros: %llu decodificados, %llu truncados, %llu malformados, "
                 "%llu nao-IPv4, %llu curtos demais; %llu respostas\n",
                 (unsigned long long)c.frames, (unsigned long long)c.decoded,
                 (unsigned long long)c.truncated, (unsigned long long)c.malformed,
                 (unsigned long long)c.notMine, (unsigned long long)c.tooShort,
                 (unsigned long long)c.replies);
}

int Fail(const std::string& what, const Sniffer& sniffer) {
    std::string line = "orvanta-cli: " + what + ": " + StartErrorText(sniffer.LastError());
    if (!sniffer.LastErrorDetail().empty()) line += " (" + sniffer.LastErrorDetail() + ")";
    std::fprintf(stderr, "%s\n", line.c_str());
    return kExitFailure;
}

int RunDecode(const std::vector<std::string>& args) {
    const std::optional<DecodeOptions> options = ParseArgs(args);
    if (!options) {
        std::fprintf(stderr, "uso: orvanta-cli %s\n", kUsage);
        return kExitUsage;
    }
    Sniffer sniffer;
    const bool opened = options->live ? sniffer.Init(options->filter, options->device, std::string())
                                      : sniffer.InitOffline(options->file, options->filter);
    if (!opened) return Fail(options->live ? options->device : options->file, sniffer);
    if (!IsSupportedLinkType(sniffer.LinkType())) {
        std::fprintf(stderr, "orvanta-cli: tipo de enlace %d nao suportado; nenhum quadro sera decodificado\n",
                     sniffer.LinkType());
        return kExitFailure;
    }

    // onReply comes before onPacket for the same frame, so the reply waits for its entry.
    std::optional<SniffResult> pendingReply;
    std::atomic<long> printed{0};
    sniffer.Start([&](SniffResult r) { pendingReply = std::move(r); },
                  [&](PacketLogEntry e) {
                      const std::string line = FormatLine(e, pendingReply);
                      pendingReply.reset();
                      std::fwrite(line.data(), 1, line.size(), stdout);
                      if (options->live) std::fflush(stdout);
                      printed.fetch_add(1);
                  });

    if (options->live) {
        std::signal(SIGINT, OnInterrupt);
        std::signal(SIGTERM, OnInterrupt);
        const auto start = std::chrono::steady_clock::now();
        while (!interrupted.load() && sniffer.LoopActive()) {
            if (options->count > 0 && printed.load() >= options->count) break;
            if (options->seconds > 0 &&
                std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(options->seconds))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    } else {
        sniffer.WaitLoopEnd();
    }
    const std::string loopError = sniffer.LoopError();
    sniffer.Stop();
    std::fflush(stdout);
    if (!loopError.empty()) {
        // The frames before the fault were printed; the run still did not read everything.
        std::fprintf(stderr, "orvanta-cli: %s: leitura interrompida apos %llu quadros: %s\n",
                     (options->live ? options->device : options->file).c_str(),
                     (unsigned long long)sniffer.Counters().frames, loopError.c_str());
        return kExitFailure;
    }
    PrintSummary(sniffer);
    if (std::ferror(stdout)) {
        std::fprintf(stderr, "orvanta-cli: erro ao escrever a saida\n");
        return kExitFailure;
    }
    return kExitOk;
}

CommandRegistration reg({"decode", kUsage, &RunDecode});

}  // namespace
