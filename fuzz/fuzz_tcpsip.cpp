// libFuzzer target for SIP over TCP: the framer on the raw input (whole and in small pieces,
// which must give the same messages), then SipTcpStreams on a sequence of segments cut from
// the input, with bounds small enough for short inputs to reach them, and the end of the
// capture skipping every hole left.
//
// Segment records: 1 byte of control, 4 bytes of sequence number, 2 bytes of length, the
// bytes. Control bit 0: direction; bits 1-2: SYN, FIN; bit 3: RST (with bits 1-2 clear);
// bits 4-5: which of four connections; bit 6: capture time moves 3 s on; bit 7: the
// sequence number is absolute, else an offset from the next byte that direction expects.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "flow/SipFraming.h"
#include "flow/SipParser.h"
#include "flow/TcpReassembly.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void CheckMessage(std::string_view m) {
    Check(!m.empty());
    Check(m.size() <= kMaxSipHeaderBytes + kMaxSipBodyBytes);
    const size_t lf = m.find('\n');
    Check(lf != std::string_view::npos);
    std::string_view first = m.substr(0, lf);
    if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
    Check(LooksLikeSipStartLine(first));
    SipMessage parsed;
    (void)ParseSipMessage(m, parsed);
}

struct Framed {
    SipFramerCounters counters;
    SipFramer framer{counters};
    std::vector<std::string> messages;
    void Feed(std::string_view bytes) {
        framer.Feed(bytes, [this](std::string_view m) {
            CheckMessage(m);
            messages.emplace_back(m);
        });
    }
};

void FrameTwoWays(std::string_view data) {
    // Lines longer than the header bound are cut by how they arrive; below it, how the bytes
    // are split must not matter.
    if (data.size() >= kMaxSipHeaderBytes) return;
    Framed whole, pieces;
    whole.Feed(data);
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step % 7 + 1)
        pieces.Feed(data.substr(at, step));
    Check(whole.messages == pieces.messages);
    Check(whole.counters.keepAliveBytes == pieces.counters.keepAliveBytes);
    Check(whole.counters.skippedBytes == pieces.counters.skippedBytes);
    Check(whole.counters.resyncs == pieces.counters.resyncs);
    whole.framer.Finish();
    const SipFramerCounters& c = whole.counters;
    Check(c.messageBytes + c.keepAliveBytes + c.skippedBytes + c.unfinishedBytes == data.size());
}

const Endpoint kClients[4] = {{*IpAddress::Parse("10.0.0.1"), 40000}, {*IpAddress::Parse("10.0.0.2"), 40001},
                              {*IpAddress::Parse("2001:db8::1"), 5061}, {*IpAddress::Parse("10.0.0.1"), 40001}};
const Endpoint kServer{*IpAddress::Parse("192.0.2.1"), 5060};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FrameTwoWays(std::string_view(reinterpret_cast<const char*>(data), size));

    SipTcpLimits limits;
    limits.connections = 3;
    limits.heldBytesPerDirection = 2048;
    limits.heldSegmentsPerDirection = 8;
    limits.bufferedBytes = 8192;
    SipTcpStreams streams(limits);
    uint32_t expected[4][2] = {};
    int64_t time = 1'000'000;
    size_t at = 0;
    while (size - at >= 7) {
        const uint8_t control = data[at];
        const uint32_t seqField = (uint32_t{data[at + 1]} << 24) | (uint32_t{data[at + 2]} << 16) |
                                  (uint32_t{data[at + 3]} << 8) | data[at + 4];
        size_t length = (size_t{data[at + 5]} << 8) | data[at + 6];
        at += 7;
        if (length > size - at) length = size - at;
        const int conn = (control >> 4) & 3;
        const int dir = control & 1;
        if (control & 0x40) time += 3'000'000;
        PacketLogEntry e;
        const Endpoint& from = dir ? kServer : kClients[conn];
        const Endpoint& to = dir ? kClients[conn] : kServer;
        e.srcAddr = from.address;
        e.dstAddr = to.address;
        e.srcPort = from.port;
        e.dstPort = to.port;
        e.ipProtocol = kIpProtoTcp;
        e.hasPorts = true;
        e.tcpSeq = (control & 0x80) ? seqField : expected[conn][dir] + seqField;
        e.tcpFlags = static_cast<uint8_t>(0x10 | ((control & 0x02) ? 0x02 : 0) | ((control & 0x04) ? 0x01 : 0) |
                                          ((control & 0x0e) == 0x08 ? 0x04 : 0));
        e.tsSec = static_cast<uint32_t>(time / 1000000);
        e.tsUsec = static_cast<uint32_t>(time % 1000000);
        e.SetPayload(std::span(data + at, length));
        at += length;
        expected[conn][dir] = e.tcpSeq + static_cast<uint32_t>(length) + ((e.tcpFlags & 0x02) ? 1 : 0);
        streams.Feed(e, [](const SipTcpMessage& m) { CheckMessage(m.text); });
        const SipTcpCounters c = streams.Counters();
        Check(c.bufferedBytes <= limits.bufferedBytes);
        Check(c.connections <= limits.connections);
    }
    streams.SkipHoles([](const SipTcpMessage& m) { CheckMessage(m.text); });
    Check(streams.Counters().bufferedBytes <= limits.bufferedBytes);
    streams.Clear();
    Check(streams.Counters().bufferedBytes == 0);
    return 0;
}
