#pragma once
// What the capture loop reads a capture file through when it does not leave the reading to
// libpcap: one frame at a time, each with its own link type.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct SavefileFrame {
    int linkType = -1;         // DLT_* value of the frame's interface
    uint32_t interfaceId = 0;  // within its section (pcapng; 0 otherwise)
    int64_t tsSec = 0;         // seconds since 1970-01-01 UTC
    uint32_t tsUsec = 0;       // always below 1000000
    uint32_t wireLength = 0;   // length on the wire, as the record says
    std::span<const uint8_t> data;  // the captured bytes; valid until the next Next()
};

class SavefileReader {
public:
    enum class Status { Frame, End, Error };
    virtual ~SavefileReader() = default;
    // The next frame; End at the end of the input, Error (with Error()) for a broken or cut
    // file. After End or Error every further call gives the same.
    virtual Status Next(SavefileFrame& frame) = 0;
    virtual const std::string& Error() const = 0;
    // The link type and snapshot length (0: none given) a single-link-type savefile of the
    // input would carry.
    virtual int FirstLinkType() const = 0;
    virtual uint32_t FirstSnapLength() const = 0;
};

// The first `bytes` bytes of a file (fewer when it is shorter; none when it can't be opened),
// for the readers to tell their formats by.
std::vector<uint8_t> ReadFileHead(const std::string& path, size_t bytes);
