#include "flow/FlowCsv.h"

#include <cstdio>

std::string CsvHeaderLine() {
    return "Hora;Method;From User;From IP;To User;To IP;Msgs;Call-ID;Estado;Origem Desl.\n";
}

std::string CsvField(std::string_view value) {
    if (value.find_first_of(";\"\r\n") == std::string_view::npos) return std::string(value);
    std::string out = "\"";
    for (char c : value) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
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

std::string CallCsvLine(const SipCall& call) {
    std::string line;
    bool firstField = true;
    for (const std::string& field : CallCsvColumns(call)) {
        if (!firstField) line += ';';
        firstField = false;
        line += CsvField(field);
    }
    line += '\n';
    return line;
}

std::string CallsCsvText(const std::vector<SipCall>& calls) {
    std::string out = "\xEF\xBB\xBF";
    out += CsvHeaderLine();
    for (const SipCall& call : calls) out += CallCsvLine(call);
    return out;
}

bool WriteCallsCsvFile(const std::string& path, const std::vector<SipCall>& calls) {
    const std::string content = CallsCsvText(calls);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool written = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    const bool closed = std::fclose(f) == 0;
    return written && closed;
}
