// libFuzzer target over the pcapng reader, fed from memory. Besides ASan/UBSan catching any
// read past the input or the block buffer, the reader's own promises are checked, and every
// frame goes through the decoder as the capture loop hands it on.
//
// ctest runs it for 20 s. A longer run from a clang build directory:
//   ./fuzz/fuzz_pcapng -max_total_time=3600 -rss_limit_mb=2048 ../fuzz/corpus/pcapng
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "capture/Decode.h"
#include "capture/PcapngReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size heap copy: one byte past the input is a reported overflow.
    const std::vector<uint8_t> input(data, data + size);
    PcapngReader reader;
    if (!reader.OpenMemory(input)) {
        if (reader.Error().empty()) std::abort();
        return 0;
    }
    if (reader.FirstLinkType() < 0 || reader.FirstLinkType() > 0xFFFF) std::abort();
    PcapngFrame frame;
    PcapngReader::Status status;
    size_t frames = 0;
    while ((status = reader.Next(frame)) == PcapngReader::Status::Frame) {
        // Every block is at least 12 bytes: more frames than that is a loop that never ends.
        if (++frames > size / 12) std::abort();
        if (frame.tsUsec >= 1000000) std::abort();
        if (frame.data.size() > PcapngReader::kMaxBlockBytes || frame.data.size() > size) std::abort();
        if (frame.linkType < 0 || frame.linkType > 0xFFFF) std::abort();
        const FrameHeader header{static_cast<uint32_t>(frame.tsSec), frame.tsUsec, frame.wireLength};
        PacketLogEntry entry;
        SniffResult reply;
        const DecodeResult result = DecodeFrame(frame.linkType, header, frame.data, entry, reply);
        if (result.deliver && entry.rawData.size() != frame.data.size()) std::abort();
    }
    if (status == PcapngReader::Status::Error && reader.Error().empty()) std::abort();
    // Once ended, it stays ended.
    if (reader.Next(frame) != status) std::abort();
    return 0;
}
