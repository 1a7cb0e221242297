#include "flow/FlowCore.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>

#include "capture/Decode.h"
#include "logs/Trace.h"
#include "ui/EngineTexts.h"

namespace {

// How often an idle worker looks whether the capture loop ended by itself; bounds how long
// a dead capture can look alive. A savefile's end is looked for more often: an import is
// over as soon as its last packet is analysed.
constexpr auto kIdleCheck = std::chrono::milliseconds(100);
constexpr auto kIdleCheckOffline = std::chrono::milliseconds(5);
// How long a woken worker lets packets gather before it takes them.
constexpr auto kGather = std::chrono::microseconds(500);

}  // namespace

FlowCore::FlowCore() { worker = std::thread(&FlowCore::WorkerLoop, this); }

FlowCore::~FlowCore() {
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
        stopCause.clear();
    }
    // SniffResults are MTR probe replies; the flow monitor has no use for them.
    gathered.clear();
    // SIP over UDP is often larger than the path MTU: its SDP then arrives in IP fragments.
    sniffer.SetReassembly(true);
    // The tab shows a few packets of the buffer at a time: their texts are made there.
    sniffer.SetPacketTexts(false);
    sniffer.Start([](SniffResult) {}, [this](PacketLogEntry entry) { OnPacket(std::move(entry)); },
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
    running.store(false);
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
        const std::string cause = CaptureEndText(error);
        Trace("FlowCore: " + cause);
        std::lock_guard<std::mutex> c(causeMutex);
        stopCause = cause;
    }
    running.store(false);
    offline.store(false);
}

std::string FlowCore::StopCause() const {
    std::lock_guard<std::mutex> lock(causeMutex);
    return stopCause;
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

void FlowCore::OnPacket(PacketLogEntry entry) {
    if (offline.load()) {
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
    pthread_setname_np(pthread_self(), "oc-flow-worker");  // tells it apart in top and profilers
    std::vector<PacketLogEntry> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(queueMutex);
            workerBusy = false;
            if (waiting.empty()) queueDrained.notify_all();
            queueChanged.wait_for(lock, offline.load() ? kIdleCheckOffline : kIdleCheck,
                                  [this] { return quit || !waiting.empty() || captureEnded; });
            if (waiting.empty() && captureEnded) {
                captureEnded = false;
                workerBusy = true;
                lock.unlock();
                std::lock_guard<std::mutex> analysis(analysisMutex);
                tracker.EndOfCapture();
                continue;
            }
            if (waiting.empty()) {
                if (quit) return;
                lock.unlock();
                NoteCaptureEnd();
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
