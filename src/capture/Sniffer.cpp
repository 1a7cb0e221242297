#include "capture/Sniffer.h"

// Placeholder: the libpcap implementation arrives with the capture issue.
Sniffer::~Sniffer() { Stop(); }
std::vector<NetDevice> Sniffer::ListDevices() { return {}; }
bool Sniffer::Init(const std::string&, const std::string&, const std::string&) { return false; }
bool Sniffer::InitOffline(const std::string&, const std::string&) { return false; }
void Sniffer::Start(ReplyCallback, PacketCallback) {}
void Sniffer::Stop() {}
bool Sniffer::SendRawPacket(const uint8_t*, int32_t) { return false; }
int Sniffer::LinkType() const { return -1; }
void Sniffer::SnifferLoop(ReplyCallback, PacketCallback) {}
bool SavePacketsToPcap(const std::string&, const std::vector<PacketLogEntry>&) { return false; }
