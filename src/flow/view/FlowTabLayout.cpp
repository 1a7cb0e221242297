#include "flow/view/FlowTabLayout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "capture/Decode.h"
#include "ui/DiagnosisTexts.h"

namespace {

uint32_t TypeCode(const SipMessage& m) { return static_cast<uint32_t>(m.type); }
constexpr uint32_t kTypeBye = 2;
constexpr uint32_t kTypeRtp = 14;

}  // namespace

FlowRgbf CallMethodColour(const std::string& method) {
    if (method == "INVITE") return {1.0f, 0.2f, 0.2f};
    if (method == "REGISTER") return {0.2f, 0.6f, 1.0f};
    if (method == "OPTIONS") return {1.0f, 1.0f, 0.0f};
    return {1.0f, 1.0f, 1.0f};
}

std::string FlowCountersLine(size_t bufferedPackets, const FlowCounters& calls, uint64_t trimmedUnanalysed,
                             uint64_t kernelDropped, uint64_t recordsDropped, const FlowDropCounts& drops) {
    std::string line = "| Total Pkts: " + std::to_string(static_cast<int>(bufferedPackets)) +
                       " | Chamadas: " + std::to_string(static_cast<int>(calls.calls)) +
                       " | Registers: " + std::to_string(static_cast<int>(calls.registers));
    // A loss is shown once there is one: the line keeps its usual width on a capture that
    // loses nothing.
    if (trimmedUnanalysed || kernelDropped) {
        line += " | Descartados: " + std::to_string(trimmedUnanalysed) +
                " | Perdidos (kernel): " + std::to_string(kernelDropped);
    }
    if (recordsDropped) line += " | Registros removidos: " + std::to_string(recordsDropped);
    if (drops.fragmentsDropped) line += " | Fragmentos descartados: " + std::to_string(drops.fragmentsDropped);
    if (drops.tcpBytesDropped) line += " | Bytes TCP perdidos: " + std::to_string(drops.tcpBytesDropped);
    if (drops.streamsDropped) line += " | Fluxos RTP removidos: " + std::to_string(drops.streamsDropped);
    return line;
}

FlowRgbf DisplayStatusColour(const std::string& status) {
    if (status == "Em andamento" || status == "Sucesso") return {0.4f, 1.0f, 0.4f};
    if (status == "Desligada" || status == "Insucesso") return {1.0f, 0.4f, 0.4f};
    if (status == "Tentando...") return {0.6f, 0.8f, 1.0f};
    return {1.0f, 1.0f, 1.0f};
}

std::vector<std::string> LadderEndpoints(const std::vector<SipMessage>& messages) {
    std::vector<std::string> endpoints;
    auto add = [&endpoints](const std::string& address) {
        if (std::find(endpoints.begin(), endpoints.end(), address) == endpoints.end())
            endpoints.push_back(address);
    };
    for (const SipMessage& m : messages) {
        add(m.sourceIp);
        add(m.destinationIp);
    }
    return endpoints;
}

float LadderColumnSpacing(float widestCaption) {
    return std::max(kLadderColumnSpacing, widestCaption + kLadderCaptionGap);
}

float LadderLeftMargin(size_t endpointCount, float diagramWidth, float spacing) {
    float left = endpointCount == 0 ? diagramWidth / 2.0f
                                    : (diagramWidth - static_cast<float>(endpointCount - 1) * spacing) / 2.0f;
    return std::max(kLadderMinLeft, left);
}

float LadderContentWidth(float left, float spacing, const std::vector<float>& captionWidths) {
    if (captionWidths.empty()) return 0.0f;
    float width = left + spacing * static_cast<float>(captionWidths.size() - 1) + 100.0f;
    for (size_t j = 0; j < captionWidths.size(); ++j) {
        const float captionEnd = left + spacing * static_cast<float>(j) - kLadderCaptionLead + captionWidths[j];
        width = std::max(width, captionEnd);
    }
    return width;
}

size_t LadderColumnOf(const std::vector<std::string>& endpoints, const std::string& address) {
    auto it = std::find(endpoints.begin(), endpoints.end(), address);
    return it == endpoints.end() ? 0 : static_cast<size_t>(it - endpoints.begin());
}

LadderArrow LadderArrowGeometry(float x0, float y0, float columnFrom, float columnTo, size_t k) {
    LadderArrow a;
    a.x1 = x0 + columnFrom;
    a.x2 = x0 + columnTo;
    a.y = y0 + kLadderFirstRowOffset + kLadderRowSpacing * static_cast<float>(k);
    a.lineEndX = a.x1 + 0.98f * (a.x2 - a.x1);
    const float back = a.x2 > a.x1 ? -kLadderArrowHead : kLadderArrowHead;
    const float pts[6] = {a.x2, a.y, a.x2 + back, a.y - 4.0f, a.x2 + back, a.y + 4.0f};
    std::copy(pts, pts + 6, a.head);
    a.labelX = (a.x1 + a.x2) / 2.0f - 60.0f;
    a.labelY = a.y - 15.0f;
    const float width = std::fabs(a.x2 - a.x1);
    a.selectW = std::max(width, kLadderMinSelectWidth);
    a.selectX = std::min(a.x1, a.x2) - (a.selectW - width) / 2.0f;
    a.selectY = a.y - kLadderSelectHeight / 2.0f;
    a.selectH = kLadderSelectHeight;
    return a;
}

float LadderLifeLineBottom(float y0, size_t messageCount) {
    return y0 + kLadderLifeLineTop + kLadderRowSpacing * static_cast<float>(messageCount) + 50.0f;
}

float LadderContentHeight(size_t messageCount) {
    return 70.0f + kLadderRowSpacing * static_cast<float>(messageCount);
}

FlowRgba LadderArrowColour(const SipMessage& m, bool selected) {
    if (selected) return {255, 100, 255, 255};
    if (TypeCode(m) == kTypeRtp) return {255, 255, 255, 255};
    if (m.type == SipMsgType::Dtmf) return {0, 200, 255, 255};
    if (TypeCode(m) == kTypeBye) return {255, 50, 50, 255};
    if (!m.isRequest && m.statusCode >= 100 && m.statusCode <= 199) return {255, 255, 0, 255};
    if (!m.isRequest && m.statusCode >= 300) return {255, 50, 50, 255};
    return {0, 255, 0, 255};
}

std::string LadderLabel(const SipMessage& m) {
    if (TypeCode(m) == kTypeRtp) {
        std::string label = m.text;
        size_t lf = label.find('\n');
        if (lf != std::string::npos) label = label.substr(lf + 1);
        if (label.rfind("Codec: ", 0) == 0) label.erase(0, 7);
        return label;
    }
    std::string label = m.time.substr(0, 8);
    label += ' ';
    if (m.type == SipMsgType::Dtmf) return label + "DTMF " + m.digit;
    if (m.isRequest && m.method == "INFO") {
        if (const char digit = DtmfDigitOfInfo(m.text)) return label + "INFO (DTMF " + digit + ")";
    }
    if (!m.isRequest) {
        label += std::to_string(m.statusCode);
        label += ' ';
    }
    label += m.method;
    return label;
}

std::string RawPacketLine(const PacketLogEntry& entry) {
    const PacketTexts p = DescribePacket(entry);
    std::string line;
    line.reserve(p.time.size() + p.protocol.size() + p.info.size() + 24);
    line += '[';
    line += p.time;
    line += "] ";
    line += p.protocol;
    line += " Len:";
    line += std::to_string(static_cast<int32_t>(entry.wireLength));
    line += ' ';
    line += p.info;
    return line;
}

std::string RawPacketTooltip(const PacketLogEntry& p) {
    const std::span<const uint8_t> payload = p.Payload();
    const size_t n = std::min(payload.size(), kRawTooltipMaxChars);
    std::string text;
    text.reserve(n + 3);
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = payload[i];
        text += (c < 0x20 && c != '\n' && c != '\r' && c != '\t') || c == 0x7f ? '.' : static_cast<char>(c);
    }
    if (payload.size() > kRawTooltipMaxChars) text += "...";
    return text;
}

FlowRgbf DiagnosisColour(const std::vector<Verdict>& verdicts) {
    DiagnosisSeverity worst = DiagnosisSeverity::Good;
    for (const Verdict& v : verdicts) worst = std::min(worst, SeverityOf(v.code));
    switch (worst) {
        case DiagnosisSeverity::Fault: return {1.0f, 0.3f, 0.3f};
        case DiagnosisSeverity::Warning: return {1.0f, 1.0f, 0.0f};
        case DiagnosisSeverity::Good: return {0.0f, 1.0f, 0.0f};
    }
    return {1.0f, 1.0f, 1.0f};
}

std::vector<size_t> SortedCallRows(const std::vector<SipCallRow>& rows, CallColumn column, bool descending) {
    std::vector<size_t> order(rows.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    auto text = [column](const SipCallRow& r) -> std::string {
        switch (column) {
            case CallColumn::Time: return r.time;
            case CallColumn::Method: return r.firstMethod;
            case CallColumn::From: return r.fromUser + " (" + r.callerIp + ")";
            case CallColumn::To: return r.toUser + " (" + r.calleeIp + ")";
            case CallColumn::Messages: return {};
            case CallColumn::CallId: return r.callId;
            case CallColumn::Status: return r.displayStatus;
            case CallColumn::HangupOrigin: return r.isInvite ? r.hangupOrigin : std::string();
            case CallColumn::Mos: return {};
            case CallColumn::Diagnosis: return DiagnosisLabels(r.verdicts);
        }
        return {};
    };
    auto less = [&](size_t a, size_t b) {
        if (column == CallColumn::Messages) return rows[a].messageCount < rows[b].messageCount;
        if (column == CallColumn::Mos) return rows[a].mos.value_or(-1.0) < rows[b].mos.value_or(-1.0);
        return text(rows[a]) < text(rows[b]);
    };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return descending ? less(b, a) : less(a, b); });
    return order;
}
