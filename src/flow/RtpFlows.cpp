#include "flow/RtpFlows.h"

#include "capture/Decode.h"
#include "flow/RtpCodec.h"

void CountRtpPacket(SipCall& call, const MediaPacket& packet) {
    const CodecGuess codec = NameCodec(packet.payload);
    const uint32_t length = static_cast<uint32_t>(packet.payload.size());
    // A direction is identified by its two addresses: other ports between them count in the
    // same entry.
    for (SipMessage& flow : call.messages) {
        if (flow.type != SipMsgType::Rtp || !(flow.src.address == packet.source.address) ||
            !(flow.dst.address == packet.destination.address))
            continue;
        flow.count += 1;
        if (flow.codec.empty() || CodecRank(flow.codec) < CodecRank(codec.name)) flow.codec = codec.name;
        flow.rtpPayloadType = codec.payloadType;
        flow.rtpLength = length;
        return;
    }
    SipMessage flow;
    flow.time = PacketTimeText(packet.entry);
    flow.timeMicros = packet.entry.TimeMicros();
    flow.src = packet.source;
    flow.dst = packet.destination;
    flow.sourceIp = packet.source.address.Text();
    flow.destinationIp = packet.destination.address.Text();
    flow.method = "RTP";
    flow.type = SipMsgType::Rtp;
    flow.statusCode = 0;
    flow.isRequest = false;
    flow.callId = call.callId;
    flow.count = 1;
    flow.codec = codec.name;
    flow.rtpPayloadType = codec.payloadType;
    flow.rtpLength = length;
    call.messages.push_back(std::move(flow));
}

void WriteRtpFlowText(SipMessage& flow) {
    const std::string label = RtpFlowLabel(flow.codec, flow.rtpPayloadType);
    const std::string tail = ") - " + std::to_string(flow.count) + " [" + std::to_string(flow.rtpLength) + "b]";
    if (flow.count <= 1)
        flow.text = "RTP Flow: " + flow.src.Text() + " -> " + flow.dst.Text() + "\nCodec: (" + label + tail;
    else
        flow.text = "RTP (" + label + tail;
}
