// Throughput and memory of the flow monitor: a synthetic office capture of >= 300 calls with
// RTP (bench/gen/synth_big.py, written to /tmp and removed afterwards) read through the
// flow engine as orvanta-cli flow --read runs it (capture thread decoding, worker analysing), next to
// `tshark -q -z sip,stat` and `sngrep -N -q` reading the same file in the same run.
//
//   bench_flow [CALLS=320] [--keep] [--pcap FILE] [--analysis-only | --compare-only] [--rounds N]
// --pcap reads a capture kept by an earlier --keep run instead of generating one;
// --analysis-only measures only the cost of the stream statistics, --compare-only only the
// three programs; --rounds: runs of each program (3).
#include <dirent.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "flow/CallTracker.h"
#include "flow/FlowCore.h"
#include "capture/Sniffer.h"
#include "BenchSupport.h"

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
    double cpuSeconds = -1;  // user + system
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
    r.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                   usage.ru_stime.tv_usec / 1e6;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// CPU time of the flow engine's analysis thread (named "oc-flow-worker"), from the
// scheduler's nanosecond account; 0 while there is none.
double WorkerCpuSeconds() {
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return 0;
    double seconds = 0;
    while (const dirent* task = readdir(tasks)) {
        const std::string dir = std::string("/proc/self/task/") + task->d_name;
        std::ifstream comm(dir + "/comm");
        std::string name;
        if (!std::getline(comm, name) || name != "oc-flow-worker") continue;
        std::ifstream sched(dir + "/schedstat");
        unsigned long long ns = 0;
        if (sched >> ns) seconds += ns / 1e9;
    }
    closedir(tasks);
    return seconds;
}

// Keeps the smallest wall time, CPU time and peak memory of the successful runs.
void KeepBest(ChildRun& best, const ChildRun& run) {
    if (run.status != 0) {
        if (best.status != 0) best = run;
        return;
    }
    if (best.status != 0) {
        best = run;
        return;
    }
    best.seconds = std::min(best.seconds, run.seconds);
    best.cpuSeconds = std::min(best.cpuSeconds, run.cpuSeconds);
    best.maxRssKb = std::min(best.maxRssKb, run.maxRssKb);
}

size_t CountManifestCalls(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    size_t n = 0;
    while (std::getline(in, line)) n += !line.empty() && line[0] != '#';
    return n;
}

void PrintRow(const char* name, const ChildRun& r, uint64_t frames) {
    if (r.status != 0) {
        std::printf("%-40s %10s\n", name, "failed");
        return;
    }
    std::printf("%-40s %9.3f %12.0f %9.3f %12.0f %10.1f\n", name, r.seconds, frames / r.seconds, r.cpuSeconds,
                frames / r.cpuSeconds, r.maxRssKb / 1024.0);
}

// Times of runs without and with the stream statistics, taken in turns. Host speed drifts
// from second to second on a shared machine, so each run with statistics is also paired
// with the run without them just before it: the median of those ratios moves less than the
// ratio of the best runs.
class PairedRuns {
public:
    void Add(bool statistics, double seconds) {
        best[statistics] = std::min(best[statistics], seconds);
        if (statistics) ratios.push_back(previousOff / seconds);
        else previousOff = seconds;
    }
    double Rate(bool statistics, size_t items) const { return items / best[statistics]; }
    // Percent of the rate without statistics that remains with them.
    std::string Text() const {
        std::vector<double> sorted = ratios;
        std::sort(sorted.begin(), sorted.end());
        char text[160];
        std::snprintf(text, sizeof text, "best runs %.1f %%, median of %zu pairs %.1f %% (%.1f-%.1f %%)",
                      100.0 * best[0] / best[1], sorted.size(), 100.0 * sorted[sorted.size() / 2],
                      100.0 * sorted.front(), 100.0 * sorted.back());
        return text;
    }

private:
    double best[2] = {1e9, 1e9};  // [0] statistics off, [1] on
    double previousOff = 0;
    std::vector<double> ratios;
};

// The cost of the RTP stream statistics: the analysis alone, on packets decoded beforehand,
// with the statistics on and off, then the same through the engine as `flow --read` runs it:
// the rate from file to analysed records, and the CPU time of the engine's analysis thread
// (which also buffers and frees the packets).
bool MeasureStatisticsCost(const std::string& pcap) {
    std::vector<PacketLogEntry> decoded;
    {
        Sniffer reader;
        if (reader.InitOffline(pcap)) {
            reader.Start([](SniffResult) {}, [&decoded](PacketLogEntry e) { decoded.push_back(std::move(e)); });
            reader.WaitLoopEnd();
            reader.Stop();
        }
    }
    if (decoded.empty()) return false;
    const size_t n = decoded.size();
    PairedRuns alone;
    for (int run = 0; run < 30; ++run) {
        const bool statistics = run % 2 == 1;
        CallTracker tracker;
        tracker.SetStreamStatistics(statistics);
        // Thread CPU time: other programs on the machine do not count into it.
        const double t0 = bench::ThreadCpuMs() / 1e3;
        for (const PacketLogEntry& e : decoded) tracker.ProcessPacket(e);
        alone.Add(statistics, bench::ThreadCpuMs() / 1e3 - t0);
    }
    std::printf("Analysis alone (%zu packets): %.0f packets per CPU-second with stream statistics, %.0f without: %s "
                "(goal >= 90 %%)\n",
                n, alone.Rate(true, n), alone.Rate(false, n), alone.Text().c_str());
    PairedRuns engine;
    PairedRuns engineCpu;
    PairedRuns worker;
    for (int run = 0; run < 20; ++run) {
        const bool statistics = run % 2 == 1;
        FlowCore core;
        core.SetStreamStatistics(statistics);
        const double workerBefore = WorkerCpuSeconds();
        const double cpuBefore = bench::ProcessCpuMs();
        const auto t0 = Clock::now();
        if (!core.StartOffline(pcap)) return false;
        while (core.IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        core.WaitAnalysed();
        engine.Add(statistics, std::chrono::duration<double>(Clock::now() - t0).count());
        engineCpu.Add(statistics, (bench::ProcessCpuMs() - cpuBefore) / 1e3);
        worker.Add(statistics, WorkerCpuSeconds() - workerBefore);
    }
    std::printf("Engine, file to analysed records: %.0f packets/s with stream statistics, %.0f without: %s "
                "(goal >= 90 %%)\n",
                engine.Rate(true, n), engine.Rate(false, n), engine.Text().c_str());
    std::printf("Engine, CPU time of all its threads: %.0f packets per CPU-second with stream statistics, %.0f "
                "without: %s (goal >= 90 %%)\n",
                engineCpu.Rate(true, n), engineCpu.Rate(false, n), engineCpu.Text().c_str());
    std::printf("Engine's analysis thread: %.0f packets per CPU-second with stream statistics, %.0f without: %s "
                "(goal >= 90 %%)\n",
                worker.Rate(true, n), worker.Rate(false, n), worker.Text().c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int calls = 320;
    bool keep = false;
    bool analysisOnly = false;
    bool compareOnly = false;
    int rounds = 3;
    std::string given;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--keep") keep = true;
        else if (a == "--analysis-only") analysisOnly = true;
        else if (a == "--compare-only") compareOnly = true;
        else if (a == "--rounds" && i + 1 < argc) rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--pcap" && i + 1 < argc) given = argv[++i];
        else calls = std::atoi(argv[i]);
    }
    if (calls < 1) calls = 320;
    const std::string pcap = given.empty() ? "/tmp/oc_bench_flow_" + std::to_string(getpid()) + ".pcap" : given;
    const std::string manifest = pcap + ".manifest.tsv";
    if (given.empty()) {
        const std::string gen = std::string("python3 '") + OC_SOURCE_DIR + "/bench/gen/synth_big.py' '" + pcap +
                                "' " + std::to_string(calls) + " >/dev/null 2>&1";
        std::printf("Generating %d calls with synth_big.py...\n", calls);
        std::fflush(stdout);
        if (std::system(gen.c_str()) != 0) {
            std::fprintf(stderr, "bench_flow: synth_big.py failed (needs python3 and sip-tester)\n");
            return 1;
        }
    } else {
        keep = true;  // not ours to remove
    }
    if (analysisOnly) return MeasureStatisticsCost(pcap) ? 0 : 1;

    // The three programs run as children of this still small process (a forked child's peak
    // memory counts what it shares with its parent), one after the other, on the same file.
    // orvanta-cli flow --read is the flow engine: its capture thread reads and decodes, its
    // worker analyses, and it keeps the last 50,000 packets buffered as the tab does.
    const std::string cli = std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli";
    const std::string ourLog = "/tmp/oc_bench_flow_cli_" + std::to_string(getpid()) + ".log";
    // Each program runs `rounds` times, the three taking turns, and each keeps its best wall and
    // CPU time: a shared machine's other work then costs all of them alike, and little. The
    // medians are printed too.
    ChildRun ours, tshark, sngrep;
    std::vector<double> wallOurs, wallTshark, wallSngrep;
    auto run = [](ChildRun& best, std::vector<double>& walls, const ChildRun& r) {
        KeepBest(best, r);
        if (r.status == 0) walls.push_back(r.seconds);
    };
    for (int round = 0; round < rounds; ++round) {
        run(ours, wallOurs, RunChild({cli, "flow", "--read", pcap}, ourLog));
        run(tshark, wallTshark,
            RunChild({"tshark", "-r", pcap, "-q", "-z", "sip,stat"}, "/tmp/oc_bench_flow_tshark.log"));
        run(sngrep, wallSngrep, RunChild({"sngrep", "-I", pcap, "-N", "-q"}, "/tmp/oc_bench_flow_sngrep.log"));
    }

    // What the engine found, from the command line's summary and RTP lines.
    std::ifstream ourOut(ourLog);
    std::string line;
    uint64_t frames = 0, callsFound = 0, registers = 0, rtpFlows = 0;
    bool inFlows = false;
    while (std::getline(ourOut, line)) {
        if (line.rfind("Call-ID;Fluxo RTP;", 0) == 0) {
            inFlows = true;
            continue;
        }
        if (line.empty()) inFlows = false;
        else if (inFlows) ++rtpFlows;
        if (line.rfind("Chamadas: ", 0) == 0) {
            std::sscanf(line.c_str(), "Chamadas: %llu; Registers: %llu; Pacotes: %llu",
                        reinterpret_cast<unsigned long long*>(&callsFound), reinterpret_cast<unsigned long long*>(&registers),
                        reinterpret_cast<unsigned long long*>(&frames));
        }
    }
    std::remove(ourLog.c_str());

    // --- memory of the buffer itself: 50,000 packets of this capture, in this process ---
    const long rssEmpty = StatusKb("VmRSS:");
    long rssFull = 0;
    size_t buffered = 0;
    size_t bufferBytes = 0;
    {
        FlowCore fill;
        fill.StartOffline(pcap);
        while (fill.IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        fill.WaitAnalysed();
        rssFull = StatusKb("VmRSS:");
        buffered = fill.EndPosition() - fill.FirstPosition();
        // Read in small pages: a full copy would double the very memory being measured.
        for (uint64_t pos = fill.FirstPosition(); pos < fill.EndPosition();) {
            uint64_t first = pos;
            const auto page = fill.GetPacketsFrom(pos, 1000, &first);
            if (page.empty()) break;
            for (const PacketLogEntry& e : page) {
                bufferBytes += sizeof(PacketLogEntry) + e.rawData.capacity();
                for (const std::string* s : {&e.time, &e.source, &e.destination, &e.protocol, &e.info})
                    if (s->capacity() > 15) bufferBytes += s->capacity() + 1;  // beyond the small-string buffer
            }
            pos = first + page.size();
        }
    }

    if (given.empty())
        std::printf("\nCapture: %s, %llu frames, %d calls generated (%zu manifest lines)\n", pcap.c_str(),
                    static_cast<unsigned long long>(frames), calls, CountManifestCalls(manifest));
    else
        std::printf("\nCapture: %s, %llu frames\n", pcap.c_str(), static_cast<unsigned long long>(frames));
    std::printf("orvanta-cli flow found: Chamadas %llu, Registers %llu, %llu RTP flow entries\n",
                static_cast<unsigned long long>(callsFound), static_cast<unsigned long long>(registers),
                static_cast<unsigned long long>(rtpFlows));
    std::printf("\n%-40s %9s %12s %9s %12s %10s\n", "program", "wall s", "frames/s", "CPU s", "frames/CPU-s",
                "peak MiB");
    std::printf("(best of %d runs each)\n", rounds);
    PrintRow("orvanta-cli flow --read (engine)", ours, frames);
    PrintRow("tshark -q -z sip,stat", tshark, frames);
    PrintRow("sngrep -I FILE -N -q", sngrep, frames);
    auto ratio = [](const ChildRun& them, const ChildRun& us, bool cpu) {
        const double a = cpu ? them.cpuSeconds : them.seconds, b = cpu ? us.cpuSeconds : us.seconds;
        return b > 0 && a > 0 ? a / b : 0.0;
    };
    std::printf("\nSpeed vs tshark: %.2fx wall, %.2fx CPU; vs sngrep: %.2fx wall, %.2fx CPU\n",
                ratio(tshark, ours, false), ratio(tshark, ours, true), ratio(sngrep, ours, false),
                ratio(sngrep, ours, true));
    auto median = [](std::vector<double> v) {
        if (v.empty()) return 0.0;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double mOurs = median(wallOurs), mTshark = median(wallTshark), mSngrep = median(wallSngrep);
    std::printf("Median wall: ours %.3f s, tshark %.3f s (%.2fx), sngrep %.3f s (%.2fx); ours ranged %.3f-%.3f s\n",
                mOurs, mTshark, mOurs > 0 ? mTshark / mOurs : 0.0, mSngrep, mOurs > 0 ? mSngrep / mOurs : 0.0,
                wallOurs.empty() ? 0.0 : *std::min_element(wallOurs.begin(), wallOurs.end()),
                wallOurs.empty() ? 0.0 : *std::max_element(wallOurs.begin(), wallOurs.end()));
    std::printf("Memory: %zu buffered packets of this capture: RSS %.1f -> %.1f MiB (+%.1f MiB); "
                "the entries themselves hold %.1f MiB (%.0f bytes per packet)\n",
                buffered, rssEmpty / 1024.0, rssFull / 1024.0, (rssFull - rssEmpty) / 1024.0,
                bufferBytes / 1048576.0, buffered ? double(bufferBytes) / buffered : 0.0);

    if (!compareOnly) MeasureStatisticsCost(pcap);
    if (!keep) {
        std::remove(pcap.c_str());
        std::remove(manifest.c_str());
    }
    return 0;
}
