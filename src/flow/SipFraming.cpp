#include "flow/SipFraming.h"

namespace {

inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// RFC 3261 section 25.1 "token".
bool IsTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c)) return true;
    return std::string_view("-.!%*_+`'~").find(c) != std::string_view::npos;
}

std::string_view WithoutCr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

enum class BodyLength : uint8_t { Absent, Read, Unreadable, TooLarge };

// Content-Length (compact form "l", RFC 3261 section 7.3.3) of a header part, the start line
// included. HCOLON allows blanks before the colon. The first such header counts.
BodyLength ReadContentLength(std::string_view header, size_t& length) {
    length = 0;
    size_t lf = header.find('\n');
    while (lf != std::string_view::npos && lf + 1 < header.size()) {
        const size_t lineStart = lf + 1;
        lf = header.find('\n', lineStart);
        const size_t lineEnd = lf == std::string_view::npos ? header.size() : lf;
        const std::string_view line = WithoutCr(header.substr(lineStart, lineEnd - lineStart));
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = TrimBlanks(line.substr(0, colon));
        if (!EqualsNoCase(name, "content-length") && !EqualsNoCase(name, "l")) continue;
        const std::string_view value = TrimBlanks(line.substr(colon + 1));
        if (value.empty()) return BodyLength::Unreadable;
        size_t n = 0;
        for (char c : value) {
            if (!IsDigit(c)) return BodyLength::Unreadable;
            n = n * 10 + size_t(c - '0');
            if (n > kMaxSipBodyBytes) return BodyLength::TooLarge;  // before it can overflow
        }
        length = n;
        return BodyLength::Read;
    }
    return BodyLength::Absent;
}

}  // namespace

SipFramerCounters& SipFramerCounters::operator+=(const SipFramerCounters& o) {
    messages += o.messages;
    messageBytes += o.messageBytes;
    keepAliveBytes += o.keepAliveBytes;
    skippedBytes += o.skippedBytes;
    unfinishedBytes += o.unfinishedBytes;
    oversizeHeaders += o.oversizeHeaders;
    oversizeBodies += o.oversizeBodies;
    badContentLengths += o.badContentLengths;
    resyncs += o.resyncs;
    return *this;
}

bool LooksLikeSipStartLine(std::string_view line) {
    // Blanks a sender left at the end are forgiven, as SipParser forgives them.
    while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
    constexpr std::string_view kStatus = "SIP/2.0 ";
    if (line.size() >= kStatus.size() && EqualsNoCase(line.substr(0, kStatus.size()), kStatus)) {
        // The reason phrase may be empty (RFC 3261 section 7.2); its blank is then optional
        // too, as SipParser reads "SIP/2.0 200" as well.
        if (line.size() < 11 || !IsDigit(line[8]) || !IsDigit(line[9]) || !IsDigit(line[10])) return false;
        return line.size() == 11 || line[11] == ' ';
    }
    constexpr std::string_view kVersion = " SIP/2.0";
    const size_t space = line.find(' ');
    if (space == 0 || space == std::string_view::npos) return false;
    if (line.size() < space + 1 + 1 + kVersion.size()) return false;
    for (size_t i = 0; i < space; ++i)
        if (!IsTokenChar(line[i])) return false;
    if (!EqualsNoCase(line.substr(line.size() - kVersion.size()), kVersion)) return false;
    const std::string_view uri = line.substr(space + 1, line.size() - kVersion.size() - space - 1);
    for (char c : uri)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    return true;
}

SipFramer::SipFramer(SipFramerCounters& counters, bool atBoundary) : counters(&counters), clean(atBoundary) {}

void SipFramer::Feed(std::string_view bytes, const Sink& onMessage) {
    if (bytes.empty()) return;
    // Most segments carry whole messages: frame them in place and copy only a partial tail.
    if (buffer.empty()) {
        const size_t done = Frame(bytes, onMessage);
        if (done < bytes.size()) buffer.assign(bytes.substr(done));
        return;
    }
    buffer.append(bytes);
    const size_t done = Frame(buffer, onMessage);
    buffer.erase(0, done);
    // An idle connection keeps no heap block.
    if (buffer.empty()) std::string().swap(buffer);
}

void SipFramer::LoseBoundary() {
    if (clean) ++counters->resyncs;
    clean = false;
}

size_t SipFramer::Seek(std::string_view data, size_t pos) {
    for (;;) {
        if (atLineStart) {
            size_t q = pos;
            while (q < data.size() && (data[q] == '\r' || data[q] == '\n')) ++q;
            if (q > pos) {
                (clean ? counters->keepAliveBytes : counters->skippedBytes) += q - pos;
                pos = q;
                scanned = 0;
            }
            if (pos == data.size()) return pos;
        }
        const size_t lf = data.find('\n', pos + scanned);
        if (lf == std::string_view::npos) {
            if (!atLineStart || data.size() - pos > kMaxSipHeaderBytes) {
                // The rest of a line already given up on, or a line longer than any start
                // line: nothing of it is kept.
                LoseBoundary();
                counters->skippedBytes += data.size() - pos;
                atLineStart = false;
                scanned = 0;
                return data.size();
            }
            scanned = data.size() - pos;
            return pos;
        }
        if (atLineStart) {
            if (LooksLikeSipStartLine(WithoutCr(data.substr(pos, lf - pos)))) {
                mode = Mode::Header;
                scanned = lf - pos;  // the empty line may follow the start line at once
                return pos;
            }
            LoseBoundary();
        }
        counters->skippedBytes += lf + 1 - pos;
        pos = lf + 1;
        atLineStart = true;
        scanned = 0;
    }
}

size_t SipFramer::Frame(std::string_view data, const Sink& onMessage) {
    size_t start = 0;
    for (;;) {
        if (mode == Mode::Seek) {
            start = Seek(data, start);
            if (mode == Mode::Seek) return start;
        }
        const std::string_view rest = data.substr(start);
        if (mode == Mode::Header) {
            // The header part ends at an empty line: LF then CR LF or LF (bare LFs as
            // SipParser accepts them).
            size_t end = std::string_view::npos;
            size_t p = rest.find('\n', scanned);
            for (; p != std::string_view::npos; p = rest.find('\n', p + 1)) {
                if (p + 1 >= rest.size()) break;
                if (rest[p + 1] == '\n') {
                    end = p + 2;
                    break;
                }
                if (rest[p + 1] == '\r') {
                    if (p + 2 >= rest.size()) break;
                    if (rest[p + 2] == '\n') {
                        end = p + 3;
                        break;
                    }
                }
            }
            if (end == std::string_view::npos && rest.size() <= kMaxSipHeaderBytes) {
                scanned = p == std::string_view::npos ? rest.size() : p;
                return start;
            }
            size_t length = 0;
            const BodyLength kind = end == std::string_view::npos
                                        ? BodyLength::TooLarge
                                        : ReadContentLength(rest.substr(0, end), length);
            if (end == std::string_view::npos || end > kMaxSipHeaderBytes || kind == BodyLength::TooLarge) {
                // Broken: the next start line is looked for after what was read of it. Every
                // complete line of an endless header part goes with it: looking for start
                // lines inside it again would read the same bytes once per line.
                if (end == std::string_view::npos) {
                    ++counters->oversizeHeaders;
                    end = rest.rfind('\n') + 1;
                } else if (end > kMaxSipHeaderBytes) {
                    ++counters->oversizeHeaders;
                } else {
                    ++counters->oversizeBodies;
                }
                counters->skippedBytes += end;
                start += end;
                LoseBoundary();
                mode = Mode::Seek;
                atLineStart = true;
                scanned = 0;
                continue;
            }
            if (kind == BodyLength::Unreadable) ++counters->badContentLengths;
            headerEnd = end;
            bodyLength = length;
            mode = Mode::Body;
        }
        // Mode::Body
        if (rest.size() - headerEnd < bodyLength) return start;
        const size_t total = headerEnd + bodyLength;
        ++counters->messages;
        counters->messageBytes += total;
        mode = Mode::Seek;
        clean = true;
        atLineStart = true;
        scanned = 0;
        start += total;
        onMessage(rest.substr(0, total));
    }
}

void SipFramer::DropPending(uint64_t& counter) {
    counter += buffer.size();
    std::string().swap(buffer);
    mode = Mode::Seek;
    atLineStart = true;
    scanned = 0;
}

void SipFramer::Resynchronise() {
    DropPending(mode == Mode::Seek ? counters->skippedBytes : counters->unfinishedBytes);
    ++counters->resyncs;
    clean = false;
}

void SipFramer::Finish() { DropPending(mode == Mode::Seek ? counters->skippedBytes : counters->unfinishedBytes); }
