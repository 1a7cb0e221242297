#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "capture/Packet.h"
#include "flow/RtpStreamStats.h"
#include "flow/SipParser.h"

// One Call-ID: a call (INVITE seen), a registration or another dialog, with its messages and
// its RTP flow entries in arrival order.
struct SipCall {
    std::string callId;
    std::string time;       // capture time text of the first packet with this Call-ID
    std::string fromUser;   // of that first message
    std::string toUser;
    std::string state = "Init";  // "Init", "Setup", "Connected", "Cancelled", "Terminated",
                                 // "Terminated (Cancelled)" or "Error (<code>)"
    std::vector<SipMessage> messages;
    std::string callerIp;   // source of the first INVITE (or of the first message, see media walk)
    std::string calleeIp;
    bool isInvite = false;
    std::vector<int32_t> mediaPorts;  // "m=audio" ports of INVITEs and of the connecting 200
    std::string hangupOrigin;         // "Softphone/PC" or "PABX/ROTA"; set once
    std::vector<SdpRtpMap> rtpMaps;   // a=rtpmap lines of the same SDP bodies
};

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
};

// Groups SIP messages into records by Call-ID, runs each record's state machine and counts
// RTP packets into per-direction flow entries of the call whose SDP announced the port.
// All members are safe to call from any thread; the Flow tab calls them on the GUI thread.
class CallTracker {
public:
    // source/destination: the entry's texts with ports. Empty payloads are ignored.
    void ProcessPacket(const std::string& source, const std::string& destination,
                       const std::vector<uint8_t>& payload, const PacketLogEntry& entry);
    // Shorthand for ProcessPacket(entry.source, entry.destination, entry.payload, entry).
    void ProcessPacket(const PacketLogEntry& entry) {
        ProcessPacket(entry.source, entry.destination, entry.payload, entry);
    }
    // Copies of every record, sorted by `time` (byte order; chronological within one day).
    std::vector<SipCall> GetCalls() const;
    // Rows of the call table, in GetCalls order (defined in FlowCallRows.cpp).
    std::vector<SipCallRow> GetCallRows() const;
    // Copy of one record; nullopt when no record has this Call-ID (FlowCallRows.cpp).
    std::optional<SipCall> GetCall(const std::string& callId) const;
    void Clear();

    // Reports of the RTP streams of one call (every stream when callId is null), in the order
    // the streams appeared.
    std::vector<RtpStreamReport> GetStreamReports(const std::string* callId = nullptr) const;
    // Per-stream statistics are kept unless switched off (the benchmark compares both).
    void SetStreamStatistics(bool enabled);

private:
    void ProcessSip(SipMessage message);
    void ProcessMedia(const std::string& source, const std::string& destination,
                      const std::vector<uint8_t>& payload, const PacketLogEntry& entry);
    SipCall* FindMediaCall(const std::string& source, const std::string& destination,
                           const std::string& srcIp, const std::string& dstIp);

    mutable std::mutex mutex;
    std::map<std::string, SipCall> calls;

    // The media walk's answer depends only on the addresses/ports of the packet and on the
    // records' callerIp, calleeIp, isInvite and mediaPorts. Remember the last answers until
    // one of those changes, so RTP costs one lookup instead of a walk over every record.
    uint64_t walkGeneration = 0;
    uint64_t cacheGeneration = ~uint64_t(0);
    std::unordered_map<std::string, std::string> walkCache;  // source \x01 destination -> Call-ID or ""

    RtpStreamTable streams;
    bool streamStatistics = true;
};

// Codec name and payload type of one media payload (RFC 3551 static types by the second
// RTP header byte; keep-alive and control sizes below a full RTP header).
struct CodecGuess {
    std::string name;
    std::optional<int> payloadType;
};
CodecGuess NameCodec(const std::vector<uint8_t>& payload);

// Priority of a codec name for a flow entry: a voice codec is never replaced by DTMF,
// comfort noise or keep-alives. 100 voice, 50 "DTMF"/"CN", 1 "Keep-alive", 10 others.
int CodecRank(std::string_view codecName);

// Hang-up origin of a BYE (rule A) and of a CANCEL or error response (rule B), from the
// sender's address without port: "Softphone/PC" or "PABX/ROTA".
std::string HangupOriginForBye(std::string_view address);
std::string HangupOriginForCancelOrError(std::string_view address);

// Status the call table shows: "Desligada", "Em andamento", "Sucesso", "Insucesso" or
// "Tentando...". The stored `state` is not changed.
std::string DisplayStatus(const SipCall& call);

// "Chamadas": records with isInvite. "Registers": other records whose first message is a
// REGISTER.
struct FlowCounters {
    size_t calls = 0;
    size_t registers = 0;
};
FlowCounters CountCalls(const std::vector<SipCall>& calls);

// Audio port of the first "m=audio" line of an SDP body, if one can be read.
std::optional<int32_t> ReadSdpAudioPort(std::string_view text);
