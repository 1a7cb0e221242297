#pragma once
// A reader of classic pcap savefiles (microsecond and nanosecond time stamps, either byte
// order, version 2.4) that hands each frame over as a view into its own read buffer: read
// this way a file costs one copy less per frame than through libpcap's reader, which copies
// each record out of the stream's buffer into its own. It reads what libpcap reads and fails
// where and as libpcap fails; a file it does not take (IsPlainPcap false) is left to libpcap.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

#include "capture/SavefileReader.h"

class PcapFileReader final : public SavefileReader {
public:
    // libpcap's largest snapshot length: a record longer than this ends the read.
    static constexpr uint32_t kMaxSnapLength = 262144;
    static constexpr size_t kFileHeaderBytes = 24;
    static constexpr size_t kRecordHeaderBytes = 16;

    PcapFileReader() = default;
    ~PcapFileReader() override;
    PcapFileReader(const PcapFileReader&) = delete;
    PcapFileReader& operator=(const PcapFileReader&) = delete;

    // True when `head` (a file's first 24 bytes or more) opens a savefile this reader takes.
    static bool IsPlainPcap(std::span<const uint8_t> head);

    // False, with Error() saying why, when the file can't be opened or is not one it takes.
    // The bytes given to OpenMemory must outlive the reader.
    bool OpenFile(const std::string& path);
    bool OpenMemory(std::span<const uint8_t> bytes);

    Status Next(SavefileFrame& frame) override;
    const std::string& Error() const override { return error; }
    int FirstLinkType() const override { return linkType; }
    // The header's snapshot length, as libpcap takes it (0 and oversized ones are its maximum).
    uint32_t FirstSnapLength() const override { return snapLength; }

private:
    bool ReadHeader();
    // Makes `count` bytes available at buffer + pos (fewer only at the end of the input).
    size_t Have(size_t count);
    Status Fail(const std::string& why);
    uint32_t U32(const uint8_t* p) const;

    std::FILE* file = nullptr;
    std::span<const uint8_t> memory;  // OpenMemory's input, or the file's read buffer
    std::unique_ptr<uint8_t[]> buffer;
    size_t bufferSize = 0;
    size_t pos = 0, end = 0;  // unread bytes: [pos, end) of the buffer (or of memory)
    bool swapped = false;
    bool nanoseconds = false;
    int linkType = -1;
    uint32_t snapLength = 0;
    bool done = false;
    Status last = Status::End;
    std::string error;
};
