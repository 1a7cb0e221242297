#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/Packet.h"
#include "capture/Sniffer.h"
#include "capture/StartError.h"
#include "flow/CallExport.h"
#include "flow/CallTracker.h"
#include "flow/FlowSnapshot.h"
#include "flow/PacketRing.h"

// The flow monitor's engine: one Sniffer of its own, filtered to SIP and the RTP port range,
// a worker thread that feeds every captured packet to its CallTracker as it arrives, and a
// bounded buffer of the analysed packets for the pcap export and the raw packet window.
//
// Views talk to it by commands and snapshots only: a Request* call queues the command and
// returns at once; the engine's control thread carries the commands out in order (exports on
// an export thread of their own) and publishes an immutable FlowSnapshot, at most ~30 times
// a second and only when something changed. Snapshot() never waits on the engine's work.
// The blocking calls (Start, StartOffline, Stop, Clear, WaitAnalysed, Tracker) are for the
// command line and tests, never for a view.
//
// Packet positions: every buffered packet gets an absolute position (0, 1, 2, ... since
// construction, never reused). The buffer holds positions [FirstPosition(), EndPosition()),
// so a reader paging through it is not confused by a trim.
class FlowCore {
public:
    // Buffer bound: when an append makes the buffer exceed kMaxPackets, the oldest
    // kTrimBlock go at once.
    static constexpr size_t kMaxPackets = 50000;
    static constexpr size_t kTrimBlock = 1000;
    // Captured packets waiting for the worker. A live capture that outruns the analysis for
    // longer than this drops the newest and counts them; a savefile waits instead.
    static constexpr size_t kMaxWaitingPackets = 50000;
    static constexpr size_t kMaxWaitingOffline = 4096;
    // A savefile's packets go to the worker this many at a time: one lock and at most one
    // wake-up per block instead of per packet. A live capture hands each packet on at once.
    static constexpr size_t kOfflineHandOver = 256;
    // A live worker woken for fewer packets than this lets more gather first. It takes all
    // waiting packets per turn: a Clear waits at most for one turn.
    static constexpr size_t kWorkerBatch = 1024;
    // Kernel buffer of the live capture: a replay at the fastest rate a test machine reaches
    // fills the default 2 MiB before the capture thread is scheduled again.
    static constexpr int kCaptureBufferBytes = 64 << 20;
    // A savefile names no SIP port: the standard one (RFC 3261 section 19.1.2) is assumed.
    static constexpr uint16_t kDefaultSipPort = 5060;

    // Snapshots are built at most this often.
    static constexpr auto kSnapshotInterval = std::chrono::milliseconds(33);
    // The streams without a call are reported again at most this often while RTP flows: their
    // reports are built from statistics that move with every packet.
    static constexpr auto kUnsignalledRefresh = std::chrono::milliseconds(500);

    FlowCore();
    ~FlowCore();
    FlowCore(const FlowCore&) = delete;
    FlowCore& operator=(const FlowCore&) = delete;

    // Live capture on `deviceName` ("" = first device) with the filter
    // "port <sip>[ or udp portrange <min>-<max>]". Clears the call records, the buffer and
    // the counters first, so no packet of the new capture is lost to a clear after it.
    // False when already running or when the capture could not be opened; LastStartError()
    // says why.
    bool Start(const std::string& deviceName, int sipPort, int rtpMin, int rtpMax);
    // Reads a pcap savefile through the same capture and analysis path, at engine speed;
    // clears like Start. The engine stops by itself at the end of the file (IsRunning()
    // turns false, no stop cause); a file longer than the buffer is analysed whole.
    bool StartOffline(const std::string& path);
    // Ends the capture. Packets already captured are still analysed (WaitAnalysed).
    void Stop();
    // Whether analysed packets are kept in the buffer (the raw packet window, PCAP and call
    // exports). On by default; a reader that needs only the records turns it off before Start
    // and each packet's memory goes back once it is analysed.
    void KeepPackets(bool keep) { keepPackets.store(keep); }
    // Empties the call records, the buffer and the counters; capture goes on.
    void Clear();

    // ---- commands: each returns its serial at once; FlowSnapshot::handled reaches it when done ----
    uint64_t RequestStart(const std::string& deviceName, int sipPort, int rtpMin, int rtpMax);
    uint64_t RequestStartOffline(const std::string& path);
    uint64_t RequestStop();
    uint64_t RequestClear();
    // Copies what the export writes when its turn comes (after every earlier command) and
    // writes the file under FlowLogDirectory(); FlowSnapshot::exportStatus follows it.
    uint64_t RequestExport(FlowExportKind kind);
    // One call's packets, ladder, streams and verdicts (CallExportData), handed on the export
    // thread to the writer set below, which words and writes them (the views' side knows the
    // texts). Without a writer nothing is written.
    uint64_t RequestCallExport(std::string callId);
    using CallExportWriter = std::function<FlowExportResult(const CallExportData&)>;
    void SetCallExportWriter(CallExportWriter writer);
    // Does nothing: the snapshot that has handled it shows the state after every earlier command.
    uint64_t RequestSnapshot();
    // What call details and raw packet page the snapshots carry from now on.
    void SetView(const FlowViewRequest& request);

    // The latest snapshot (never null, never waits).
    FlowSnapshotPtr Snapshot() const;
    // Blocks until a published snapshot satisfies `until` (checked on every publication);
    // null when `timeout` passes first. For the command line and tests.
    FlowSnapshotPtr WaitSnapshot(const std::function<bool(const FlowSnapshot&)>& until,
                                 std::chrono::milliseconds timeout) const;
    FlowSnapshotPtr WaitHandled(uint64_t command, std::chrono::milliseconds timeout) const;
    // Every command sent so far done (exports written), every packet captured so far
    // analysed, and a snapshot showing it published (null on time-out). For the command line
    // and tests.
    FlowSnapshotPtr Settle(std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // ---- blocking calls (command line, tests) ----
    bool IsRunning() const { return running.load(); }
    // Waits up to `timeout` for the run to end (a savefile read to its end, a capture that
    // stopped by itself, Stop); true when it is not running.
    bool WaitStopped(std::chrono::milliseconds timeout) const;
    bool IsOffline() const { return offline.load(); }
    // Blocks until every packet captured so far has been analysed (for the command line and
    // tests; the GUI never waits).
    void WaitAnalysed() const;

    // Why the last Start/StartOffline failed (None after a success), and libpcap's detail.
    StartError LastStartError() const { return lastStartError; }
    const std::string& LastStartErrorDetail() const { return lastStartErrorDetail; }
    // Why the last capture ended (CaptureEnded: read error, interface gone, failure in the
    // loop); None while it runs, after Stop and after the clean end of a savefile. StopError()
    // is the capture library's own text for it (CaptureEndText makes the sentence).
    FlowStopCause StopCause() const;
    std::string StopError() const;
    // The part of the filter that lets IPv4 fragments (MF set or an offset) and IPv6 datagrams
    // with a Fragment header (next header 44 right after the fixed header) through.
    static constexpr const char* kFragmentFilter = "(ip[6:2] & 0x3fff != 0) or (ip6 and ip6[6] = 44)";
    // The BPF filter text Start builds for these settings: the SIP port, the RTP range and
    // IP fragments.
    static std::string BuildFilter(int sipPort, int rtpMin, int rtpMax);

    // Read-only: the analysis goes on while it is read.
    const CallTracker& Tracker() const { return tracker; }
    void SetStreamStatistics(bool enabled) { tracker.SetStreamStatistics(enabled); }
    FlowEngineCounters Counters() const;

    // Full copy of the buffer (for exports).
    std::vector<PacketLogEntry> GetPackets() const;
    // Absolute positions (see the class comment).
    uint64_t FirstPosition() const;
    uint64_t EndPosition() const;  // packets ever buffered
    // Copies at most maxCount packets starting at `position` (or at FirstPosition() when
    // `position` was already trimmed or cleared); *first receives the position of the first
    // copied packet.
    std::vector<PacketLogEntry> GetPacketsFrom(uint64_t position, size_t maxCount, uint64_t* first) const;

    // Capture-thread callback: queues the packet for the worker. Public so tests can feed
    // hand-made packets through the same path.
    void OnPacket(PacketLogEntry&& entry);
    void OnPacket(const PacketLogEntry& entry) { OnPacket(PacketLogEntry(entry)); }  // a copy is queued

    // Holds every lock of the engine (the analysis, the queue, the tracker and the buffer)
    // until destroyed: a test that draws frames meanwhile shows that its view takes none.
    class FrozenForTesting {
    public:
        explicit FrozenForTesting(FlowCore& core);
        ~FrozenForTesting();
        FrozenForTesting(const FrozenForTesting&) = delete;
        FrozenForTesting& operator=(const FrozenForTesting&) = delete;

    private:
        std::unique_lock<std::mutex> sniffer, analysis, queue, packets;
        std::unique_lock<std::mutex> tracker;
    };

private:
    struct Command {
        enum class Kind { Start, StartOffline, Stop, Clear, Export, Snapshot } kind = Kind::Snapshot;
        uint64_t serial = 0;
        std::string device;  // Start; the path for StartOffline
        int sipPort = 0, rtpMin = 0, rtpMax = 0;
        FlowExportKind exportKind = FlowExportKind::Calls;
        std::string callId;  // Export of one call
    };
    uint64_t Post(Command command);
    void ControlLoop();
    void Execute(const Command& command);
    void ExportLoop();
    void RunExport(uint64_t serial, FlowExportKind kind, const std::string& callId);
    // Builds and publishes a snapshot when something changed since the last one (or `force`).
    void MaybePublish(bool force);

    bool StartCommon(bool isOffline);
    void WorkerLoop();
    void NoteCaptureEnd();
    void HandOverOffline();  // capture thread: the savefile's gathered packets to the queue
    void MarkCaptureEnded();  // capture thread, after its last packet

    Sniffer sniffer;
    std::mutex snifferMutex;  // start/stop of the sniffer: the GUI thread and the worker
    std::atomic<bool> running{false};
    void MarkStopped();  // running = false, and WaitStopped's waiters are woken
    mutable std::mutex stoppedMutex;
    mutable std::condition_variable stoppedChanged;
    std::atomic<bool> offline{false};
    // On cache lines of its own: the worker locks the tracker twice per packet, and the
    // capture thread writes its counters and reads `offline` for every packet. Sharing a line
    // would move it between the two cores each time.
    alignas(64) CallTracker tracker;

    // Capture thread -> worker.
    mutable std::mutex queueMutex;
    std::condition_variable queueChanged;      // packets arrived, or quit
    mutable std::condition_variable queueDrained;  // the worker took packets or went idle
    // Vectors handed over whole by swapping: no packet is moved on the way to the worker.
    std::vector<PacketLogEntry> waiting;
    alignas(64) std::vector<PacketLogEntry> gathered;  // capture thread only: a savefile's next block
    bool workerBusy = false;   // a batch is being analysed (guarded by queueMutex)
    bool releaseReader = false;  // Stop: a savefile reader must not wait for space any more
    bool quit = false;
    // The capture loop ended (end of a savefile, Stop, an error): the worker tells the
    // tracker once it has analysed everything before, so SIP waiting behind a TCP hole that
    // can no longer fill is read. Guarded by queueMutex.
    bool captureEnded = false;
    uint64_t trimmedUnanalysed = 0;  // guarded by queueMutex
    uint64_t kernelReceivedBase = 0;  // the Sniffer's counts at the last clear (queueMutex)
    uint64_t kernelDroppedBase = 0;
    ReassemblyCounts reassemblyBase;  // the Sniffer's reassembly counts at the last clear (queueMutex)

    // Held by the worker while it analyses one batch, and by Clear: a clear never lands in
    // the middle of a batch.
    std::mutex analysisMutex;
    std::atomic<uint64_t> analysed{0};

    mutable std::mutex packetsMutex;
    PacketRing packets{kMaxPackets};
    uint64_t firstPosition = 0;  // absolute position of packets[0]

    mutable std::mutex causeMutex;
    FlowStopCause stopCause = FlowStopCause::None;
    std::string stopError;

    StartError lastStartError = StartError::None;
    std::string lastStartErrorDetail;

    // Views -> control thread.
    mutable std::mutex commandMutex;
    std::condition_variable commandsChanged;  // a command, or quit
    std::deque<Command> commands;
    uint64_t nextSerial = 1;
    std::atomic<uint64_t> lastExportRequested{0};
    FlowViewRequest view;
    uint64_t viewSerial = 0;  // grows with every SetView that changes the request
    bool quitControl = false;

    // Control thread -> export thread (guarded by exportMutex).
    std::mutex exportMutex;
    std::condition_variable exportQueued;
    struct QueuedExport {
        uint64_t serial;
        FlowExportKind kind;
        std::string callId;
    };
    std::deque<QueuedExport> exports;
    CallExportWriter callExportWriter;  // under exportMutex
    FlowExportStatus exportStatus;
    bool quitExport = false;

    // Control thread only: what the last snapshot was built from.
    struct Stamp {
        uint64_t trackerChanges = 0, first = 0, end = 0, handled = 0, viewSerial = 0, exportCommand = 0;
        size_t exportItems = 0;
        bool exportDone = false;
        FlowRunState state = FlowRunState::Idle;
        FlowStopCause cause = FlowStopCause::None;
        FlowEngineCounters engine;
        bool operator==(const Stamp&) const = default;
    };
    std::optional<Stamp> published;
    uint64_t handledSerial = 0;
    uint64_t runSerial = 0;
    FlowStartOutcome startOutcome;
    std::optional<uint64_t> unsignalledVersion;
    std::chrono::steady_clock::time_point unsignalledAt{};
    std::chrono::steady_clock::time_point publishedAt{};
    FlowSnapshotPtr last;  // the control thread's copy of the latest, to reuse its parts

    std::atomic<FlowSnapshotPtr> latest;
    // Whether anyone has read `latest` since it was published: nobody looking (the command line
    // reading a file) means the data moving builds no new snapshot; a command still does.
    mutable std::atomic<bool> latestRead{true};
    std::atomic<bool> keepPackets{true};
    mutable std::mutex publishMutex;  // only for WaitSnapshot's sleep
    mutable std::condition_variable publishedCv;

    std::thread worker;  // last: started when everything above exists
    std::thread control;
    std::thread exporter;
};
