#pragma once
// IP reassembly (RFC 791 section 3.2, RFC 8200 section 4.5), between the network layer and
// UDP/TCP, for engines that must read a whole datagram: an INVITE whose SDP was split by
// IP fragmentation has its m= lines in a later fragment.
//
// Fragments may arrive in any order. Everything is bounded by the constants below, and
// whatever is dropped is counted. Times are capture times (microseconds since 1970 from the
// frame headers), so a savefile is reassembled as it was captured, at any reading speed.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

#include "capture/Decode.h"
#include "capture/NetAddress.h"

// Largest fragmentable part a datagram may reassemble to: the 16-bit total length (IPv4)
// or payload length (IPv6; jumbograms are never fragmented, RFC 2675). A fragment reaching
// beyond it is the classic oversize attack and kills its datagram.
inline constexpr size_t kMaxReassembledBytes = 65535;
// Pieces one datagram may be made of. 64 covers a 65,535-byte datagram over a 1,280-byte
// IPv6 minimum MTU (52 fragments); more are a flood of tiny fragments.
inline constexpr size_t kMaxFragmentsPerDatagram = 64;
// Datagrams waiting for fragments at once. A new datagram beyond it pushes out the one whose
// first fragment is oldest. Held bytes stay below this times kMaxReassembledBytes (64 MiB).
inline constexpr size_t kMaxPendingDatagrams = 1024;
// How long a datagram may take to complete, from its first fragment seen: 30 s for IPv4,
// what hosts commonly use (RFC 791 asks for at least 15 s); 60 s for IPv6, as RFC 8200
// section 4.5 says. Checked as fragments arrive.
inline constexpr int64_t kIpv4ReassemblyTimeoutMicros = 30 * 1000000LL;
inline constexpr int64_t kIpv6ReassemblyTimeoutMicros = 60 * 1000000LL;
// Pending datagrams are looked over for time-outs at most once per this much capture time;
// the datagram a fragment belongs to is checked on every fragment.
inline constexpr int64_t kReassemblySweepMicros = 1000000;

// A plain copy of the reassembler's counters. Counted in fragments (frames) unless said.
struct ReassemblyCounts {
    uint64_t reassembled = 0;          // datagrams completed
    uint64_t fragmentsIncomplete = 0;  // held by a datagram that timed out before completing
    uint64_t fragmentsOverlap = 0;     // of datagrams dropped for overlapping or conflicting fragments
    uint64_t fragmentsOverBounds = 0;  // of datagrams dropped for a bound: size, fragments per
                                       // datagram, or pushed out of a full table
    uint64_t fragmentsUnusable = 0;    // cut by the snapshot, or lengths that contradict themselves
    uint64_t fragmentsDuplicate = 0;   // exact copies of a fragment already held (a frame seen twice)
    uint64_t pending = 0;              // datagrams waiting now (a gauge, not a total)
};

// What Offer did with a fragment.
enum class FragmentOutcome : uint8_t {
    Held,        // kept; its datagram is not complete yet
    Completed,   // it completed its datagram: `out` holds it
    Duplicate,   // an exact copy of bytes already held: ignored
    Overlap,     // overlaps bytes held with other bytes: the datagram is dropped
    OverBounds,  // the datagram passed a bound and is dropped
    Unusable,    // cut short or inconsistent: ignored
};

// A reassembled datagram's fragmentable part: for IPv4 everything after the IP header, for
// IPv6 everything after the Fragment header, starting with a header of type `protocol`
// (the IPv4 protocol, or the Next Header of the first fragment's Fragment header).
struct ReassembledDatagram {
    uint8_t family = 0;
    uint8_t protocol = 0;
    std::vector<uint8_t> bytes;
};

// Holds pending datagrams and reassembles them. Offer, Clear and the byte/pending queries
// belong to one thread (the capture loop); Counts may be read from any thread.
class IpReassembler {
public:
    // Keys: IPv4 by (source, destination, protocol, identification), RFC 791; IPv6 by
    // (source, destination, identification), RFC 8200.
    //
    // Overlaps never produce a datagram that mixes two versions of the same bytes:
    // - an exact copy (same offset, length and bytes) is dropped and the rest kept, since a
    //   capture on several interfaces or a bridge and its port sees the same frame twice;
    // - IPv6: any other overlap drops the whole datagram (RFC 5722);
    // - IPv4: an overlap whose bytes equal those held is kept (the first copy's bytes stay,
    //   the new fragment adds only what was missing); an overlap with different bytes drops
    //   the whole datagram, as do two different ends.
    // A dropped datagram stays as a tombstone until its time-out, so its later fragments are
    // dropped with it (and counted) rather than starting a datagram that cannot complete.
    FragmentOutcome Offer(const IpAddress& source, const IpAddress& destination, const IpFragment& fragment,
                          int64_t nowMicros, ReassembledDatagram& out);

    // Forgets every pending datagram without counting it (a new capture starts).
    void Clear();
    void ResetCounts();
    ReassemblyCounts Counts() const;

    size_t Pending() const { return order.size(); }
    // Fragment bytes held across all pending datagrams.
    size_t HeldBytes() const { return heldBytes; }

private:
    struct Key {
        IpAddress source;
        IpAddress destination;
        uint32_t identification = 0;
        uint8_t protocol = 0;  // IPv4 only; 0 for IPv6
        friend bool operator==(const Key&, const Key&) = default;
    };
    struct KeyHash {
        size_t operator()(const Key& k) const;
    };
    struct Piece {
        uint32_t offset = 0;
        std::vector<uint8_t> bytes;
        uint32_t End() const { return offset + static_cast<uint32_t>(bytes.size()); }
    };
    enum class State : uint8_t { Alive, DeadOverlap, DeadBounds };
    struct Datagram {
        Key key;
        int64_t firstSeen = 0;
        int64_t timeout = 0;
        State state = State::Alive;
        std::vector<Piece> pieces;  // sorted by offset, never overlapping
        size_t held = 0;            // bytes in pieces
        uint64_t fragments = 0;     // frames that contributed
        bool haveEnd = false;       // the last fragment (no More Fragments) was seen
        uint32_t end = 0;
        uint8_t upperProtocol = 0;  // from the fragment at offset 0
    };
    using Iterator = std::list<Datagram>::iterator;

    void Sweep(int64_t nowMicros);
    bool Expired(const Datagram& d, int64_t nowMicros) const;
    void Expire(Iterator it);          // time-out: counted as incomplete
    void EvictOldest();                // table full: counted as over bounds
    void Kill(Datagram& d, State why); // drops the bytes, keeps a tombstone, counts the fragments
    void Erase(Iterator it);
    FragmentOutcome Insert(Datagram& d, const IpFragment& fragment, uint32_t end);

    std::list<Datagram> order;  // by first fragment seen: the front is pushed out first
    std::unordered_map<Key, Iterator, KeyHash> index;
    size_t heldBytes = 0;
    bool swept = false;
    int64_t lastSweep = 0;

    std::atomic<uint64_t> reassembled{0}, incomplete{0}, overlap{0}, overBounds{0}, unusable{0},
        duplicate{0}, pendingNow{0};
};
