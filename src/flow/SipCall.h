#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "flow/RtpStreamStats.h"
#include "flow/SipParser.h"

// Where a record's state machine stands. The export and the command line show the text of
// CallStateText; the table shows DisplayStatus.
enum class CallState : uint8_t {
    Init,                 // created
    Setup,                // INVITE seen
    Connected,            // 200 while in Setup
    Cancelled,            // CANCEL request
    Terminated,           // BYE request or BYE response
    TerminatedCancelled,  // 487 on an INVITE record
    Error,                // other final error on an INVITE record; the code is in errorCode
};

// One Call-ID: a call (INVITE seen), a registration or another dialog, with its messages and
// its RTP flow entries in arrival order.
struct SipCall {
    std::string callId;
    std::string time;       // capture time text of the first packet with this Call-ID
    std::string fromUser;   // of that first message
    std::string toUser;
    CallState state = CallState::Init;
    int32_t errorCode = 0;  // status code of CallState::Error
    std::vector<SipMessage> messages;
    std::string callerIp;   // source of the first INVITE (or of the first message, see media)
    std::string calleeIp;
    IpAddress callerAddr;   // the same two addresses, binary
    IpAddress calleeAddr;
    bool isInvite = false;
    std::vector<int32_t> mediaPorts;  // "m=audio" ports of INVITEs and of the connecting 200
    std::string hangupOrigin;         // "Softphone/PC" or "PABX/ROTA"; set once
    std::vector<SdpRtpMap> rtpMaps;   // a=rtpmap lines of the same SDP bodies
    // Audio endpoints announced by the latest offer (an SDP in a request other than ACK) and
    // the latest answer (an SDP in a response or an ACK), with the tracker's announcement
    // count when each was read: media anchored elsewhere than at the SIP peers (an SBC, a
    // media server, two phones behind a proxy) is found by these.
    std::optional<Endpoint> offerMedia;
    std::optional<Endpoint> answerMedia;
    uint64_t offerAnnounced = 0;
    uint64_t answerAnnounced = 0;

    // Final responses seen, kept apart from `messages` so the status of a registration
    // survives when its oldest messages are dropped by the per-record bound.
    bool sawSuccess = false;  // a 2xx response
    bool sawFailure = false;  // a response of 400 or more
    uint32_t droppedMessages = 0;  // SIP messages dropped by the per-record bound
    uint64_t serial = 0;           // creation order within its CallTracker
    uint64_t lastActivity = 0;     // CallTracker's clock at the last message or media packet
};

// The stored state text: "Init", "Setup", "Connected", "Cancelled", "Terminated",
// "Terminated (Cancelled)" or "Error (<code>)".
std::string CallStateText(CallState state, int32_t errorCode);
inline std::string CallStateText(const SipCall& call) { return CallStateText(call.state, call.errorCode); }

// A call that was hung up, cancelled or refused; a registration or other dialog that got a
// final answer. Ended records are the first to go when CallTracker reaches a bound, and
// media goes to them only when no live record announced the port.
bool IsRecordEnded(const SipCall& call);

// Status the call table shows: "Desligada", "Em andamento", "Sucesso", "Insucesso" or
// "Tentando...". The stored state is not changed.
std::string DisplayStatus(const SipCall& call);

// How a record counts in "Chamadas" and "Registers": a call is a record with isInvite; a
// register is any other record whose first message is a REGISTER.
enum class RecordKind { Call, Register, Other };
RecordKind KindOfRecord(bool isInvite, size_t messageCount, SipMsgType firstType);
