#include "flow/TraceTarget.h"

#include <algorithm>


std::string RemoteTraceTarget(const SipCall& call, const std::vector<RtpStreamReport>& streams,
                              const std::vector<std::string>& localIps) {
    auto remote = [&](const std::string& ip) {
        return !ip.empty() && std::find(localIps.begin(), localIps.end(), ip) == localIps.end();
    };
    for (const RtpStreamReport& s : streams) {
        for (const Endpoint* end : {&s.src, &s.dst}) {
            const std::string ip = end->address.Text();
            if (remote(ip)) return ip;
        }
    }
    for (const std::string* ip : {&call.calleeIp, &call.callerIp})
        if (remote(*ip)) return *ip;
    return !call.calleeIp.empty() ? call.calleeIp : call.callerIp;
}
