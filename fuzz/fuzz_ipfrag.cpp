// libFuzzer target over IP reassembly: a sequence of frames through one FrameDecoder with
// reassembly on. Input: one byte picking the link type, then records of a 2-byte big-endian
// frame length, one byte of capture-time step and the frame. Besides ASan/UBSan catching any
// read or write outside a buffer, the reassembler's bounds and the decoder's promises about
// payloads are checked after every frame.
//
// ctest runs it for 20 s. A longer run from a clang build directory:
//   ./fuzz/fuzz_ipfrag -max_total_time=3600 -rss_limit_mb=2048 ../fuzz/corpus/ipfrag
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "capture/FrameDecoder.h"

namespace {
constexpr int kLinkTypes[] = {kLinkEthernet, kLinkRaw, kLinkLinuxSll, kLinkNull};

// Capture time moves on by the step byte in quarter seconds, so 120 steps reach the IPv4
// time-out; 255 steps back by 100 s, as a clock set back does.
int64_t Step(uint8_t b) { return b == 255 ? -100000000 : int64_t{b} * 250000; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int linkType = kLinkTypes[data[0] % (sizeof kLinkTypes / sizeof kLinkTypes[0])];
    FrameDecoder decoder;
    decoder.SetReassembly(true);
    int64_t now = 1700000000LL * 1000000;
    uint64_t offeredBytes = 0;
    size_t at = 1;
    while (at + 3 <= size) {
        const size_t length = (size_t{data[at]} << 8) | data[at + 1];
        now += Step(data[at + 2]);
        at += 3;
        const size_t n = length < size - at ? length : size - at;
        // An exact-size heap copy: one byte past the frame is a reported overflow.
        const std::vector<uint8_t> frame(data + at, data + at + n);
        at += n;
        const FrameHeader header{static_cast<uint32_t>(now / 1000000), static_cast<uint32_t>(now % 1000000),
                                 static_cast<uint32_t>(frame.size())};
        PacketLogEntry entry;
        SniffResult reply;
        const DecodeResult r = decoder.Decode(linkType, header, std::span<const uint8_t>(frame), entry, reply);
        if (r.fragment.present) offeredBytes += r.fragment.bytes.size();

        const IpReassembler& reassembler = decoder.Reassembler();
        const ReassemblyCounts counts = decoder.Counts();
        if (reassembler.Pending() > kMaxPendingDatagrams || counts.pending != reassembler.Pending()) std::abort();
        if (reassembler.HeldBytes() > kMaxPendingDatagrams * kMaxReassembledBytes) std::abort();
        if (reassembler.HeldBytes() > offeredBytes) std::abort();
        if (entry.Payload().size() > kMaxReassembledBytes) std::abort();
        if (!r.deliver) {
            if (!entry.rawData.empty() || !entry.reassembled.empty()) std::abort();
            continue;
        }
        if (entry.rawData != frame) std::abort();
        if (!entry.reassembled.empty()) {
            // Only a fragment completes a datagram, and the result views what the entry owns.
            if (!r.fragment.present || r.payload.data() != entry.reassembled.data()) std::abort();
            if (!entry.hasPorts && (entry.ipProtocol == kIpProtoUdp || entry.ipProtocol == kIpProtoTcp)) std::abort();
        } else if (r.fragment.present && !entry.Payload().empty()) {
            std::abort();  // a fragment that completes nothing hands on no partial payload
        }
    }
    return 0;
}
