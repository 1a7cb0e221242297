#include "capture/IpReassembly.h"

#include <algorithm>
#include <cstring>

size_t IpReassembler::KeyHash::operator()(const Key& k) const {
    size_t h = IpAddressHash{}(k.source);
    h = HashBytes(h, k.destination.bytes.data(), k.destination.Size());
    const uint8_t rest[5] = {static_cast<uint8_t>(k.identification >> 24), static_cast<uint8_t>(k.identification >> 16),
                             static_cast<uint8_t>(k.identification >> 8), static_cast<uint8_t>(k.identification),
                             k.protocol};
    return HashBytes(h, rest, sizeof rest);
}

ReassemblyCounts IpReassembler::Counts() const {
    ReassemblyCounts c;
    c.reassembled = reassembled.load(std::memory_order_relaxed);
    c.fragmentsIncomplete = incomplete.load(std::memory_order_relaxed);
    c.fragmentsOverlap = overlap.load(std::memory_order_relaxed);
    c.fragmentsOverBounds = overBounds.load(std::memory_order_relaxed);
    c.fragmentsUnusable = unusable.load(std::memory_order_relaxed);
    c.fragmentsDuplicate = duplicate.load(std::memory_order_relaxed);
    c.pending = pendingNow.load(std::memory_order_relaxed);
    return c;
}

void IpReassembler::ResetCounts() {
    for (auto* c : {&reassembled, &incomplete, &overlap, &overBounds, &unusable, &duplicate})
        c->store(0, std::memory_order_relaxed);
    pendingNow.store(order.size(), std::memory_order_relaxed);
}

void IpReassembler::Clear() {
    index.clear();
    order.clear();
    heldBytes = 0;
    swept = false;
    pendingNow.store(0, std::memory_order_relaxed);
}

// Capture time may step back (a clock set back, merged savefiles): a datagram that far
// away from now in either direction is as stale as one that is too old.
bool IpReassembler::Expired(const Datagram& d, int64_t nowMicros) const {
    const int64_t age = nowMicros >= d.firstSeen ? nowMicros - d.firstSeen : d.firstSeen - nowMicros;
    return age >= d.timeout;
}

void IpReassembler::Erase(Iterator it) {
    heldBytes -= it->held;
    index.erase(it->key);
    order.erase(it);
    pendingNow.store(order.size(), std::memory_order_relaxed);
}

void IpReassembler::Expire(Iterator it) {
    if (it->state == State::Alive) incomplete.fetch_add(it->fragments, std::memory_order_relaxed);
    Erase(it);
}

void IpReassembler::EvictOldest() {
    const Iterator oldest = order.begin();
    if (oldest->state == State::Alive) overBounds.fetch_add(oldest->fragments, std::memory_order_relaxed);
    Erase(oldest);
}

void IpReassembler::Sweep(int64_t nowMicros) {
    if (swept && nowMicros >= lastSweep && nowMicros - lastSweep < kReassemblySweepMicros) return;
    swept = true;
    lastSweep = nowMicros;
    for (Iterator it = order.begin(); it != order.end();) {
        const Iterator current = it++;
        if (Expired(*current, nowMicros)) Expire(current);
    }
}

void IpReassembler::Kill(Datagram& d, State why) {
    (why == State::DeadOverlap ? overlap : overBounds).fetch_add(d.fragments, std::memory_order_relaxed);
    heldBytes -= d.held;
    d.held = 0;
    d.fragments = 0;
    d.pieces.clear();
    d.pieces.shrink_to_fit();
    d.state = why;
}

FragmentOutcome IpReassembler::Offer(const IpAddress& source, const IpAddress& destination,
                                     const IpFragment& fragment, int64_t nowMicros, ReassembledDatagram& out) {
    Sweep(nowMicros);
    const size_t length = fragment.bytes.size();
    // Every fragment but the last carries a multiple of 8 bytes (the offset's unit, RFC 791
    // and RFC 8200), and an empty one that is not the last says nothing.
    if (!fragment.present || fragment.malformed || !fragment.complete || source.Empty() ||
        source.family != destination.family || (fragment.more && (length == 0 || length % 8 != 0))) {
        unusable.fetch_add(1, std::memory_order_relaxed);
        return FragmentOutcome::Unusable;
    }

    Key key;
    key.source = source;
    key.destination = destination;
    key.identification = fragment.identification;
    key.protocol = source.family == IpAddress::V4 ? fragment.protocol : 0;

    auto found = index.find(key);
    if (found != index.end() && Expired(*found->second, nowMicros)) {
        Expire(found->second);
        found = index.end();
    }
    if (found == index.end()) {
        if (order.size() >= kMaxPendingDatagrams) EvictOldest();
        Datagram d;
        d.key = key;
        d.firstSeen = nowMicros;
        d.timeout = source.family == IpAddress::V4 ? kIpv4ReassemblyTimeoutMicros : kIpv6ReassemblyTimeoutMicros;
        order.push_back(std::move(d));
        found = index.emplace(key, std::prev(order.end())).first;
        pendingNow.store(order.size(), std::memory_order_relaxed);
    }
    const Iterator it = found->second;
    Datagram& d = *it;

    if (d.state != State::Alive) {
        const bool isOverlap = d.state == State::DeadOverlap;
        (isOverlap ? overlap : overBounds).fetch_add(1, std::memory_order_relaxed);
        return isOverlap ? FragmentOutcome::Overlap : FragmentOutcome::OverBounds;
    }
    const uint64_t end64 = uint64_t{fragment.offset} + length;
    if (end64 > kMaxReassembledBytes) {
        ++d.fragments;  // this one is dropped with the datagram
        Kill(d, State::DeadBounds);
        return FragmentOutcome::OverBounds;
    }
    const FragmentOutcome outcome = Insert(d, fragment, static_cast<uint32_t>(end64));
    if (outcome != FragmentOutcome::Held) return outcome;

    if (!d.haveEnd || d.held != d.end) return FragmentOutcome::Held;
    // Pieces never overlap and all lie below the end: as many bytes as the end means no gap.
    out.family = source.family;
    out.protocol = source.family == IpAddress::V4 ? key.protocol : d.upperProtocol;
    out.bytes.assign(d.end, 0);
    for (const Piece& p : d.pieces)
        if (!p.bytes.empty()) std::memcpy(out.bytes.data() + p.offset, p.bytes.data(), p.bytes.size());
    reassembled.fetch_add(1, std::memory_order_relaxed);
    Erase(it);
    return FragmentOutcome::Completed;
}

FragmentOutcome IpReassembler::Insert(Datagram& d, const IpFragment& fragment, uint32_t end) {
    const uint32_t offset = fragment.offset;
    const std::span<const uint8_t> bytes = fragment.bytes;
    const bool v4 = d.key.source.family == IpAddress::V4;
    auto conflict = [&](State why) {
        ++d.fragments;
        Kill(d, why);
        return why == State::DeadOverlap ? FragmentOutcome::Overlap : FragmentOutcome::OverBounds;
    };

    // Two different ends, or bytes held past the end the last fragment gives, are two
    // versions of the datagram's length.
    if (!fragment.more) {
        if (d.haveEnd && d.end != end) return conflict(State::DeadOverlap);
        if (!d.pieces.empty() && d.pieces.back().End() > end) return conflict(State::DeadOverlap);
    } else if (d.haveEnd && end > d.end) {
        return conflict(State::DeadOverlap);
    }

    // The parts of [offset, end) no piece holds yet; every overlapped part is compared.
    struct Gap {
        uint32_t from, to;
    };
    std::vector<Gap> gaps;
    uint32_t cursor = offset;
    for (const Piece& p : d.pieces) {
        if (p.End() <= offset || p.offset >= end) continue;
        if (p.offset == offset && p.End() == end) {
            if (std::equal(bytes.begin(), bytes.end(), p.bytes.begin())) {
                if (fragment.more || d.haveEnd) {
                    duplicate.fetch_add(1, std::memory_order_relaxed);
                    return FragmentOutcome::Duplicate;
                }
                // The same bytes, now as the last fragment: they only add the end.
                ++d.fragments;
                d.haveEnd = true;
                d.end = end;
                return FragmentOutcome::Held;
            }
            return conflict(State::DeadOverlap);
        }
        if (!v4) return conflict(State::DeadOverlap);  // RFC 5722
        const uint32_t from = std::max(p.offset, offset);
        const uint32_t to = std::min(p.End(), end);
        if (!std::equal(bytes.begin() + (from - offset), bytes.begin() + (to - offset), p.bytes.begin() + (from - p.offset)))
            return conflict(State::DeadOverlap);
        if (from > cursor) gaps.push_back({cursor, from});
        cursor = std::max(cursor, to);
    }
    if (cursor < end) gaps.push_back({cursor, end});

    if (d.pieces.size() + gaps.size() > kMaxFragmentsPerDatagram) return conflict(State::DeadBounds);
    for (const Gap& g : gaps) {
        Piece piece;
        piece.offset = g.from;
        piece.bytes.assign(bytes.begin() + (g.from - offset), bytes.begin() + (g.to - offset));
        const auto at = std::upper_bound(d.pieces.begin(), d.pieces.end(), g.from,
                                         [](uint32_t o, const Piece& q) { return o < q.offset; });
        d.pieces.insert(at, std::move(piece));
        d.held += g.to - g.from;
        heldBytes += g.to - g.from;
    }
    ++d.fragments;
    if (offset == 0) d.upperProtocol = fragment.protocol;
    if (!fragment.more) {
        d.haveEnd = true;
        d.end = end;
    }
    return FragmentOutcome::Held;
}
