// Memory under floods that never complete, with the bounds that hold it:
// - ip: 100,000 IPv4 first fragments with distinct identifications, then 100,000 IPv6
//   ones, through the capture loop's decoding stage with reassembly on (FrameDecoder, as the
//   flow engine runs it); then the worst case of the table, 100,000 IPv4 fragments 43 to a
//   datagram, each datagram missing its first, so every pending one holds about 62 KiB;
// - tcp: 10,000 SIP-over-TCP connections to port 5060, each missing its first data segment
//   and holding the data after it, through CallTracker::ProcessPacket.
// Each part runs in a child process of its own, so that memory the allocator kept from one
// does not hide the next one's; it prints that process's peak memory (VmHWM) and what the
// reassemblers hold against their bounds.
//
//   bench_flood [ip|ipfill|tcp|all] [--held N]   (--held: data segments held per connection, 1)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "capture/FrameDecoder.h"
#include "capture/IpReassembly.h"
#include "flow/CallTracker.h"
#include "flow/TcpReassembly.h"

namespace {

constexpr uint32_t kStartSecond = 1700000000;
constexpr size_t kFragments = 100000;
constexpr size_t kConnections = 10000;

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    Put16(b, at, v >> 16);
    Put16(b, at + 2, v & 0xFFFF);
}

// An Ethernet frame of the given type with `ipBytes` after its header, addressed between two
// made-up stations; the caller fills the IP part.
std::vector<uint8_t> EthernetFrame(uint16_t etherType, size_t ipBytes) {
    std::vector<uint8_t> f(14 + ipBytes, 0);
    const uint8_t macs[12] = {0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01};
    std::memcpy(f.data(), macs, sizeof macs);
    Put16(f, 12, etherType);
    for (size_t i = 14; i < f.size(); ++i) f[i] = static_cast<uint8_t>('a' + i % 26);
    return f;
}

// An IPv4 UDP fragment of `data` bytes at `offset` (a multiple of 8) from 10.(9+id/65536).0.1
// to 10.8.0.1; the first one starts with a UDP header to port 5060.
void SetIpv4Fragment(std::vector<uint8_t>& f, uint32_t id, uint32_t offset, size_t data, bool more) {
    const size_t ip = 14;
    f[ip] = 0x45;
    Put16(f, ip + 2, static_cast<uint32_t>(20 + data));
    Put16(f, ip + 4, id & 0xFFFF);
    Put16(f, ip + 6, (more ? 0x2000 : 0) | (offset / 8));
    f[ip + 8] = 64;
    f[ip + 9] = kIpProtoUdp;
    const uint8_t addrs[8] = {10, static_cast<uint8_t>(9 + (id >> 16)), 0, 1, 10, 8, 0, 1};
    std::memcpy(&f[ip + 12], addrs, sizeof addrs);
    if (offset == 0) {
        Put16(f, ip + 20, 5060);
        Put16(f, ip + 22, 5060);
        Put16(f, ip + 24, 8 + 4000);  // the whole datagram's length, never reached
    }
}

// An IPv6 UDP first fragment of `data` bytes, 2001:db8::1 to 2001:db8::2, identification id.
void SetIpv6Fragment(std::vector<uint8_t>& f, uint32_t id, size_t data) {
    const size_t ip = 14;
    f[ip] = 0x60;
    Put16(f, ip + 4, static_cast<uint32_t>(8 + data));
    f[ip + 6] = 44;  // Fragment header
    f[ip + 7] = 64;
    const uint8_t src[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    std::memcpy(&f[ip + 8], src, 16);
    std::memcpy(&f[ip + 24], src, 16);
    f[ip + 39] = 2;
    f[ip + 40] = kIpProtoUdp;
    Put16(f, ip + 42, 1);  // offset 0, More Fragments
    Put32(f, ip + 44, id);
    Put16(f, ip + 48, 5060);
    Put16(f, ip + 50, 5060);
    Put16(f, ip + 52, 8 + 4000);
}

struct IpPhase {
    size_t maxPending = 0;
    size_t maxHeld = 0;
    double cpuMs = 0;
};

// Decodes one frame with capture time `micros` and follows the reassembler's high-water marks.
void DecodeOne(FrameDecoder& decoder, const std::vector<uint8_t>& frame, int64_t micros, IpPhase& phase) {
    PacketLogEntry entry;
    SniffResult reply;
    const FrameHeader header{static_cast<uint32_t>(micros / 1000000), static_cast<uint32_t>(micros % 1000000),
                             static_cast<uint32_t>(frame.size())};
    const double t0 = bench::ThreadCpuMs();
    decoder.Decode(kLinkEthernet, header, frame, entry, reply);
    phase.cpuMs += bench::ThreadCpuMs() - t0;
    phase.maxPending = std::max(phase.maxPending, decoder.Reassembler().Pending());
    phase.maxHeld = std::max(phase.maxHeld, decoder.Reassembler().HeldBytes());
}

void PrintIpPhase(const char* name, const FrameDecoder& decoder, const IpPhase& phase, size_t frames,
                  double rssBefore) {
    const ReassemblyCounts c = decoder.Counts();
    std::printf("%s\n", name);
    std::printf("  %zu fragments, %.0f per CPU-second in Decode\n", frames, frames / (phase.cpuMs / 1e3));
    std::printf("  pending now %zu, at most %zu (bound kMaxPendingDatagrams %zu)\n", decoder.Reassembler().Pending(),
                phase.maxPending, kMaxPendingDatagrams);
    std::printf("  held bytes now %.2f MiB, at most %.2f MiB (bound %zu x %zu = %.1f MiB)\n",
                decoder.Reassembler().HeldBytes() / 1048576.0, phase.maxHeld / 1048576.0, kMaxPendingDatagrams,
                kMaxReassembledBytes, kMaxPendingDatagrams * kMaxReassembledBytes / 1048576.0);
    std::printf("  counted: over bounds %llu, incomplete %llu, unusable %llu, reassembled %llu\n",
                (unsigned long long)c.fragmentsOverBounds, (unsigned long long)c.fragmentsIncomplete,
                (unsigned long long)c.fragmentsUnusable, (unsigned long long)c.reassembled);
    std::printf("  RSS before %.1f MiB, peak %.1f MiB, now %.1f MiB\n", rssBefore, bench::PeakRssMiB(),
                bench::RssMiB());
}

void IpFlood() {
    // 20 us apart: 100,000 fragments take 2 s of capture time, well inside the time-outs, so
    // only the table's bound lets go of them.
    constexpr int64_t kStep = 20;
    int64_t now = int64_t{kStartSecond} * 1000000;
    {
        const double before = bench::RssMiB();
        FrameDecoder decoder;
        decoder.SetReassembly(true);
        IpPhase v4, v6;
        std::vector<uint8_t> frame = EthernetFrame(0x0800, 20 + 1480);
        for (uint32_t i = 0; i < kFragments; ++i) {
            SetIpv4Fragment(frame, i, 0, 1480, true);
            DecodeOne(decoder, frame, now += kStep, v4);
        }
        PrintIpPhase("IPv4 first fragments, distinct identifications", decoder, v4, kFragments, before);
        frame = EthernetFrame(0x86DD, 40 + 8 + 1448);
        for (uint32_t i = 0; i < kFragments; ++i) {
            SetIpv6Fragment(frame, i, 1448);
            DecodeOne(decoder, frame, now += kStep, v6);
        }
        PrintIpPhase("then IPv6 first fragments, distinct identifications", decoder, v6, kFragments, before);
    }
}

void IpFill() {
    constexpr int64_t kStep = 20;
    int64_t now = int64_t{kStartSecond} * 1000000;
    {
        // The most a full table can hold: 43 fragments of 1,480 bytes from offset 1,480 to
        // 65,120 (the end), so every datagram waits for its first one.
        const double before = bench::RssMiB();
        FrameDecoder decoder;
        decoder.SetReassembly(true);
        IpPhase fill;
        std::vector<uint8_t> frame = EthernetFrame(0x0800, 20 + 1480);
        constexpr uint32_t kPerDatagram = 43;
        for (uint32_t i = 0; i < kFragments; ++i) {
            const uint32_t k = 1 + i % kPerDatagram;
            SetIpv4Fragment(frame, 0x20000 + i / kPerDatagram, k * 1480, 1480, k != kPerDatagram);
            DecodeOne(decoder, frame, now += kStep, fill);
        }
        PrintIpPhase("IPv4, 43 fragments per datagram, the first never sent", decoder, fill, kFragments, before);
    }
}

void PrintTcp(const char* name, const SipTcpCounters& c, size_t maxConnections, size_t maxBuffered) {
    std::printf("%s\n", name);
    std::printf("  connections now %llu, at most %zu (bound kMaxTcpConnections %zu)\n",
                (unsigned long long)c.connections, maxConnections, kMaxTcpConnections);
    std::printf("  buffered now %.2f MiB, at most %.2f MiB (bound kMaxTcpBufferedBytes %.0f MiB)\n",
                c.bufferedBytes / 1048576.0, maxBuffered / 1048576.0, kMaxTcpBufferedBytes / 1048576.0);
    std::printf("  counted: segments %llu, evicted %llu, shed %llu, holes %llu (%llu bytes), held dropped %llu bytes\n",
                (unsigned long long)c.segments, (unsigned long long)c.connectionsEvicted,
                (unsigned long long)c.connectionsShed, (unsigned long long)c.holes, (unsigned long long)c.holeBytes,
                (unsigned long long)c.droppedHeldBytes);
}

void TcpFlood(int held) {
    constexpr size_t kSegment = 1400;
    const double before = bench::RssMiB();
    CallTracker tracker;
    // One entry reused for every segment, as a decoded frame would look: 54 bytes of
    // Ethernet, IPv4 and TCP headers, then the payload.
    PacketLogEntry e;
    e.time = "00:00:00.000";
    e.protocol = "TCP";
    e.ipProtocol = kIpProtoTcp;
    e.hasPorts = true;
    e.rawData.assign(54, 0);
    std::string body;
    while (body.size() < kSegment) body += "a=fmtp:101 0-15\r\na=ptime:20\r\na=sendrecv\r\n";
    body.resize(kSegment);
    e.SetPayload(std::span(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
    const uint8_t server[4] = {10, 61, 0, 1};
    e.dstAddr = IpAddress::FromV4(server);
    e.dstPort = 5060;
    const size_t packets = kConnections * (1 + static_cast<size_t>(held));
    // All within 2 s of capture time: no hole waits out kTcpHoleTimeoutMicros.
    const int64_t step = std::max<int64_t>(1, 2'000'000 / static_cast<int64_t>(packets));
    int64_t now = int64_t{kStartSecond} * 1000000;
    size_t maxConnections = 0, maxBuffered = 0;
    double cpuMs = 0;
    auto feed = [&](uint32_t seq, uint8_t flags, size_t payload) {
        now += step;
        e.tsSec = static_cast<uint32_t>(now / 1000000);
        e.tsUsec = static_cast<uint32_t>(now % 1000000);
        e.tcpSeq = seq;
        e.tcpFlags = flags;
        e.payloadLength = static_cast<uint32_t>(payload);
        e.wireLength = static_cast<uint32_t>(54 + payload);
        const double t0 = bench::ThreadCpuMs();
        tracker.ProcessPacket(e);
        cpuMs += bench::ThreadCpuMs() - t0;
    };
    for (uint32_t i = 0; i < kConnections; ++i) {
        const uint8_t client[4] = {10, 60, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        e.srcAddr = IpAddress::FromV4(client);
        e.srcPort = static_cast<uint16_t>(40000 + i % 20000);
        const uint32_t isn = 1000 + i * 7919;
        feed(isn, 0x02, 0);  // SYN
        // The first data segment (isn + 1, kSegment bytes) is never captured.
        for (int k = 0; k < held; ++k) feed(isn + 1 + kSegment * (1 + k), 0x18, kSegment);
        const SipTcpCounters c = tracker.TcpCounters();
        maxConnections = std::max<size_t>(maxConnections, c.connections);
        maxBuffered = std::max<size_t>(maxBuffered, c.bufferedBytes);
    }
    std::printf("SIP over TCP: %zu connections to port 5060, each missing its first segment and holding %d of %zu "
                "bytes after it\n",
                kConnections, held, kSegment);
    std::printf("  %zu segments, %.0f per CPU-second in ProcessPacket\n", packets, packets / (cpuMs / 1e3));
    PrintTcp("  before the end of the capture:", tracker.TcpCounters(), maxConnections, maxBuffered);
    std::printf("  RSS before %.1f MiB, peak %.1f MiB, now %.1f MiB\n", before, bench::PeakRssMiB(), bench::RssMiB());
    tracker.EndOfCapture();
    PrintTcp("  after EndOfCapture (holes skipped, what waited framed):", tracker.TcpCounters(), maxConnections,
             maxBuffered);
    std::printf("  RSS now %.1f MiB\n", bench::RssMiB());
}

// Runs one part in a child of this still small process.
bool InChild(void (*part)(int), int held) {
    std::fflush(nullptr);  // or the child's exit prints our buffered output again
    const pid_t pid = fork();
    if (pid == 0) {
        part(held);
        std::fflush(nullptr);
        _exit(0);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string what = "all";
    int held = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--held" && i + 1 < argc) held = std::max(1, std::atoi(argv[++i]));
        else what = a;
    }
    const struct {
        const char* name;
        void (*run)(int);
    } parts[] = {{"ip", [](int) { IpFlood(); }}, {"ipfill", [](int) { IpFill(); }}, {"tcp", TcpFlood}};
    bool known = what == "all", ok = true;
    for (const auto& part : parts) {
        if (what != "all" && what != part.name) continue;
        known = true;
        ok = InChild(part.run, held) && ok;
    }
    if (!known) {
        std::fprintf(stderr, "usage: bench_flood [ip|ipfill|tcp|all] [--held N]\n");
        return 2;
    }
    return ok ? 0 : 1;
}
