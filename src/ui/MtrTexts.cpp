#include "ui/MtrTexts.h"

std::string MtrStopCauseText(MtrStopCause cause, const std::string& detail) {
    switch (cause) {
        case MtrStopCause::None: return {};
        case MtrStopCause::CaptureEnded:
            return "A captura parou: " + (detail.empty() ? std::string("a interface deixou de entregar pacotes.") : detail);
        case MtrStopCause::ProbingFailed:
            return "O envio de sondas parou: " + (detail.empty() ? std::string("erro desconhecido.") : detail);
    }
    return {};
}

const char* MtrEventKindLabel(MtrEventKind kind) {
    switch (kind) {
        case MtrEventKind::LossStart: return "Inicio de perda";
        case MtrEventKind::LossEnd: return "Fim de perda";
        case MtrEventKind::LatencyUp: return "Latencia alta";
        case MtrEventKind::LatencyDown: return "Latencia normal";
        case MtrEventKind::Responder: return "Outro respondente";
        case MtrEventKind::Dscp: return "DSCP alterado";
    }
    return "";
}
