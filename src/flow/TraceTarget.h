#pragma once
// Which host of a call a route trace should go to: where its audio comes from on the far
// side, or the SIP peer when the call carried no audio.
#include <string>
#include <vector>

#include "flow/RtpStreamStats.h"
#include "flow/SipCall.h"

// The first address among the call's RTP stream ends (source, then destination, stream by
// stream) that is not one of `localIps`; else the caller or callee address that is not local
// (callee first); else the callee, the caller, or "" when the record names none. Ends are
// "ip:port" or "[ipv6]:port".
std::string RemoteTraceTarget(const SipCall& call, const std::vector<RtpStreamReport>& streams,
                              const std::vector<std::string>& localIps);
