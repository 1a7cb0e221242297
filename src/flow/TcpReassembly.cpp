#include "flow/TcpReassembly.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr uint8_t kTcpFin = 0x01;
constexpr uint8_t kTcpSyn = 0x02;
constexpr uint8_t kTcpRst = 0x04;

// The message sink of one direction: the framer's views with the direction's endpoints.
SipFramer::Sink DirectionSink(const SipTcpStreams::Sink& onMessage, SipTcpMessage& message) {
    return [&onMessage, &message](std::string_view text) {
        message.text = text;
        onMessage(message);
    };
}

}  // namespace

SipTcpStreams::SipTcpStreams(const SipTcpLimits& limits) : limits(limits) {}

size_t SipTcpStreams::Charge(const Connection& c) {
    size_t total = 0;
    for (const Direction& d : c.dirs)
        total += d.heldBytes + d.held.size() * kTcpHeldSegmentOverhead + d.framer.Buffered();
    return total;
}

void SipTcpStreams::DropHeld(Direction& d) {
    counters.droppedHeldBytes += d.heldBytes;
    d.held.clear();
    d.heldBytes = 0;
}

void SipTcpStreams::Erase(Lru::iterator it) {
    buffered -= Charge(*it);
    for (Direction& d : it->dirs) {
        DropHeld(d);
        d.framer.Finish();
    }
    index.erase(it->key);
    lru.erase(it);
}

void SipTcpStreams::CloseIfDone(Lru::iterator it) {
    if (!it->dirs[0].finished || !it->dirs[1].finished) return;
    ++counters.connectionsClosed;
    Erase(it);
}

void SipTcpStreams::StartDirection(Direction& d, uint32_t seq, bool atBoundary) {
    DropHeld(d);
    d.framer.Finish();
    d.framer = SipFramer(counters.framing, atBoundary);
    d.started = true;
    d.synSeen = false;
    d.finSeen = false;
    d.finished = false;
    d.nextSeq = seq;
    d.position = 0;
}

void SipTcpStreams::Deliver(Direction& d, std::string_view bytes, const Emit& emit) {
    d.nextSeq += static_cast<uint32_t>(bytes.size());
    d.position += bytes.size();
    d.framer.Feed(bytes, emit);
}

void SipTcpStreams::Hold(Direction& d, uint64_t offset, std::string_view bytes) {
    // First copy wins: only the parts no held segment covers yet are kept (RFC 9293 lets a
    // retransmission carry other bytes; the receiver's copy is the one it kept).
    const uint64_t end = offset + bytes.size();
    uint64_t from = offset;
    size_t kept = 0;
    auto it = d.held.lower_bound(from);
    if (it != d.held.begin()) {
        const auto before = std::prev(it);
        from = std::max(from, before->first + before->second.size());
    }
    while (from < end) {
        const uint64_t stop = it == d.held.end() ? end : std::min(end, it->first);
        if (stop > from) {
            d.held.emplace_hint(it, from, std::string(bytes.substr(from - offset, stop - from)));
            d.heldBytes += stop - from;
            kept += stop - from;
        }
        if (it == d.held.end()) break;
        from = std::max(from, it->first + it->second.size());
        ++it;
    }
    counters.retransmittedBytes += bytes.size() - kept;
}

void SipTcpStreams::Drain(Direction& d, const Emit& emit) {
    bool moved = false;
    while (!d.held.empty() && d.held.begin()->first <= d.position) {
        auto first = d.held.begin();
        const uint64_t offset = first->first;
        std::string bytes = std::move(first->second);
        d.held.erase(first);
        d.heldBytes -= bytes.size();
        const uint64_t seen = d.position - offset;
        if (seen >= bytes.size()) {
            counters.retransmittedBytes += bytes.size();
            continue;
        }
        Deliver(d, std::string_view(bytes).substr(seen), emit);
        moved = true;
    }
    // What is still held waits behind a later hole: its time starts now.
    if (moved && !d.held.empty()) d.holeSince = now;
}

void SipTcpStreams::SkipHole(Direction& d, const Emit& emit) {
    const uint64_t hole = d.held.begin()->first - d.position;
    ++counters.holes;
    counters.holeBytes += hole;
    d.nextSeq += static_cast<uint32_t>(hole);
    d.position += hole;
    d.framer.Resynchronise();
    Drain(d, emit);
    d.holeSince = now;
}

void SipTcpStreams::EnforceHeldBounds(Direction& d, const Emit& emit) {
    while (!d.held.empty() &&
           (d.heldBytes > limits.heldBytesPerDirection || d.held.size() > limits.heldSegmentsPerDirection))
        SkipHole(d, emit);
}

void SipTcpStreams::MaybeFinish(Direction& d) {
    if (d.finished || !d.finSeen || d.position < d.finPosition) return;
    d.finished = true;
    DropHeld(d);
    d.framer.Finish();
}

void SipTcpStreams::FeedDirection(Direction& d, const PacketLogEntry& segment, const Emit& emit) {
    const std::span<const uint8_t> payload = segment.Payload();
    std::string_view bytes(reinterpret_cast<const char*>(payload.data()), payload.size());
    uint32_t seq = segment.tcpSeq;
    if (segment.tcpFlags & kTcpSyn) {
        // A SYN with another initial sequence number opens a new connection on the same
        // ports; the same one again is a retransmitted SYN.
        if (!d.synSeen || seq != d.isn) {
            StartDirection(d, seq + 1, true);
            d.synSeen = true;
            d.isn = seq;
        }
        ++seq;  // the SYN takes one sequence number; data (TCP Fast Open) follows it
    }
    if (d.finished) {
        counters.retransmittedBytes += bytes.size();
        return;
    }
    if (!d.started) {
        if (bytes.empty()) {
            // A FIN with no data on a direction that never sent any: nothing to wait for.
            if (segment.tcpFlags & kTcpFin) d.finished = true;
            return;
        }
        // Picked up in the middle: no message boundary known yet.
        StartDirection(d, seq, false);
    }
    // RFC 1982 serial arithmetic: the distance is right across the 2^32 wrap.
    const int32_t ahead = static_cast<int32_t>(seq - d.nextSeq);
    if (segment.tcpFlags & kTcpFin) {
        const int64_t end = static_cast<int64_t>(d.position) + ahead + static_cast<int64_t>(bytes.size());
        d.finSeen = true;
        d.finPosition = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    if (!bytes.empty()) {
        if (ahead <= 0) {
            const size_t seen = static_cast<size_t>(-static_cast<int64_t>(ahead));
            if (seen >= bytes.size()) {
                counters.retransmittedBytes += bytes.size();
            } else {
                counters.retransmittedBytes += seen;
                bytes.remove_prefix(seen);
                if (d.held.empty()) {
                    Deliver(d, bytes, emit);
                } else {
                    Hold(d, d.position, bytes);
                    Drain(d, emit);
                }
            }
        } else if (static_cast<uint64_t>(ahead) >= limits.heldBytesPerDirection) {
            // Further ahead than could ever be held: a lost stretch or a new connection
            // whose SYN the capture missed. The stream goes on from here.
            ++counters.sequenceJumps;
            DropHeld(d);
            d.framer.Resynchronise();
            d.nextSeq = seq;
            d.finSeen = segment.tcpFlags & kTcpFin;
            d.finPosition = d.position + bytes.size();
            Deliver(d, bytes, emit);
        } else {
            if (d.held.empty()) d.holeSince = now;
            Hold(d, d.position + static_cast<uint64_t>(ahead), bytes);
            EnforceHeldBounds(d, emit);
        }
    }
    if (!d.held.empty() && now - d.holeSince >= limits.holeTimeoutMicros) SkipHole(d, emit);
    MaybeFinish(d);
}

void SipTcpStreams::Feed(const PacketLogEntry& segment, const Sink& onMessage) {
    if (segment.ipProtocol != kIpProtoTcp || !segment.hasPorts) return;
    ++counters.segments;
    now = std::max(now, segment.TimeMicros());
    if (now - lastSweep >= kTcpSweepIntervalMicros) {
        lastSweep = now;
        Sweep(onMessage, false);
    }
    const Endpoint source = segment.Source();
    const Endpoint destination = segment.Destination();
    const Key key = destination < source ? Key{destination, source} : Key{source, destination};
    const bool reset = segment.tcpFlags & kTcpRst;
    auto found = index.find(key);
    if (found == index.end()) {
        // Nothing to follow: an ACK, a FIN or a RST of a connection not tracked.
        if (reset || (segment.Payload().empty() && !(segment.tcpFlags & kTcpSyn))) return;
        if (lru.size() >= limits.connections && !lru.empty()) {
            ++counters.connectionsEvicted;
            Erase(lru.begin());
        }
        lru.emplace_back(key, counters.framing);
        found = index.emplace(key, std::prev(lru.end())).first;
    } else {
        lru.splice(lru.end(), lru, found->second);  // the idlest stay in front
    }
    const Lru::iterator it = found->second;
    it->lastSeen = now;
    if (reset) {
        // RFC 9293 section 3.10.7.4: the connection is gone; what was complete was delivered.
        ++counters.connectionsClosed;
        Erase(it);
        return;
    }
    SipTcpMessage message;
    message.source = source;
    message.destination = destination;
    message.timeMicros = now;
    const Emit emit = DirectionSink(onMessage, message);
    const size_t before = Charge(*it);
    FeedDirection(it->dirs[source == key.a ? 0 : 1], segment, emit);
    buffered = buffered - before + Charge(*it);
    CloseIfDone(it);
    while (buffered > limits.bufferedBytes && !lru.empty()) {
        ++counters.connectionsShed;
        Erase(lru.begin());
    }
}

void SipTcpStreams::SkipHoles(const Sink& onMessage) { Sweep(onMessage, true); }

void SipTcpStreams::Sweep(const Sink& onMessage, bool allHoles) {
    while (!allHoles && !lru.empty() && now - lru.front().lastSeen >= limits.idleTimeoutMicros) {
        ++counters.connectionsIdle;
        Erase(lru.begin());
    }
    for (auto it = lru.begin(); it != lru.end();) {
        const auto next = std::next(it);
        const size_t before = Charge(*it);
        for (int i = 0; i < 2; ++i) {
            Direction& d = it->dirs[i];
            if (d.held.empty() || (!allHoles && now - d.holeSince < limits.holeTimeoutMicros)) continue;
            SipTcpMessage message;
            message.source = i == 0 ? it->key.a : it->key.b;
            message.destination = i == 0 ? it->key.b : it->key.a;
            message.timeMicros = now;
            const Emit emit = DirectionSink(onMessage, message);
            SkipHole(d, emit);
            while (allHoles && !d.held.empty()) SkipHole(d, emit);
            MaybeFinish(d);
        }
        buffered = buffered - before + Charge(*it);
        CloseIfDone(it);
        it = next;
    }
}

SipTcpCounters SipTcpStreams::Counters() const {
    SipTcpCounters out = counters;
    out.connections = lru.size();
    out.bufferedBytes = buffered;
    return out;
}

void SipTcpStreams::Clear() {
    lru.clear();
    index.clear();
    counters = {};
    buffered = 0;
    now = 0;
    lastSweep = 0;
}
