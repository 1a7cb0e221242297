#pragma once
#include "flow/SipCall.h"

// What one SIP message changed in its record beyond the state, so CallTracker can keep its
// media index current.
struct CallChange {
    bool portAdded = false;     // an "m=audio" port was appended to mediaPorts
    bool addressesSet = false;  // callerIp/calleeIp were filled
};

// Runs the record's state machine on `message`, already appended to call.messages: the
// first matching rule of the table sets the state, the hang-up origin (once), the caller
// and callee addresses and reads the SDP audio port.
CallChange ApplySipMessage(SipCall& call, const SipMessage& message);
