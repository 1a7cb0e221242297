#include "flow/SipCall.h"

std::string CallStateText(CallState state, int32_t errorCode) {
    switch (state) {
        case CallState::Init: return "Init";
        case CallState::Setup: return "Setup";
        case CallState::Connected: return "Connected";
        case CallState::Cancelled: return "Cancelled";
        case CallState::Terminated: return "Terminated";
        case CallState::TerminatedCancelled: return "Terminated (Cancelled)";
        case CallState::Error: return "Error (" + std::to_string(errorCode) + ")";
    }
    return "Init";
}

bool IsRecordEnded(const SipCall& call) {
    if (call.isInvite) {
        return call.state == CallState::Cancelled || call.state == CallState::Terminated ||
               call.state == CallState::TerminatedCancelled || call.state == CallState::Error;
    }
    return call.sawSuccess || call.sawFailure;
}

std::string DisplayStatus(const SipCall& call) {
    if (call.isInvite) return IsRecordEnded(call) ? "Desligada" : "Em andamento";
    if (call.sawSuccess) return "Sucesso";
    if (call.sawFailure) return "Insucesso";
    return "Tentando...";
}

RecordKind KindOfRecord(bool isInvite, size_t messageCount, SipMsgType firstType) {
    if (isInvite) return RecordKind::Call;
    if (messageCount > 0 && firstType == SipMsgType::Register) return RecordKind::Register;
    return RecordKind::Other;
}
