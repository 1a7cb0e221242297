#include "capture/PcapFileReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/ByteReader.h"
#include "capture/Packet.h"
#include "capture/PcapngReader.h"

namespace {

constexpr uint32_t kMagicMicros = 0xA1B2C3D4;
constexpr uint32_t kMagicNanos = 0xA1B23C4D;
constexpr uint16_t kVersionMajor = 2;
constexpr uint16_t kVersionMinor = 4;  // older minors swap the two lengths; libpcap reads those
// The link type field's low 26 bits; the bits above say how long a frame check sequence is.
constexpr uint32_t kLinkTypeMask = 0x03FFFFFF;
// Read in large pieces: fread then reads straight into the buffer, past the stream's own.
constexpr size_t kReadChunk = 256 * 1024;
constexpr uint32_t kIntMax = 0x7FFFFFFF;

uint32_t Swap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

std::string Number(uint64_t v) { return std::to_string(v); }

// Link types whose DLT_* value the decoder knows; a file of any other is left to libpcap,
// which also maps the LINKTYPE_* values that differ from their DLT_* ones.
bool KnownFileLinkType(uint32_t fileLinkType) {
    switch (LinkTypeFromFile(fileLinkType)) {
        case kLinkNull:
        case kLinkEthernet:
        case kLinkRaw:
        case kLinkLoop:
        case kLinkRawIpv4:
        case kLinkRawIpv6:
        case kLinkLinuxSll:
        case kLinkLinuxSll2: return true;
        default: return false;
    }
}

}  // namespace

PcapFileReader::~PcapFileReader() {
    if (file) std::fclose(file);
}

bool PcapFileReader::IsPlainPcap(std::span<const uint8_t> head) {
    const ByteReader r(head);
    if (!r.AtLeast(kFileHeaderBytes)) return false;
    const uint32_t magic = r.le32(0);
    const bool swapped = magic == Swap32(kMagicMicros) || magic == Swap32(kMagicNanos);
    if (!swapped && magic != kMagicMicros && magic != kMagicNanos) return false;
    const auto u16 = [&](size_t at) { return swapped ? r.be16(at) : r.le16(at); };
    const auto u32 = [&](size_t at) { return swapped ? r.be32(at) : r.le32(at); };
    return u16(4) == kVersionMajor && u16(6) == kVersionMinor && KnownFileLinkType(u32(20) & kLinkTypeMask);
}

std::vector<uint8_t> ReadFileHead(const std::string& path, size_t bytes) {
    std::vector<uint8_t> head(bytes);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return {};
    head.resize(std::fread(head.data(), 1, head.size(), f));
    std::fclose(f);
    return head;
}

bool PcapFileReader::OpenFile(const std::string& path) {
    errno = 0;
    file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = path + ": " + std::strerror(errno ? errno : ENOENT);  // as libpcap says it
        return false;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);  // the reads are large: no second buffer
    // Room for a whole record of the largest snapshot length behind what is left unread.
    bufferSize = kReadChunk + kRecordHeaderBytes + kMaxSnapLength;
    buffer = std::make_unique<uint8_t[]>(bufferSize);
    memory = std::span<const uint8_t>(buffer.get(), bufferSize);
    return ReadHeader();
}

bool PcapFileReader::OpenMemory(std::span<const uint8_t> bytes) {
    memory = bytes;
    end = bytes.size();
    return ReadHeader();
}

uint32_t PcapFileReader::U32(const uint8_t* p) const {
    const uint32_t v = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    return swapped ? Swap32(v) : v;
}

bool PcapFileReader::ReadHeader() {
    if (Have(kFileHeaderBytes) < kFileHeaderBytes ||
        !IsPlainPcap(std::span<const uint8_t>(memory.data() + pos, kFileHeaderBytes))) {
        if (error.empty()) error = "not a pcap savefile of version 2.4";
        done = true;
        last = Status::Error;
        return false;
    }
    const uint8_t* h = memory.data() + pos;
    const uint32_t magic = ByteReader(std::span<const uint8_t>(h, 4)).le32(0);
    swapped = magic == Swap32(kMagicMicros) || magic == Swap32(kMagicNanos);
    nanoseconds = magic == kMagicNanos || magic == Swap32(kMagicNanos);
    linkType = LinkTypeFromFile(U32(h + 20) & kLinkTypeMask);
    const uint32_t snap = U32(h + 16);
    snapLength = snap == 0 || snap > kIntMax ? kMaxSnapLength : snap;
    pos += kFileHeaderBytes;
    return true;
}

size_t PcapFileReader::Have(size_t count) {
    if (end - pos >= count || !file) return std::min(count, end - pos);
    // Move what is left to the front and fill the buffer behind it.
    if (pos > 0) {
        std::memmove(buffer.get(), buffer.get() + pos, end - pos);
        end -= pos;
        pos = 0;
    }
    while (end - pos < count) {
        const size_t room = bufferSize - end;
        if (room == 0) break;  // not reached: a record fits the buffer behind any rest
        const size_t got = std::fread(buffer.get() + end, 1, std::min(room, kReadChunk), file);
        end += got;
        if (got == 0) break;
    }
    return std::min(count, end - pos);
}

SavefileReader::Status PcapFileReader::Fail(const std::string& why) {
    error = why;
    done = true;
    last = Status::Error;
    return last;
}

SavefileReader::Status PcapFileReader::Next(SavefileFrame& frame) {
    if (done) return last;
    errno = 0;
    const auto readError = [this] {
        return Fail(std::string("error reading dump file: ") + std::strerror(errno ? errno : EIO));
    };
    const size_t got = Have(kRecordHeaderBytes);
    if (got < kRecordHeaderBytes) {
        if (file && std::ferror(file)) return readError();
        if (got == 0) {
            done = true;
            last = Status::End;
            return last;
        }
        return Fail("truncated dump file; tried to read " + Number(kRecordHeaderBytes) + " header bytes, only got " +
                    Number(got));
    }
    const uint8_t* h = memory.data() + pos;
    const uint32_t sec = U32(h), subsec = U32(h + 4), capLength = U32(h + 8), wireLength = U32(h + 12);
    pos += kRecordHeaderBytes;
    // libpcap's checks, in its order and with its words.
    if (capLength > kMaxSnapLength) {
        if (capLength > snapLength)
            return Fail("invalid packet capture length " + Number(capLength) + ", bigger than snaplen of " +
                        Number(snapLength));
        return Fail("invalid packet capture length " + Number(capLength) + ", bigger than maximum of " +
                    Number(kMaxSnapLength));
    }
    // The whole record is made available at once (it fits the buffer behind any rest), so
    // that the view handed out stays valid until the next call.
    const size_t keep = std::min(capLength, snapLength);
    const size_t have = Have(capLength);
    if (have < capLength) {
        if (file && std::ferror(file)) return readError();
        pos += have;
        // A record longer than the snapshot length is cut to it and the rest read and dropped:
        // libpcap names what it tried to read at the point where the file ended.
        const size_t tried = have < keep ? keep : capLength;
        return Fail("truncated dump file; tried to read " + Number(tried) + " captured bytes, only got " + Number(have));
    }
    frame.data = std::span<const uint8_t>(memory.data() + pos, keep);
    pos += capLength;
    frame.linkType = linkType;
    frame.interfaceId = 0;
    // The file's 32-bit fields as libpcap hands them on, nanoseconds divided down: a field
    // of the machine's byte order is signed there, a swapped one unsigned.
    frame.tsSec = static_cast<int32_t>(sec);
    if (!nanoseconds)
        frame.tsUsec = subsec;
    else
        frame.tsUsec = swapped ? subsec / 1000 : static_cast<uint32_t>(static_cast<int32_t>(subsec) / 1000);
    frame.wireLength = wireLength;
    return Status::Frame;
}
