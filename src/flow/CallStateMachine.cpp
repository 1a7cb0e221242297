#include "flow/CallStateMachine.h"

#include "flow/HangupRules.h"
#include "flow/SdpReader.h"

CallChange ApplySipMessage(SipCall& call, const SipMessage& m) {
    CallChange change;
    const bool request = m.isRequest;
    const SipMsgType type = m.type;
    const int32_t status = m.statusCode;

    if (!request) {
        if (status >= 200 && status <= 299) call.sawSuccess = true;
        if (status >= 400) call.sawFailure = true;
    }
    auto readPort = [&] {
        if (auto port = ReadSdpAudioPort(m.text)) {
            call.mediaPorts.push_back(*port);
            change.portAdded = true;
            for (SdpRtpMap& map : ReadSdpRtpMaps(m.text)) call.rtpMaps.push_back(std::move(map));
        }
    };

    if (request && type == SipMsgType::Bye) {
        call.state = CallState::Terminated;
        if (call.hangupOrigin.empty()) call.hangupOrigin = HangupOriginForBye(m.src.address);
    } else if (request && type == SipMsgType::Invite) {
        call.state = CallState::Setup;
        call.isInvite = true;
        if (call.callerIp.empty()) {
            call.callerIp = m.sourceIp;
            call.calleeIp = m.destinationIp;
            call.callerAddr = m.src.address;
            call.calleeAddr = m.dst.address;
            change.addressesSet = true;
        }
        readPort();
    } else if (!request && status == 200 && call.state == CallState::Setup) {
        call.state = CallState::Connected;
        readPort();
    } else if (request && type == SipMsgType::Cancel) {
        call.state = CallState::Cancelled;
        if (call.hangupOrigin.empty()) call.hangupOrigin = HangupOriginForCancelOrError(m.src.address);
    } else if (request) {
        // ACK, REGISTER, OPTIONS and other requests leave the state alone.
    } else if (status >= 400 && status != 401 && status != 407 && call.isInvite) {
        // Authentication challenges are part of call set-up, not its end.
        if (status == 487) {
            call.state = CallState::TerminatedCancelled;
        } else {
            call.state = CallState::Error;
            call.errorCode = status;
        }
        if (call.hangupOrigin.empty()) call.hangupOrigin = HangupOriginForCancelOrError(m.src.address);
    } else if (type == SipMsgType::Bye) {
        call.state = CallState::Terminated;
    }
    return change;
}
