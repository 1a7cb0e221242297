#pragma once
#include <cstddef>
#include <cstdint>

class CallTracker;
class FlowCore;

// The intake step itself, for callers that keep the position in their own state (the Flow
// tab keeps it in App). `position` is an absolute FlowCore position (FlowCore::FirstPosition()
// after a clear); it is advanced past the packets processed. Packets trimmed before the step
// reached them are skipped and added to *missed when given. Returns the number processed.
size_t FlowIntakeStep(FlowCore& core, CallTracker& tracker, uint64_t& position, size_t maxPackets,
                      uint64_t* missed = nullptr);

// Feeds packets that FlowCore buffered, and that CallTracker has not seen yet, to
// CallTracker, in capture order. Shared by the Flow tab (a bounded batch per GUI frame) and
// orvanta-cli. It remembers an absolute FlowCore position, so a trim of the buffer neither
// skips nor repeats a packet; only packets trimmed before the intake reached them are lost,
// and those are counted in Missed().
class FlowIntake {
public:
    // Per-frame batch of the Flow tab.
    static constexpr size_t kFrameBatch = 500;

    // Processes at most maxPackets new packets; returns how many were processed. Copies
    // only those packets out of FlowCore.
    size_t Step(FlowCore& core, CallTracker& tracker, size_t maxPackets = kFrameBatch);
    // Start over at the oldest packet now buffered (after ClearPackets + CallTracker::Clear,
    // or when a new capture starts).
    void Reset(FlowCore& core);

    uint64_t Position() const { return position; }
    uint64_t Processed() const { return processed; }
    uint64_t Missed() const { return missed; }

private:
    uint64_t position = 0;   // next FlowCore position to process
    uint64_t processed = 0;
    uint64_t missed = 0;
};
