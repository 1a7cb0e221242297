#pragma once
// The MTR engine's way to the network: NetworkSender's sockets for the probes and a Sniffer
// of its own for the replies.
#include <memory>

#include "capture/Sniffer.h"
#include "mtr/ProbeTransport.h"
#include "probe/NetworkSender.h"

class NetworkProbeTransport : public ProbeTransport {
public:
    NetworkProbeTransport() = default;
    ~NetworkProbeTransport() override;

    ProbeTransportOpened Open(const ProbeTransportOpen& what, ProbeTransportSink sink) override;
    std::optional<int64_t> Send(int32_t ttl, int32_t seq, int32_t protocol) override;
    void Close() override;
    std::optional<std::string> CaptureEnded() override;
    int64_t ReplyGraceTicks() const override;
    std::string PcapError() override;
    bool IcmpIsDatagram() const override { return sender_.IcmpIsDatagram(); }
    std::vector<NetDevice> ListDevices() override { return sniffer_.ListDevices(); }

    // The probe sockets, for settings of the next Open (name resolution, socket kinds).
    NetworkSender& Sender() { return sender_; }

private:
    NetworkSender sender_;
    Sniffer sniffer_;
    bool capturing_ = false;
    std::string pcapPath_;
};
