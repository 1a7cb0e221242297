#include "flow/FlowIntake.h"

#include "flow/CallTracker.h"
#include "flow/FlowCore.h"

size_t FlowIntakeStep(FlowCore& core, CallTracker& tracker, uint64_t& position, size_t maxPackets, uint64_t* missed) {
    if (maxPackets == 0) return 0;
    uint64_t first = position;
    // Only the packets of this step are copied out, under FlowCore's lock; they are analysed
    // after it is released so the capture thread is never held up by the analysis.
    std::vector<PacketLogEntry> batch = core.GetPacketsFrom(position, maxPackets, &first);
    if (first > position && missed) *missed += first - position;  // trimmed or cleared before we got there
    for (const PacketLogEntry& entry : batch) tracker.ProcessPacket(entry.source, entry.destination, entry.payload, entry);
    position = first + batch.size();
    core.SetConsumedPosition(position);
    return batch.size();
}

size_t FlowIntake::Step(FlowCore& core, CallTracker& tracker, size_t maxPackets) {
    const size_t n = FlowIntakeStep(core, tracker, position, maxPackets, &missed);
    processed += n;
    return n;
}

void FlowIntake::Reset(FlowCore& core) {
    position = core.FirstPosition();
    core.SetConsumedPosition(position);
    processed = 0;
    missed = 0;
}
