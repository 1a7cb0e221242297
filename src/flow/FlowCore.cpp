#include "flow/FlowCore.h"

#include <algorithm>
#include <chrono>

#include "capture/Decode.h"
#include "flow/RawPacketFilter.h"
#include "logs/Trace.h"
#include "platform/ThreadName.h"

namespace {

// How often an idle worker looks whether the capture loop ended by itself; bounds how long
// a dead capture can look alive. A savefile's end is looked for more often: an import is
// over as soon as its last packet is analysed.
constexpr auto kIdleCheck = std::chrono::milliseconds(100);
constexpr auto kIdleCheckOffline = std::chrono::milliseconds(5);
// Once the capture loop has said it ends, it is gone within microseconds: the worker looks
// again this often (a few times) instead of waiting a whole idle check.
constexpr auto kEndCheck = std::chrono::microseconds(200);
constexpr int kEndChecks = 25;
// How long a woken worker lets packets gather before it takes them.
constexpr auto kGather = std::chrono::microseconds(500);

// The live reports of a call's streams, each with the audio its heard copy decoded to (by
// source, destination and SSRC): the figures stay current, the audio is what was decoded.
std::vector<RtpStreamReport> WithHeardAudio(const std::vector<RtpStreamReport>& live,
                                            const std::vector<RtpStreamReport>& heard) {
    std::vector<RtpStreamReport> out = live;
    for (RtpStreamReport& r : out)
        for (const RtpStreamReport& h : heard)
            if (h.ssrc == r.ssrc && h.src == r.src && h.dst == r.dst) r.audio = h.audio;
    return out;
}

}  // namespace

FlowCore::FlowCore() {
    auto first = std::make_shared<FlowSnapshot>();
    first->rows = std::make_shared<const std::vector<SipCallRow>>();
    first->unsignalled = std::make_shared<const std::vector<RtpStreamReport>>();
    first->callStreams = std::make_shared<const std::vector<RtpStreamReport>>();
    first->rawPage = std::make_shared<const std::vector<PacketLogEntry>>();
    last = first;
    latest.store(last);
    worker = std::thread(&FlowCore::WorkerLoop, this);
    control = std::thread(&FlowCore::ControlLoop, this);
    exporter = std::thread(&FlowCore::ExportLoop, this);
}

FlowCore::~FlowCore() {
    // Commands still queued are dropped; an export being written is finished first.
    {
        std::lock_guard<std::mutex> lock(commandMutex);
        quitControl = true;
    }
    commandsChanged.notify_all();
    control.join();
    {
        std::lock_guard<std::mutex> lock(exportMutex);
        quitExport = true;
        exports.clear();
    }
    exportQueued.notify_all();
    exporter.join();
    Stop();
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        quit = true;
    }
    queueChanged.notify_all();
    queueDrained.notify_all();
    worker.join();
}

std::string FlowCore::BuildFilter(int sipPort, int rtpMin, int rtpMax) {
    // "port" without a transport lets SIP over UDP and TCP through, both directions.
    std::string filter = "port " + std::to_string(sipPort);
    if (rtpMin >= 1 && rtpMax >= rtpMin) {
        filter += " or udp portrange " + std::to_string(rtpMin) + "-" + std::to_string(rtpMax);
    }
    // Fragments carry no ports after the first (and over IPv6 not even there, behind the
    // Fragment header), so a port filter passes only part of a fragmented SIP message: every
    // fragment is let through for the reassembly to put the datagram together.
    filter += std::string(" or ") + kFragmentFilter;
    return filter;
}

bool FlowCore::StartCommon(bool isOffline) {
    offline.store(isOffline);
    lastStartError = StartError::None;
    lastStartErrorDetail.clear();
    {
        std::lock_guard<std::mutex> lock(causeMutex);
        stopCause = FlowStopCause::None;
        stopError.clear();
    }
    // SniffResults are MTR probe replies; the flow monitor has no use for them.
    gathered.clear();
    // SIP over UDP is often larger than the path MTU: its SDP then arrives in IP fragments.
    sniffer.SetReassembly(true);
    // The tab shows a few packets of the buffer at a time: their texts are made there.
    sniffer.SetPacketTexts(false);
    sniffer.Start([](SniffResult) {}, [this](PacketLogEntry&& entry) { OnPacket(std::move(entry)); },
                  [this] {
                      HandOverOffline();
                      MarkCaptureEnded();
                  });
    running.store(true);
    return true;
}

bool FlowCore::Start(const std::string& deviceName, int sipPort, int rtpMin, int rtpMax) {
    std::lock_guard<std::mutex> lock(snifferMutex);
    if (running.load()) {
        lastStartError = StartError::AlreadyRunning;
        lastStartErrorDetail.clear();
        return false;
    }
    const std::string filter = BuildFilter(sipPort, rtpMin, rtpMax);
    Trace("FlowCore Starting with filter: " + filter);
    sniffer.SetBufferSize(kCaptureBufferBytes);
    if (!sniffer.Init(filter, deviceName, std::string())) {
        Trace("FlowCore: Failed to initialize sniffer.");
        lastStartError = sniffer.LastError() == StartError::None ? StartError::CaptureOpenFailed : sniffer.LastError();
        lastStartErrorDetail = sniffer.LastErrorDetail();
        sniffer.Stop();  // a half-open handle must not outlive the failed start
        return false;
    }
    Clear();
    tracker.SetSipPort(static_cast<uint16_t>(sipPort));
    return StartCommon(false);
}

bool FlowCore::StartOffline(const std::string& path) {
    std::lock_guard<std::mutex> lock(snifferMutex);
    if (running.load()) {
        lastStartError = StartError::AlreadyRunning;
        lastStartErrorDetail.clear();
        return false;
    }
    Trace("FlowCore reading capture file: " + path);
    if (!sniffer.InitOffline(path, std::string())) {
        Trace("FlowCore: Failed to open capture file.");
        lastStartError = sniffer.LastError() == StartError::None ? StartError::FileUnreadable : sniffer.LastError();
        lastStartErrorDetail = sniffer.LastErrorDetail();
        sniffer.Stop();
        return false;
    }
    // A file of a link type the decoder does not know would read as zero calls, which looks
    // like a capture without SIP rather than a file this program cannot read.
    if (!IsSupportedLinkType(sniffer.LinkType())) {
        lastStartError = StartError::FileUnreadable;
        lastStartErrorDetail = "tipo de enlace " + std::to_string(sniffer.LinkType()) + " nao suportado";
        Trace("FlowCore: " + lastStartErrorDetail);
        sniffer.Stop();
        return false;
    }
    Clear();
    tracker.SetSipPort(kDefaultSipPort);
    return StartCommon(true);
}

void FlowCore::Stop() {
    std::lock_guard<std::mutex> lock(snifferMutex);
    if (!running.load()) return;
    {
        // A savefile reader waiting for room in the queue would never see the stop.
        std::lock_guard<std::mutex> q(queueMutex);
        releaseReader = true;
    }
    queueDrained.notify_all();
    sniffer.Stop();
    {
        std::lock_guard<std::mutex> q(queueMutex);
        releaseReader = false;
    }
    MarkStopped();
    offline.store(false);
}

void FlowCore::NoteCaptureEnd() {
    if (!running.load() || sniffer.LoopActive()) return;
    std::lock_guard<std::mutex> lock(snifferMutex);
    if (!running.load() || sniffer.LoopActive()) return;  // Stop or a new start came first
    {
        // The loop's last packets may have arrived after the worker found the queue empty:
        // they are analysed first, so a finished run has analysed everything it read.
        std::lock_guard<std::mutex> q(queueMutex);
        if (!waiting.empty()) return;
    }
    const std::string error = sniffer.LoopError();
    const bool cleanEnd = offline.load() && error.empty();  // the end of a savefile
    sniffer.Stop();  // the loop has ended: this only joins and closes
    if (!cleanEnd) {
        Trace("FlowCore: the capture ended by itself: " + (error.empty() ? std::string("no reason given") : error));
        std::lock_guard<std::mutex> c(causeMutex);
        stopCause = FlowStopCause::CaptureEnded;
        stopError = error;
    }
    MarkStopped();
    offline.store(false);
}

void FlowCore::MarkStopped() {
    {
        std::lock_guard<std::mutex> lock(stoppedMutex);
        running.store(false);
    }
    stoppedChanged.notify_all();
}

bool FlowCore::WaitStopped(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(stoppedMutex);
    return stoppedChanged.wait_for(lock, timeout, [this] { return !running.load(); });
}

FlowStopCause FlowCore::StopCause() const {
    std::lock_guard<std::mutex> lock(causeMutex);
    return stopCause;
}

std::string FlowCore::StopError() const {
    std::lock_guard<std::mutex> lock(causeMutex);
    return stopError;
}

void FlowCore::HandOverOffline() {
    if (gathered.empty()) return;
    std::unique_lock<std::mutex> lock(queueMutex);
    // A file is read faster than it is analysed: wait rather than drop.
    queueDrained.wait(lock, [this] { return releaseReader || quit || waiting.size() < kMaxWaitingOffline; });
    const bool wake = waiting.empty();
    if (waiting.empty()) {
        waiting.swap(gathered);
    } else {
        for (PacketLogEntry& entry : gathered) waiting.push_back(std::move(entry));
    }
    gathered.clear();
    lock.unlock();
    gathered.reserve(kOfflineHandOver);
    if (wake) queueChanged.notify_one();
}

void FlowCore::MarkCaptureEnded() {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        captureEnded = true;
    }
    queueChanged.notify_one();
}

void FlowCore::OnPacket(PacketLogEntry&& entry) {
    if (offline.load()) {
        if (gathered.capacity() < kOfflineHandOver) gathered.reserve(kOfflineHandOver);
        gathered.push_back(std::move(entry));
        if (gathered.size() >= kOfflineHandOver) HandOverOffline();
        return;
    }
    std::unique_lock<std::mutex> lock(queueMutex);
    if (waiting.size() >= kMaxWaitingPackets) {
        ++trimmedUnanalysed;
        return;
    }
    waiting.push_back(std::move(entry));
    const bool wake = waiting.size() == 1;  // the worker sleeps only on an empty queue
    lock.unlock();
    if (wake) queueChanged.notify_one();
}

void FlowCore::WorkerLoop() {
    platform::NameThisThread("oc-flow-worker");
    std::vector<PacketLogEntry> batch;
    int endChecks = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(queueMutex);
            workerBusy = false;
            if (waiting.empty()) queueDrained.notify_all();
            const std::chrono::microseconds idle = endChecks > 0 ? std::chrono::microseconds(kEndCheck)
                                                   : offline.load() ? kIdleCheckOffline
                                                                    : kIdleCheck;
            if (endChecks > 0) --endChecks;
            queueChanged.wait_for(lock, idle, [this] { return quit || !waiting.empty() || captureEnded; });
            if (waiting.empty() && captureEnded) {
                captureEnded = false;
                workerBusy = true;
                lock.unlock();
                std::lock_guard<std::mutex> analysis(analysisMutex);
                tracker.EndOfCapture();
                endChecks = kEndChecks;
                continue;
            }
            if (waiting.empty()) {
                if (quit) return;
                lock.unlock();
                NoteCaptureEnd();
                if (!running.load()) endChecks = 0;
                continue;
            }
            if (waiting.size() < kWorkerBatch && !quit && !offline.load()) {
                // Let a few packets gather: a wake-up per packet costs more than the
                // analysis of the packet, and a millisecond is nothing to the reader.
                lock.unlock();
                std::this_thread::sleep_for(kGather);
                lock.lock();
            }
            batch.swap(waiting);  // waiting takes the batch's emptied buffer
            workerBusy = true;
        }
        queueDrained.notify_all();  // room for a waiting savefile reader
        {
            std::lock_guard<std::mutex> analysis(analysisMutex);
            for (const PacketLogEntry& entry : batch) tracker.ProcessPacket(entry);
            analysed.fetch_add(batch.size());
            std::lock_guard<std::mutex> lock(packetsMutex);
            if (!keepPackets.load()) batch.clear();
            for (PacketLogEntry& entry : batch) {
                if (!packets.Push(std::move(entry))) {
                    packets.DropOldest(kTrimBlock);
                    firstPosition += kTrimBlock;
                    packets.Push(std::move(entry));
                }
            }
        }
        batch.clear();
        // After a burst of a live capture, do not keep room for it.
        if (batch.capacity() > 2 * kMaxWaitingOffline) std::vector<PacketLogEntry>().swap(batch);
    }
}

void FlowCore::WaitAnalysed() const {
    std::unique_lock<std::mutex> lock(queueMutex);
    queueDrained.wait(lock, [this] { return quit || (waiting.empty() && !workerBusy && !captureEnded); });
}

void FlowCore::Clear() {
    std::lock_guard<std::mutex> analysis(analysisMutex);
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        waiting.clear();
        captureEnded = false;
        trimmedUnanalysed = 0;
        const Sniffer::KernelStats k = sniffer.Stats();
        kernelReceivedBase = k.received;
        kernelDroppedBase = k.dropped + k.ifDropped;
        reassemblyBase = sniffer.Reassembly();
    }
    queueDrained.notify_all();
    {
        std::lock_guard<std::mutex> lock(packetsMutex);
        firstPosition += packets.Size();
        packets.Clear();
    }
    tracker.Clear();
    analysed.store(0);
}

FlowEngineCounters FlowCore::Counters() const {
    FlowEngineCounters c;
    c.analysed = analysed.load();
    const Sniffer::KernelStats k = sniffer.Stats();
    std::lock_guard<std::mutex> lock(queueMutex);
    c.trimmedUnanalysed = trimmedUnanalysed;
    c.kernelReceived = k.received >= kernelReceivedBase ? k.received - kernelReceivedBase : k.received;
    const uint64_t dropped = k.dropped + k.ifDropped;
    c.kernelDropped = dropped >= kernelDroppedBase ? dropped - kernelDroppedBase : dropped;
    const ReassemblyCounts r = sniffer.Reassembly();
    auto since = [](uint64_t now, uint64_t base) { return now >= base ? now - base : now; };
    c.datagramsReassembled = since(r.reassembled, reassemblyBase.reassembled);
    c.fragmentsIncomplete = since(r.fragmentsIncomplete, reassemblyBase.fragmentsIncomplete);
    c.fragmentsOverlap = since(r.fragmentsOverlap, reassemblyBase.fragmentsOverlap);
    c.fragmentsOverBounds = since(r.fragmentsOverBounds, reassemblyBase.fragmentsOverBounds);
    c.fragmentsUnusable = since(r.fragmentsUnusable, reassemblyBase.fragmentsUnusable);
    return c;
}

std::vector<PacketLogEntry> FlowCore::GetPackets() const {
    std::lock_guard<std::mutex> lock(packetsMutex);
    return packets.Copy(0, packets.Size());
}

uint64_t FlowCore::FirstPosition() const {
    std::lock_guard<std::mutex> lock(packetsMutex);
    return firstPosition;
}

uint64_t FlowCore::EndPosition() const {
    std::lock_guard<std::mutex> lock(packetsMutex);
    return firstPosition + packets.Size();
}

std::vector<PacketLogEntry> FlowCore::GetPacketsFrom(uint64_t position, size_t maxCount, uint64_t* first) const {
    std::lock_guard<std::mutex> lock(packetsMutex);
    const uint64_t start = std::max(position, firstPosition);
    if (first) *first = start;
    const uint64_t end = firstPosition + packets.Size();
    if (start >= end) return {};
    return packets.Copy(static_cast<size_t>(start - firstPosition),
                        static_cast<size_t>(std::min<uint64_t>(maxCount, end - start)));
}

// ---- commands and snapshots ----

uint64_t FlowCore::Post(Command command) {
    uint64_t serial = 0;
    {
        std::lock_guard<std::mutex> lock(commandMutex);
        serial = command.serial = nextSerial++;
        commands.push_back(std::move(command));
    }
    commandsChanged.notify_one();
    return serial;
}

uint64_t FlowCore::RequestStart(const std::string& deviceName, int sipPort, int rtpMin, int rtpMax) {
    Command c;
    c.kind = Command::Kind::Start;
    c.device = deviceName;
    c.sipPort = sipPort;
    c.rtpMin = rtpMin;
    c.rtpMax = rtpMax;
    return Post(std::move(c));
}

uint64_t FlowCore::RequestStartOffline(const std::string& path) {
    Command c;
    c.kind = Command::Kind::StartOffline;
    c.device = path;
    return Post(std::move(c));
}

uint64_t FlowCore::RequestStop() {
    Command c;
    c.kind = Command::Kind::Stop;
    return Post(std::move(c));
}

uint64_t FlowCore::RequestClear() {
    Command c;
    c.kind = Command::Kind::Clear;
    return Post(std::move(c));
}

uint64_t FlowCore::RequestExport(FlowExportKind kind) {
    Command c;
    c.kind = Command::Kind::Export;
    c.exportKind = kind;
    const uint64_t serial = Post(std::move(c));
    // Raised only: exports are written in the order asked for.
    for (uint64_t seen = lastExportRequested.load(); seen < serial && !lastExportRequested.compare_exchange_weak(seen, serial);) {
    }
    return serial;
}

uint64_t FlowCore::RequestCallExport(std::string callId) {
    Command c;
    c.kind = Command::Kind::Export;
    c.exportKind = FlowExportKind::Call;
    c.callId = std::move(callId);
    const uint64_t serial = Post(std::move(c));
    for (uint64_t seen = lastExportRequested.load(); seen < serial && !lastExportRequested.compare_exchange_weak(seen, serial);) {
    }
    return serial;
}

void FlowCore::SetCallExportWriter(CallExportWriter writer) {
    std::lock_guard<std::mutex> lock(exportMutex);
    callExportWriter = std::move(writer);
}

uint64_t FlowCore::RequestSnapshot() { return Post(Command{}); }

void FlowCore::SetView(const FlowViewRequest& request) {
    std::lock_guard<std::mutex> lock(commandMutex);
    if (view == request) return;
    view = request;
    ++viewSerial;
}

FlowSnapshotPtr FlowCore::Snapshot() const {
    latestRead.store(true, std::memory_order_relaxed);
    return latest.load();
}

FlowSnapshotPtr FlowCore::WaitSnapshot(const std::function<bool(const FlowSnapshot&)>& until,
                                       std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(publishMutex);
    FlowSnapshotPtr found;
    publishedCv.wait_for(lock, timeout, [&] {
        latestRead.store(true, std::memory_order_relaxed);
        FlowSnapshotPtr s = latest.load();
        if (!until(*s)) return false;
        found = std::move(s);
        return true;
    });
    return found;
}

FlowSnapshotPtr FlowCore::WaitHandled(uint64_t command, std::chrono::milliseconds timeout) const {
    return WaitSnapshot([command](const FlowSnapshot& s) { return s.handled >= command; }, timeout);
}

FlowSnapshotPtr FlowCore::Settle(std::chrono::milliseconds timeout) {
    const uint64_t exportAsked = lastExportRequested.load();
    auto settled = [&](uint64_t command) {
        return [command, exportAsked](const FlowSnapshot& s) {
            return s.handled >= command &&
                   (exportAsked == 0 || (s.exportStatus.command >= exportAsked && s.exportStatus.done));
        };
    };
    if (!WaitSnapshot(settled(RequestSnapshot()), timeout)) return nullptr;
    WaitAnalysed();
    return WaitSnapshot(settled(RequestSnapshot()), timeout);
}

void FlowCore::ControlLoop() {
    platform::NameThisThread("oc-flow-control");
    bool unpublished = true;  // commands done that no snapshot has shown yet
    std::unique_lock<std::mutex> lock(commandMutex);
    while (!quitControl) {
        if (!commands.empty()) {
            Command command = std::move(commands.front());
            commands.pop_front();
            lock.unlock();
            Execute(command);
            handledSerial = command.serial;
            unpublished = true;
            lock.lock();
            continue;
        }
        const auto due = publishedAt + kSnapshotInterval;
        if (std::chrono::steady_clock::now() < due) {
            commandsChanged.wait_until(lock, due, [this] { return quitControl || !commands.empty(); });
            continue;
        }
        lock.unlock();
        MaybePublish(unpublished);
        unpublished = false;
        lock.lock();
        // Nothing to do until a command comes or the data may have moved.
        commandsChanged.wait_for(lock, kSnapshotInterval, [this] { return quitControl || !commands.empty(); });
    }
}

void FlowCore::Execute(const Command& command) {
    switch (command.kind) {
        case Command::Kind::Start:
        case Command::Kind::StartOffline: {
            const bool isOffline = command.kind == Command::Kind::StartOffline;
            const bool ok = isOffline ? StartOffline(command.device)
                                      : Start(command.device, command.sipPort, command.rtpMin, command.rtpMax);
            startOutcome.command = command.serial;
            startOutcome.offline = isOffline;
            startOutcome.path = isOffline ? command.device : std::string();
            startOutcome.error = ok ? StartError::None : LastStartError();
            startOutcome.detail = ok ? std::string() : LastStartErrorDetail();
            if (ok) {
                runSerial = command.serial;
                published.reset();  // everything is new
                unsignalledVersion.reset();
            }
            break;
        }
        case Command::Kind::Stop: Stop(); break;
        case Command::Kind::Clear:
            Clear();
            published.reset();
            unsignalledVersion.reset();
            break;
        case Command::Kind::Export: {
            {
                std::lock_guard<std::mutex> lock(exportMutex);
                exports.push_back({command.serial, command.exportKind, command.callId});
            }
            exportQueued.notify_one();
            break;
        }
        case Command::Kind::Snapshot: break;
    }
}

void FlowCore::ExportLoop() {
    platform::NameThisThread("oc-flow-export");
    std::unique_lock<std::mutex> lock(exportMutex);
    for (;;) {
        exportQueued.wait(lock, [this] { return quitExport || !exports.empty(); });
        if (exports.empty()) return;  // quit
        const QueuedExport next = exports.front();
        exports.pop_front();
        lock.unlock();
        RunExport(next.serial, next.kind, next.callId);
        lock.lock();
    }
}

void FlowCore::RunExport(uint64_t serial, FlowExportKind kind, const std::string& callId) {
    auto step = [&](size_t items, bool done, FlowExportResult result) {
        std::lock_guard<std::mutex> lock(exportMutex);
        exportStatus.command = serial;
        exportStatus.kind = kind;
        exportStatus.done = done;
        exportStatus.items = items;
        exportStatus.result = std::move(result);
    };
    step(0, false, {});
    size_t items = 0;
    FlowExportResult result;
    switch (kind) {
        case FlowExportKind::Calls: {
            const std::vector<SipCall> calls = tracker.GetCalls();
            items = calls.size();
            step(items, false, {});
            result = ExportCallsCsv(calls);
            break;
        }
        case FlowExportKind::Packets: {
            const std::vector<PacketLogEntry> all = GetPackets();
            items = all.size();
            step(items, false, {});
            result = ExportPacketsPcap(all);
            break;
        }
        case FlowExportKind::Quality: {
            const std::vector<RtpStreamReport> streams = tracker.GetStreamReports();
            items = streams.size();
            step(items, false, {});
            result = ExportQualityCsv(streams);
            break;
        }
        case FlowExportKind::Call: {
            CallExportWriter writer;
            {
                std::lock_guard<std::mutex> lock(exportMutex);
                writer = callExportWriter;
            }
            std::optional<SipCall> call = tracker.GetCall(callId);
            if (!call || !writer) {
                result.message = "Nada exportado: a chamada nao esta mais na lista.";
                break;
            }
            CallExportData data;
            data.call = std::move(*call);
            data.streams = tracker.GetStreamReports(&callId);
            data.verdicts = tracker.Diagnose(callId);
            data.packets = CallPackets(data.call, data.streams, GetPackets());
            items = data.packets.size();
            step(items, false, {});
            result = writer(data);
            break;
        }
    }
    step(items, true, std::move(result));
}

void FlowCore::MaybePublish(bool force) {
    Stamp stamp;
    // The state first: a run seen ended has analysed all it read (NoteCaptureEnd), so the
    // figures read after it are final.
    stamp.state = !running.load() ? FlowRunState::Idle : offline.load() ? FlowRunState::Offline : FlowRunState::Live;
    std::string error;
    {
        std::lock_guard<std::mutex> lock(causeMutex);
        stamp.cause = stopCause;
        error = stopError;
    }
    stamp.trackerChanges = tracker.Changes();
    {
        std::lock_guard<std::mutex> lock(packetsMutex);
        stamp.first = firstPosition;
        stamp.end = firstPosition + packets.Size();
    }
    stamp.engine = Counters();
    stamp.handled = handledSerial;
    FlowViewRequest request;
    {
        std::lock_guard<std::mutex> lock(commandMutex);
        request = view;
        stamp.viewSerial = viewSerial;
    }
    FlowExportStatus exported;
    {
        std::lock_guard<std::mutex> lock(exportMutex);
        exported = exportStatus;
    }
    stamp.exportCommand = exported.command;
    stamp.exportItems = exported.items;
    stamp.exportDone = exported.done;

    const auto now = std::chrono::steady_clock::now();
    const bool unsignalledDue = unsignalledVersion != stamp.trackerChanges &&
                                (!unsignalledVersion || now - unsignalledAt >= kUnsignalledRefresh);
    if (!force && published == stamp && !unsignalledDue) return;
    if (!force && !latestRead.load(std::memory_order_relaxed)) return;  // nobody would see it

    const FlowSnapshot& previous = *last;
    const bool trackerMoved = !published || published->trackerChanges != stamp.trackerChanges;
    const bool bufferMoved = !published || published->first != stamp.first || published->end != stamp.end;
    auto s = std::make_shared<FlowSnapshot>();
    s->version = previous.version + 1;
    s->handled = handledSerial;
    s->state = stamp.state;
    s->run = runSerial;
    s->start = startOutcome;
    s->stopCause = stamp.cause;
    s->stopError = std::move(error);
    if (trackerMoved) {
        s->rows = std::make_shared<const std::vector<SipCallRow>>(tracker.GetCallRows());
        s->calls = tracker.Counters();
        s->kept = tracker.Stats();
    } else {
        s->rows = previous.rows;
        s->calls = previous.calls;
        s->kept = previous.kept;
    }
    s->rowsVersion = stamp.trackerChanges;
    s->engine = stamp.engine;
    s->bufferedPackets = static_cast<size_t>(stamp.end - stamp.first);
    if (unsignalledDue) {
        static const std::string kNoCall;
        s->unsignalled = std::make_shared<const std::vector<RtpStreamReport>>(tracker.GetStreamReports(&kNoCall));
        unsignalledVersion = stamp.trackerChanges;
        unsignalledAt = now;
    } else {
        s->unsignalled = previous.unsignalled;
    }

    s->view = request;
    if (request.callId.empty()) {
        s->callStreams = std::make_shared<const std::vector<RtpStreamReport>>();
        s->callVerdicts = std::make_shared<const std::vector<Verdict>>();
    } else if (trackerMoved || previous.view.callId != request.callId ||
               previous.view.heardStreams != request.heardStreams) {
        if (std::optional<SipCall> call = tracker.GetCall(request.callId))
            s->call = std::make_shared<const SipCall>(std::move(*call));
        s->callStreams =
            std::make_shared<const std::vector<RtpStreamReport>>(tracker.GetStreamReports(&request.callId));
        s->callVerdicts = std::make_shared<const std::vector<Verdict>>(
            request.heardStreams ? tracker.Diagnose(request.callId, WithHeardAudio(*s->callStreams, *request.heardStreams))
                                 : tracker.Diagnose(request.callId));
    } else {
        s->call = previous.call;
        s->callStreams = previous.callStreams;
        s->callVerdicts = previous.callVerdicts;
    }
    if (!request.rawPage) {
        s->rawPage = std::make_shared<const std::vector<PacketLogEntry>>();
    } else if (bufferMoved || !previous.view.rawPage || previous.view.rawFilter != request.rawFilter ||
               previous.view.rawLines != request.rawLines) {
        std::vector<PacketLogEntry> page;
        {
            std::lock_guard<std::mutex> lock(packetsMutex);
            for (size_t i = packets.Size(); i-- > 0 && page.size() < request.rawLines;)
                if (RawPacketMatches(packets.At(i), request.rawFilter)) page.push_back(packets.At(i));
        }
        s->rawPage = std::make_shared<const std::vector<PacketLogEntry>>(std::move(page));
    } else {
        s->rawPage = previous.rawPage;
    }
    s->exportStatus = std::move(exported);

    last = s;
    latestRead.store(false, std::memory_order_relaxed);
    latest.store(last);
    published = stamp;
    publishedAt = now;
    {
        std::lock_guard<std::mutex> lock(publishMutex);  // no waiter misses the change
    }
    publishedCv.notify_all();
}

FlowCore::FrozenForTesting::FrozenForTesting(FlowCore& core)
    : sniffer(core.snifferMutex),
      analysis(core.analysisMutex),
      queue(core.queueMutex),
      packets(core.packetsMutex),
      tracker(core.tracker.HoldForTesting()) {}

FlowCore::FrozenForTesting::~FrozenForTesting() = default;
