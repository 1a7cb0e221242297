#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture/Packet.h"
#include "flow/CallLimits.h"
#include "flow/Diagnosis.h"
#include "flow/HangupRules.h"
#include "flow/RtpCodec.h"
#include "flow/RtpStreamStats.h"
#include "flow/SdpReader.h"
#include "flow/SipCall.h"
#include "flow/SipParser.h"
#include "flow/TcpReassembly.h"

// What one row of the Flow tab's call table shows: a record without its message texts, so
// the table can be refreshed every frame even with thousands of long calls.
struct SipCallRow {
    std::string callId;
    std::string time;
    std::string fromUser;
    std::string toUser;
    std::string callerIp;
    std::string calleeIp;
    std::string firstMethod;          // `method` of the first message, "?" when there is none
    SipMsgType firstType = SipMsgType::Other;
    size_t messageCount = 0;          // RTP flow entries included
    bool isInvite = false;
    std::string displayStatus;        // DisplayStatus() of the record
    std::string hangupOrigin;
    std::optional<double> mos;        // worst "MOS (estimado)" of the call's RTP streams
    std::vector<Verdict> verdicts;    // Diagnose() of the record
};

// "Chamadas" and "Registers" of the counter line and of orvanta-cli's summary.
struct FlowCounters {
    size_t calls = 0;
    size_t registers = 0;
};

// What the bounds of CallLimits.h have cost so far, and what is kept now.
struct CallTrackerStats {
    size_t records = 0;
    size_t keptMessages = 0;  // SIP messages and RTP flow entries
    size_t keptTextBytes = 0;
    uint64_t recordsDropped = 0;   // records removed to stay within the bounds
    uint64_t messagesDropped = 0;  // SIP messages removed by the per-record bound
    uint64_t streamsDropped = 0;   // RTP streams forgotten by the stream table's bound
    uint64_t tcpBytesDropped = 0;  // SIP-over-TCP bytes skipped at gaps that never filled
};

// Groups SIP messages into records by Call-ID, runs each record's state machine and counts
// RTP packets into per-direction flow entries of the call whose SDP announced the port.
// Holds at most kMaxCallRecords records, kMaxMessagesPerRecord messages per record,
// kMaxKeptMessages messages in all and kMaxKeptTextBytes of message text. All members are safe to call from any thread: the flow
// engine's worker feeds it, the Flow tab and the command line read it.
class CallTracker {
public:
    // One decoded packet: its binary endpoints and payload decide. Empty payloads are ignored.
    void ProcessPacket(const PacketLogEntry& entry);
    // The port SIP is captured on (5060 unless the capture says otherwise): media is never
    // looked for there.
    void SetSipPort(uint16_t port);
    // The capture ended: SIP over TCP waiting behind a gap that can no longer fill is read.
    void EndOfCapture();
    // Copies of every record, sorted by `time` (byte order; chronological within one day).
    std::vector<SipCall> GetCalls() const;
    // Rows of the call table, in GetCalls order (defined in FlowCallRows.cpp).
    std::vector<SipCallRow> GetCallRows() const;
    // Copy of one record; nullopt when no record has this Call-ID (FlowCallRows.cpp).
    std::optional<SipCall> GetCall(const std::string& callId) const;
    // "Chamadas" and "Registers" over the records held now.
    FlowCounters Counters() const;
    CallTrackerStats Stats() const;
    // The verdicts of one record (flow/Diagnosis.h) from its messages, its streams and the
    // capture time of the latest packet analysed; empty when no record has this Call-ID.
    std::vector<Verdict> Diagnose(const std::string& callId) const;
    // The same with these reports of the call's streams (ones whose decoded audio is known).
    std::vector<Verdict> Diagnose(const std::string& callId, std::span<const RtpStreamReport> reports) const;
    // What SIP over TCP holds and has dropped (connections, buffered bytes, holes).
    SipTcpCounters TcpCounters() const;
    void Clear();
    // Advances whenever a record or a stream may have changed: a reader that saw the same
    // value before can keep what it copied then.
    uint64_t Changes() const;

    // Reports of the RTP streams of one call (every stream when callId is null), in the order
    // the streams appeared.
    std::vector<RtpStreamReport> GetStreamReports(const std::string* callId = nullptr) const;
    // Per-stream statistics are kept unless switched off (the benchmark compares both).
    void SetStreamStatistics(bool enabled);
    // Holds the tracker's lock until the guard goes: tests show a reader that takes none.
    std::unique_lock<std::mutex> HoldForTesting() const { return std::unique_lock<std::mutex>(mutex); }

private:
    void ProcessSip(SipMessage message);  // takes the lock
    void ProcessSipLocked(SipMessage message);
    // One SIP message's text from a datagram or a TCP stream, with the packet it came with.
    void ProcessSipText(std::string_view text, const Endpoint& source, const Endpoint& destination,
                        const PacketLogEntry& entry, bool locked);
    void ProcessTcp(const PacketLogEntry& entry);
    void ProcessMedia(const PacketLogEntry& entry, std::span<const uint8_t> payload);
    SipCall* FindMediaCall(const PacketLogEntry& entry);
    SipCall* FindAnnouncedCall(const Endpoint& endpoint) const;
    void IndexPort(SipCall& call, int32_t port);
    // Keeps the offer or answer a message's SDP announces, and the index by endpoint.
    void NoteAnnouncement(SipCall& call, const SipMessage& message);
    void UnindexMedia(SipCall& call, const Endpoint& endpoint);
    void DropOldestMessage(SipCall& call);
    void EnforceRecordBounds(const SipCall* keep);
    void EraseRecord(std::map<std::string, SipCall>::iterator it);

    mutable std::mutex mutex;
    std::map<std::string, SipCall> calls;
    // Records by announced audio port, so a media packet looks at the few records that
    // announced one of its ports instead of walking every record. Node pointers of
    // std::map stay valid until their record is erased, which also removes them here.
    std::unordered_map<int32_t, std::vector<SipCall*>> recordsByPort;
    // Records by the audio endpoints their latest offer and answer announced.
    std::unordered_map<Endpoint, std::vector<SipCall*>, EndpointHash> recordsByMedia;
    uint64_t announcements = 0;
    uint16_t sipPort = 5060;
    std::string lastTime;  // capture time text of the last SIP message
    int64_t latestMicros = 0;  // capture time of the latest packet analysed
    // Records whose caller/callee addresses the next media packet fills from their first
    // message (a registration shows the addresses of its REGISTER once media was seen).
    std::vector<std::string> addressesToFill;
    uint64_t nextSerial = 0;
    uint64_t clock = 0;  // advances with every SIP message and media packet
    uint64_t changes = 0;
    size_t keptMessages = 0;
    size_t keptTextBytes = 0;
    uint64_t recordsDropped = 0;
    uint64_t messagesDropped = 0;

    RtpStreamTable streams;
    SipTcpStreams tcp;
    bool streamStatistics = true;
};
