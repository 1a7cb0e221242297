#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "mtr/MtrTypes.h"

class MtrCore;
struct MtrSnapshot;
struct CaptureDeviceChoice;

// The MTR tab: run controls, the per-hop results and the live packet log. Every figure comes
// from the engine's latest snapshot, taken once per frame; the tab only sends requests and
// keeps its form fields.
class MtrTab {
public:
    MtrTab(MtrCore& core, CaptureDeviceChoice& devices);

    void Draw();

    // The form as the user left it.
    std::string_view Target() const;
    void SetTarget(std::string_view target);
    int32_t Protocol() const { return protocol_; }
    int32_t Family() const { return family_; }
    bool SavePcap() const { return savePcap_; }
    // The DSCP the probes are marked with (one of kMtrDscpValues) and "Fluxo fixo".
    int32_t Dscp() const { return kMtrDscpValues[static_cast<size_t>(dscpChoice_)]; }
    bool FixedFlow() const { return fixedFlow_; }
    // The engine runs (a start handed over has succeeded and nothing has stopped it).
    bool Running() const;
    bool Names() const { return names_; }
    void SetNames(bool on);
    // Traces `target` with the form's protocol and interface from the next frame on: a run
    // under way is stopped, and the new one starts as "INICIAR" would (another tab asks).
    void StartTraceTo(std::string_view target);
    // What the last "RELATORIO" said (where the files went, or why they did not).
    const std::string& ReportMessage() const { return reportMessage_; }

private:
    void DrawControls(const MtrSnapshot& snap);
    void Start();
    void DrawResults(const MtrSnapshot& snap);
    void DrawPacketLog(const MtrSnapshot& snap);
    void DrawEvents(const MtrSnapshot& snap);
    void WriteReport(const MtrSnapshot& snap);

    MtrCore& core_;
    CaptureDeviceChoice& devices_;
    char target_[128] = "8.8.8.8";
    int32_t protocol_ = 0;
    int32_t family_ = 0;  // kFamilyIpv4: IPv6 only for targets without an IPv4 address
    bool savePcap_ = false;
    bool names_ = false;
    int dscpChoice_ = 0;  // index into kMtrDscpValues
    bool fixedFlow_ = false;
    std::string reportMessage_;
    bool reportFailed_ = false;
    bool traceRequested_ = false;  // StartTraceTo: start at the next drawing of the controls
    uint64_t startTicket_ = 0;  // a start handed to the engine that it has not dealt with yet
    std::string startFailureCause_;  // Portuguese cause shown under "Falha ao Iniciar"; may be empty
};
