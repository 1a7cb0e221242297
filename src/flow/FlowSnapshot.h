#pragma once
// What the flow engine shows its views: an immutable picture built on the engine's own
// thread, replaced as a whole (at most ~30 times a second) when something changed. A view
// keeps the shared pointer it read for as long as it draws from it; nothing in it changes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/Packet.h"
#include "capture/StartError.h"
#include "flow/CallTracker.h"
#include "flow/FlowExport.h"
#include "flow/RtpStreamStats.h"

// What the flow engine has done since its last start or clear, for the counter line of the
// Flow tab and the summary of orvanta-cli flow.
struct FlowEngineCounters {
    uint64_t analysed = 0;        // packets handed to CallTracker
    uint64_t trimmedUnanalysed = 0;  // dropped before analysis: the worker fell behind
    uint64_t kernelReceived = 0;  // pcap_stats: packets that passed the filter
    uint64_t kernelDropped = 0;   // pcap_stats: dropped by the kernel (buffer full) or interface
    // IP reassembly in the capture (a SIP message split into fragments): datagrams put
    // together, and fragments dropped because their datagram never completed in time,
    // overlapped, passed a bound (size, fragments, pending datagrams), or were unusable.
    uint64_t datagramsReassembled = 0;
    uint64_t fragmentsIncomplete = 0;
    uint64_t fragmentsOverlap = 0;
    uint64_t fragmentsOverBounds = 0;
    uint64_t fragmentsUnusable = 0;
    bool operator==(const FlowEngineCounters&) const = default;
};

// Idle: nothing captured now; Live: a device is captured; Offline: a savefile is being read.
enum class FlowRunState { Idle, Live, Offline };

// Why a run ended. None: it still runs, it was stopped, or a savefile ended cleanly.
// CaptureEnded: the capture loop ended by itself (interface gone, read error, a failure while
// handling a frame); the capture library's own words are in FlowSnapshot::stopError.
enum class FlowStopCause { None, CaptureEnded };

enum class FlowExportKind { Calls, Packets, Quality, Call };

// What a view wants beyond the call list: the ladder of one call and a page of the raw
// packet window. The snapshot after the request carries them.
struct FlowViewRequest {
    std::string callId;      // empty: no call's details
    bool rawPage = false;    // the raw packet window is open
    std::string rawFilter;   // RawPacketMatches filter of its lines
    size_t rawLines = 0;     // at most this many lines, newest first
    // The call's streams as they were decoded for listening (`audio` set): its verdicts then
    // also know which streams carried only silence. Compared by the list, not its content.
    std::shared_ptr<const std::vector<RtpStreamReport>> heardStreams;
    bool operator==(const FlowViewRequest&) const = default;
};

// The answer to the latest start command (Start or StartOffline).
struct FlowStartOutcome {
    uint64_t command = 0;  // serial of the command; 0: none yet
    bool offline = false;
    std::string path;      // the savefile of an offline start
    StartError error = StartError::None;
    std::string detail;    // the capture library's detail of the failure
};

// The latest export asked for.
struct FlowExportStatus {
    uint64_t command = 0;  // serial of the request; 0: none yet
    FlowExportKind kind = FlowExportKind::Calls;
    bool done = false;
    size_t items = 0;          // records, packets or streams being written (0 until copied)
    FlowExportResult result;   // once done
};

struct FlowSnapshot {
    uint64_t version = 0;   // grows with every snapshot published
    uint64_t handled = 0;   // every command up to this serial is done

    FlowRunState state = FlowRunState::Idle;
    uint64_t run = 0;       // serial of the start command of the latest run that began
    FlowStartOutcome start;
    FlowStopCause stopCause = FlowStopCause::None;  // of the latest run, once it ended
    std::string stopError;  // the capture library's text for CaptureEnded

    // The call table: rows in capture order, as the tracker had them at rowsVersion.
    std::shared_ptr<const std::vector<SipCallRow>> rows;
    uint64_t rowsVersion = 0;
    FlowCounters calls;
    FlowEngineCounters engine;
    CallTrackerStats kept;
    size_t bufferedPackets = 0;
    // RTP streams that belong to no call (refreshed at most twice a second while RTP flows).
    std::shared_ptr<const std::vector<RtpStreamReport>> unsignalled;

    // Answers to `view`: the call named there (nullopt when there is none or it is gone) with
    // its streams and verdicts (with the heard streams' audio when the view gave them), and
    // the raw window's page (newest first).
    FlowViewRequest view;
    std::shared_ptr<const SipCall> call;
    std::shared_ptr<const std::vector<RtpStreamReport>> callStreams;
    std::shared_ptr<const std::vector<Verdict>> callVerdicts;
    std::shared_ptr<const std::vector<PacketLogEntry>> rawPage;

    FlowExportStatus exportStatus;
};

using FlowSnapshotPtr = std::shared_ptr<const FlowSnapshot>;
