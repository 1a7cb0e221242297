#pragma once
// What the MTR engine needs from the outside world: a way to send probes and hear their
// replies (ProbeTransport), and a clock (MtrClock). The engine owns both; the network ones
// are in NetworkTransport.h, tests put their own in.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/Packet.h"
#include "capture/StartError.h"
#include "probe/ProbeMatch.h"

// Time as the engine sees it: wall-clock ticks (100 ns since 1970, the capture's time base)
// and a wait that ends when the clock has moved on or the engine was woken.
class MtrClock {
public:
    virtual ~MtrClock() = default;
    virtual int64_t NowTicks() = 0;
    // Waits on `wake` (whose mutex `lock` holds) until it is notified or `ticks` have passed
    // on this clock. May return early; the caller looks again.
    virtual void WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, int64_t ticks) = 0;
};

// The system's clock.
class SystemMtrClock : public MtrClock {
public:
    int64_t NowTicks() override;
    void WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, int64_t ticks) override;
};

// Where replies and captured packets go; called on the transport's own thread(s).
struct ProbeTransportSink {
    std::function<void(SniffResult)> reply;
    std::function<void(PacketLogEntry)> packet;
    std::function<void()> ended;  // the capture ended by itself (CaptureEnded says why)
};

struct ProbeTransportOpen {
    std::string host;     // as the user typed it
    std::string device;   // capture interface; empty for the default
    int32_t protocol = kProbeUdp;
    int32_t family = kFamilyIpv4;
    std::string pcapPath;  // where to save the capture; empty for none
    int32_t dscp = 0;        // DSCP of every probe (0..63)
    bool fixedFlow = false;  // one flow for the whole run (probe/ProbePackets.h)
};

struct ProbeTransportOpened {
    StartError error = StartError::None;  // None: open, probes can go
    std::string targetIp;
    ProbeIdentity identity;  // what marks this run's probes on the wire
};

class ProbeTransport {
public:
    virtual ~ProbeTransport() = default;
    // Resolves the host and opens what probes and replies need; replies go to `sink` from
    // then on, until Close. May block (a name server); runs on the engine's thread.
    virtual ProbeTransportOpened Open(const ProbeTransportOpen& what, ProbeTransportSink sink) = 0;
    // Sends one probe; the send time (MtrClock ticks) when it left, nothing when it did not.
    // May block briefly (a neighbour lookup). Throws when sending cannot go on at all.
    virtual std::optional<int64_t> Send(int32_t ttl, int32_t seq, int32_t protocol) = 0;
    // Stops the replies and closes everything Open opened. No sink call follows its return.
    virtual void Close() = 0;
    // Nothing while replies can still arrive; once the capture ended by itself, its own words
    // for why (empty when it gave none).
    virtual std::optional<std::string> CaptureEnded() = 0;
    // How long after the expiry age a reply may still be on its way to the sink.
    virtual int64_t ReplyGraceTicks() const = 0;
    // Why the capture file is not being written; empty while it is (or none was asked for).
    virtual std::string PcapError() = 0;
    // The ICMP probes leave through the unprivileged datagram socket.
    virtual bool IcmpIsDatagram() const { return false; }
    virtual std::vector<NetDevice> ListDevices() { return {}; }
};
