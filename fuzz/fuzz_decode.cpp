// libFuzzer target over the frame decoder. The first input byte picks the link type, the
// rest is the captured frame. Besides ASan/UBSan catching any read past the frame, the
// decoder's own promises are checked.
//
// ctest runs it for 20 s. A longer run from a clang build directory:
//   ./fuzz/fuzz_decode -max_total_time=3600 -rss_limit_mb=2048 ../fuzz/corpus/decode
// and every crash file it writes becomes a named seed in fuzz/corpus/decode/.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "capture/Decode.h"
#include "capture/TextFormat.h"

namespace {
constexpr int kLinkTypes[] = {kLinkEthernet, kLinkLinuxSll, kLinkLinuxSll2, kLinkNull, kLinkLoop,
                              kLinkRaw,      kLinkRawIpv4,  kLinkRawIpv6,  14,             127};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int linkType = kLinkTypes[data[0] % (sizeof kLinkTypes / sizeof kLinkTypes[0])];
    // An exact-size heap copy: one byte past the frame is a reported overflow.
    const std::vector<uint8_t> frame(data + 1, data + size);
    const FrameHeader header{1700000000u + data[0], 123456, static_cast<uint32_t>(frame.size())};
    PacketLogEntry entry;
    SniffResult reply;
    const DecodeResult result = DecodeFrame(linkType, header, std::span<const uint8_t>(frame), entry, reply);

    if (result.reply && !result.deliver) std::abort();
    if (result.reply && (!reply.valid || reply.fromIp.empty())) std::abort();
    if (!result.deliver && (!entry.rawData.empty() || reply.valid)) std::abort();
    if (result.deliver) {
        if (entry.rawData != frame) std::abort();
        if (size_t{entry.payloadOffset} + entry.payloadLength > frame.size()) std::abort();
        if (entry.protocol.empty() || entry.time.size() < 12) std::abort();
        if (frame.size() < MinimumFrameLength(linkType)) std::abort();
        // An address handed on without its port never keeps a bracket (IPv6 "[a]:port").
        for (const std::string* e : {&entry.source, &entry.destination}) {
            const std::string_view address = EndpointAddress(*e);
            if (address.find('[') != std::string_view::npos || address.find(']') != std::string_view::npos)
                std::abort();
        }
    }
    return 0;
}
