#pragma once
// What is wrong with a call or a registration, read off its signalling and its media: the
// faults support hears about most, each with the figures that show it. The engine finds the
// verdicts; the views and the command line word them (ui/DiagnosisTexts.h).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capture/NetAddress.h"
#include "flow/RtpStreamStats.h"
#include "flow/SipCall.h"
#include "quality/EModel.h"

enum class Diagnosis : uint8_t {
    NoAnswer,         // an INVITE without a final response, or with 408
    Rejected,         // a final response >= 400 (not a challenge, a cancel or a codec refusal)
    CodecMismatch,    // 488 / 606, or an answer without a format of the offer
    Cancelled,        // the caller cancelled (CANCEL, 487)
    NoAck,            // a 2xx to an INVITE retransmitted with no ACK seen (RFC 3261 timer H)
    NoAudio,          // answered, no RTP either way (or RTP that decoded to silence only)
    OneWayAudio,      // answered, RTP one way only (or far less the other way)
    AddressMismatch,  // RTP from elsewhere than announced, or a private address announced from a public one
    ChoppyAudio,      // loss plus late packets, a poor MOS, or gaps in a stream
    RegisterFailed,   // 403/404, a challenge after credentials, or no final response
    Ok,               // a call answered with media both ways; a REGISTER answered 2xx
};

// "no_answer", "rejected", ...: the codes for machines (the command line's diagnosis column).
const char* DiagnosisCode(Diagnosis d);

// How sure the reading is, for the colour the views give it.
enum class DiagnosisSeverity : uint8_t { Fault, Warning, Good };
DiagnosisSeverity SeverityOf(Diagnosis d);

// One verdict with its evidence. Which fields are set depends on the code (see Diagnose).
struct Verdict {
    Diagnosis code = Diagnosis::Ok;
    int32_t messageIndex = -1;  // the message of the record that shows it; -1: none
    int64_t atMicros = 0;       // its capture time
    int32_t statusCode = 0;     // the response that shows it
    std::string reason;         // its reason phrase
    std::string reasonHeader;   // its Reason and Warning headers, as written
    std::string warningHeader;
    uint32_t count = 0;         // NoAck: copies of the 2xx; RegisterFailed: challenges after credentials
    int64_t delayMicros = -1;   // NoAck: the BYE after the first 2xx; NoAnswer/NoAudio: time waited
    // Media: the stream that shows it, and what the signalling said.
    Endpoint from;
    Endpoint to;
    Endpoint announced;         // AddressMismatch: what the SDP said
    bool privateAnnounced = false;  // AddressMismatch: a private address announced from a public one
    uint64_t packets = 0;       // OneWayAudio: the direction that flows; ChoppyAudio: the stream's;
                                // NoAudio: the silent RTP's (0: none flowed)
    uint64_t packetsBack = 0;   // OneWayAudio: the other direction
    double seconds = 0;         // OneWayAudio: how long the one direction flowed
    double lossPercent = 0;     // ChoppyAudio
    double latePercent = 0;     // ChoppyAudio: later than a 50 ms buffer
    double maxJitterMs = 0;
    double maxGapMs = 0;
    std::optional<double> mos;  // ChoppyAudio: adaptive-buffer MOS
    int64_t worstIntervalMicros = 0;  // ChoppyAudio: start of the worst 5-second interval (0: none)
    double worstIntervalPercent = 0;  // its lost plus late, in percent
    std::vector<int> offerFormats;   // CodecMismatch: the m=audio formats of offer and answer
    std::vector<int> answerFormats;
};

// Thresholds of the verdicts.
struct DiagnosisLimits {
    static constexpr int64_t kMediaWaitMicros = 2'000'000;   // NoAudio / OneWayAudio: 2 s
    static constexpr double kOneWayRatio = 0.10;             // the other way below 10 %
    static constexpr uint32_t kNoAckCopies = 4;              // the 2xx and 3 retransmissions
    static constexpr double kChoppyPercent = 3.0;            // loss + late at 50 ms
    static constexpr double kChoppyMos = emodel::kMosFair;
    static constexpr double kChoppyGapMs = 200.0;
};

// The verdicts of one record, given the RTP streams attached to it and the capture time of
// the latest packet analysed (how long the capture has run after an answer). Several codes
// may hold at once; a record that is neither a call nor a registration gets none.
std::vector<Verdict> Diagnose(const SipCall& record, std::span<const RtpStreamReport> streams,
                              int64_t captureEndMicros);

// The DTMF digits a call carried, in the order seen: one per RFC 4733 event (its ladder
// entries) and one per SIP INFO with a digit (a retransmitted INFO, same CSeq, counts once).
// What a menu or a voice mailbox got when it "does not take the keys".
std::string DtmfDigits(const SipCall& record);

// The payload formats of the first "m=audio" line with a port other than 0 in a SIP
// message's SDP body; empty when there is none.
std::vector<int> ReadSdpAudioFormats(std::string_view message);
