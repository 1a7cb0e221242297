#include "flow/SipParser.h"

#include "capture/TextFormat.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace {

// Case folding of the C locale only: SIP tokens are ASCII, and a locale-dependent tolower
// would make matching depend on the user's environment.
inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
inline char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

bool EqualsNoCaseAt(std::string_view text, size_t pos, std::string_view word) {
    if (pos > text.size() || text.size() - pos < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
        if (LowerAscii(text[pos + i]) != LowerAscii(word[i])) return false;
    }
    return true;
}

// Offset of the first line end: CR LF is searched first (over the whole text), then a bare
// LF. Senders that mix both are rare, and this order is what a header value ends at too.
size_t FindLineEnd(std::string_view text, size_t from) {
    size_t crlf = text.find("\r\n", from);
    if (crlf != std::string_view::npos) return crlf;
    return text.find('\n', from);
}

SipMsgType TypeOfMethod(std::string_view method) {
    if (method == "INVITE") return SipMsgType::Invite;
    if (method == "ACK") return SipMsgType::Ack;
    if (method == "BYE") return SipMsgType::Bye;
    if (method == "CANCEL") return SipMsgType::Cancel;
    if (method == "REGISTER") return SipMsgType::Register;
    if (method == "OPTIONS") return SipMsgType::Options;
    return SipMsgType::Other;
}

}  // namespace

bool ContainsNoCase(std::string_view haystack, std::string_view needle) {
    if (needle.empty()) return true;
    if (haystack.size() < needle.size()) return false;
    // A character of the needle that has no other case ('/' in "SIP/2.0") can be searched
    // with memchr: every media packet is tested for the SIP version, and this keeps that
    // test from looking at each byte of the payload twice.
    size_t anchor = 0;
    while (anchor < needle.size() && LowerAscii(needle[anchor]) != UpperAscii(needle[anchor])) ++anchor;
    if (anchor < needle.size()) {
        const char c = needle[anchor];
        for (size_t at = haystack.find(c, anchor); at != std::string_view::npos; at = haystack.find(c, at + 1)) {
            const size_t start = at - anchor;
            if (start + needle.size() > haystack.size()) return false;
            if (EqualsNoCaseAt(haystack, start, needle)) return true;
        }
        return false;
    }
    const char first = LowerAscii(needle[0]);
    for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        if (LowerAscii(haystack[i]) == first && EqualsNoCaseAt(haystack, i, needle)) return true;
    }
    return false;
}

std::string GetSipHeader(std::string_view text, std::string_view name) {
    // A header starts right after a line feed; the only other place is offset 0. The name
    // must be followed directly by ':' (RFC 3261 allows blanks before the colon, but this
    // scanner follows what common user agents send).
    size_t valueStart = std::string_view::npos;
    for (size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n', lf + 1)) {
        if (EqualsNoCaseAt(text, lf + 1, name) && lf + 1 + name.size() < text.size() &&
            text[lf + 1 + name.size()] == ':') {
            valueStart = lf + 1 + name.size() + 1;
            break;
        }
    }
    if (valueStart == std::string_view::npos) {
        if (EqualsNoCaseAt(text, 0, name) && name.size() < text.size() && text[name.size()] == ':') {
            valueStart = name.size() + 1;
        } else {
            return {};
        }
    }
    while (valueStart < text.size() && text[valueStart] == ' ') ++valueStart;
    size_t end = FindLineEnd(text, valueStart);
    if (end == std::string_view::npos) return {};  // unterminated last line has no value
    return std::string(text.substr(valueStart, end - valueStart));
}

std::string ExtractSipUser(std::string_view value) {
    size_t sip = value.size() > 3 ? value.find("sip:") : std::string_view::npos;
    if (sip == std::string_view::npos) return std::string(value);
    size_t start = sip + 4;
    size_t end = value.find('@', start);
    if (end == std::string_view::npos) end = value.find('>', start);
    if (end == std::string_view::npos) end = value.size();
    return std::string(value.substr(start, end - start));
}

std::string StripPort(std::string_view address) { return std::string(EndpointAddress(address)); }

bool ParseSipMessage(std::string_view text, SipMessage& message) {
    if (text.empty()) return false;
    size_t lineEnd = text.size() >= 2 ? text.find("\r\n") : std::string_view::npos;
    if (lineEnd == std::string_view::npos) lineEnd = text.find('\n');
    if (lineEnd == std::string_view::npos) return false;
    const std::string_view startLine = text.substr(0, lineEnd);

    if (startLine.size() > 6 && EqualsNoCaseAt(startLine, 0, "SIP/2.0")) {
        message.isRequest = false;
        message.type = SipMsgType::Other;
        message.method = "RESPONSE";
        if (startLine.size() > 8) {
            // The code sits at the fixed offset of "SIP/2.0 NNN Reason"; read it with strtol
            // semantics (blanks, sign, digits) from a bounded copy.
            std::string code(startLine.substr(8, 3));
            char* endPtr = nullptr;
            errno = 0;
            long value = std::strtol(code.c_str(), &endPtr, 10);
            bool digits = false;
            for (const char* p = code.c_str(); p < endPtr; ++p) digits = digits || std::isdigit(static_cast<unsigned char>(*p));
            if (digits) {
                message.statusCode = static_cast<int32_t>(value);
                message.method = startLine.size() > 12 ? std::string(startLine.substr(12)) : code;
            }
        }
    } else {
        message.isRequest = true;
        message.statusCode = 0;
        size_t space = startLine.find(' ');
        if (space != std::string_view::npos) {
            message.method = std::string(startLine.substr(0, space));
            message.type = TypeOfMethod(message.method);
        } else {
            message.method.clear();
            message.type = SipMsgType::Other;
        }
    }

    message.callId = GetSipHeader(text, "Call-ID");
    if (message.callId.empty()) message.callId = GetSipHeader(text, "i");
    if (message.callId.empty()) return false;

    std::string from = GetSipHeader(text, "From");
    if (from.empty()) from = GetSipHeader(text, "f");
    message.fromUser = ExtractSipUser(from);
    std::string to = GetSipHeader(text, "To");
    if (to.empty()) to = GetSipHeader(text, "t");
    message.toUser = ExtractSipUser(to);

    if (!message.isRequest) {
        std::string cseq = GetSipHeader(text, "CSeq");
        size_t space = cseq.find(' ');
        if (space != std::string::npos) {
            std::string_view method = std::string_view(cseq).substr(space + 1);
            if (method == "INVITE") message.type = SipMsgType::Invite;
            else if (method == "BYE") message.type = SipMsgType::Bye;
        }
    }
    return true;
}

char DtmfDigitOfInfo(std::string_view text) {
    std::string type = GetSipHeader(text, "Content-Type");
    if (type.empty()) type = GetSipHeader(text, "c");
    const bool relay = ContainsNoCase(type, "application/dtmf-relay");
    if (!relay && !ContainsNoCase(type, "application/dtmf")) return 0;
    size_t body = text.find("\r\n\r\n");
    size_t skip = 4;
    if (body == std::string_view::npos) {
        body = text.find("\n\n");
        skip = 2;
    }
    if (body == std::string_view::npos) return 0;
    std::string_view rest = text.substr(body + skip);
    if (relay) {
        // "Signal=5\r\nDuration=160" (the key in any case, blanks around '=').
        size_t at = 0;
        for (; at + 6 <= rest.size(); ++at)
            if (ContainsNoCase(rest.substr(at, 6), "signal")) break;
        if (at + 6 > rest.size()) return 0;
        rest = rest.substr(at + 6);
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '=')) rest.remove_prefix(1);
    } else {
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\r' || rest.front() == '\n')) rest.remove_prefix(1);
    }
    if (rest.empty()) return 0;
    const char c = rest.front();
    const bool ok = (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D') || (c >= 'a' && c <= 'd');
    return ok ? static_cast<char>(c >= 'a' && c <= 'd' ? c - 'a' + 'A' : c) : 0;
}
