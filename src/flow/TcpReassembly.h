#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

#include "capture/NetAddress.h"
#include "capture/Packet.h"
#include "flow/SipFraming.h"

// SIP over TCP: the segments of each connection put back in byte order per direction, and
// the SIP messages framed out of the two byte streams. A monitor sees what the capture
// gives it: it never asks for a retransmission, so a hole either fills from one the
// endpoints make themselves or is skipped after a bound or a time-out, and the framer then
// picks up at the next start line.

// Bytes held beyond a hole, per direction; past it the hole is skipped.
inline constexpr size_t kMaxTcpHeldBytesPerDirection = size_t(256) << 10;
// Segments held beyond a hole, per direction (tiny segments cost their bookkeeping).
inline constexpr size_t kMaxTcpHeldSegmentsPerDirection = 256;
// What a held segment is charged beyond its bytes: its node and string header.
inline constexpr size_t kTcpHeldSegmentOverhead = 96;
// Connections tracked at once; a new one past the bound pushes out the idlest. Each costs
// about half a KiB besides what it buffers.
inline constexpr size_t kMaxTcpConnections = 4096;
// Bytes held over all connections (held segments and partial messages). Past it the idlest
// connections go until the total is under the bound again.
inline constexpr size_t kMaxTcpBufferedBytes = size_t(64) << 20;
// Capture time a hole may wait for its retransmission: RFC 6298 starts at 1 s and backs off,
// so a few tries fit; a segment the capture itself lost never comes.
inline constexpr int64_t kTcpHoleTimeoutMicros = 5'000'000;
// Capture time after which a silent connection is forgotten (SIP keep-alives come every
// 30 s to 2 min, RFC 5626 section 4.4.1).
inline constexpr int64_t kTcpIdleTimeoutMicros = 300'000'000;
// How often, in capture time, every connection is looked at for the two time-outs.
inline constexpr int64_t kTcpSweepIntervalMicros = 1'000'000;

// The bounds above, replaceable for tests.
struct SipTcpLimits {
    size_t heldBytesPerDirection = kMaxTcpHeldBytesPerDirection;
    size_t heldSegmentsPerDirection = kMaxTcpHeldSegmentsPerDirection;
    size_t connections = kMaxTcpConnections;
    size_t bufferedBytes = kMaxTcpBufferedBytes;
    int64_t holeTimeoutMicros = kTcpHoleTimeoutMicros;
    int64_t idleTimeoutMicros = kTcpIdleTimeoutMicros;
};

struct SipTcpCounters {
    uint64_t segments = 0;            // TCP segments fed
    uint64_t retransmittedBytes = 0;  // payload already seen (retransmission, overlap): first copy kept
    uint64_t holes = 0;               // holes skipped (bound or time-out)
    uint64_t holeBytes = 0;           // bytes in those holes, never seen
    uint64_t sequenceJumps = 0;       // segments too far ahead to wait for: the stream restarts there
    uint64_t droppedHeldBytes = 0;    // held beyond a hole and dropped (RST, eviction, restart)
    uint64_t connectionsClosed = 0;   // FIN both ways, or RST
    uint64_t connectionsIdle = 0;     // forgotten after the idle time-out
    uint64_t connectionsEvicted = 0;  // pushed out by the connection bound
    uint64_t connectionsShed = 0;     // pushed out by the buffered-bytes bound
    uint64_t connections = 0;         // tracked now
    uint64_t bufferedBytes = 0;       // held now
    SipFramerCounters framing;        // over all directions; framing.messages were delivered
};

// One message framed out of a stream. The text is contiguous and valid during the call only.
struct SipTcpMessage {
    std::string_view text;
    Endpoint source;       // the sender
    Endpoint destination;
    // Capture time of the segment that completed it, or of the one whose arrival timed a
    // hole out (the message may then belong to another connection than that segment).
    int64_t timeMicros = 0;
};

// Not locked: one thread feeds it (the call tracker's, under its own lock).
class SipTcpStreams {
public:
    using Sink = std::function<void(const SipTcpMessage& message)>;

    explicit SipTcpStreams(const SipTcpLimits& limits = {});
    SipTcpStreams(const SipTcpStreams&) = delete;
    SipTcpStreams& operator=(const SipTcpStreams&) = delete;

    // One captured TCP segment (others are ignored). Every message it completes goes to
    // onMessage, in byte order; so do, first, those of holes that timed out meanwhile.
    // onMessage must not feed this object again.
    void Feed(const PacketLogEntry& segment, const Sink& onMessage);
    // The capture ended (a savefile read to its end): holes will not fill any more, so each
    // is skipped and what waited behind it is framed. Partial messages stay.
    void SkipHoles(const Sink& onMessage);
    SipTcpCounters Counters() const;
    void Clear();
    // True when the segment's connection is being followed.
    bool Tracks(const PacketLogEntry& segment) const {
        const Endpoint source = segment.Source(), destination = segment.Destination();
        return index.contains(destination < source ? Key{destination, source} : Key{source, destination});
    }

private:
    struct Key {
        Endpoint a, b;  // a < b
        friend bool operator==(const Key&, const Key&) = default;
    };
    struct KeyHash {
        size_t operator()(const Key& k) const { return EndpointHash{}(k.a) * 31 + EndpointHash{}(k.b); }
    };
    struct Direction {
        explicit Direction(SipFramerCounters& c) : framer(c) {}
        SipFramer framer;
        bool started = false;
        bool synSeen = false;
        bool finSeen = false;
        bool finished = false;
        uint32_t isn = 0;
        uint32_t nextSeq = 0;   // the next byte wanted, as sequence number
        uint64_t position = 0;  // the same as offset into the stream (no wrap)
        uint64_t finPosition = 0;
        // Out-of-order bytes by stream offset, never overlapping one another.
        std::map<uint64_t, std::string> held;
        size_t heldBytes = 0;
        int64_t holeSince = 0;  // capture time the first held segment came
    };
    struct Connection {
        explicit Connection(const Key& k, SipFramerCounters& c) : key(k), dirs{Direction(c), Direction(c)} {}
        Key key;
        int64_t lastSeen = 0;
        Direction dirs[2];  // dirs[0]: sent by key.a
    };
    using Lru = std::list<Connection>;  // idlest first

    using Emit = SipFramer::Sink;
    void FeedDirection(Direction& d, const PacketLogEntry& segment, const Emit& emit);
    void Deliver(Direction& d, std::string_view bytes, const Emit& emit);
    void Drain(Direction& d, const Emit& emit);
    void Hold(Direction& d, uint64_t offset, std::string_view bytes);
    void SkipHole(Direction& d, const Emit& emit);
    void EnforceHeldBounds(Direction& d, const Emit& emit);
    void MaybeFinish(Direction& d);
    void DropHeld(Direction& d);
    void StartDirection(Direction& d, uint32_t seq, bool atBoundary);
    void Sweep(const Sink& onMessage, bool allHoles);
    static size_t Charge(const Connection& c);
    void Erase(Lru::iterator it);
    void CloseIfDone(Lru::iterator it);

    SipTcpLimits limits;
    Lru lru;
    std::unordered_map<Key, Lru::iterator, KeyHash> index;
    SipTcpCounters counters;
    size_t buffered = 0;  // sum of Charge over all connections
    int64_t now = 0;
    int64_t lastSweep = 0;
};
