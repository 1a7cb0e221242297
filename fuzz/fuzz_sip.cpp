// libFuzzer target for the SIP/RTP analysis: ParseSipMessage and the header helpers on the
// raw input, then CallTracker::ProcessPacket on a sequence of packets cut from the input so
// the state machine, the SDP port reading and the media walk see arbitrary orders.
//
// Input layout: byte 0 even -> the rest is one payload (the seed corpus holds real SIP
// messages this way); odd -> a sequence of packets built with FuzzedDataProvider.
#include "capture/HandMadePacket.h"
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "flow/CallTracker.h"
#include "flow/FlowCsv.h"
#include "flow/SipParser.h"

namespace {

const char* const kEndpoints[] = {"192.168.1.50:5060", "203.0.113.10:5060", "192.168.1.50:16400",
                                  "203.0.113.10:12000", "172.20.1.5:40000",  "10.0.0.1",
                                  "127.0.0.1:x",        ":5060",             ""};

void Exercise(CallTracker& tracker) {
    for (const SipCall& c : tracker.GetCalls()) {
        (void)DisplayStatus(c);
        (void)CallCsvLine(c);
    }
    (void)tracker.Counters();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    CallTracker tracker;
    if ((data[0] & 1) == 0) {
        SipMessage m;
        (void)ParseSipMessage(rest, m);
        for (const char* name : {"Call-ID", "i", "From", "CSeq", "Content-Length"}) (void)GetSipHeader(rest, name);
        (void)ExtractSipUser(rest);
        (void)StripPort(rest);
        (void)ReadSdpAudioPort(rest);
        PacketLogEntry e;
        e.time = "00:00:00.000";
        e.source = kEndpoints[0];
        e.destination = kEndpoints[1];
        e.SetPayload(std::span(reinterpret_cast<const uint8_t*>(rest.data()), rest.size()));
        SetEndpointsFromText(e, e.source, e.destination);
        tracker.ProcessPacket(e);
        PacketLogEntry back = e;
        std::swap(back.source, back.destination);
        SetEndpointsFromText(back, back.source, back.destination);
        tracker.ProcessPacket(back);
        Exercise(tracker);
        return 0;
    }
    FuzzedDataProvider fdp(data + 1, size - 1);
    const size_t kEndpointCount = sizeof kEndpoints / sizeof kEndpoints[0];
    for (int i = 0; i < 64 && fdp.remaining_bytes() > 0; ++i) {
        PacketLogEntry e;
        e.time = "00:00:0" + std::to_string(fdp.ConsumeIntegralInRange<int>(0, 9)) + ".000";
        e.source = kEndpoints[fdp.ConsumeIntegralInRange<size_t>(0, kEndpointCount - 1)];
        e.destination = kEndpoints[fdp.ConsumeIntegralInRange<size_t>(0, kEndpointCount - 1)];
        std::string payload = fdp.ConsumeRandomLengthString(2000);
        e.SetPayload(std::span(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
        SetEndpointsFromText(e, e.source, e.destination, (i & 7) == 7 ? kIpProtoTcp : kIpProtoUdp);
        tracker.ProcessPacket(e);
    }
    Exercise(tracker);
    return 0;
}
