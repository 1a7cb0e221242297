#include "playback/WavFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
uint32_t Get32(std::span<const uint8_t> b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}
uint32_t Get16(std::span<const uint8_t> b, size_t at) { return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8; }

constexpr size_t kHeaderBytes = 44;

}  // namespace

std::vector<uint8_t> WavBytes(std::span<const int16_t> samples, uint32_t rate) {
    const uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
    std::vector<uint8_t> out;
    out.reserve(kHeaderBytes + dataBytes);
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    Put32(out, 36 + dataBytes);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(out, 16);        // fmt chunk size
    Put16(out, 1);         // PCM
    Put16(out, 1);         // mono
    Put32(out, rate);
    Put32(out, rate * 2);  // bytes per second
    Put16(out, 2);         // block align
    Put16(out, 16);        // bits per sample
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    Put32(out, dataBytes);
    for (int16_t s : samples) Put16(out, static_cast<uint16_t>(s));
    return out;
}

bool WriteWavFile(const std::string& path, std::span<const int16_t> samples, uint32_t rate, std::string* error) {
    const std::vector<uint8_t> bytes = WavBytes(samples, rate);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        if (error) *error = std::strerror(errno);
        return false;
    }
    const bool whole = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    if ((!whole || !closed) && error) *error = std::strerror(errno);
    return whole && closed;
}

bool ReadWavBytes(std::span<const uint8_t> b, std::vector<int16_t>& samples, uint32_t& rate) {
    if (b.size() < kHeaderBytes || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0 ||
        std::memcmp(b.data() + 12, "fmt ", 4) != 0 || Get16(b, 20) != 1 || Get16(b, 22) != 1 || Get16(b, 34) != 16 ||
        std::memcmp(b.data() + 36, "data", 4) != 0)
        return false;
    const uint32_t dataBytes = Get32(b, 40);
    if (dataBytes > b.size() - kHeaderBytes) return false;
    rate = Get32(b, 24);
    samples.resize(dataBytes / 2);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(Get16(b, kHeaderBytes + 2 * i));
    return true;
}
