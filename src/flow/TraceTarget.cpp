#include "flow/TraceTarget.h"

#include <algorithm>

namespace {

// The address part of "ip:port", "[v6]:port" or a bare address.
std::string HostOf(const std::string& end) {
    if (!end.empty() && end.front() == '[') {
        const size_t close = end.find(']');
        return close == std::string::npos ? std::string() : end.substr(1, close - 1);
    }
    const size_t colon = end.find(':');
    // More than one colon is a bare IPv6 address.
    if (colon != std::string::npos && end.find(':', colon + 1) == std::string::npos) return end.substr(0, colon);
    return end;
}

}  // namespace

std::string RemoteTraceTarget(const SipCall& call, const std::vector<RtpStreamReport>& streams,
                              const std::vector<std::string>& localIps) {
    auto remote = [&](const std::string& ip) {
        return !ip.empty() && std::find(localIps.begin(), localIps.end(), ip) == localIps.end();
    };
    for (const RtpStreamReport& s : streams) {
        for (const std::string* end : {&s.source, &s.destination}) {
            const std::string ip = HostOf(*end);
            if (remote(ip)) return ip;
        }
    }
    for (const std::string* ip : {&call.calleeIp, &call.callerIp})
        if (remote(*ip)) return *ip;
    return !call.calleeIp.empty() ? call.calleeIp : call.callerIp;
}
