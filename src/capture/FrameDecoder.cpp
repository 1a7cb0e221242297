#include "capture/FrameDecoder.h"

#include "capture/ByteReader.h"
#include "capture/Layers.h"

namespace {

// The upper layer of a reassembled datagram into the entry's binary fields and payload.
// IPv6: the fragmentable part may start with more extension headers (destination options,
// RFC 8200 section 4.1), walked as in an unfragmented datagram.
void ApplyDatagram(const ReassembledDatagram& datagram, PacketLogEntry& entry) {
    const ByteReader all(datagram.bytes);
    uint8_t protocol = datagram.protocol;
    ByteReader upper = all;
    if (datagram.family == IpAddress::V6) {
        const Ipv6Chain chain = WalkIpv6Headers(all, datagram.protocol, 0);
        // A Fragment header inside a reassembled datagram would be fragmentation nested in
        // itself, which no sender does: nothing in it is read as a transport header.
        if (!chain.complete || chain.fragmented) return;
        protocol = chain.protocol;
        upper = all.Sub(chain.upperOffset);
    }
    entry.ipProtocol = protocol;
    size_t headerLength = 0;
    const bool transport = ReadTransportFields(upper, protocol, entry, headerLength);
    if (!transport && (protocol == kIpProtoUdp || protocol == kIpProtoTcp)) return;  // cut short
    const std::span<const uint8_t> payload = upper.Tail(headerLength);
    entry.reassembled.assign(payload.begin(), payload.end());
}

}  // namespace

DecodeResult FrameDecoder::Decode(int linkType, const FrameHeader& header, std::span<const uint8_t> frame,
                                  PacketLogEntry& entry, SniffResult& reply) {
    DecodeResult result = DecodeFrame(linkType, header, frame, entry, reply, texts);
    if (!reassembly || !result.deliver || !result.fragment.present) return result;
    result.payload = {};
    entry.payloadOffset = 0;
    entry.payloadLength = 0;
    const FragmentOutcome outcome =
        reassembler.Offer(entry.srcAddr, entry.dstAddr, result.fragment, entry.TimeMicros(), scratch);
    if (outcome != FragmentOutcome::Completed) return result;
    ApplyDatagram(scratch, entry);
    result.payload = entry.reassembled;
    return result;
}
