#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

// Bounds-checked view over captured bytes. Every read checks the captured length: a read
// past the end yields 0 and marks the reader as overrun instead of touching memory that
// libpcap never gave us. Decoders test the lengths they need first; the overrun flag is a
// second line of defence that the fuzz target asserts on.
class ByteReader {
public:
    ByteReader() = default;
    explicit ByteReader(std::span<const uint8_t> bytes) : data(bytes) {}

    size_t size() const { return data.size(); }
    bool Has(size_t offset, size_t count) const {
        return offset <= data.size() && count <= data.size() - offset;
    }
    // At least `count` bytes captured from the start of this view.
    bool AtLeast(size_t count) const { return data.size() >= count; }

    uint8_t u8(size_t offset) const {
        if (!Has(offset, 1)) return Overrun();
        return data[offset];
    }
    uint16_t be16(size_t offset) const {
        if (!Has(offset, 2)) return Overrun();
        return static_cast<uint16_t>((data[offset] << 8) | data[offset + 1]);
    }
    uint16_t le16(size_t offset) const {
        if (!Has(offset, 2)) return Overrun();
        return static_cast<uint16_t>(data[offset] | (data[offset + 1] << 8));
    }
    uint32_t be32(size_t offset) const {
        if (!Has(offset, 4)) return Overrun();
        return (uint32_t{data[offset]} << 24) | (uint32_t{data[offset + 1]} << 16) |
               (uint32_t{data[offset + 2]} << 8) | uint32_t{data[offset + 3]};
    }
    uint32_t le32(size_t offset) const {
        if (!Has(offset, 4)) return Overrun();
        return (uint32_t{data[offset + 3]} << 24) | (uint32_t{data[offset + 2]} << 16) |
               (uint32_t{data[offset + 1]} << 8) | uint32_t{data[offset]};
    }
    // `count` bytes from `offset`, clipped to what was captured.
    std::span<const uint8_t> bytes(size_t offset, size_t count) const {
        if (offset >= data.size()) return {};
        size_t n = count < data.size() - offset ? count : data.size() - offset;
        return data.subspan(offset, n);
    }
    // The rest of the view from `offset` (empty when offset lies at or past the end).
    std::span<const uint8_t> Tail(size_t offset) const {
        if (offset >= data.size()) return {};
        return data.subspan(offset);
    }
    // A view starting at `offset`; empty when offset lies past the end.
    ByteReader Sub(size_t offset) const { return ByteReader(Tail(offset)); }

    bool overrun() const { return overrunFlag; }

private:
    uint8_t Overrun() const {
        overrunFlag = true;
        return 0;
    }

    std::span<const uint8_t> data;
    mutable bool overrunFlag = false;
};
