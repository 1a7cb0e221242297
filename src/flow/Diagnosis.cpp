#include "flow/Diagnosis.h"

#include <algorithm>

#include "flow/SdpReader.h"
#include "flow/SipParser.h"

namespace {

bool IsInviteRequest(const SipMessage& m) { return m.isRequest && m.type == SipMsgType::Invite; }
bool IsInviteResponse(const SipMessage& m) { return !m.isRequest && m.type == SipMsgType::Invite; }
bool IsFinal(const SipMessage& m) { return !m.isRequest && m.statusCode >= 200; }
bool IsSuccess(const SipMessage& m) { return !m.isRequest && m.statusCode >= 200 && m.statusCode < 300; }
bool IsSip(const SipMessage& m) { return m.type != SipMsgType::Rtp; }

Verdict At(Diagnosis code, const std::vector<SipMessage>& messages, size_t index) {
    Verdict v;
    v.code = code;
    v.messageIndex = static_cast<int32_t>(index);
    v.atMicros = messages[index].timeMicros;
    if (!messages[index].isRequest) {
        v.statusCode = messages[index].statusCode;
        v.reason = messages[index].method;
        v.reasonHeader = GetSipHeader(messages[index].text, "Reason");
        v.warningHeader = GetSipHeader(messages[index].text, "Warning");
    }
    return v;
}

bool HasCredentials(const SipMessage& request) {
    return !GetSipHeader(request.text, "Authorization").empty() ||
           !GetSipHeader(request.text, "Proxy-Authorization").empty();
}

bool Shares(const std::vector<int>& a, const std::vector<int>& b) {
    for (int x : a)
        if (std::find(b.begin(), b.end(), x) != b.end()) return true;
    return false;
}

void DiagnoseRegistration(const SipCall& r, std::vector<Verdict>& out) {
    const std::vector<SipMessage>& m = r.messages;
    bool success = r.sawSuccess, anyFinal = false, credentialsSent = false;
    uint32_t challengesAfterCredentials = 0;
    std::optional<size_t> failure, lastChallenge;
    for (size_t i = 0; i < m.size(); ++i) {
        if (!IsSip(m[i])) continue;
        if (m[i].isRequest) {
            if (m[i].type == SipMsgType::Register && HasCredentials(m[i])) credentialsSent = true;
            continue;
        }
        if (!IsFinal(m[i])) continue;
        anyFinal = true;
        if (IsSuccess(m[i])) success = true;
        const int32_t code = m[i].statusCode;
        if (code == 403 || code == 404) failure = i;
        if ((code == 401 || code == 407) && credentialsSent) {
            ++challengesAfterCredentials;
            lastChallenge = i;
        }
    }
    // A registration refreshed after a failure that then succeeded is not failing: only the
    // latest outcome counts, read from the last final response.
    std::optional<size_t> lastFinal;
    for (size_t i = m.size(); i-- > 0;)
        if (IsSip(m[i]) && IsFinal(m[i])) {
            lastFinal = i;
            break;
        }
    if (!anyFinal && !r.sawSuccess && !r.sawFailure) {
        for (size_t i = 0; i < m.size(); ++i)
            if (m[i].isRequest && m[i].type == SipMsgType::Register) {
                out.push_back(At(Diagnosis::RegisterFailed, m, i));
                break;
            }
        return;
    }
    const bool endsInSuccess = lastFinal ? IsSuccess(m[*lastFinal]) : success;
    if (!endsInSuccess && failure) {
        out.push_back(At(Diagnosis::RegisterFailed, m, *failure));
    } else if (!endsInSuccess && lastChallenge) {
        Verdict v = At(Diagnosis::RegisterFailed, m, *lastChallenge);
        v.count = challengesAfterCredentials;
        out.push_back(v);
    } else if (endsInSuccess) {
        Verdict v;
        v.code = Diagnosis::Ok;
        if (lastFinal) v = At(Diagnosis::Ok, m, *lastFinal);
        out.push_back(v);
    }
}

// The call's media, as what was announced and what flowed.
void DiagnoseMedia(const SipCall& r, std::span<const RtpStreamReport> streams, int64_t captureEndMicros,
                   int64_t answerMicros, std::vector<Verdict>& out, bool& bothWays) {
    const std::vector<SipMessage>& m = r.messages;
    bool anyRtpEntry = false;
    for (const SipMessage& e : m) anyRtpEntry = anyRtpEntry || (e.type == SipMsgType::Rtp && e.count > 0);
    uint64_t total = 0;
    for (const RtpStreamReport& s : streams) total += s.packets;
    bothWays = false;
    if (answerMicros > 0 && total == 0 && !anyRtpEntry) {
        if (captureEndMicros - answerMicros >= DiagnosisLimits::kMediaWaitMicros) {
            Verdict v;
            v.code = Diagnosis::NoAudio;
            v.atMicros = answerMicros;
            v.delayMicros = captureEndMicros - answerMicros;
            out.push_back(v);
        }
        return;
    }
    if (streams.empty()) return;
    // RTP that flowed but, decoded, carried only silence is no audio either.
    bool allSilent = answerMicros > 0 && total > 0;
    for (const RtpStreamReport& s : streams)
        if (s.packets > 0 && !(s.audio && s.audio->silent)) allSilent = false;
    if (allSilent) {
        Verdict v;
        v.code = Diagnosis::NoAudio;
        v.atMicros = answerMicros;
        v.delayMicros = captureEndMicros - answerMicros;
        v.packets = total;
        out.push_back(v);
        return;
    }

    // The busiest stream gives one direction; the other is whatever was sent back to its source.
    const RtpStreamReport* main = &streams[0];
    for (const RtpStreamReport& s : streams)
        if (s.packets > main->packets) main = &s;
    uint64_t forward = 0, back = 0;
    double first = main->firstSeconds, last = main->lastSeconds;
    for (const RtpStreamReport& s : streams) {
        if (s.src.address == main->src.address && s.dst.address == main->dst.address) {
            forward += s.packets;
            first = std::min(first, s.firstSeconds);
            last = std::max(last, s.lastSeconds);
        } else if (s.dst.address == main->src.address) {
            back += s.packets;
        }
    }
    bothWays = forward > 0 && back > 0;
    if (answerMicros > 0 && last - first >= DiagnosisLimits::kMediaWaitMicros / 1e6 &&
        static_cast<double>(back) < DiagnosisLimits::kOneWayRatio * static_cast<double>(forward)) {
        Verdict v;
        v.code = Diagnosis::OneWayAudio;
        v.from = main->src;
        v.to = main->dst;
        v.packets = forward;
        v.packetsBack = back;
        v.seconds = last - first;
        v.atMicros = static_cast<int64_t>(first * 1e6);
        out.push_back(v);
        bothWays = false;
    }

    // Media against the SDP: each side's RTP should come from what that side announced and go
    // to what the other side announced. Streams that ended before the latest SDP (media moved
    // by a re-INVITE) are not held against it.
    int64_t latestSdp = 0;
    for (size_t i = 0; i < m.size(); ++i) {
        if (!IsSip(m[i]) || m[i].text.find("m=audio") == std::string::npos) continue;
        latestSdp = std::max(latestSdp, m[i].timeMicros);
        const std::optional<Endpoint> said = ReadSdpAudioEndpoint(m[i].text);
        if (said && said->address.IsPrivate() && !m[i].src.address.Empty() && !m[i].src.address.IsPrivate() &&
            !m[i].src.address.IsLoopback()) {
            Verdict v = At(Diagnosis::AddressMismatch, m, i);
            v.announced = *said;
            v.from = m[i].src;
            v.privateAnnounced = true;
            out.push_back(v);
        }
    }
    if (r.offerMedia && r.answerMedia) {
        for (const RtpStreamReport& s : streams) {
            if (s.packets == 0 || static_cast<int64_t>(s.lastSeconds * 1e6) < latestSdp) continue;
            std::optional<Endpoint> expected;
            if (s.dst == *r.answerMedia && !(s.src == *r.offerMedia)) expected = *r.offerMedia;
            else if (s.dst == *r.offerMedia && !(s.src == *r.answerMedia)) expected = *r.answerMedia;
            else if (s.src == *r.offerMedia && !(s.dst == *r.answerMedia)) expected = *r.answerMedia;
            else if (s.src == *r.answerMedia && !(s.dst == *r.offerMedia)) expected = *r.offerMedia;
            if (!expected) continue;
            Verdict v;
            v.code = Diagnosis::AddressMismatch;
            v.from = s.src;
            v.to = s.dst;
            v.announced = *expected;
            v.packets = s.packets;
            v.atMicros = static_cast<int64_t>(s.firstSeconds * 1e6);
            out.push_back(v);
        }
    }

    for (const RtpStreamReport& s : streams) {
        // A stream of key presses alone (its own SSRC) is silent between them: its gaps and
        // the repeated end packets of its events say nothing about the audio.
        if (s.packets == 0 || !s.voice) continue;
        const double latePercent = s.expected ? 100.0 * static_cast<double>(s.lateFixed) / static_cast<double>(s.expected) : 0;
        const bool lossy = std::max(0.0, s.lossPercent) + latePercent >= DiagnosisLimits::kChoppyPercent;
        const bool poor = s.mosAdaptive && *s.mosAdaptive < DiagnosisLimits::kChoppyMos;
        const bool gaps = s.maxDeltaMs > DiagnosisLimits::kChoppyGapMs;
        if (!lossy && !poor && !gaps) continue;
        Verdict v;
        v.code = Diagnosis::ChoppyAudio;
        v.from = s.src;
        v.to = s.dst;
        v.packets = s.packets;
        v.lossPercent = s.lossPercent;
        v.latePercent = latePercent;
        v.maxJitterMs = s.maxJitterMs;
        v.maxGapMs = s.maxDeltaMs;
        v.mos = s.mosAdaptive;
        v.atMicros = static_cast<int64_t>(s.firstSeconds * 1e6);
        if (s.worstInterval) {
            v.worstIntervalMicros = static_cast<int64_t>(
                (s.firstSeconds + s.worstInterval->figures.index * StreamInterval::kIntervalSeconds) * 1e6);
            v.worstIntervalPercent = s.worstInterval->figures.ImpairedPercent();
        }
        out.push_back(v);
    }
}

void DiagnoseCall(const SipCall& r, std::span<const RtpStreamReport> streams, int64_t captureEndMicros,
                  std::vector<Verdict>& out) {
    const std::vector<SipMessage>& m = r.messages;
    std::optional<size_t> invite, firstSuccess, lastError, cancel, timeout, codecRefusal, offer, answer;
    bool anyFinal = false;
    uint32_t successCopies = 0;
    for (size_t i = 0; i < m.size(); ++i) {
        const SipMessage& e = m[i];
        if (!IsSip(e)) continue;
        if (IsInviteRequest(e) && !invite) invite = i;
        if (e.isRequest && e.type == SipMsgType::Cancel && !cancel) cancel = i;
        const bool sdp = e.text.find("m=audio") != std::string::npos;
        if (sdp && e.type != SipMsgType::Ack) {
            if (e.isRequest && !offer) offer = i;
            else if (!e.isRequest && offer && !answer) answer = i;
        }
        if (!IsInviteResponse(e) || !IsFinal(e)) continue;
        anyFinal = true;
        const int32_t code = e.statusCode;
        if (IsSuccess(e)) {
            if (!firstSuccess) firstSuccess = i;
            ++successCopies;
        } else if (code == 408) {
            timeout = i;
        } else if (code == 487) {
            if (!cancel) cancel = i;
        } else if (code == 488 || code == 606) {
            codecRefusal = i;
        } else if (code >= 400 && code != 401 && code != 407) {
            lastError = i;
        }
    }
    if (!invite) return;
    if (!anyFinal || timeout) {
        Verdict v = timeout ? At(Diagnosis::NoAnswer, m, *timeout) : At(Diagnosis::NoAnswer, m, *invite);
        v.delayMicros = captureEndMicros - m[*invite].timeMicros;
        out.push_back(v);
    }
    if (lastError && !firstSuccess) out.push_back(At(Diagnosis::Rejected, m, *lastError));
    if (codecRefusal) {
        Verdict v = At(Diagnosis::CodecMismatch, m, *codecRefusal);
        if (offer) v.offerFormats = ReadSdpAudioFormats(m[*offer].text);
        out.push_back(v);
    } else if (offer && answer) {
        const std::vector<int> offered = ReadSdpAudioFormats(m[*offer].text);
        const std::vector<int> answered = ReadSdpAudioFormats(m[*answer].text);
        if (!offered.empty() && !answered.empty() && !Shares(offered, answered)) {
            Verdict v = At(Diagnosis::CodecMismatch, m, *answer);
            v.offerFormats = offered;
            v.answerFormats = answered;
            out.push_back(v);
        }
    }
    if (cancel) out.push_back(At(Diagnosis::Cancelled, m, *cancel));
    if (firstSuccess && successCopies >= DiagnosisLimits::kNoAckCopies) {
        bool acked = false;
        std::optional<size_t> bye;
        for (size_t i = *firstSuccess + 1; i < m.size(); ++i) {
            if (!IsSip(m[i]) || !m[i].isRequest) continue;
            if (m[i].type == SipMsgType::Ack) acked = true;
            if (m[i].type == SipMsgType::Bye && !bye) bye = i;
        }
        if (!acked) {
            Verdict v = At(Diagnosis::NoAck, m, *firstSuccess);
            v.count = successCopies;
            if (bye) v.delayMicros = m[*bye].timeMicros - m[*firstSuccess].timeMicros;
            out.push_back(v);
        }
    }
    const int64_t answerMicros = firstSuccess ? m[*firstSuccess].timeMicros : 0;
    bool bothWays = false;
    DiagnoseMedia(r, streams, captureEndMicros, answerMicros, out, bothWays);
    if (firstSuccess && bothWays && out.empty()) out.push_back(At(Diagnosis::Ok, m, *firstSuccess));
}

}  // namespace

const char* DiagnosisCode(Diagnosis d) {
    switch (d) {
        case Diagnosis::NoAnswer: return "no_answer";
        case Diagnosis::Rejected: return "rejected";
        case Diagnosis::CodecMismatch: return "codec_mismatch";
        case Diagnosis::Cancelled: return "cancelled";
        case Diagnosis::NoAck: return "no_ack";
        case Diagnosis::NoAudio: return "no_audio";
        case Diagnosis::OneWayAudio: return "one_way_audio";
        case Diagnosis::AddressMismatch: return "address_mismatch";
        case Diagnosis::ChoppyAudio: return "choppy_audio";
        case Diagnosis::RegisterFailed: return "register_failed";
        case Diagnosis::Ok: return "ok";
    }
    return "";
}

DiagnosisSeverity SeverityOf(Diagnosis d) {
    switch (d) {
        case Diagnosis::Ok: return DiagnosisSeverity::Good;
        case Diagnosis::Cancelled:
        case Diagnosis::AddressMismatch:
        case Diagnosis::ChoppyAudio: return DiagnosisSeverity::Warning;
        default: return DiagnosisSeverity::Fault;
    }
}

std::vector<Verdict> Diagnose(const SipCall& record, std::span<const RtpStreamReport> streams,
                              int64_t captureEndMicros) {
    std::vector<Verdict> out;
    const SipMsgType first = record.messages.empty() ? SipMsgType::Other : record.messages.front().type;
    switch (KindOfRecord(record.isInvite, record.messages.size(), first)) {
        case RecordKind::Call: DiagnoseCall(record, streams, captureEndMicros, out); break;
        case RecordKind::Register: DiagnoseRegistration(record, out); break;
        case RecordKind::Other: break;
    }
    return out;
}

std::string DtmfDigits(const SipCall& record) {
    std::string digits;
    std::vector<std::string> infoSequences;
    for (const SipMessage& m : record.messages) {
        if (m.type == SipMsgType::Dtmf) {
            if (m.digit) digits += m.digit;
            continue;
        }
        if (m.type == SipMsgType::Rtp || !m.isRequest || m.method != "INFO") continue;
        const char digit = DtmfDigitOfInfo(m.text);
        if (!digit) continue;
        std::string sequence = GetSipHeader(m.text, "CSeq");
        if (std::find(infoSequences.begin(), infoSequences.end(), sequence) != infoSequences.end()) continue;
        infoSequences.push_back(std::move(sequence));
        digits += digit;
    }
    return digits;
}

std::vector<int> ReadSdpAudioFormats(std::string_view message) {
    std::vector<int> formats;
    size_t body = message.find("\r\n\r\n");
    body = body == std::string_view::npos ? message.find("\n\n") : body;
    if (body == std::string_view::npos) return formats;
    std::string_view sdp = message.substr(body);
    while (!sdp.empty()) {
        const size_t end = sdp.find('\n');
        std::string_view line = sdp.substr(0, end);
        sdp = end == std::string_view::npos ? std::string_view() : sdp.substr(end + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
        if (!line.starts_with("m=audio ")) continue;
        // "m=audio <port>[/<n>] <proto> <fmt> <fmt> ..." (RFC 4566 section 5.14)
        std::vector<std::string_view> fields;
        std::string_view rest = line.substr(8);
        while (!rest.empty() && fields.size() < 64) {
            const size_t space = rest.find(' ');
            if (space != 0) fields.push_back(rest.substr(0, space));
            rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
        }
        if (fields.size() < 2 || fields[0] == "0" || fields[0].starts_with("0/")) continue;
        for (size_t i = 2; i < fields.size(); ++i) {
            int value = 0;
            bool digits = !fields[i].empty() && fields[i].size() <= 3;
            for (char c : fields[i]) {
                if (c < '0' || c > '9') digits = false;
                else value = value * 10 + (c - '0');
            }
            if (digits) formats.push_back(value);
        }
        return formats;
    }
    return formats;
}
