#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// SIP messages out of a byte stream (RFC 3261 section 18.3): the header part up to the first
// empty line, then Content-Length bytes of body. Over a stream the length is the only way to
// find where a message ends, so whatever breaks it (garbage, a hole in the capture, a length
// no sender means) is answered by skipping to the next line that looks like a start line.

// A header block that grows past this without an empty line is not SIP, or lost its end.
inline constexpr size_t kMaxSipHeaderBytes = size_t(64) << 10;
// A Content-Length above this is taken as broken: the framer neither allocates nor waits for
// it (a "2 GiB" body would otherwise hold a connection's buffer for ever).
inline constexpr size_t kMaxSipBodyBytes = size_t(1) << 20;

// Running totals of what the framers did with their bytes. Every byte fed ends up in exactly
// one of messageBytes, keepAliveBytes, skippedBytes and unfinishedBytes, or is still buffered.
struct SipFramerCounters {
    uint64_t messages = 0;
    uint64_t messageBytes = 0;
    uint64_t keepAliveBytes = 0;     // CR LF between messages (RFC 5626 pings and pongs)
    uint64_t skippedBytes = 0;       // not part of a message: garbage, broken messages
    uint64_t unfinishedBytes = 0;    // partial messages dropped at a hole or the stream's end
    uint64_t oversizeHeaders = 0;    // header blocks past kMaxSipHeaderBytes
    uint64_t oversizeBodies = 0;     // Content-Length past kMaxSipBodyBytes
    uint64_t badContentLengths = 0;  // Content-Length not a number: the body taken as empty
    uint64_t resyncs = 0;            // times the message boundary was lost

    SipFramerCounters& operator+=(const SipFramerCounters& o);
};

// True for "<method> <uri> SIP/2.0" and "SIP/2.0 <3 digits>[ <reason>]", the line given
// without its line end (blanks at its end allowed). The version is matched without case
// (RFC 3261 section 7.1).
bool LooksLikeSipStartLine(std::string_view line);

// The framer of one direction of one connection. Messages are handed out as one contiguous
// view, valid only during the call; the sink must not feed this framer again.
class SipFramer {
public:
    using Sink = std::function<void(std::string_view message)>;

    // `atBoundary`: the stream starts at a message (a connection seen from its SYN). A stream
    // picked up in the middle has no known boundary: what precedes the first start line is
    // skipped without counting a lost boundary.
    explicit SipFramer(SipFramerCounters& counters, bool atBoundary = true);

    void Feed(std::string_view bytes, const Sink& onMessage);
    // The stream has a hole: the partial message is dropped and the next start line wanted.
    // The bytes after the hole may begin with one, so their first line is tried too.
    void Resynchronise();
    // The stream ended: a partial message is dropped.
    void Finish();
    // Memory held for a partial message or a partial line (none while nothing is pending:
    // the buffer is released then).
    size_t Buffered() const { return buffer.empty() ? 0 : buffer.capacity(); }

private:
    enum class Mode : uint8_t { Seek, Header, Body };
    // Frames from `data` (the buffered bytes, or the input itself when nothing is buffered)
    // and returns how many bytes of it are done with.
    size_t Frame(std::string_view data, const Sink& onMessage);
    size_t Seek(std::string_view data, size_t pos);
    void LoseBoundary();
    void DropPending(uint64_t& counter);

    SipFramerCounters* counters;
    std::string buffer;     // bytes not yet done with; offsets below are relative to it
    Mode mode = Mode::Seek;
    bool atLineStart = true;  // Seek: the next byte begins a line
    bool clean = true;        // Seek: right after a message, so CR LF is a keep-alive
    size_t scanned = 0;       // bytes already searched for a line end (Seek, Header)
    size_t headerEnd = 0;     // Body: length of the header part
    size_t bodyLength = 0;    // Body: Content-Length
};
