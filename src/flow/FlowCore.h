#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "capture/Packet.h"
#include "capture/Sniffer.h"
#include "capture/StartError.h"

// Capture engine of the Flow tab: one Sniffer of its own, filtered to SIP and the RTP port
// range, and a bounded buffer of every packet it reports. No SIP/RTP analysis happens here;
// FlowIntake hands new packets to CallTracker.
//
// Packet positions: every appended packet gets an absolute position (0, 1, 2, ... since
// construction, never reused). The buffer holds positions [FirstPosition(), EndPosition()).
// Trimming and clearing move FirstPosition() forward; positions stay valid, so a reader that
// remembers "next position to read" never skips or repeats a packet because of a trim.
class FlowCore {
public:
    // Buffer bound: when an append makes the buffer exceed kMaxPackets, the oldest
    // kTrimBlock go at once (block trimming keeps the cost of moving the vector rare).
    static constexpr size_t kMaxPackets = 50000;
    static constexpr size_t kTrimBlock = 1000;

    FlowCore() = default;
    ~FlowCore();
    FlowCore(const FlowCore&) = delete;
    FlowCore& operator=(const FlowCore&) = delete;

    // Live capture on `deviceName` ("" = first device) with the filter
    // "port <sip>[ or udp portrange <min>-<max>]". False when already running or when the
    // capture could not be opened; LastStartError() says why. Does not clear the buffer.
    bool Start(const std::string& deviceName, int sipPort, int rtpMin, int rtpMax);
    // Reads a pcap savefile through the same path as a live capture: packets arrive in the
    // buffer as if captured now (with the file's time stamps). The reader waits for
    // FlowIntake when the next append would trim packets the intake has not taken yet, so a
    // file longer than the buffer is analysed whole. ReaderActive() turns false at the end
    // of the file; call Stop() afterwards (the buffer stays).
    // Unlike Start, it empties the buffer itself before the reader starts: a caller that
    // cleared after the start would throw away the file's first packets. Clear CallTracker
    // and Reset the FlowIntake before calling it.
    bool StartOffline(const std::string& path);
    void Stop();

    bool IsRunning() const { return running.load(); }
    // True while the capture thread still reads (false after the end of a savefile).
    bool ReaderActive() const { return running.load() && sniffer.LoopActive(); }
    bool IsOffline() const { return offline.load(); }

    // Why the last Start/StartOffline failed (None after a success), and libpcap's detail.
    StartError LastStartError() const { return lastStartError; }
    const std::string& LastStartErrorDetail() const { return lastStartErrorDetail; }
    // The BPF filter text Start builds for these settings.
    static std::string BuildFilter(int sipPort, int rtpMin, int rtpMax);

    // Full copy of the buffer (for exports).
    std::vector<PacketLogEntry> GetPackets() const;
    void ClearPackets();
    // Capture-thread callback: append and trim.
    void OnPacket(PacketLogEntry entry);

    // Absolute positions (see the class comment).
    uint64_t FirstPosition() const;
    uint64_t EndPosition() const;  // packets ever appended
    // Copies at most maxCount packets starting at `position` (or at FirstPosition() when
    // `position` was already trimmed or cleared); *first receives the position of the first
    // copied packet. Copies only what is asked for, never the whole buffer.
    std::vector<PacketLogEntry> GetPacketsFrom(uint64_t position, size_t maxCount, uint64_t* first) const;
    // The intake reports how far it has read; the offline reader waits on this.
    void SetConsumedPosition(uint64_t position);

private:
    bool StartCommon(bool isOffline);

    Sniffer sniffer;
    std::atomic<bool> running{false};
    mutable std::mutex packetsMutex;
    std::vector<PacketLogEntry> packets;
    uint64_t firstPosition = 0;  // absolute position of packets[0]

    std::atomic<bool> offline{false};
    std::condition_variable consumedChanged;
    uint64_t consumedPosition = 0;  // guarded by packetsMutex
    bool stopping = false;          // guarded by packetsMutex: releases a waiting reader

    StartError lastStartError = StartError::None;
    std::string lastStartErrorDetail;
};
