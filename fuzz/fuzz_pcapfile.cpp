// libFuzzer target over the plain pcap savefile reader, fed from memory. Besides ASan/UBSan
// catching any read past the input, the reader's own promises are checked, and every frame
// goes through the decoder as the capture loop hands it on.
//
// ctest runs it for 20 s. A longer run from a clang build directory:
//   ./fuzz/fuzz_pcapfile -max_total_time=3600 -rss_limit_mb=2048 ../fuzz/corpus/pcapfile
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "capture/Decode.h"
#include "capture/PcapFileReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size heap copy: one byte past the input is a reported overflow.
    const std::vector<uint8_t> input(data, data + size);
    PcapFileReader reader;
    if (!reader.OpenMemory(input)) {
        if (reader.Error().empty()) std::abort();
        return 0;
    }
    SavefileFrame frame;
    SavefileReader::Status status;
    size_t frames = 0;
    while ((status = reader.Next(frame)) == SavefileReader::Status::Frame) {
        // Every record has a 16-byte header: more frames than that is a loop that never ends.
        if (++frames > size / PcapFileReader::kRecordHeaderBytes) std::abort();
        if (frame.data.size() > PcapFileReader::kMaxSnapLength || frame.data.size() > reader.FirstSnapLength())
            std::abort();
        if (frame.data.data() < input.data() || frame.data.data() + frame.data.size() > input.data() + input.size())
            std::abort();
        const FrameHeader header{static_cast<uint32_t>(frame.tsSec), frame.tsUsec, frame.wireLength};
        PacketLogEntry entry;
        SniffResult reply;
        const DecodeResult result = DecodeFrame(frame.linkType, header, frame.data, entry, reply);
        if (result.deliver && entry.rawData.size() != frame.data.size()) std::abort();
    }
    if (status == SavefileReader::Status::Error && reader.Error().empty()) std::abort();
    // Once ended, it stays ended.
    if (reader.Next(frame) != status) std::abort();
    return 0;
}
