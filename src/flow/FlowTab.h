#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "flow/CallTracker.h"

class FlowCore;
class MtrTraceRequest;
namespace platform {
class FileDialog;
}
struct CaptureDeviceChoice;

// The Flow tab: capture controls, the call list, the ladder of one call (FlowTabLadder.cpp)
// and the raw packet window (FlowTabRaw.cpp).
class FlowTab {
public:
    // With `trace`, a call's ladder offers "Rastrear no MTR", which leaves the call's remote
    // host there for the shell.
    FlowTab(FlowCore& core, CaptureDeviceChoice& devices, MtrTraceRequest* trace = nullptr);
    ~FlowTab();

    void Draw();

    // What the buttons do, for callers that are not a mouse.
    bool StartMonitoring();
    void StopMonitoring();
    void Clear();
    bool ImportPcap(const std::string& path);

    bool Monitoring() const { return monitoring_; }
    // The call whose ladder is shown (empty: the call list), and the message picked in it.
    const std::string& SelectedCallId() const { return selectedCallId_; }
    int32_t SelectedMessageIndex() const { return selectedMessageIndex_; }
    bool RawWindowShown() const { return showRawDebug_; }
    std::string_view RawFilter() const;
    // The line under the controls: why a start failed, or what an export/import did.
    const std::string& StatusLine() const { return statusLine_; }
    bool StatusIsError() const { return statusIsError_; }
    bool ImportPanelOpen() const { return importOpen_; }
    // "Importar PCAP" opens this dialog (the system's by default); without one, the path is
    // typed in the tab's own panel.
    void SetFileDialog(std::unique_ptr<platform::FileDialog> dialog);
    bool FileDialogOpen() const;
    std::string_view ImportPath() const;

private:
    // Notices a run that ended by itself (interface gone, import finished or failed).
    void FollowEngine();
    // Copies the call table's rows and counts again when the tracker changed since the last copy.
    void RefreshRows();
    void DrawControls(size_t packetCount);
    void DrawImportPanel();
    void DrawCallTable(float reserveBelow);
    // "Fluxos RTP sem chamada": streams no call's signalling was seen for (FlowTabStreams.cpp).
    void RefreshUnsignalled();
    void DrawUnsignalledStreams();
    void DrawLadder();
    void DrawRawWindow();

    FlowCore& core_;
    CaptureDeviceChoice& devices_;
    MtrTraceRequest* trace_ = nullptr;

    bool monitoring_ = false;
    // Capture settings (one copy per process, not saved).
    int32_t sipPort_ = 5060;
    int32_t rtpMin_ = 10000;
    int32_t rtpMax_ = 50000;
    std::string selectedCallId_;
    int32_t selectedMessageIndex_ = -1;

    bool showRawDebug_ = false;
    char rawDebugFilter_[128] = {};

    std::string statusLine_;
    bool statusIsError_ = false;

    // The call table: rows and counts as the tracker had them at rowsVersion_ (its Changes()),
    // and the rows' order for the sort in orderKey_ (version, column, descending).
    std::vector<SipCallRow> rows_;
    FlowCounters rowCounters_;
    std::optional<uint64_t> rowsVersion_;
    std::vector<size_t> order_;
    std::optional<std::tuple<uint64_t, int, bool>> orderKey_;

    // Streams without a call, refreshed at most every kUnsignalledRefresh while RTP flows:
    // their reports are built from the statistics, which move with every packet.
    std::vector<RtpStreamReport> unsignalled_;
    std::optional<uint64_t> unsignalledVersion_;
    std::chrono::steady_clock::time_point unsignalledAt_{};
    int32_t unsignalledSelected_ = -1;

    // "Importar PCAP" panel.
    bool importOpen_ = false;
    char importPath_[1024] = {};
    std::vector<std::string> importFiles_;
    std::string importActivePath_;  // savefile being read, until the engine has analysed it
    std::unique_ptr<platform::FileDialog> fileDialog_;
};
