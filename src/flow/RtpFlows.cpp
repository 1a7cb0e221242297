#include "flow/RtpFlows.h"

#include "flow/RtpCodec.h"

void CountRtpPacket(SipCall& call, const MediaPacket& packet) {
    const CodecGuess codec = NameCodec(packet.payload);
    const std::string length = std::to_string(packet.payload.size());
    // A direction is identified by its two addresses: other ports between them count in the
    // same entry.
    for (SipMessage& flow : call.messages) {
        if (flow.type != SipMsgType::Rtp || !(flow.src.address == packet.source.address) ||
            !(flow.dst.address == packet.destination.address))
            continue;
        flow.count += 1;
        if (flow.codec.empty() || CodecRank(flow.codec) < CodecRank(codec.name)) flow.codec = codec.name;
        // Rewritten in place: the label's buffer is reused for every packet of the flow.
        flow.text.assign("RTP (");
        flow.text.append(RtpFlowLabel(flow.codec, codec.payloadType));
        flow.text.append(") - ");
        flow.text.append(std::to_string(flow.count));
        flow.text.append(" [");
        flow.text.append(length);
        flow.text.append("b]");
        return;
    }
    SipMessage flow;
    flow.time = packet.time;
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
    flow.text = "RTP Flow: " + packet.source.Text() + " -> " + packet.destination.Text() + "\nCodec: (" +
                RtpFlowLabel(codec.name, codec.payloadType) + ") - 1 [" + length + "b]";
    call.messages.push_back(std::move(flow));
}
