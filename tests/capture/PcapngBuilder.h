#pragma once
// Builds pcapng files byte by byte, in either byte order, so the reader is checked against
// the block layout itself rather than against a writer that shares its assumptions.
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "FrameBuilder.h"

struct PcapngBuilder {
    Bytes out;
    bool big = false;
    // Where each block ends, and whether it holds a frame: a file cut at one of these ends
    // cleanly, anywhere else inside a block.
    std::vector<size_t> blockEnds;
    std::vector<bool> blockIsFrame;

    void Put16(Bytes& b, uint16_t v) const {
        if (big) {
            ::Put16(b, v);
        } else {
            b.push_back(static_cast<uint8_t>(v));
            b.push_back(static_cast<uint8_t>(v >> 8));
        }
    }
    void Put32(Bytes& b, uint32_t v) const {
        if (big) {
            ::Put32(b, v);
        } else {
            Put16(b, static_cast<uint16_t>(v));
            Put16(b, static_cast<uint16_t>(v >> 16));
        }
    }
    void Put64(Bytes& b, uint64_t v) const {
        Put32(b, static_cast<uint32_t>(big ? v >> 32 : v));
        Put32(b, static_cast<uint32_t>(big ? v : v >> 32));
    }
    static void Pad(Bytes& b) {
        while (b.size() % 4) b.push_back(0);
    }
    void Block(uint32_t type, Bytes body, bool frame = false) {
        Pad(body);
        const uint32_t total = static_cast<uint32_t>(12 + body.size());
        Put32(out, type);
        Put32(out, total);
        out.insert(out.end(), body.begin(), body.end());
        Put32(out, total);
        blockEnds.push_back(out.size());
        blockIsFrame.push_back(frame);
    }
    // One option: code, length, value padded to 32 bits.
    void Option(Bytes& b, uint16_t code, const Bytes& value) const {
        Put16(b, code);
        Put16(b, static_cast<uint16_t>(value.size()));
        b.insert(b.end(), value.begin(), value.end());
        Pad(b);
    }

    void Section(bool bigEndian) {
        big = bigEndian;
        Bytes body;
        Put32(body, 0x1A2B3C4D);
        Put16(body, 1);
        Put16(body, 0);
        Put64(body, ~uint64_t{0});  // section length not given
        Block(0x0A0D0D0A, body);
    }
    void Interface(uint16_t fileLinkType, uint32_t snapLength = 0, std::optional<uint8_t> tsresol = std::nullopt,
                   std::optional<int64_t> tsoffset = std::nullopt) {
        Bytes body;
        Put16(body, fileLinkType);
        Put16(body, 0);
        Put32(body, snapLength);
        Option(body, 2, {'e', 't', 'h', '0'});  // if_name: an option the reader skips
        if (tsresol) Option(body, 9, {*tsresol});
        if (tsoffset) {
            Bytes v;
            Put64(v, static_cast<uint64_t>(*tsoffset));
            Option(body, 14, v);
        }
        Option(body, 0, {});
        Block(1, body);
    }
    void Enhanced(uint32_t interfaceId, uint64_t timestamp, const Bytes& data, uint32_t wire = 0) {
        Bytes body;
        Put32(body, interfaceId);
        Put32(body, static_cast<uint32_t>(timestamp >> 32));
        Put32(body, static_cast<uint32_t>(timestamp));
        Put32(body, static_cast<uint32_t>(data.size()));
        Put32(body, wire ? wire : static_cast<uint32_t>(data.size()));
        body.insert(body.end(), data.begin(), data.end());
        Pad(body);
        Option(body, 1, {'h', 'i'});  // opt_comment after the frame
        Block(6, body, true);
    }
    void Obsolete(uint16_t interfaceId, uint64_t timestamp, const Bytes& data) {
        Bytes body;
        Put16(body, interfaceId);
        Put16(body, 0);  // drops
        Put32(body, static_cast<uint32_t>(timestamp >> 32));
        Put32(body, static_cast<uint32_t>(timestamp));
        Put32(body, static_cast<uint32_t>(data.size()));
        Put32(body, static_cast<uint32_t>(data.size()));
        body.insert(body.end(), data.begin(), data.end());
        Block(2, body, true);
    }
    void Simple(const Bytes& data, uint32_t wire = 0) {
        Bytes body;
        Put32(body, wire ? wire : static_cast<uint32_t>(data.size()));
        body.insert(body.end(), data.begin(), data.end());
        Block(3, body, true);
    }

    bool Write(const std::string& path) const {
        std::ofstream f(path, std::ios::binary);
        f.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
        return static_cast<bool>(f);
    }
};
