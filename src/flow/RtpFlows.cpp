#include "flow/RtpFlows.h"

#include "capture/Decode.h"
#include "flow/RtpCodec.h"
#include "flow/SipParser.h"

namespace {

// An entry of the call's ladder made by a media packet: its time and endpoints.
SipMessage NewMediaEntry(const SipCall& call, const MediaPacket& packet, SipMsgType type, const char* method) {
    SipMessage m;
    m.time = PacketTimeText(packet.entry);
    m.timeMicros = packet.entry.TimeMicros();
    m.src = packet.source;
    m.dst = packet.destination;
    m.sourceIp = packet.source.address.Text();
    m.destinationIp = packet.destination.address.Text();
    m.type = type;
    m.method = method;
    m.callId = call.callId;
    return m;
}

bool IsTelephoneEvent(const SipCall& call, int payloadType) {
    for (const SdpRtpMap& m : call.rtpMaps)
        if (m.payloadType == payloadType) return m.encoding.size() == 15 && ContainsNoCase(m.encoding, "telephone-event");
    return payloadType == 101;  // the usual number when no rtpmap says otherwise
}

// RFC 4733 section 3.2: events 0-9 are the digits, 10 '*', 11 '#', 12-15 'A'-'D', 16 flash.
char EventDigit(uint8_t event) {
    static constexpr char kDigits[] = "0123456789*#ABCD";
    return event < 16 ? kDigits[event] : '!';
}

// A telephone-event packet opens an entry for its event the first time its timestamp is seen
// in that direction (its later packets and the end's three copies share the timestamp).
void NoteTelephoneEvent(SipCall& call, const MediaPacket& packet) {
    const std::span<const uint8_t> p = packet.payload;
    const size_t header = 12 + size_t{p[0] & 0x0Fu} * 4;
    if (p.size() < header + 4) return;
    if (p[header] > 16) return;  // tones and other events are no key presses (RFC 4733 section 3.2)
    const uint32_t timestamp = uint32_t{p[4]} << 24 | uint32_t{p[5]} << 16 | uint32_t{p[6]} << 8 | p[7];
    for (auto it = call.messages.rbegin(); it != call.messages.rend(); ++it) {
        if (it->type != SipMsgType::Dtmf || !(it->src == packet.source) || !(it->dst == packet.destination)) continue;
        if (it->eventTimestamp == timestamp) return;
        break;
    }
    SipMessage event = NewMediaEntry(call, packet, SipMsgType::Dtmf, "DTMF");
    event.eventTimestamp = timestamp;
    event.digit = EventDigit(p[header]);
    event.text = std::string("DTMF ") + event.digit + " (RFC 4733, evento " + std::to_string(p[header]) + ")";
    call.messages.push_back(std::move(event));
}

}  // namespace

void CountRtpPacket(SipCall& call, const MediaPacket& packet) {
    const CodecGuess codec = NameCodec(packet.payload);
    if (codec.payloadType && IsTelephoneEvent(call, *codec.payloadType)) NoteTelephoneEvent(call, packet);
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
    SipMessage flow = NewMediaEntry(call, packet, SipMsgType::Rtp, "RTP");
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
