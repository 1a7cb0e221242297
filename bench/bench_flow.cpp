// Throughput and memory of the flow monitor: a synthetic office capture of >= 300 calls with
// RTP (bench/gen/synth_big.py, written to /tmp and removed afterwards) read through the
// offline Sniffer (decoding) -> FlowCore buffer -> FlowIntake -> CallTracker, next to
// `tshark -q -z sip,stat` and `sngrep -N -q` reading the same file in the same run.
//
//   bench_flow [CALLS=320] [--keep]
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "flow/CallTracker.h"
#include "flow/FlowCore.h"

namespace {

using Clock = std::chrono::steady_clock;

long StatusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + std::string(key).size(), nullptr, 10);
    }
    return -1;
}

struct ChildRun {
    double seconds = -1;
    long maxRssKb = -1;
    int status = -1;
};

// Runs argv with stdout/stderr to `log`, returns wall time and the child's peak RSS.
ChildRun RunChild(const std::vector<std::string>& argv, const std::string& log) {
    ChildRun r;
    std::fflush(nullptr);  // or the child's exit flushes our buffered output a second time
    auto t0 = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        FILE* f = std::freopen(log.c_str(), "w", stdout);
        (void)f;
        dup2(fileno(stdout), 2);
        FILE* in = std::freopen("/dev/null", "r", stdin);
        (void)in;
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (pid < 0) return r;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return r;
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.maxRssKb = usage.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

size_t CountManifestCalls(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    size_t n = 0;
    while (std::getline(in, line)) n += !line.empty() && line[0] != '#';
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    int calls = 320;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--keep") keep = true;
        else calls = std::atoi(argv[i]);
    }
    if (calls < 1) calls = 320;
    const std::string pcap = "/tmp/oc_bench_flow_" + std::to_string(getpid()) + ".pcap";
    const std::string manifest = pcap + ".manifest.tsv";
    const std::string gen = std::string("python3 '") + OC_SOURCE_DIR + "/bench/gen/synth_big.py' '" + pcap + "' " +
                            std::to_string(calls) + " >/dev/null 2>&1";
    std::printf("Generating %d calls with synth_big.py...\n", calls);
    std::fflush(stdout);
    if (std::system(gen.c_str()) != 0) {
        std::fprintf(stderr, "bench_flow: synth_big.py failed (needs python3 and sip-tester)\n");
        return 1;
    }

    // --- memory of a full buffer: 50,000 packets of this capture ---
    const long rssEmpty = StatusKb("VmRSS:");
    long rssFull = 0;
    size_t buffered = 0;
    size_t bufferBytes = 0;
    {
        FlowCore fill;
        fill.StartOffline(pcap);
        while (fill.IsRunning() && fill.EndPosition() < FlowCore::kMaxPackets)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        fill.Stop();
        fill.WaitAnalysed();
        rssFull = StatusKb("VmRSS:");
        buffered = fill.EndPosition() - fill.FirstPosition();
        for (const PacketLogEntry& e : fill.GetPacketsFrom(0, buffered, nullptr)) {
            bufferBytes += sizeof(PacketLogEntry) + e.payload.capacity() + e.rawData.capacity();
            for (const std::string* s : {&e.time, &e.source, &e.destination, &e.protocol, &e.info})
                if (s->capacity() > 15) bufferBytes += s->capacity() + 1;  // beyond the small-string buffer
        }
    }

    // --- ours: the engine reading the file, its worker analysing ---
    FlowCore core;
    auto t0 = Clock::now();
    if (!core.StartOffline(pcap)) {
        std::fprintf(stderr, "bench_flow: %s\n", StartErrorText(core.LastStartError()).c_str());
        return 1;
    }
    while (core.IsRunning()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    core.WaitAnalysed();
    const double ourSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const auto records = core.Tracker().GetCalls();
    const FlowCounters counters = core.Tracker().Counters();
    size_t rtpEntries = 0;
    uint64_t rtpPackets = 0;
    for (const auto& c : records)
        for (const auto& m : c.messages)
            if (m.type == SipMsgType::Rtp) {
                ++rtpEntries;
                rtpPackets += m.count;
            }
    const long ourPeakKb = StatusKb("VmHWM:");
    const uint64_t frames = core.Counters().analysed;

    // --- the reference tools on the same file ---
    ChildRun tshark = RunChild({"tshark", "-r", pcap, "-q", "-z", "sip,stat"}, "/tmp/oc_bench_flow_tshark.log");
    ChildRun sngrep = RunChild({"sngrep", "-I", pcap, "-N", "-q"}, "/tmp/oc_bench_flow_sngrep.log");

    std::printf("\nCapture: %s, %llu frames, %zu calls in the manifest\n", pcap.c_str(),
                static_cast<unsigned long long>(frames), CountManifestCalls(manifest));
    std::printf("Result: %zu records, Chamadas %zu, Registers %zu, %zu RTP flow entries, %llu RTP packets counted, "
                "%llu frames missed\n",
                records.size(), counters.calls, counters.registers, rtpEntries,
                static_cast<unsigned long long>(rtpPackets),
                static_cast<unsigned long long>(core.Counters().trimmedUnanalysed));
    std::printf("\n%-44s %10s %14s %14s\n", "program", "seconds", "frames/s", "peak RSS MiB");
    std::printf("%-44s %10.3f %14.0f %14.1f\n", "orvanta flow engine (capture+worker)", ourSeconds,
                frames / ourSeconds, ourPeakKb / 1024.0);
    if (tshark.status >= 0)
        std::printf("%-44s %10.3f %14.0f %14.1f\n", "tshark -q -z sip,stat", tshark.seconds, frames / tshark.seconds,
                    tshark.maxRssKb / 1024.0);
    else
        std::printf("%-44s %10s\n", "tshark -q -z sip,stat", "failed");
    if (sngrep.status >= 0)
        std::printf("%-44s %10.3f %14.0f %14.1f\n", "sngrep -I FILE -N -q", sngrep.seconds, frames / sngrep.seconds,
                    sngrep.maxRssKb / 1024.0);
    else
        std::printf("%-44s %10s\n", "sngrep -I FILE -N -q", "failed");
    std::printf("\nSpeed vs tshark: %.2fx\n", tshark.seconds > 0 ? tshark.seconds / ourSeconds : 0.0);
    std::printf("Memory: %zu buffered packets of this capture: RSS %.1f -> %.1f MiB (+%.1f MiB); "
                "the entries themselves hold %.1f MiB (%.0f bytes per packet)\n",
                buffered, rssEmpty / 1024.0, rssFull / 1024.0, (rssFull - rssEmpty) / 1024.0,
                bufferBytes / 1048576.0, buffered ? double(bufferBytes) / buffered : 0.0);
    if (!keep) {
        std::remove(pcap.c_str());
        std::remove(manifest.c_str());
    }
    return 0;
}
