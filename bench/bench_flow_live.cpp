// Live capture figures of the flow engine, through orvanta-cli flow on one end of a veth pair
// inside a network namespace this program creates (root needed); tcpreplay sends into the
// other end. Nothing leaves the namespace.
//
//   bench_flow_live replay [CALLS=500]
//       the synthetic office capture (bench/gen/synth_big.py) replayed with --topspeed:
//       replay rate, packets captured, kernel drops, packets trimmed before analysis, calls
//       found against the manifest, peak memory of orvanta-cli.
//   bench_flow_live longrun [PACKETS=2000000] [PPS=topspeed]
//       a long trunk capture (OPTIONS keep-alives with a fresh Call-ID each, REGISTER
//       refreshes, calls with RTP) replayed into the same set-up (at PPS packets per second
//       when given): peak memory of orvanta-cli with the record bounds in force, records kept
//       and dropped, and its memory sampled every second of the replay.
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "flow/CallLimits.h"

namespace {

using Clock = std::chrono::steady_clock;

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Child {
    pid_t pid = -1;
    rusage usage{};
    int status = -1;
};

Child Spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
    Child c;
    std::fflush(nullptr);
    c.pid = fork();
    if (c.pid == 0) {
        if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr)) _exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return c;
}

void Reap(Child& c) {
    int status = 0;
    if (wait4(c.pid, &status, 0, &c.usage) == c.pid) c.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The namespace with the veth pair "ocbtx" / "ocbrx", both up, removed by the destructor.
struct Namespace {
    std::string name = "ocbench" + std::to_string(getpid() % 100000);
    bool ok = false;
    Namespace() {
        ok = Shell("ip netns add " + name) == 0 &&
             Shell("ip -n " + name + " link add ocbtx type veth peer name ocbrx") == 0 &&
             Shell("ip -n " + name + " link set ocbtx up") == 0 && Shell("ip -n " + name + " link set ocbrx up") == 0;
        // Offloads would merge or split nothing here, but keep the frames exactly as replayed.
        Shell("ip netns exec " + name + " ethtool -K ocbrx gro off");
    }
    ~Namespace() { Shell("ip netns del " + name); }
};

struct LiveRun {
    double replaySeconds = 0;
    std::string replayRate;
    unsigned long long replayed = 0;
    unsigned long long calls = 0, registers = 0, analysed = 0, kernelReceived = 0, kernelDropped = 0, trimmed = 0;
    long cliPeakKb = 0;
    std::vector<std::pair<double, long>> rssCurve;  // (seconds into the replay, RSS kB)
    std::string cliErr;
    bool ok = false;
};

unsigned long long Field(const std::string& text, const std::string& name) {
    const size_t at = text.find(name);
    if (at == std::string::npos) return 0;
    return std::strtoull(text.c_str() + at + name.size(), nullptr, 10);
}

LiveRun ReplayThroughCli(const std::string& pcap, const std::string& extraReplay = "") {
    LiveRun r;
    Namespace ns;
    if (!ns.ok) {
        std::fprintf(stderr, "bench_flow_live: could not create the namespace (root and iproute2 needed)\n");
        return r;
    }
    const std::string cli = std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli";
    const std::string base = "/tmp/oc_bench_flow_live_" + std::to_string(getpid());
    Child c = Spawn({"ip", "netns", "exec", ns.name, cli, "flow", "--iface", "ocbrx", "--seconds", "3600"},
                    base + ".cli.out", base + ".cli.err");
    // The capture is open once the command line announces it.
    for (int i = 0; i < 1000 && ReadAll(base + ".cli.err").find("Capturando em") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string speed = extraReplay.empty() ? "--topspeed" : extraReplay;
    std::string replay = "ip netns exec " + ns.name + " tcpreplay -i ocbtx " + speed + " '" + pcap + "' >" + base +
                         ".replay 2>&1";
    const auto t0 = Clock::now();
    std::atomic<bool> replaying{true};
    std::thread sampler([&] {
        // The command line's resident memory once a second while the replay runs.
        const std::string status = "/proc/" + std::to_string(c.pid) + "/status";
        for (int tick = 0; replaying.load(); ++tick) {
            const long kb = Field(ReadAll(status), "VmRSS:");
            r.rssCurve.emplace_back(std::chrono::duration<double>(Clock::now() - t0).count(), kb);
            const auto next = t0 + std::chrono::seconds(tick + 1);
            while (replaying.load() && Clock::now() < next) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const int rc = std::system(replay.c_str());
    r.replaySeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    replaying.store(false);
    sampler.join();
    const std::string replayOut = ReadAll(base + ".replay");
    if (rc != 0) std::fprintf(stderr, "tcpreplay failed:\n%s\n", replayOut.c_str());
    std::smatch m;
    if (std::regex_search(replayOut, m, std::regex(R"(Rated: ([0-9.]+) Bps, ([0-9.]+) Mbps, ([0-9.]+) pps)")))
        r.replayRate = m[3].str();
    r.replayed = Field(replayOut, "Successful packets:");
    // Let the capture read what is still in the kernel buffer, then stop the run with SIGINT
    // (the command line then stops the capture, finishes the analysis and prints).
    std::this_thread::sleep_for(std::chrono::seconds(2));
    // `ip netns exec` execs the command, so the pid is orvanta-cli's own.
    kill(c.pid, SIGINT);
    Reap(c);
    r.cliPeakKb = c.usage.ru_maxrss;
    const std::string out = ReadAll(base + ".cli.out");
    r.cliErr = ReadAll(base + ".cli.err");
    r.calls = Field(out, "Chamadas: ");
    r.registers = Field(out, "Registers: ");
    r.analysed = Field(out, "Pacotes: ");
    r.kernelReceived = Field(out, "Recebidos pelo kernel: ");
    r.kernelDropped = Field(out, "Perdidos pelo kernel: ");
    r.trimmed = Field(out, "Descartados antes da analise: ");
    r.ok = c.status == 0 && rc == 0;
    for (const char* ext : {".cli.out", ".cli.err", ".replay"}) std::remove((base + ext).c_str());
    return r;
}

size_t ManifestCalls(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    size_t n = 0;
    while (std::getline(in, line)) n += !line.empty() && line[0] != '#';
    return n;
}

// ---- the long trunk capture ----

struct Writer {
    pcap_t* dead = nullptr;
    pcap_dumper_t* dump = nullptr;
    uint64_t count = 0;
    uint64_t usec = 1700000000ull * 1000000ull;
    uint16_t ident = 0;
    bool Open(const std::string& path) {
        dead = pcap_open_dead(DLT_EN10MB, 65535);
        dump = dead ? pcap_dump_open(dead, path.c_str()) : nullptr;
        return dump != nullptr;
    }
    void Close() {
        if (dump) pcap_dump_close(dump);
        if (dead) pcap_close(dead);
    }
    void Udp(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport, const std::string& payload) {
        std::vector<uint8_t> f(14 + 20 + 8 + payload.size());
        const uint8_t macs[12] = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2};
        std::memcpy(f.data(), macs, 12);
        f[12] = 0x08;
        uint8_t* ip = f.data() + 14;
        const size_t ipLen = 20 + 8 + payload.size();
        ip[0] = 0x45;
        ip[2] = uint8_t(ipLen >> 8);
        ip[3] = uint8_t(ipLen);
        ++ident;
        ip[4] = uint8_t(ident >> 8);
        ip[5] = uint8_t(ident);
        ip[8] = 64;
        ip[9] = 17;
        for (int i = 0; i < 4; ++i) {
            ip[12 + i] = uint8_t(src >> (24 - 8 * i));
            ip[16 + i] = uint8_t(dst >> (24 - 8 * i));
        }
        uint32_t sum = 0;
        for (int i = 0; i < 20; i += 2) sum += (ip[i] << 8) | ip[i + 1];
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        ip[10] = uint8_t(~sum >> 8);
        ip[11] = uint8_t(~sum);
        uint8_t* udp = ip + 20;
        udp[0] = uint8_t(sport >> 8);
        udp[1] = uint8_t(sport);
        udp[2] = uint8_t(dport >> 8);
        udp[3] = uint8_t(dport);
        udp[4] = uint8_t((8 + payload.size()) >> 8);
        udp[5] = uint8_t(8 + payload.size());
        std::memcpy(udp + 8, payload.data(), payload.size());
        pcap_pkthdr h{};
        usec += 200;
        h.ts.tv_sec = static_cast<time_t>(usec / 1000000);
        h.ts.tv_usec = static_cast<suseconds_t>(usec % 1000000);
        h.caplen = h.len = static_cast<bpf_u_int32>(f.size());
        pcap_dump(reinterpret_cast<u_char*>(dump), &h, f.data());
        ++count;
    }
};

std::string SipText(const std::string& start, const std::string& callId, const std::string& cseq,
                    const std::string& from, const std::string& to, int sdpPort = 0) {
    std::string body;
    if (sdpPort) {
        body = "v=0\r\no=- 1 1 IN IP4 10.1.0.1\r\ns=-\r\nc=IN IP4 10.1.0.1\r\nt=0 0\r\nm=audio " +
               std::to_string(sdpPort) + " RTP/AVP 8 101\r\na=rtpmap:8 PCMA/8000\r\n";
    }
    return start + "\r\nVia: SIP/2.0/UDP 10.1.0.1:5060;branch=z9hG4bK" + callId.substr(0, 8) +
           "\r\nFrom: <sip:" + from + "@trunk.example>;tag=a1\r\nTo: <sip:" + to + "@trunk.example>\r\nCall-ID: " +
           callId + "\r\nCSeq: " + cseq + "\r\nUser-Agent: bench\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// Returns the number of calls written.
size_t WriteTrunkCapture(const std::string& path, uint64_t packets) {
    Writer w;
    if (!w.Open(path)) return 0;
    const uint32_t pbx = 0x0A010001;  // 10.1.0.1
    const uint32_t carrier = 0xC6336401;  // 198.51.100.1
    std::string rtp(172, '\xD5');
    rtp[0] = char(0x80);
    rtp[1] = 8;
    uint64_t keepAlive = 0, calls = 0;
    while (w.count < packets) {
        // A keep-alive pair with a fresh Call-ID, and every 50th one a REGISTER refresh
        // with the same Call-ID.
        const std::string ka = "ka-" + std::to_string(keepAlive) + "-77ab1c9e@10.1.0.1";
        w.Udp(pbx, carrier, 5060, 5060, SipText("OPTIONS sip:trunk.example SIP/2.0", ka, "1 OPTIONS", "pbx", "trunk"));
        w.Udp(carrier, pbx, 5060, 5060, SipText("SIP/2.0 200 OK", ka, "1 OPTIONS", "pbx", "trunk"));
        if (keepAlive % 50 == 0) {
            const std::string cseq = std::to_string(keepAlive / 50 + 1) + " REGISTER";
            w.Udp(pbx, carrier, 5060, 5060, SipText("REGISTER sip:trunk.example SIP/2.0", "reg-1@10.1.0.1", cseq, "pbx", "pbx"));
            w.Udp(carrier, pbx, 5060, 5060, SipText("SIP/2.0 200 OK", "reg-1@10.1.0.1", cseq, "pbx", "pbx"));
        }
        ++keepAlive;
        // Every 4th keep-alive: one call of 4 s of G.711 both ways (400 RTP packets).
        if (keepAlive % 4 == 0 && w.count < packets) {
            const std::string id = "call-" + std::to_string(calls) + "-5f3e@10.1.0.1";
            const uint16_t a = uint16_t(10000 + 2 * (calls % 20000)), b = uint16_t(30000 + 2 * (calls % 10000));
            const std::string from = std::to_string(1000 + calls % 9000), to = std::to_string(5500000 + calls);
            w.Udp(pbx, carrier, 5060, 5060, SipText("INVITE sip:" + to + "@trunk.example SIP/2.0", id, "1 INVITE", from, to, a));
            w.Udp(carrier, pbx, 5060, 5060, SipText("SIP/2.0 100 Trying", id, "1 INVITE", from, to));
            w.Udp(carrier, pbx, 5060, 5060, SipText("SIP/2.0 180 Ringing", id, "1 INVITE", from, to));
            w.Udp(carrier, pbx, 5060, 5060, SipText("SIP/2.0 200 OK", id, "1 INVITE", from, to, b));
            w.Udp(pbx, carrier, 5060, 5060, SipText("ACK sip:" + to + "@trunk.example SIP/2.0", id, "1 ACK", from, to));
            for (int i = 0; i < 200; ++i) {
                w.Udp(pbx, carrier, a, b, rtp);
                w.Udp(carrier, pbx, b, a, rtp);
            }
            w.Udp(pbx, carrier, 5060, 5060, SipText("BYE sip:" + to + "@trunk.example SIP/2.0", id, "2 BYE", from, to));
            w.Udp(carrier, pbx, 5060, 5060, SipText("SIP/2.0 200 OK", id, "2 BYE", from, to));
            ++calls;
        }
    }
    w.Close();
    std::printf("trunk capture: %llu packets, %llu keep-alives, %llu calls\n",
                static_cast<unsigned long long>(w.count), static_cast<unsigned long long>(keepAlive),
                static_cast<unsigned long long>(calls));
    return calls;
}

void PrintRun(const LiveRun& r) {
    std::printf("replay: %llu packets in %.2f s, tcpreplay rate %s packets/s\n", r.replayed, r.replaySeconds,
                r.replayRate.empty() ? "?" : r.replayRate.c_str());
    std::printf("orvanta-cli flow: kernel received %llu, kernel dropped %llu, trimmed before analysis %llu, "
                "analysed %llu\n",
                r.kernelReceived, r.kernelDropped, r.trimmed, r.analysed);
    std::printf("orvanta-cli flow: Chamadas %llu, Registers %llu, peak RSS %.1f MiB\n", r.calls, r.registers,
                r.cliPeakKb / 1024.0);
}

// The memory curve, and its range over the second half of the replay: by then the packet
// buffer is full and the record bounds are in force, so the curve should be flat.
void PrintCurve(const LiveRun& r) {
    if (r.rssCurve.empty()) return;
    std::printf("orvanta-cli resident memory during the replay (s: MiB):");
    for (size_t i = 0; i < r.rssCurve.size(); ++i)
        std::printf("%s%.0f: %.1f", i % 10 ? ", " : "\n  ", r.rssCurve[i].first, r.rssCurve[i].second / 1024.0);
    const size_t half = r.rssCurve.size() / 2;
    long low = r.rssCurve[half].second, high = low;
    for (size_t i = half; i < r.rssCurve.size(); ++i) {
        low = std::min(low, r.rssCurve[i].second);
        high = std::max(high, r.rssCurve[i].second);
    }
    std::printf("\nsecond half of the replay (%.0f s on): %.1f to %.1f MiB\n", r.rssCurve[half].first, low / 1024.0,
                high / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (geteuid() != 0) {
        std::fprintf(stderr, "bench_flow_live: needs root (network namespace and capture)\n");
        return 1;
    }
    if (Shell("command -v tcpreplay") != 0) {
        std::fprintf(stderr, "bench_flow_live: tcpreplay is missing (scripts/deps.sh test installs it)\n");
        return 1;
    }
    const std::string mode = argc > 1 ? argv[1] : "replay";
    const std::string pcap = "/tmp/oc_bench_flow_live_" + std::to_string(getpid()) + ".pcap";
    if (mode == "replay") {
        const int calls = argc > 2 ? std::max(1, std::atoi(argv[2])) : 500;
        const std::string gen = std::string("python3 '") + OC_SOURCE_DIR + "/bench/gen/synth_big.py' '" + pcap + "' " +
                                std::to_string(calls) + " >/dev/null 2>&1";
        std::printf("Generating %d calls with synth_big.py...\n", calls);
        std::fflush(stdout);
        if (std::system(gen.c_str()) != 0) {
            std::fprintf(stderr, "bench_flow_live: synth_big.py failed\n");
            return 1;
        }
        const LiveRun r = ReplayThroughCli(pcap);
        PrintRun(r);
        std::printf("calls found: %llu of %d generated (%zu manifest lines)\n", r.calls, calls,
                    ManifestCalls(pcap + ".manifest.tsv"));
        std::remove((pcap + ".manifest.tsv").c_str());
        if (!r.ok) std::fprintf(stderr, "%s", r.cliErr.c_str());
    } else if (mode == "longrun") {
        const uint64_t packets = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2000000;
        const unsigned long pps = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 0;
        const size_t calls = WriteTrunkCapture(pcap, packets);
        if (!calls) return 1;
        const LiveRun r = ReplayThroughCli(pcap, pps ? "--pps " + std::to_string(pps) : std::string());
        PrintRun(r);
        PrintCurve(r);
        std::printf("calls written %zu; record bounds: %zu records, %zu messages per record, %zu MiB of text\n", calls,
                    kMaxCallRecords, kMaxMessagesPerRecord, kMaxKeptTextBytes >> 20);
        std::printf("%s", r.cliErr.c_str());
    } else {
        std::fprintf(stderr, "usage: bench_flow_live replay [CALLS] | longrun [PACKETS]\n");
        return 1;
    }
    std::remove(pcap.c_str());
    return 0;
}
