#pragma once
// One call taken out of a capture: its packets (SIP, RTP, RTCP) from the buffer, and its
// ladder as text, for "Exportar Chamada" and orvanta-cli flow --call ID --export DIR.
#include <string>
#include <vector>

#include "capture/Packet.h"
#include "flow/Diagnosis.h"
#include "flow/RtpStreamStats.h"
#include "flow/SipCall.h"

// What a call's export writes, gathered on the engine's side.
struct CallExportData {
    SipCall call;
    std::vector<RtpStreamReport> streams;
    std::vector<Verdict> verdicts;
    std::vector<PacketLogEntry> packets;  // CallPackets of the buffer
};

// The packets of `buffer` that belong to the call: SIP over UDP naming its Call-ID, SIP over
// TCP of the connections its messages used, RTP between the endpoints of its streams and RTCP
// on the ports after them. In buffer order.
std::vector<PacketLogEntry> CallPackets(const SipCall& call, const std::vector<RtpStreamReport>& streams,
                                        const std::vector<PacketLogEntry>& buffer);

// The ladder as text, one line per message: capture time with milliseconds, the time since
// the previous message, source -> destination, and the first line (an RTP flow entry: its
// label).
std::string CallLadderText(const SipCall& call);
