// A long MTR run through the namespace test network (tests/testnet, three routers, loss-free
// veth links): PROBES probes per protocol with the spacing shortened through the test hook
// (1 ms between probes, 1 ms between cycles), so the probe numbers wrap several times
// (UDP/TCP every 32,102 probes, ICMP every 65,536). Prints per hop what was sent, answered
// and lost, whether the counts are exact (every probe sent to a hop is answered, none lost,
// none left pending), how often the numbers wrapped, and the engine's memory.
//
//   bench_mtr_longrun [PROBES=200000] [udp|icmp|tcp ...]      (root; default: udp icmp)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "mtr/MtrCore.h"
#include "capture/ProbePorts.h"
#include "ui/EngineTexts.h"

namespace {

using bench::RssMiB;

const std::string kTestnet = OC_TESTNET;
const std::string kPrefix = "oclong";

std::string Run(const std::string& command, int* rc = nullptr) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe.get())) > 0) out.append(buf, n);
    const int status = pclose(pipe.release());
    if (rc) *rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

std::string EnvValue(const std::string& text, const std::string& key) {
    const size_t at = text.find(key + "=");
    if (at == std::string::npos) return {};
    const size_t start = at + key.size() + 1;
    return text.substr(start, text.find('\n', start) - start);
}

int32_t ProtocolOf(const std::string& name) {
    if (name == "icmp") return kProbeIcmp;
    if (name == "tcp") return kProbeTcp;
    return kProbeUdp;
}

// Inside the client namespace: one run per protocol. Returns 0 when every count was exact.
int Child(long probes, const std::string& target, int targetHop, const std::vector<std::string>& protocols) {
    int failures = 0;
    for (const std::string& name : protocols) {
        const int32_t protocol = ProtocolOf(name);
        const int cycles = static_cast<int>((probes + targetHop - 1) / targetHop);
        MtrCore core;
        MtrStartRequest request;
        request.host = target;
        request.device = "eth0";
        request.protocol = protocol;
        request.cycleLimit = cycles;
        // A long run through a real network in minutes instead of days.
        request.probeSpacingMs = 1;
        request.cyclePauseMs = 1;
        const auto t0 = std::chrono::steady_clock::now();
        const uint64_t ticket = core.Start(request);
        std::shared_ptr<const MtrSnapshot> snap = core.WaitUntil(
            [&](const MtrSnapshot& s) { return s.status.startsHandled >= ticket; }, std::chrono::minutes(2));
        if (!snap->Running()) {
            std::printf("%s: start failed: %s\n", name.c_str(), StartErrorText(snap->status.startError).c_str());
            ++failures;
            continue;
        }
        std::printf("%s: %d cycles to %s (hop %d), sequence space %d\n", name.c_str(), cycles, target.c_str(),
                    targetHop, MtrSequenceSpace(protocol));
        std::printf("  %7s %9s %9s %9s %10s\n", "seconds", "sent", "answered", "lost", "RSS MiB");
        std::fflush(stdout);
        auto lastPrint = t0;
        while (!snap->status.probingFinished && snap->Running()) {
            snap = core.WaitForVersion(snap->version, std::chrono::milliseconds(200));
            const auto now = std::chrono::steady_clock::now();
            if (now - lastPrint < std::chrono::seconds(30)) continue;
            lastPrint = now;
            long sent = 0, received = 0, lost = 0;
            for (const auto& [ttl, h] : snap->hops) {
                sent += h.sent;
                received += h.received;
                lost += h.lost;
            }
            std::printf("  %7.0f %9ld %9ld %9ld %10.1f\n", std::chrono::duration<double>(now - t0).count(), sent,
                        received, lost, RssMiB());
            std::fflush(stdout);
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const size_t pending = core.Snapshot()->status.pendingProbes;
        core.Stop();
        snap = core.WaitUntil([](const MtrSnapshot& s) { return !s.Running(); }, std::chrono::minutes(1));
        const auto& hops = snap->hops;
        long total = 0;
        for (const auto& [ttl, h] : hops) total += h.sent;
        std::printf("  %s: %ld probes in %.1f s (%.0f probes/s), %d cycles completed, numbers wrapped %ld times, "
                    "%zu probes still pending, peak RSS %.1f MiB\n",
                    name.c_str(), total, seconds, total / seconds, snap->status.cycles,
                    total / MtrSequenceSpace(protocol), pending, [] {
                        rusage u{};
                        getrusage(RUSAGE_SELF, &u);
                        return u.ru_maxrss / 1024.0;
                    }());
        std::printf("  %3s %-12s %9s %9s %6s %8s %8s %8s  %s\n", "hop", "host", "sent", "answered", "lost", "best",
                    "avg", "worst", "exact");
        for (const auto& [ttl, h] : hops) {
            const bool inPath = ttl <= targetHop;
            const bool exact = inPath ? h.sent == cycles && h.received == h.sent && h.lost == 0
                                      : h.received + h.lost == h.sent;
            if (!exact) ++failures;
            std::printf("  %3d %-12s %9d %9d %6d %8.2f %8.2f %8.2f  %s\n", ttl, h.host.c_str(), h.sent, h.received,
                        h.lost, h.bestMs, h.avgMs, h.worstMs,
                        exact ? "yes" : (inPath ? "NO (expected sent = cycles, all answered)" : "NO"));
        }
        if (pending) ++failures;
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    long probes = 200000;
    std::vector<std::string> protocols;
    const bool child = argc > 1 && std::string(argv[1]) == "--child";
    int first = child ? 4 : 1;
    if (argc > first) probes = std::max(1L, std::atol(argv[first]));
    for (int i = first + 1; i < argc; ++i) protocols.push_back(argv[i]);
    if (protocols.empty()) protocols = {"udp", "icmp"};
    if (child) return Child(probes, argv[2], std::atoi(argv[3]), protocols);

    if (geteuid() != 0) {
        std::fprintf(stderr, "bench_mtr_longrun: needs root (network namespaces, capture)\n");
        return 2;
    }
    int rc = 0;
    const std::string up = Run(kTestnet + " up --prefix " + kPrefix + " --hops 3 2>/dev/null", &rc);
    if (rc != 0) {
        std::fprintf(stderr, "bench_mtr_longrun: testnet up failed\n");
        Run(kTestnet + " down --prefix " + kPrefix + " >/dev/null 2>&1");
        return 2;
    }
    const std::string target = EnvValue(up, "TESTNET_TARGET_IP");
    const std::string hop = EnvValue(up, "TESTNET_TARGET_HOP");
    std::printf("test network: %s link mode, target %s at hop %s\n", EnvValue(up, "TESTNET_LINK_MODE").c_str(),
                target.c_str(), hop.c_str());
    std::fflush(stdout);
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string command = "ip netns exec " + EnvValue(up, "TESTNET_CLIENT_NS") + " " +
                          std::string(self, n > 0 ? static_cast<size_t>(n) : 0) + " --child " + target + " " + hop +
                          " " + std::to_string(probes);
    for (const auto& p : protocols) command += " " + p;
    rc = std::system(command.c_str());
    Run(kTestnet + " down --prefix " + kPrefix + " >/dev/null 2>&1");
    return rc == 0 ? 0 : 1;
}
