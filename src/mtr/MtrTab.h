#pragma once
#include <cstdint>
#include <string>
#include <string_view>

class MtrCore;
struct CaptureDeviceChoice;

// The MTR tab: run controls, the per-hop results and the live packet log. Every figure comes
// from the snapshots MtrCore hands out once per frame; the tab keeps only its form fields.
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
    // The engine runs (a start handed over has succeeded and nothing has stopped it).
    bool Running() const;

private:
    void DrawControls();
    void Start();
    void DrawResults();
    void DrawPacketLog();

    MtrCore& core_;
    CaptureDeviceChoice& devices_;
    char target_[128] = "8.8.8.8";
    int32_t protocol_ = 0;
    int32_t family_ = 0;  // kFamilyIpv4: IPv6 only for targets without an IPv4 address
    bool savePcap_ = false;
    bool starting_ = false;  // a start handed to the engine's worker has not reported back yet
    std::string startFailureCause_;  // Portuguese cause shown under "Falha ao Iniciar"; may be empty
};
