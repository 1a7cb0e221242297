#include "capture/Decode.h"

#include <ctime>

#include "capture/Layers.h"
#include "capture/LinkLayer.h"
#include "capture/TextFormat.h"
#include "logs/LocalTime.h"

namespace {

// Local "%H:%M:%S" of the capture second plus ".mmm". Converting to local time is the costly
// part, and consecutive frames mostly share their second, so each thread keeps the last one.
std::string CaptureTime(uint32_t tsSec, uint32_t tsUsec) {
    thread_local bool haveCached = false;
    thread_local uint32_t cachedSec = 0;
    thread_local std::string cachedText;
    if (!haveCached || cachedSec != tsSec) {
        cachedText = LocalTimeText(static_cast<std::time_t>(tsSec), "%H:%M:%S");
        cachedSec = tsSec;
        haveCached = true;
    }
    std::string out(cachedText);
    const uint32_t ms = tsUsec / 1000;
    out.push_back('.');
    // "%03d" of the millisecond count; a bogus tsUsec above 999999 still prints all digits.
    if (ms < 100) out.push_back('0');
    if (ms < 10) out.push_back('0');
    AppendDecimal(out, ms);
    return out;
}

std::string MacAddress(const ByteReader& frame, size_t offset) {
    std::string s;
    s.reserve(17);
    for (size_t i = 0; i < 6; ++i) {
        if (i) s.push_back(':');
        AppendHexByte(s, frame.u8(offset + i), false);
    }
    return s;
}

// A frame that is neither IPv4 nor IPv6: its first ten network-layer bytes as hex, nothing more decoded.
void DecodeOther(int linkType, const LinkInfo& link, const ByteReader& frame, PacketLogEntry& entry) {
    entry.protocol = NonIpv4ProtocolText(link);
    entry.info = "[Hex: ";
    for (uint8_t b : frame.bytes(link.hexOffset, 10)) {
        AppendHexByte(entry.info, b, true);
        entry.info.push_back(' ');
    }
    entry.info.push_back(']');
    // Addresses of a non-IPv4 frame: the station addresses where the link layer has them.
    if (linkType == kLinkEthernet) {
        entry.source = MacAddress(frame, 6);
        entry.destination = MacAddress(frame, 0);
    }
}

}  // namespace

DecodeResult DecodeFrame(int linkType, const FrameHeader& header, std::span<const uint8_t> frame,
                         PacketLogEntry& entry, SniffResult& reply) {
    const ByteReader reader(frame);
    const LinkInfo link = ParseLinkLayer(linkType, reader);
    if (!link.usable) {
        DecodeResult r;
        r.status = link.status;
        return r;
    }
    entry.time = CaptureTime(header.tsSec, header.tsUsec);
    entry.tsSec = header.tsSec;
    entry.tsUsec = header.tsUsec;
    entry.wireLength = header.wireLength;
    entry.linkType = linkType;
    entry.rawData.assign(frame.begin(), frame.end());

    DecodeResult r;
    if (link.kind == LinkInfo::Ipv6) {
        r = DecodeIpv6(reader.Sub(link.netOffset), header, entry, reply);
    } else if (link.kind == LinkInfo::Ipv4) {
        r = DecodeIpv4(reader.Sub(link.netOffset), header, entry, reply);
    } else {
        DecodeOther(linkType, link, reader, entry);
        r.deliver = true;
        r.status = link.status;
    }
    if (!r.payload.empty()) {
        entry.payloadOffset = static_cast<uint32_t>(r.payload.data() - frame.data());
        entry.payloadLength = static_cast<uint32_t>(r.payload.size());
    }
    return r;
}

void DecodeCounters::Count(const DecodeResult& r) {
    switch (r.status) {
        case DecodeStatus::Decoded: decoded.fetch_add(1, std::memory_order_relaxed); break;
        case DecodeStatus::Truncated: truncated.fetch_add(1, std::memory_order_relaxed); break;
        case DecodeStatus::Malformed: malformed.fetch_add(1, std::memory_order_relaxed); break;
        case DecodeStatus::NotMine: notMine.fetch_add(1, std::memory_order_relaxed); break;
    }
    if (r.reply) replies.fetch_add(1, std::memory_order_relaxed);
}
