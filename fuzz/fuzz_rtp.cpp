// libFuzzer target for the RTP and RTCP readers and the per-stream statistics built on them.
//
// Input layout: byte 0 even -> the rest is one payload handed to every reader (the seed
// corpus holds real RTP, RTCP and SDP this way); odd -> a sequence of packets built with
// FuzzedDataProvider and fed to one stream table, so sequence tracking, the jitter buffer
// replay and the RTCP attachment see arbitrary orders, jumps and clocks.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "flow/Rtcp.h"
#include "flow/RtpStreamStats.h"

namespace {

const Endpoint kEndpoints[] = {*Endpoint::Parse("10.0.0.1:4000"), *Endpoint::Parse("10.0.0.2:5000"),
                               *Endpoint::Parse("10.0.0.1:4001"), *Endpoint::Parse("10.0.0.2:5001"),
                               *Endpoint::Parse("[2001:db8::1]:4000"), Endpoint{}};

void Check(const RtpStreamTable& table) {
    for (const RtpStreamReport& r : table.Reports()) {
        if (r.mosAdaptive && (*r.mosAdaptive < 1.0 || *r.mosAdaptive > 4.5)) __builtin_trap();
        if (r.lossPercent < 0 || r.lossPercent > 100) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if ((data[0] & 1) == 0) {
        const std::span<const uint8_t> rest(data + 1, size - 1);
        (void)ReadRtpHeader(rest);
        (void)LooksLikeRtcp(rest);
        for (const RtcpReport& r : ReadRtcpCompound(rest)) {
            for (const RtcpReportBlock& b : r.blocks) (void)RoundTripMs(NtpMiddle(r.ntpTimestamp), b.lastSr, b.delaySinceLastSr);
        }
        const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
        for (const SdpRtpMap& m : ReadSdpRtpMaps(text)) (void)DescribePayload(m.payloadType, {m});
        RtpStreamTable table;
        table.AddRtp(kEndpoints[0], kEndpoints[1], rest, 1.0, "c", {});
        table.AddUnsignalled(kEndpoints[1], kEndpoints[0], rest, 1.0);
        table.AddRtcp(kEndpoints[3].address, rest, 1.1);
        Check(table);
        return 0;
    }
    FuzzedDataProvider in(data + 1, size - 1);
    RtpStreamTable table;
    std::vector<SdpRtpMap> maps;
    if (in.ConsumeBool()) maps = ReadSdpRtpMaps("a=rtpmap:96 PCMA/8000\r\na=rtpmap:97 telephone-event/8000\r\n");
    double clock = 1000.0;
    while (in.remaining_bytes() > 0) {
        clock += in.ConsumeFloatingPointInRange<double>(-0.5, 5.0);
        const Endpoint& src = kEndpoints[in.ConsumeIntegralInRange<size_t>(0, std::size(kEndpoints) - 1)];
        const Endpoint& dst = kEndpoints[in.ConsumeIntegralInRange<size_t>(0, std::size(kEndpoints) - 1)];
        const bool rtcp = in.ConsumeBool();
        std::vector<uint8_t> payload;
        if (in.ConsumeBool()) {
            // A well-formed RTP header with fuzzed fields, so the statistics get real work.
            payload = {0x80, in.ConsumeIntegral<uint8_t>()};
            for (int i = 0; i < 10; ++i) payload.push_back(in.ConsumeIntegral<uint8_t>());
            payload.resize(payload.size() + in.ConsumeIntegralInRange<size_t>(0, 40), 0xD5);
        } else {
            payload = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 200));
        }
        if (rtcp) table.AddRtcp(src.address, payload, clock);
        else if (maps.empty() && (payload.size() & 1)) table.AddUnsignalled(src, dst, payload, clock);
        else table.AddRtp(src, dst, payload, clock, "c", maps);
    }
    Check(table);
    return 0;
}
