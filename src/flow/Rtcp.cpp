#include "flow/Rtcp.h"

#include "capture/ByteReader.h"

std::vector<RtcpReport> ReadRtcpCompound(std::span<const uint8_t> payload) {
    std::vector<RtcpReport> out;
    ByteReader r(payload);
    size_t offset = 0;
    while (r.Has(offset, 4)) {
        const uint8_t first = r.u8(offset);
        if ((first >> 6) != 2) break;
        const uint8_t count = first & 0x1F;
        const uint8_t type = r.u8(offset + 1);
        const size_t length = (size_t{r.be16(offset + 2)} + 1) * 4;
        if (!r.Has(offset, length)) break;
        if (type == kRtcpSenderReport || type == kRtcpReceiverReport) {
            const bool sr = type == kRtcpSenderReport;
            const size_t fixed = sr ? 28 : 8;  // header + sender SSRC (+ 20 bytes of sender info)
            if (length < fixed + size_t{count} * 24) break;
            ByteReader p = ByteReader(r.bytes(offset, length));
            RtcpReport report;
            report.packetType = type;
            report.senderSsrc = p.be32(4);
            if (sr) {
                report.hasSenderInfo = true;
                report.ntpTimestamp = (uint64_t{p.be32(8)} << 32) | p.be32(12);
                report.rtpTimestamp = p.be32(16);
                report.senderPacketCount = p.be32(20);
                report.senderOctetCount = p.be32(24);
            }
            for (size_t i = 0; i < count; ++i) {
                const size_t b = fixed + i * 24;
                RtcpReportBlock block;
                block.ssrc = p.be32(b);
                block.fractionLost = p.u8(b + 4);
                // 24-bit two's complement
                uint32_t lost = (uint32_t{p.u8(b + 5)} << 16) | (uint32_t{p.u8(b + 6)} << 8) | p.u8(b + 7);
                block.cumulativeLost = (lost & 0x800000) ? static_cast<int32_t>(lost) - 0x1000000
                                                         : static_cast<int32_t>(lost);
                block.highestSequence = p.be32(b + 8);
                block.jitter = p.be32(b + 12);
                block.lastSr = p.be32(b + 16);
                block.delaySinceLastSr = p.be32(b + 20);
                report.blocks.push_back(block);
            }
            out.push_back(std::move(report));
        }
        offset += length;
    }
    return out;
}

std::optional<double> RoundTripMs(uint32_t arrivalMiddle, uint32_t lastSr, uint32_t delaySinceLastSr) {
    if (lastSr == 0) return std::nullopt;
    // Modular arithmetic in the 16.16 fixed-point unit; a "negative" round trip (clocks that
    // disagree, a report older than its SR) shows as a huge value and is refused.
    const uint32_t rtt = arrivalMiddle - lastSr - delaySinceLastSr;
    if (rtt > 0x80000000u) return std::nullopt;
    return rtt * 1000.0 / 65536.0;
}
