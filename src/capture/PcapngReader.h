#pragma once
// A bounded reader of pcapng capture files. libpcap refuses a file whose interfaces have
// different link types (a capture on an Ethernet card and the "any" device at once); this
// reader gives every frame with its own interface's link type instead.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "capture/ByteReader.h"
#include "capture/SavefileReader.h"

// One frame of an Enhanced, Simple or Obsolete Packet Block; its time has the interface's
// if_tsoffset added.
using PcapngFrame = SavefileFrame;

class PcapngReader final : public SavefileReader {
public:
    // A block longer than this ends the read with an error: no allocation follows a length
    // field further than that.
    static constexpr uint32_t kMaxBlockBytes = 16u * 1024 * 1024;
    // Interface Description Blocks in one section; one more is an error.
    static constexpr size_t kMaxInterfacesPerSection = 1024;

    PcapngReader() = default;
    ~PcapngReader() override;
    PcapngReader(const PcapngReader&) = delete;
    PcapngReader& operator=(const PcapngReader&) = delete;

    // True when `head`, the first bytes of a file, open a pcapng Section Header Block.
    static bool IsPcapng(std::span<const uint8_t> head);

    // Open the file or the bytes (which must outlive the reader) and read up to the first
    // Interface Description Block. False, with Error() saying why, for anything that is not
    // a pcapng file with at least one interface.
    bool OpenFile(const std::string& path);
    bool OpenMemory(std::span<const uint8_t> bytes);

    // The next frame; End at the end of the input, Error (with Error()) for a broken or cut
    // file. After End or Error every further call gives the same.
    Status Next(PcapngFrame& frame) override;

    const std::string& Error() const override { return error; }
    // The first interface of the file: the link type and snapshot length (0: none given)
    // that a single-link-type savefile of it would carry.
    int FirstLinkType() const override { return firstLinkType; }
    uint32_t FirstSnapLength() const override { return firstSnapLength; }

private:
    struct Interface {
        int linkType = -1;
        uint32_t snapLength = 0;
        bool binaryResolution = false;  // if_tsresol: units of 2^-exponent, else 10^-exponent s
        uint8_t exponent = 6;
        int64_t offsetSec = 0;          // if_tsoffset
    };
    enum class BlockStatus { Block, End, Error };
    // One block further: a frame, an interface description, the end or a failure.
    enum class StepResult { Frame, Interface, End, Error };
    StepResult Step(PcapngFrame& frame);

    bool Begin();
    BlockStatus ReadBlock();
    bool Fail(const std::string& why);  // records the first reason only
    BlockStatus BlockError(const std::string& why);
    StepResult FrameError(const std::string& why);
    size_t Pull(uint8_t* into, size_t count);
    bool ParseSectionHeader(const ByteReader& body);
    bool ParseInterface(const ByteReader& body);
    bool FrameFrom(uint32_t interfaceId, uint64_t timestamp, uint32_t capLength, uint32_t wireLength,
                   const ByteReader& body, size_t dataOffset, PcapngFrame& frame);
    uint16_t U16(const ByteReader& r, size_t offset) const { return bigEndian ? r.be16(offset) : r.le16(offset); }
    uint32_t U32(const ByteReader& r, size_t offset) const { return bigEndian ? r.be32(offset) : r.le32(offset); }

    std::FILE* file = nullptr;
    std::span<const uint8_t> memory;
    size_t memoryPos = 0;
    std::vector<uint8_t> block;  // the block being read, header and trailer included
    uint32_t blockType = 0;
    bool bigEndian = false;
    bool inSection = false;
    bool failed = false;
    bool ended = false;
    std::vector<Interface> interfaces;  // of the current section
    int firstLinkType = -1;
    uint32_t firstSnapLength = 0;
    std::string error;
};

// The DLT_* value of a pcapng/savefile LINKTYPE_* value. They are equal for the link types
// the decoder knows (0, 1, 108, 113, 276, 228, 229) except raw IP, which files call 101 and
// libpcap 12; any other value is passed on as it is.
int LinkTypeFromFile(uint32_t fileLinkType);
