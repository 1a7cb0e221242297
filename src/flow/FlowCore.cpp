#include "flow/FlowCore.h"

#include <algorithm>

#include "logs/Trace.h"

FlowCore::~FlowCore() { Stop(); }

std::string FlowCore::BuildFilter(int sipPort, int rtpMin, int rtpMax) {
    // "port" without a transport lets SIP over UDP and TCP through, both directions.
    std::string filter = "port " + std::to_string(sipPort);
    if (rtpMin >= 1 && rtpMax >= rtpMin) {
        filter += " or udp portrange " + std::to_string(rtpMin) + "-" + std::to_string(rtpMax);
    }
    return filter;
}

bool FlowCore::StartCommon(bool isOffline) {
    {
        std::lock_guard<std::mutex> lock(packetsMutex);
        stopping = false;
        consumedPosition = firstPosition + packets.size();
    }
    offline.store(isOffline);
    lastStartError = StartError::None;
    lastStartErrorDetail.clear();
    // SniffResults are MTR probe replies; the flow monitor has no use for them.
    sniffer.Start([](SniffResult) {}, [this](PacketLogEntry entry) { OnPacket(std::move(entry)); });
    running.store(true);
    return true;
}

bool FlowCore::Start(const std::string& deviceName, int sipPort, int rtpMin, int rtpMax) {
    if (running.load()) {
        lastStartError = StartError::AlreadyRunning;
        lastStartErrorDetail.clear();
        return false;
    }
    const std::string filter = BuildFilter(sipPort, rtpMin, rtpMax);
    Trace("FlowCore Starting with filter: " + filter);
    if (!sniffer.Init(filter, deviceName, std::string())) {
        Trace("FlowCore: Failed to initialize sniffer.");
        lastStartError = sniffer.LastError() == StartError::None ? StartError::CaptureOpenFailed : sniffer.LastError();
        lastStartErrorDetail = sniffer.LastErrorDetail();
        sniffer.Stop();  // a half-open handle must not outlive the failed start
        return false;
    }
    return StartCommon(false);
}

bool FlowCore::StartOffline(const std::string& path) {
    if (running.load()) {
        lastStartError = StartError::AlreadyRunning;
        lastStartErrorDetail.clear();
        return false;
    }
    Trace("FlowCore reading capture file: " + path);
    ClearPackets();
    if (!sniffer.InitOffline(path, std::string())) {
        Trace("FlowCore: Failed to open capture file.");
        lastStartError = sniffer.LastError() == StartError::None ? StartError::FileUnreadable : sniffer.LastError();
        lastStartErrorDetail = sniffer.LastErrorDetail();
        sniffer.Stop();
        return false;
    }
    return StartCommon(true);
}

void FlowCore::Stop() {
    if (!running.load()) return;
    {
        // Release an offline reader that waits for the intake, or the join below never ends.
        std::lock_guard<std::mutex> lock(packetsMutex);
        stopping = true;
    }
    consumedChanged.notify_all();
    sniffer.Stop();
    running.store(false);
    offline.store(false);
}

std::vector<PacketLogEntry> FlowCore::GetPackets() const {
    std::lock_guard<std::mutex> lock(packetsMutex);
    return packets;
}

void FlowCore::ClearPackets() {
    {
        std::lock_guard<std::mutex> lock(packetsMutex);
        firstPosition += packets.size();
        packets.clear();
    }
    consumedChanged.notify_all();
}

void FlowCore::OnPacket(PacketLogEntry entry) {
    std::unique_lock<std::mutex> lock(packetsMutex);
    if (offline.load()) {
        // A file is read faster than any intake: wait rather than trim unread packets.
        consumedChanged.wait(lock, [this] {
            return stopping || packets.size() < kMaxPackets || consumedPosition >= firstPosition + kTrimBlock;
        });
    }
    packets.push_back(std::move(entry));
    if (packets.size() > kMaxPackets) {
        packets.erase(packets.begin(), packets.begin() + kTrimBlock);
        firstPosition += kTrimBlock;
    }
}

uint64_t FlowCore::FirstPosition() const {
    std::lock_guard<std::mutex> lock(packetsMutex);
    return firstPosition;
}

uint64_t FlowCore::EndPosition() const {
    std::lock_guard<std::mutex> lock(packetsMutex);
    return firstPosition + packets.size();
}

std::vector<PacketLogEntry> FlowCore::GetPacketsFrom(uint64_t position, size_t maxCount, uint64_t* first) const {
    std::lock_guard<std::mutex> lock(packetsMutex);
    const uint64_t start = std::max(position, firstPosition);
    if (first) *first = start;
    const uint64_t end = firstPosition + packets.size();
    if (start >= end) return {};
    const size_t offset = static_cast<size_t>(start - firstPosition);
    const size_t count = std::min<uint64_t>(maxCount, end - start);
    return std::vector<PacketLogEntry>(packets.begin() + offset, packets.begin() + offset + count);
}

void FlowCore::SetConsumedPosition(uint64_t position) {
    {
        std::lock_guard<std::mutex> lock(packetsMutex);
        consumedPosition = position;
    }
    consumedChanged.notify_all();
}
