#include "flow/FlowCsv.h"

std::string CsvHeaderLine() {
    return CsvLine({"Hora", "Method", "From User", "From IP", "To User", "To IP", "Msgs", "Call-ID", "Estado",
                    "Origem Desl."});
}

std::vector<std::string> CallCsvColumns(const SipCall& call) {
    return {
        call.time,
        call.messages.empty() ? std::string("?") : call.messages.front().method,
        call.fromUser,
        call.callerIp,
        call.toUser,
        call.calleeIp,
        std::to_string(call.messages.size()),
        call.callId,
        CallStateText(call),
        call.hangupOrigin,
    };
}

std::string CallCsvLine(const SipCall& call) { return CsvLine(CallCsvColumns(call)); }

std::string CallsCsvText(const std::vector<SipCall>& calls) {
    std::string out(kCsvByteOrderMark);
    out += CsvHeaderLine();
    for (const SipCall& call : calls) out += CallCsvLine(call);
    return out;
}

CsvWriteResult WriteCallsCsvFile(const std::string& path, const std::vector<SipCall>& calls) {
    std::string lines = CsvHeaderLine();
    for (const SipCall& call : calls) lines += CallCsvLine(call);
    return WriteCsvFile(path, lines);
}
