#include "flow/FlowIntake.h"

#include "flow/CallTracker.h"
#include "flow/FlowCore.h"

size_t FlowIntake::Step(FlowCore& core, CallTracker& tracker, size_t maxPackets) {
    if (maxPackets == 0) return 0;
    uint64_t first = position;
    std::vector<PacketLogEntry> batch = core.GetPacketsFrom(position, maxPackets, &first);
    if (first > position) missed += first - position;  // trimmed or cleared before we got there
    for (const PacketLogEntry& entry : batch) tracker.ProcessPacket(entry.source, entry.destination, entry.payload, entry);
    position = first + batch.size();
    processed += batch.size();
    core.SetConsumedPosition(position);
    return batch.size();
}

void FlowIntake::Reset(FlowCore& core) {
    position = core.FirstPosition();
    core.SetConsumedPosition(position);
    processed = 0;
    missed = 0;
}
