#pragma once
#include <string>
#include <string_view>

#include "capture/NetAddress.h"

// Which side ended a call ("Origem Desl."), from the sender's address:
// "Softphone/PC" for the customer's own network, "PABX/ROTA" for the operator's side.
// IPv4: 192.168.0.0/16, 10.0.0.0/8 and 127.0.0.1 are local; a BYE also treats all of
// 172.0.0.0/8 as local, a CANCEL or an error response does not.
// IPv6 (both rules alike): ::1, unique local fd00::/8 and link-local fe80::/10 are local; an
// IPv4-mapped address follows the IPv4 rule.
std::string HangupOriginForBye(const IpAddress& address);
std::string HangupOriginForCancelOrError(const IpAddress& address);
// The same for an address text; a text that is no address is the operator's side.
std::string HangupOriginForBye(std::string_view address);
std::string HangupOriginForCancelOrError(std::string_view address);
