#pragma once
#include <cstddef>
#include <vector>

#include "capture/Packet.h"

// The flow engine's bounded packet buffer: a ring of entries in arrival order. A deque would
// allocate a block for every two entries (an entry is about 200 bytes) and free it again at the
// other end; the ring allocates its slots once and moves packets into them.
class PacketRing {
public:
    explicit PacketRing(size_t capacity) : capacity(capacity) {}

    size_t Size() const { return count; }
    // i-th oldest entry, i < Size().
    const PacketLogEntry& At(size_t i) const { return slots[(head + i) % capacity]; }

    // False when the ring is full: the caller drops the oldest first.
    bool Push(PacketLogEntry&& entry) {
        if (count == capacity) return false;
        if (slots.size() < capacity) {
            // Still filling: head is 0 until the first drop. The room is reserved whole, so
            // growing never moves the entries; its pages are touched only as entries come.
            if (slots.capacity() < capacity) slots.reserve(capacity);
            slots.push_back(std::move(entry));
        } else {
            slots[(head + count) % capacity] = std::move(entry);
        }
        ++count;
        return true;
    }
    // Drops the n oldest entries and gives their memory back at once.
    void DropOldest(size_t n) {
        if (n > count) n = count;
        for (size_t i = 0; i < n; ++i) slots[(head + i) % capacity] = PacketLogEntry();
        head = (head + n) % capacity;
        count -= n;
    }
    void Clear() {
        std::vector<PacketLogEntry>().swap(slots);
        head = count = 0;
    }
    // Copies of entries [first, first + n), first + n <= Size().
    std::vector<PacketLogEntry> Copy(size_t first, size_t n) const {
        std::vector<PacketLogEntry> out;
        out.reserve(n);
        for (size_t i = first; i < first + n; ++i) out.push_back(At(i));
        return out;
    }

private:
    size_t capacity;
    std::vector<PacketLogEntry> slots;
    size_t head = 0;
    size_t count = 0;
};
