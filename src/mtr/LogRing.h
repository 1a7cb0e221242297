#pragma once
// The newest packets of a run for the live log: a ring of kMtrLogLimit entries, oldest first
// when copied out. Used by the engine's thread only.
#include <vector>

#include "capture/Packet.h"
#include "mtr/MtrTypes.h"

class LogRing {
public:
    explicit LogRing(size_t limit = kMtrLogLimit) : limit_(limit) { ring_.reserve(limit); }
    void Push(PacketLogEntry entry) {
        if (ring_.size() < limit_) {
            ring_.push_back(std::move(entry));
        } else {
            ring_[head_] = std::move(entry);
            head_ = (head_ + 1) % limit_;
        }
    }
    // The entries, oldest first.
    std::vector<PacketLogEntry> Copy() const {
        std::vector<PacketLogEntry> out;
        out.reserve(ring_.size());
        for (size_t i = 0; i < ring_.size(); ++i) out.push_back(ring_[(head_ + i) % ring_.size()]);
        return out;
    }
    size_t Size() const { return ring_.size(); }

private:
    size_t limit_;
    size_t head_ = 0;  // oldest entry once the ring is full
    std::vector<PacketLogEntry> ring_;
};
