#include "capture/PcapngReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/Packet.h"

namespace {

// Block types (pcapng, IETF draft-ietf-opsawg-pcapng). The section header's type reads the
// same in both byte orders, so a reader can find it before it knows the order.
constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kObsoletePacket = 2;
constexpr uint32_t kSimplePacket = 3;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kSupportedMajorVersion = 1;

constexpr size_t kBlockHeaderBytes = 8;   // type and total length
constexpr size_t kBlockTrailerBytes = 4;  // total length again
constexpr size_t kMinBlockBytes = kBlockHeaderBytes + kBlockTrailerBytes;
// Fixed parts of the block bodies, after the 8-byte header.
constexpr size_t kSectionHeaderFixed = 16;      // byte-order magic, version, section length
constexpr size_t kInterfaceFixed = 8;           // link type, reserved, snapshot length
constexpr size_t kPacketFixed = 20;             // EPB/OPB: interface, time stamp, two lengths
constexpr size_t kSimplePacketFixed = 4;        // original length

constexpr uint16_t kOptEndOfOptions = 0;
constexpr uint16_t kOptTsResolution = 9;
constexpr uint16_t kOptTsOffset = 14;
constexpr uint8_t kTsResolutionBinary = 0x80;
constexpr uint8_t kDefaultTsExponent = 6;  // microseconds when if_tsresol is absent
constexpr uint8_t kMaxDecimalExponent = 19;  // 10^19 is the last power of ten in 64 bits
constexpr uint8_t kMaxBinaryExponent = 63;

constexpr uint32_t kFileLinkTypeRaw = 101;  // LINKTYPE_RAW
constexpr uint32_t kMicrosPerSecond = 1000000;
constexpr size_t kFileBufferBytes = 256 * 1024;

uint64_t PowerOfTen(uint8_t exponent) {
    uint64_t v = 1;
    for (uint8_t i = 0; i < exponent; ++i) v *= 10;
    return v;
}

// floor(fraction * 10^6 / 2^exponent) for fraction < 2^exponent, without 128-bit numbers:
// the product is taken in two 32-bit halves, whose partial sums stay below 2^53.
uint32_t BinaryFractionToMicros(uint64_t fraction, uint8_t exponent) {
    if (exponent < 32) return static_cast<uint32_t>((fraction * kMicrosPerSecond) >> exponent);
    const uint64_t high = (fraction >> 32) * kMicrosPerSecond;
    const uint64_t low = (fraction & 0xFFFFFFFFu) * kMicrosPerSecond;
    return static_cast<uint32_t>((high + (low >> 32)) >> (exponent - 32));
}

std::string Number(uint64_t v) { return std::to_string(v); }

}  // namespace

int LinkTypeFromFile(uint32_t fileLinkType) {
    if (fileLinkType == kFileLinkTypeRaw) return kLinkRaw;
    return static_cast<int>(fileLinkType);
}

PcapngReader::~PcapngReader() {
    if (file) std::fclose(file);
}

bool PcapngReader::IsPcapng(std::span<const uint8_t> head) {
    return ByteReader(head).AtLeast(4) && ByteReader(head).be32(0) == kSectionHeader;
}

bool PcapngReader::OpenFile(const std::string& path) {
    errno = 0;
    file = std::fopen(path.c_str(), "rb");
    if (!file) return Fail(path + ": " + std::strerror(errno ? errno : ENOENT));
    std::setvbuf(file, nullptr, _IOFBF, kFileBufferBytes);
    return Begin();
}

bool PcapngReader::OpenMemory(std::span<const uint8_t> bytes) {
    memory = bytes;
    memoryPos = 0;
    return Begin();
}

bool PcapngReader::Fail(const std::string& why) {
    if (!failed) error = why;
    failed = true;
    return false;
}

PcapngReader::BlockStatus PcapngReader::BlockError(const std::string& why) {
    Fail(why);
    return BlockStatus::Error;
}

PcapngReader::StepResult PcapngReader::FrameError(const std::string& why) {
    Fail(why);
    return StepResult::Error;
}

size_t PcapngReader::Pull(uint8_t* into, size_t count) {
    if (file) return std::fread(into, 1, count, file);
    const size_t got = std::min(count, memory.size() - memoryPos);
    if (got) std::memcpy(into, memory.data() + memoryPos, got);
    memoryPos += got;
    return got;
}

// Reads blocks up to the first interface: the file's link type must be known at open. A
// packet block before it names an interface that does not exist and fails on its own.
bool PcapngReader::Begin() {
    PcapngFrame unused;
    while (true) {
        switch (Step(unused)) {
            case StepResult::Interface: return true;
            case StepResult::Frame: break;  // not reached: no frame comes before an interface
            case StepResult::Error: return false;
            case StepResult::End:
                return Fail(inSection ? "pcapng file without an interface description block" : "empty file");
        }
    }
}

PcapngReader::BlockStatus PcapngReader::ReadBlock() {
    auto cut = [this](size_t wanted, size_t got) {
        return BlockError("truncated pcapng file; tried to read " + Number(wanted) + " bytes, only got " +
                          Number(got));
    };
    auto readError = [this] {
        return BlockError(std::string("error reading the pcapng file: ") + std::strerror(errno ? errno : EIO));
    };
    errno = 0;
    block.resize(kBlockHeaderBytes);
    size_t got = Pull(block.data(), kBlockHeaderBytes);
    if (file && std::ferror(file)) return readError();
    if (got == 0) return BlockStatus::End;  // between two blocks: the end of the file
    if (got < kBlockHeaderBytes) return cut(kBlockHeaderBytes, got);

    const uint32_t type = U32(ByteReader(block), 0);
    if (type == kSectionHeader) {
        // A new section may change the byte order; its magic comes before its length.
        block.resize(kBlockHeaderBytes + 4);
        got = Pull(block.data() + kBlockHeaderBytes, 4);
        if (got < 4) return cut(4, got);
        const ByteReader head(block);
        if (head.be32(kBlockHeaderBytes) == kByteOrderMagic)
            bigEndian = true;
        else if (head.le32(kBlockHeaderBytes) == kByteOrderMagic)
            bigEndian = false;
        else
            return BlockError("pcapng section header with an unknown byte-order magic");
    } else if (!inSection) {
        return BlockError("not a pcapng file: it does not start with a section header block");
    }
    const uint32_t length = U32(ByteReader(block), 4);
    if (length < std::max(kMinBlockBytes, block.size() + kBlockTrailerBytes) || length % 4 != 0)
        return BlockError("pcapng block with an impossible length of " + Number(length));
    if (length > kMaxBlockBytes)
        return BlockError("pcapng block of " + Number(length) + " bytes, more than the " +
                          Number(kMaxBlockBytes) + " this reader takes");
    const size_t have = block.size();
    const size_t want = length - have;
    // From memory, a block that runs past the end is known before anything is allocated.
    if (!file && memory.size() - memoryPos < want) {
        const size_t rest = memory.size() - memoryPos;
        memoryPos = memory.size();
        return cut(want, rest);
    }
    block.resize(length);
    got = Pull(block.data() + have, want);
    if (file && std::ferror(file)) return readError();
    if (got < want) return cut(want, got);
    if (U32(ByteReader(block), length - kBlockTrailerBytes) != length)
        return BlockError("pcapng block whose trailing length differs from its leading one");
    blockType = type;
    return BlockStatus::Block;
}

bool PcapngReader::ParseSectionHeader(const ByteReader& body) {
    if (!body.AtLeast(kSectionHeaderFixed)) return Fail("pcapng section header block too short");
    const uint16_t major = U16(body, 4);
    const uint16_t minor = U16(body, 6);
    if (major != kSupportedMajorVersion)
        return Fail("unsupported pcapng version " + Number(major) + "." + Number(minor));
    // Interface numbers start again in every section.
    interfaces.clear();
    inSection = true;
    return true;
}

bool PcapngReader::ParseInterface(const ByteReader& body) {
    if (!body.AtLeast(kInterfaceFixed)) return Fail("pcapng interface description block too short");
    if (interfaces.size() >= kMaxInterfacesPerSection)
        return Fail("more than " + Number(kMaxInterfacesPerSection) + " interfaces in one pcapng section");
    Interface i;
    i.linkType = LinkTypeFromFile(U16(body, 0));
    i.snapLength = U32(body, 4);
    i.exponent = kDefaultTsExponent;
    size_t offset = kInterfaceFixed;
    while (body.Has(offset, 4)) {
        const uint16_t code = U16(body, offset);
        const uint16_t length = U16(body, offset + 2);
        offset += 4;
        if (code == kOptEndOfOptions) break;
        if (!body.Has(offset, length)) return Fail("pcapng interface option runs past its block");
        if (code == kOptTsResolution && length >= 1) {
            const uint8_t v = body.u8(offset);
            i.binaryResolution = (v & kTsResolutionBinary) != 0;
            i.exponent = v & static_cast<uint8_t>(~kTsResolutionBinary);
            if (i.exponent > (i.binaryResolution ? kMaxBinaryExponent : kMaxDecimalExponent))
                return Fail("pcapng interface time resolution out of range (if_tsresol " + Number(v) + ")");
        } else if (code == kOptTsOffset && length >= 8) {
            const uint64_t hi = U32(body, offset + (bigEndian ? 0 : 4));
            const uint64_t lo = U32(body, offset + (bigEndian ? 4 : 0));
            i.offsetSec = static_cast<int64_t>((hi << 32) | lo);
        }
        offset += (size_t{length} + 3) & ~size_t{3};  // values are padded to 32 bits
    }
    if (firstLinkType < 0) {
        firstLinkType = i.linkType;
        firstSnapLength = i.snapLength;
    }
    interfaces.push_back(i);
    return true;
}

bool PcapngReader::FrameFrom(uint32_t interfaceId, uint64_t timestamp, uint32_t capLength, uint32_t wireLength,
                             const ByteReader& body, size_t dataOffset, PcapngFrame& frame) {
    if (interfaceId >= interfaces.size())
        return Fail("pcapng packet block for interface " + Number(interfaceId) + ", which its section does not describe");
    if (!body.Has(dataOffset, capLength))
        return Fail("pcapng packet block whose captured length of " + Number(capLength) + " runs past the block");
    const Interface& i = interfaces[interfaceId];
    uint64_t seconds = 0;
    if (i.binaryResolution) {
        const uint64_t fraction = i.exponent ? timestamp & ((uint64_t{1} << i.exponent) - 1) : 0;
        seconds = i.exponent ? timestamp >> i.exponent : timestamp;
        frame.tsUsec = BinaryFractionToMicros(fraction, i.exponent);
    } else {
        const uint64_t units = PowerOfTen(i.exponent);
        seconds = timestamp / units;
        const uint64_t fraction = timestamp % units;
        frame.tsUsec = static_cast<uint32_t>(i.exponent <= 6 ? fraction * PowerOfTen(6 - i.exponent)
                                                             : fraction / PowerOfTen(i.exponent - 6));
    }
    // if_tsoffset is signed; the sum wraps instead of overflowing.
    frame.tsSec = static_cast<int64_t>(seconds + static_cast<uint64_t>(i.offsetSec));
    frame.linkType = i.linkType;
    frame.interfaceId = interfaceId;
    frame.wireLength = wireLength;
    frame.data = body.bytes(dataOffset, capLength);
    return true;
}

PcapngReader::Status PcapngReader::Next(PcapngFrame& frame) {
    while (true) {
        switch (Step(frame)) {
            case StepResult::Frame: return Status::Frame;
            case StepResult::Interface: break;
            case StepResult::End: return Status::End;
            case StepResult::Error: return Status::Error;
        }
    }
}

PcapngReader::StepResult PcapngReader::Step(PcapngFrame& frame) {
    while (true) {
        if (failed) return StepResult::Error;
        if (ended) return StepResult::End;
        const BlockStatus s = ReadBlock();
        if (s == BlockStatus::Error) return StepResult::Error;
        if (s == BlockStatus::End) {
            ended = true;
            return StepResult::End;
        }
        const std::span<const uint8_t> whole(block);
        const ByteReader body(whole.subspan(kBlockHeaderBytes, whole.size() - kMinBlockBytes));
        switch (blockType) {
            case kSectionHeader:
                if (!ParseSectionHeader(body)) return StepResult::Error;
                break;
            case kInterfaceDescription:
                if (!ParseInterface(body)) return StepResult::Error;
                return StepResult::Interface;
            case kEnhancedPacket:
            case kObsoletePacket: {
                if (!body.AtLeast(kPacketFixed)) return FrameError("pcapng packet block too short");
                // The obsolete block has a 16-bit interface and a 16-bit drop count there.
                const uint32_t id = blockType == kEnhancedPacket ? U32(body, 0) : U16(body, 0);
                const uint64_t ts = (uint64_t{U32(body, 4)} << 32) | U32(body, 8);
                if (!FrameFrom(id, ts, U32(body, 12), U32(body, 16), body, kPacketFixed, frame))
                    return StepResult::Error;
                return StepResult::Frame;
            }
            case kSimplePacket: {
                if (!body.AtLeast(kSimplePacketFixed)) return FrameError("pcapng packet block too short");
                if (interfaces.empty())
                    return FrameError("pcapng simple packet block in a section without an interface");
                // No captured length of its own: the block holds the frame, cut to the snapshot.
                const uint32_t wire = U32(body, 0);
                uint64_t cap = std::min<uint64_t>(wire, body.size() - kSimplePacketFixed);
                if (interfaces[0].snapLength != 0) cap = std::min<uint64_t>(cap, interfaces[0].snapLength);
                if (!FrameFrom(0, 0, static_cast<uint32_t>(cap), wire, body, kSimplePacketFixed, frame))
                    return StepResult::Error;
                return StepResult::Frame;
            }
            default: break;  // name resolution, statistics, secrets, custom blocks: not needed
        }
    }
}
