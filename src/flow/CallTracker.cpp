#include "flow/CallTracker.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr size_t kWalkCacheLimit = 8192;

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Port of an "address:port" text: the leading digits after the last ':' (the whole text
// when there is no colon). No digits: no port.
std::optional<int64_t> PortOf(const std::string& text) {
    size_t colon = text.rfind(':');
    size_t i = colon == std::string::npos ? 0 : colon + 1;
    int64_t value = 0;
    bool any = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        any = true;
        // Saturate: a port text of many digits must not overflow; it matches no SDP port.
        if (value < (int64_t(1) << 40)) value = value * 10 + (text[i] - '0');
    }
    if (!any) return std::nullopt;
    return value;
}

std::string FlowLabel(const std::string& codec, const std::optional<int>& payloadType) {
    std::string label = codec;
    if (payloadType && label.find("PT:") == std::string::npos) {
        label += "/PT:" + std::to_string(*payloadType);
    }
    return label;
}

}  // namespace

std::optional<int32_t> ReadSdpAudioPort(std::string_view text) {
    if (text.size() <= 8) return std::nullopt;
    size_t pos = text.find("\nm=audio ");
    if (pos == std::string_view::npos && text.size() >= 9) pos = text.find("\rm=audio ");
    if (pos == std::string_view::npos) return std::nullopt;
    std::string_view field = text.substr(pos + 9, 10);
    // Read like a formatted stream extraction of an int: blanks, optional sign, digits;
    // a value out of range is a failed read.
    size_t i = 0;
    while (i < field.size() && (field[i] == ' ' || field[i] == '\t' || field[i] == '\n' ||
                                field[i] == '\r' || field[i] == '\v' || field[i] == '\f')) ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
    int64_t value = 0;
    bool any = false;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
        any = true;
        value = value * 10 + (field[i] - '0');  // at most 10 digits: fits in 64 bits
    }
    if (!any) return std::nullopt;
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min()) return std::nullopt;
    return static_cast<int32_t>(value);
}

std::string HangupOriginForBye(std::string_view address) {
    if (StartsWith(address, "192.168.") || StartsWith(address, "10.") || StartsWith(address, "172.") ||
        address == "127.0.0.1") {
        return "Softphone/PC";
    }
    return "PABX/ROTA";
}

std::string HangupOriginForCancelOrError(std::string_view address) {
    if (StartsWith(address, "192.168.") || StartsWith(address, "10.") || address == "127.0.0.1") {
        return "Softphone/PC";
    }
    return "PABX/ROTA";
}

int CodecRank(std::string_view name) {
    if (name == "G711a" || name == "G711u" || name == "G729" || name == "G722") return 100;
    if (name == "DTMF" || name == "CN") return 50;
    if (name == "Keep-alive") return 1;
    return 10;
}

CodecGuess NameCodec(const std::vector<uint8_t>& payload) {
    const size_t length = payload.size();
    if (length == 0) return {};
    if (length <= 4) return {"Keep-alive", std::nullopt};
    if (length < 12) return {"UDP Control", std::nullopt};
    const int pt = payload[1] & 0x7F;  // RFC 3550: marker bit above the 7-bit payload type
    switch (pt) {
        case 0: return {"G711u", pt};
        case 3: return {"GSM", pt};
        case 4: return {"G723", pt};
        case 8: return {"G711a", pt};
        case 9: return {"G722", pt};
        case 13: return {"CN", pt};
        case 18: return {"G729", pt};
        case 101: return {"DTMF", pt};
        default: break;
    }
    if (pt >= 96) return {"Dyn", pt};  // RFC 3551 dynamic range 96-127
    return {"PT:" + std::to_string(pt), pt};
}

std::string DisplayStatus(const SipCall& call) {
    if (call.isInvite) {
        const std::string& s = call.state;
        if (s == "Terminated" || s == "Cancelled" || s.find("Error") != std::string::npos ||
            s.find("Terminated") != std::string::npos) {
            return "Desligada";
        }
        return "Em andamento";
    }
    if (call.messages.empty()) return "Tentando...";
    bool failure = false;
    for (const SipMessage& m : call.messages) {
        if (m.isRequest || m.type == SipMsgType::Rtp) continue;
        if (m.statusCode >= 200 && m.statusCode <= 299) return "Sucesso";
        if (m.statusCode >= 400) failure = true;
    }
    return failure ? "Insucesso" : "Tentando...";
}

FlowCounters CountCalls(const std::vector<SipCall>& calls) {
    FlowCounters counters;
    for (const SipCall& c : calls) {
        if (c.isInvite) {
            ++counters.calls;
        } else if (!c.messages.empty() && c.messages.front().type == SipMsgType::Register) {
            ++counters.registers;
        }
    }
    return counters;
}

void CallTracker::ProcessPacket(const std::string& source, const std::string& destination,
                                const std::vector<uint8_t>& payload, const PacketLogEntry& entry) {
    if (payload.empty()) return;
    std::string_view bytes(reinterpret_cast<const char*>(payload.data()), payload.size());
    // Anything that mentions the SIP version is signalling, even when it then fails to parse:
    // it must never be counted as media.
    if (bytes.size() > 6 && ContainsNoCase(bytes, "SIP/2.0")) {
        SipMessage message;
        if (!ParseSipMessage(bytes, message)) return;
        message.time = entry.time;
        message.sourceIp = StripPort(source);
        message.destinationIp = StripPort(destination);
        message.text.assign(bytes);
        ProcessSip(std::move(message));
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    ProcessMedia(source, destination, payload, entry);
}

void CallTracker::ProcessSip(SipMessage message) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = calls.find(message.callId);
    if (it == calls.end()) {
        SipCall call;
        call.callId = message.callId;
        call.time = message.time;
        call.fromUser = message.fromUser;
        call.toUser = message.toUser;
        it = calls.emplace(message.callId, std::move(call)).first;
        ++walkGeneration;
    }
    SipCall& call = it->second;
    call.messages.push_back(std::move(message));
    const SipMessage& m = call.messages.back();
    const bool request = m.isRequest;
    const SipMsgType type = m.type;
    const int32_t status = m.statusCode;

    auto readPort = [&] {
        if (auto port = ReadSdpAudioPort(m.text)) {
            call.mediaPorts.push_back(*port);
            ++walkGeneration;
            for (SdpRtpMap& map : ReadSdpRtpMaps(m.text)) call.rtpMaps.push_back(std::move(map));
        }
    };

    if (request && type == SipMsgType::Bye) {
        call.state = "Terminated";
        if (call.hangupOrigin.empty()) call.hangupOrigin = HangupOriginForBye(m.sourceIp);
    } else if (request && type == SipMsgType::Invite) {
        call.state = "Setup";
        if (!call.isInvite) ++walkGeneration;
        call.isInvite = true;
        if (call.callerIp.empty()) {
            call.callerIp = m.sourceIp;
            call.calleeIp = m.destinationIp;
            ++walkGeneration;
        }
        readPort();
    } else if (!request && status == 200 && call.state == "Setup") {
        call.state = "Connected";
        readPort();
    } else if (request && type == SipMsgType::Cancel) {
        call.state = "Cancelled";
        if (call.hangupOrigin.empty()) call.hangupOrigin = HangupOriginForCancelOrError(m.sourceIp);
    } else if (request) {
        // ACK, REGISTER, OPTIONS and other requests leave the state alone.
    } else if (status >= 400 && status != 401 && status != 407 && call.isInvite) {
        // Authentication challenges are part of call set-up, not its end.
        call.state = status == 487 ? "Terminated (Cancelled)" : "Error (" + std::to_string(status) + ")";
        if (call.hangupOrigin.empty()) call.hangupOrigin = HangupOriginForCancelOrError(m.sourceIp);
    } else if (type == SipMsgType::Bye) {
        call.state = "Terminated";
    }
}

SipCall* CallTracker::FindMediaCall(const std::string& source, const std::string& destination,
                                    const std::string& srcIp, const std::string& dstIp) {
    std::optional<int64_t> srcPort, dstPort;
    bool portsRead = false;
    for (auto& [id, call] : calls) {
        if (call.callerIp.empty()) {
            for (const SipMessage& m : call.messages) {
                if (m.type == SipMsgType::Rtp) continue;
                call.callerIp = m.sourceIp;
                call.calleeIp = m.destinationIp;
                break;
            }
        }
        const bool between = (srcIp == call.callerIp && dstIp == call.calleeIp) ||
                             (srcIp == call.calleeIp && dstIp == call.callerIp);
        if (!between || !call.isInvite) continue;
        if (call.mediaPorts.empty()) return &call;
        if (!portsRead) {
            srcPort = PortOf(source);
            dstPort = PortOf(destination);
            portsRead = true;
        }
        for (int32_t port : call.mediaPorts) {
            if ((srcPort && *srcPort == port) || (dstPort && *dstPort == port)) return &call;
        }
    }
    return nullptr;
}

void CallTracker::ProcessMedia(const std::string& source, const std::string& destination,
                               const std::vector<uint8_t>& payload, const PacketLogEntry& entry) {
    const std::string srcIp = StripPort(source);
    const std::string dstIp = StripPort(destination);
    const double arrival = entry.tsSec + entry.tsUsec / 1e6;
    // RTCP goes to its own port (RTP + 1), which no SDP announces: its reports find their
    // stream by SSRC and address instead.
    if (streamStatistics) streams.AddRtcp(source, destination, payload, arrival);

    if (cacheGeneration != walkGeneration || walkCache.size() >= kWalkCacheLimit) {
        walkCache.clear();
        cacheGeneration = walkGeneration;
    }
    std::string key;
    key.reserve(source.size() + destination.size() + 1);
    key.append(source).push_back('\x01');
    key.append(destination);
    SipCall* call = nullptr;
    auto cached = walkCache.find(key);
    if (cached != walkCache.end()) {
        if (!cached->second.empty()) {
            auto it = calls.find(cached->second);
            if (it != calls.end()) call = &it->second;
        }
    } else {
        call = FindMediaCall(source, destination, srcIp, dstIp);
        walkCache.emplace(std::move(key), call ? call->callId : std::string());
    }
    if (!call) return;
    if (streamStatistics) streams.AddRtp(source, destination, payload, arrival, call->callId, call->rtpMaps);

    const CodecGuess codec = NameCodec(payload);
    const std::string length = std::to_string(payload.size());
    for (SipMessage& flow : call->messages) {
        if (flow.type != SipMsgType::Rtp || flow.sourceIp != srcIp || flow.destinationIp != dstIp) continue;
        flow.count += 1;
        if (flow.codec.empty() || CodecRank(flow.codec) < CodecRank(codec.name)) flow.codec = codec.name;
        flow.text = "RTP (" + FlowLabel(flow.codec, codec.payloadType) + ") - " + std::to_string(flow.count) +
                    " [" + length + "b]";
        return;
    }
    SipMessage flow;
    flow.time = entry.time;
    flow.sourceIp = srcIp;
    flow.destinationIp = dstIp;
    flow.method = "RTP";
    flow.type = SipMsgType::Rtp;
    flow.statusCode = 0;
    flow.isRequest = false;
    flow.callId = call->callId;
    flow.count = 1;
    flow.codec = codec.name;
    flow.text = "RTP Flow: " + source + " -> " + destination + "\nCodec: (" +
                FlowLabel(codec.name, codec.payloadType) + ") - 1 [" + length + "b]";
    call->messages.push_back(std::move(flow));
}

std::vector<SipCall> CallTracker::GetCalls() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<SipCall> out;
    out.reserve(calls.size());
    for (const auto& [id, call] : calls) out.push_back(call);
    std::stable_sort(out.begin(), out.end(), [](const SipCall& a, const SipCall& b) { return a.time < b.time; });
    return out;
}

std::vector<RtpStreamReport> CallTracker::GetStreamReports(const std::string* callId) const {
    std::lock_guard<std::mutex> lock(mutex);
    return streams.Reports(callId);
}

void CallTracker::SetStreamStatistics(bool enabled) {
    std::lock_guard<std::mutex> lock(mutex);
    streamStatistics = enabled;
}

void CallTracker::Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    calls.clear();
    streams.Clear();
    walkCache.clear();
    ++walkGeneration;
}
