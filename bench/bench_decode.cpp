// Decode throughput of the capture loop: savefile → PacketLogEntry/SniffResult → a callback
// that drops them, on a savefile of at least 500,000 frames generated here from the fixture
// captures. Printed next to `orvanta-cli decode` (text to /dev/null), `tcpdump -nn -r` and
// `tshark -n -r` on the same file. The loop is timed with IP reassembly off, as the probe
// engine runs it, and on, as the flow engine does.
//
//   bench_decode [FRAMES] [--ipv6] [--pcap FILE]
// (default 600000; --ipv6: the IPv6 fixtures only; --pcap: that savefile, e.g. the one
// `bench_flow --keep` leaves, instead of a generated one)
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/Sniffer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Frame {
    std::vector<uint8_t> bytes;
    uint32_t wire;
};

std::vector<Frame> LoadFixtureFrames(bool ipv6) {
    std::vector<Frame> frames;
    const std::string root = OC_SOURCE_DIR "/tests/data/";
    const std::vector<const char*> ipv4Files = {
        "testnet-samples/icmp-trace.pcap", "testnet-samples/udp-trace.pcap",       "testnet-samples/tcp-trace.pcap",
        "pcaps/01_basic_call_caller_bye.pcap", "pcaps/08_call_pcmu_dtmf_rfc2833.pcap", "pcaps/10_batch_20_calls.pcap"};
    const std::vector<const char*> ipv6Files = {"testnet-samples/icmp6-trace.pcap", "testnet-samples/udp6-trace.pcap",
                                                "testnet-samples/tcp6-trace.pcap",
                                                "pcaps/11_ipv6_call_caller_bye.pcap"};
    for (const char* f : ipv6 ? ipv6Files : ipv4Files) {
        char errbuf[PCAP_ERRBUF_SIZE];
        pcap_t* p = pcap_open_offline((root + f).c_str(), errbuf);
        if (!p) {
            std::fprintf(stderr, "cannot read %s: %s\n", f, errbuf);
            continue;
        }
        pcap_pkthdr* h;
        const u_char* d;
        while (pcap_next_ex(p, &h, &d) == 1) frames.push_back({std::vector<uint8_t>(d, d + h->caplen), h->len});
        pcap_close(p);
    }
    return frames;
}

bool WriteBigSavefile(const std::string& path, const std::vector<Frame>& frames, long count) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* out = dead ? pcap_dump_open(dead, path.c_str()) : nullptr;
    if (!out) return false;
    for (long i = 0; i < count; ++i) {
        const Frame& f = frames[static_cast<size_t>(i) % frames.size()];
        pcap_pkthdr h{};
        const long usec = 20 * i;  // 50,000 frames per second of capture time
        h.ts.tv_sec = 1700000000 + usec / 1000000;
        h.ts.tv_usec = usec % 1000000;
        h.caplen = static_cast<bpf_u_int32>(f.bytes.size());
        h.len = f.wire;
        pcap_dump(reinterpret_cast<u_char*>(out), &h, f.bytes.data());
    }
    pcap_dump_close(out);
    pcap_close(dead);
    return true;
}

long CountFrames(const std::string& path) {
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path.c_str(), errbuf);
    if (!p) return -1;
    long n = 0;
    pcap_pkthdr* h;
    const u_char* d;
    while (pcap_next_ex(p, &h, &d) == 1) ++n;
    pcap_close(p);
    return n;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Best of three runs of the capture loop over the file.
double DecodeSeconds(const std::string& path, bool reassembly, uint64_t& packets, uint64_t& replies) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        Sniffer sniffer;
        sniffer.SetReassembly(reassembly);
        if (!sniffer.InitOffline(path)) {
            std::fprintf(stderr, "InitOffline failed: %s\n", sniffer.LastErrorDetail().c_str());
            std::exit(2);
        }
        std::atomic<uint64_t> seenPackets{0}, seenReplies{0};
        const auto t0 = Clock::now();
        sniffer.Start([&](SniffResult) { seenReplies.fetch_add(1, std::memory_order_relaxed); },
                      [&](PacketLogEntry) { seenPackets.fetch_add(1, std::memory_order_relaxed); });
        sniffer.WaitLoopEnd();
        const double s = Seconds(Clock::now() - t0);
        sniffer.Stop();
        best = std::min(best, s);
        packets = seenPackets.load();
        replies = seenReplies.load();
    }
    return best;
}

bool Installed(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Best of three runs of a peer tool, or a negative value when it failed.
double PeerSeconds(const std::string& command) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const auto t0 = Clock::now();
        if (std::system(command.c_str()) != 0) return -1;
        best = std::min(best, Seconds(Clock::now() - t0));
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    long count = 600000;
    bool ipv6 = false;
    std::string given;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--ipv6") ipv6 = true;
        else if (std::string(argv[i]) == "--pcap" && i + 1 < argc) given = argv[++i];
        else count = std::max(500000L, std::atol(argv[i]));
    }
    std::string path = given;
    if (given.empty()) {
        const std::vector<Frame> frames = LoadFixtureFrames(ipv6);
        if (frames.empty()) {
            std::fprintf(stderr, "no fixture frames found under %s/tests/data\n", OC_SOURCE_DIR);
            return 2;
        }
        path = "/tmp/oc-bench-decode-" + std::to_string(getpid()) + ".pcap";
        if (!WriteBigSavefile(path, frames, count)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 2;
        }
        std::printf("savefile: %s, %ld frames (%zu distinct fixture frames replicated)\n", path.c_str(), count,
                    frames.size());
    } else {
        count = CountFrames(given);
        if (count <= 0) {
            std::fprintf(stderr, "cannot read %s\n", given.c_str());
            return 2;
        }
        std::printf("savefile: %s, %ld frames\n", path.c_str(), count);
    }

    uint64_t packets = 0, replies = 0;
    const double off = DecodeSeconds(path, false, packets, replies);
    std::printf("%-34s %8.3f s  %12.0f frames/s  (%llu entries, %llu replies)\n", "loop, reassembly off (best of 3)",
                off, count / off, (unsigned long long)packets, (unsigned long long)replies);
    // The peers are set beside this one: the flow engine's loop, which reassembles.
    const double ours = DecodeSeconds(path, true, packets, replies);
    std::printf("%-34s %8.3f s  %12.0f frames/s  (%llu entries, %llu replies)\n", "loop, reassembly on (best of 3)",
                ours, count / ours, (unsigned long long)packets, (unsigned long long)replies);

    // Like for like with the peers, which format text: our command-line decoder printing
    // every frame to /dev/null (found beside this program in the build tree).
    std::error_code ec;
    const std::filesystem::path cli =
        std::filesystem::canonical("/proc/self/exe", ec).parent_path().parent_path() / "src/cli/orvanta-cli";
    if (!ec && std::filesystem::exists(cli)) {
        const double s = PeerSeconds(cli.string() + " decode " + path + " > /dev/null 2>&1");
        if (s > 0)
            std::printf("%-34s %8.3f s  %12.0f frames/s\n", "orvanta-cli decode (best of 3)", s, count / s);
    } else {
        std::printf("%-34s skipped: not built beside this program\n", "orvanta-cli decode");
    }

    const struct {
        const char* tool;
        std::string command;
    } peers[] = {
        {"tcpdump", "tcpdump -nn -r " + path + " > /dev/null 2>&1"},
        // -n: no name resolution, so nothing leaves the machine.
        {"tshark", "tshark -n -r " + path + " > /dev/null 2>&1"},
    };
    for (const auto& peer : peers) {
        if (!Installed(peer.tool)) {
            std::printf("%-34s skipped: not installed\n", peer.tool);
            continue;
        }
        const double s = PeerSeconds(peer.command);
        if (s < 0) {
            std::printf("%-34s failed\n", peer.command.c_str());
            continue;
        }
        std::printf("%-34s %8.3f s  %12.0f frames/s  (ours is %.1fx %s)\n", (std::string(peer.tool) + " (best of 3)").c_str(),
                    s, count / s, ours < s ? s / ours : ours / s, ours < s ? "faster" : "slower");
    }
    if (given.empty()) std::remove(path.c_str());
    return 0;
}
