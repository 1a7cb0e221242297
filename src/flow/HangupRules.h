#pragma once
#include <string>
#include <string_view>

// Which side ended a call ("Origem Desl."), from the sender's address without port:
// "Softphone/PC" for the customer's own network, "PABX/ROTA" for the operator's side.
// A BYE treats every "172." address as local; a CANCEL or an error response does not.
// IPv6 (both rules alike): ::1, unique local fd00::/8 and link-local fe80::/10 are local.
std::string HangupOriginForBye(std::string_view address);
std::string HangupOriginForCancelOrError(std::string_view address);
