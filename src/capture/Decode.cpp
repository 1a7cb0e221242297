#include "capture/Decode.h"

#include <ctime>

#include "capture/Layers.h"
#include "capture/LinkLayer.h"
#include "capture/TextFormat.h"
#include "logs/LocalTime.h"

// Local "%H:%M:%S" of the capture second plus ".mmm". Converting to local time is the costly
// part, and consecutive frames mostly share their second, so each thread keeps the last one.
std::string CaptureTimeText(uint32_t tsSec, uint32_t tsUsec) {
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

namespace {

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
void DecodeOther(int linkType, const LinkInfo& link, const ByteReader& frame, PacketLogEntry& entry, bool texts) {
    if (!texts) return;
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
                         PacketLogEntry& entry, SniffResult& reply, bool texts) {
    const ByteReader reader(frame);
    const LinkInfo link = ParseLinkLayer(linkType, reader);
    if (!link.usable) {
        DecodeResult r;
        r.status = link.status;
        return r;
    }
    if (texts) entry.time = CaptureTimeText(header.tsSec, header.tsUsec);
    entry.tsSec = header.tsSec;
    entry.tsUsec = header.tsUsec;
    entry.wireLength = header.wireLength;
    entry.linkType = linkType;
    entry.rawData.assign(frame.begin(), frame.end());

    DecodeResult r;
    if (link.kind == LinkInfo::Ipv6) {
        r = DecodeIpv6(reader.Sub(link.netOffset), header, entry, reply, texts);
    } else if (link.kind == LinkInfo::Ipv4) {
        r = DecodeIpv4(reader.Sub(link.netOffset), header, entry, reply, texts);
    } else {
        DecodeOther(linkType, link, reader, entry, texts);
        r.deliver = true;
        r.status = link.status;
    }
    if (!r.payload.empty()) {
        entry.payloadOffset = static_cast<uint32_t>(r.payload.data() - frame.data());
        entry.payloadLength = static_cast<uint32_t>(r.payload.size());
    }
    return r;
}

std::string PacketTimeText(const PacketLogEntry& entry) {
    return entry.time.empty() ? CaptureTimeText(entry.tsSec, entry.tsUsec) : entry.time;
}

PacketTexts DescribePacket(const PacketLogEntry& entry) {
    PacketTexts t;
    const bool hasTexts = !entry.protocol.empty() || !entry.source.empty() || !entry.info.empty();
    if (!hasTexts && !entry.rawData.empty() && entry.rawData.size() >= MinimumFrameLength(entry.linkType)) {
        PacketLogEntry scratch;
        SniffResult reply;
        const FrameHeader header{entry.tsSec, entry.tsUsec, entry.wireLength};
        DecodeFrame(entry.linkType, header, entry.rawData, scratch, reply, true);
        if (!scratch.protocol.empty()) {
            t.time = std::move(scratch.time);
            t.source = std::move(scratch.source);
            t.destination = std::move(scratch.destination);
            t.protocol = std::move(scratch.protocol);
            t.info = std::move(scratch.info);
            return t;
        }
    }
    t.time = PacketTimeText(entry);
    t.source = entry.source;
    t.destination = entry.destination;
    t.protocol = entry.protocol;
    t.info = entry.info;
    if (!hasTexts) {
        // A packet made without a frame: its endpoints as the packet log writes them.
        t.source = entry.hasPorts ? entry.Source().Text() : entry.srcAddr.Text();
        t.destination = entry.hasPorts ? entry.Destination().Text() : entry.dstAddr.Text();
    }
    return t;
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
