#include "ui/DiagnosisTexts.h"

#include <algorithm>
#include <cstdio>

#include "capture/Decode.h"
#include "logs/CsvFile.h"

namespace {

std::string Clock(int64_t micros) {
    if (micros <= 0) return "?";
    return CaptureTimeText(static_cast<uint32_t>(micros / 1000000), static_cast<uint32_t>(micros % 1000000));
}

std::string Fixed(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

std::string Formats(const std::vector<int>& formats) {
    std::string s;
    for (int f : formats) {
        if (!s.empty()) s += ' ';
        s += std::to_string(f);
    }
    return s.empty() ? "-" : s;
}

std::string Response(const Verdict& v) {
    std::string s = std::to_string(v.statusCode);
    if (!v.reason.empty()) s += " " + v.reason;
    return s;
}

std::string Headers(const Verdict& v) {
    std::string s;
    if (!v.reasonHeader.empty()) s += "; Reason: " + v.reasonHeader;
    if (!v.warningHeader.empty()) s += "; Warning: " + v.warningHeader;
    return s;
}

}  // namespace

const char* DiagnosisLabel(Diagnosis d) {
    switch (d) {
        case Diagnosis::NoAnswer: return "Sem resposta";
        case Diagnosis::Rejected: return "Recusada";
        case Diagnosis::CodecMismatch: return "Codec incompativel";
        case Diagnosis::Cancelled: return "Cancelada";
        case Diagnosis::NoAck: return "Sem ACK";
        case Diagnosis::NoAudio: return "Sem audio";
        case Diagnosis::OneWayAudio: return "Audio de mao unica";
        case Diagnosis::AddressMismatch: return "Endereco divergente";
        case Diagnosis::ChoppyAudio: return "Audio picotado";
        case Diagnosis::RegisterFailed: return "Registro falhou";
        case Diagnosis::Ok: return "OK";
    }
    return "";
}

const char* DiagnosisHint(Diagnosis d) {
    switch (d) {
        case Diagnosis::NoAnswer: return "Verifique se o destino esta registrado e alcancavel (firewall, rota SIP).";
        case Diagnosis::Rejected: return "Veja o codigo e o motivo: numero, permissao ou tronco do destino.";
        case Diagnosis::CodecMismatch: return "Configure um codec em comum nos dois lados (por exemplo G.711).";
        case Diagnosis::Cancelled: return "Quem ligou desistiu antes do atendimento; nao e falha da rede.";
        case Diagnosis::NoAck: return "O ACK nao chega: verifique o NAT e o ALG SIP do roteador e os cabecalhos Contact/Record-Route.";
        case Diagnosis::NoAudio: return "Nenhum audio: verifique as portas RTP no firewall e o NAT.";
        case Diagnosis::OneWayAudio: return "Audio so em um sentido: verifique NAT, firewall e o endereco anunciado no SDP.";
        case Diagnosis::AddressMismatch: return "Midia fora do endereco anunciado: NAT ou ALG SIP; desative o ALG ou use STUN.";
        case Diagnosis::ChoppyAudio: return "Perda ou atraso na rede: verifique banda, Wi-Fi e QoS.";
        case Diagnosis::RegisterFailed: return "Verifique usuario, senha e dominio da conta SIP.";
        case Diagnosis::Ok: return "";
    }
    return "";
}

std::string VerdictEvidence(const Verdict& v) {
    switch (v.code) {
        case Diagnosis::NoAnswer:
            if (v.statusCode) return Response(v) + " as " + Clock(v.atMicros) + Headers(v);
            return "INVITE as " + Clock(v.atMicros) + " sem resposta final em " + Fixed(v.delayMicros / 1e6, 1) + " s";
        case Diagnosis::Rejected: return Response(v) + " as " + Clock(v.atMicros) + Headers(v);
        case Diagnosis::CodecMismatch:
            if (v.statusCode >= 400)
                return Response(v) + " as " + Clock(v.atMicros) + Headers(v) + "; oferta: " + Formats(v.offerFormats);
            return "resposta as " + Clock(v.atMicros) + " sem formato da oferta (oferta: " + Formats(v.offerFormats) +
                   "; resposta: " + Formats(v.answerFormats) + ")";
        case Diagnosis::Cancelled:
            if (v.statusCode) return Response(v) + " as " + Clock(v.atMicros);
            return "CANCEL as " + Clock(v.atMicros);
        case Diagnosis::NoAck: {
            std::string s = Response(v) + " enviado " + std::to_string(v.count) + " vezes desde " + Clock(v.atMicros) +
                            " sem ACK";
            if (v.delayMicros >= 0) s += "; BYE " + Fixed(v.delayMicros / 1e6, 1) + " s apos o primeiro " + std::to_string(v.statusCode);
            return s;
        }
        case Diagnosis::NoAudio:
            if (v.packets)
                return "atendida as " + Clock(v.atMicros) + "; " + std::to_string(v.packets) +
                       " pacotes RTP, decodificados, so com silencio";
            return "atendida as " + Clock(v.atMicros) + "; nenhum RTP em " + Fixed(v.delayMicros / 1e6, 1) + " s de captura";
        case Diagnosis::OneWayAudio:
            return std::to_string(v.packets) + " pacotes RTP de " + v.from.Text() + " para " + v.to.Text() + " em " +
                   Fixed(v.seconds, 1) + " s; " + std::to_string(v.packetsBack) + " no sentido contrario";
        case Diagnosis::AddressMismatch:
            if (v.privateAnnounced)
                return "SDP as " + Clock(v.atMicros) + " anuncia " + v.announced.Text() + " (privado) enviado de " +
                       v.from.address.Text() + " (publico)";
            return "RTP de " + v.from.Text() + " para " + v.to.Text() + "; o SDP anunciou " + v.announced.Text();
        case Diagnosis::ChoppyAudio: {
            std::string s = "RTP de " + v.from.Text() + " para " + v.to.Text() + ": perda " + Fixed(v.lossPercent, 1) +
                            "%, atrasados " + Fixed(v.latePercent, 1) + "% (buffer 50 ms), jitter max " +
                            Fixed(v.maxJitterMs, 1) + " ms, maior intervalo " + Fixed(v.maxGapMs, 0) + " ms";
            if (v.mos) s += ", MOS " + Fixed(*v.mos, 2);
            if (v.worstIntervalMicros > 0)
                s += "; pior intervalo de 5 s as " + Clock(v.worstIntervalMicros) + " (" +
                     Fixed(v.worstIntervalPercent, 1) + "% perdidos ou atrasados)";
            return s;
        }
        case Diagnosis::RegisterFailed:
            if (v.count)
                return std::to_string(v.count) + " desafio(s) " + Response(v) + " apos enviar credenciais, o ultimo as " +
                       Clock(v.atMicros);
            if (v.statusCode) return Response(v) + " as " + Clock(v.atMicros) + Headers(v);
            return "REGISTER as " + Clock(v.atMicros) + " sem resposta final";
        case Diagnosis::Ok:
            if (v.statusCode) return Response(v) + " as " + Clock(v.atMicros);
            return "";
    }
    return "";
}

namespace {

// The codes of the verdicts, each once, in order (a call may have a choppy stream each way).
std::vector<Diagnosis> UniqueCodes(const std::vector<Verdict>& verdicts) {
    std::vector<Diagnosis> codes;
    for (const Verdict& v : verdicts)
        if (std::find(codes.begin(), codes.end(), v.code) == codes.end()) codes.push_back(v.code);
    return codes;
}

}  // namespace

std::string DiagnosisCodes(const std::vector<Verdict>& verdicts) {
    std::string s;
    for (Diagnosis d : UniqueCodes(verdicts)) {
        if (!s.empty()) s += ',';
        s += DiagnosisCode(d);
    }
    return s;
}

std::string DiagnosisLabels(const std::vector<Verdict>& verdicts) {
    std::string s;
    for (Diagnosis d : UniqueCodes(verdicts)) {
        if (!s.empty()) s += ", ";
        s += DiagnosisLabel(d);
    }
    return s;
}

std::string DiagnosisHeaderLine() { return "call_id;diagnosis;evidence\n"; }

std::string DtmfEvidence(const std::string& digits) {
    std::string s;
    for (char d : digits) {
        s += s.empty() ? "DTMF: " : " ";
        s += d;
    }
    return s;
}

std::string DiagnosisLine(const std::string& callId, const std::vector<Verdict>& verdicts,
                          const std::string& dtmfDigits) {
    std::string evidence;
    std::vector<std::string> parts;
    for (const Verdict& v : verdicts) parts.push_back(VerdictEvidence(v));
    parts.push_back(DtmfEvidence(dtmfDigits));
    for (const std::string& e : parts) {
        if (e.empty()) continue;
        if (!evidence.empty()) evidence += " | ";
        evidence += e;
    }
    return CsvLine({callId, DiagnosisCodes(verdicts), evidence});
}
