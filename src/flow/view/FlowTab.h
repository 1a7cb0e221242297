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
#include "flow/FlowSnapshot.h"

class CallPlayer;
class FlowCore;
class MtrTraceRequest;
struct RtpStreamReport;
namespace platform {
class FileDialog;
}
struct CaptureDeviceChoice;

// The Flow tab: capture controls, the call list, the ladder of one call (FlowTabLadder.cpp)
// and the raw packet window (FlowTabRaw.cpp). It draws the engine's latest snapshot and
// sends it commands; it never waits on the engine nor takes one of its locks.
class FlowTab {
public:
    // With `trace`, a call's ladder offers "Rastrear no MTR", which leaves the call's remote
    // host there for the shell.
    FlowTab(FlowCore& core, CaptureDeviceChoice& devices, MtrTraceRequest* trace = nullptr);
    ~FlowTab();

    void Draw();

    // What the buttons do, for callers that are not a mouse. Each sends the engine its
    // command and returns at once; the outcome shows in a later frame (Monitoring(),
    // StatusLine()). False when the tab refused before asking (an import while monitoring).
    bool StartMonitoring();
    void StopMonitoring();
    void Clear();
    bool ImportPcap(const std::string& path);
    void Export(FlowExportKind kind);
    // "Exportar Chamada" of the ladder: the call's packets and its text into the flow folder.
    void ExportCall(const std::string& callId);
    // "Ouvir" of the ladder (FlowTabListen.cpp): the call's two directions on the left and
    // right channels (channels 0), the forward (1) or the reverse one (2) alone; allPackets:
    // every packet that arrived instead of the receiver's buffer. "Parar", "Salvar WAV" (into
    // the flow folder), and a click on an RTP arrow (PlayStream). The player is made at the
    // first of them, so a tab that never listens never opens the sound system.
    void Listen(const std::string& callId);
    void PlayStream(const std::string& callId, const RtpStreamReport& stream);
    void StopListening();
    void SaveCallWav(const std::string& callId);
    // The player's latest state (null before the first use).
    const CallPlayer* Player() const { return player_.get(); }
    // True while the engine reads, captures or exports for this tab, or the player decodes or
    // plays: frames are then wanted to follow it.
    bool Busy() const;

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
    // Takes the latest snapshot and follows what the engine did with this tab's commands:
    // a start that failed, a run that ended by itself, an import finished, an export's steps.
    void FollowEngine();
    // Tells the engine which call's details and which raw page the next snapshots carry.
    void AskForView();
    void DrawControls();
    void DrawImportPanel();
    void DrawCallTable(float reserveBelow);
    // "Fluxos RTP sem chamada": streams no call's signalling was seen for (FlowTabStreams.cpp).
    void DrawUnsignalledStreams();
    void DrawLadder();
    // The ladder's listening controls and position bar (FlowTabListen.cpp).
    void DrawListenControls(const std::string& callId);
    CallPlayer& EnsurePlayer();
    // The stream as the player decoded it (with its audio facts), when it did.
    std::optional<RtpStreamReport> DecodedReport(const RtpStreamReport& stream) const;
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

    // The snapshot this frame draws (never null).
    FlowSnapshotPtr snap_;
    // The tab's latest command and view request: frames are wanted until the snapshot shows them.
    uint64_t lastCommand_ = 0;
    FlowViewRequest askedView_;
    // Commands whose outcome the tab waits for (0: none), and the run it follows.
    uint64_t pendingStart_ = 0;
    uint64_t followedRun_ = 0;
    uint64_t pendingExport_ = 0;
    FlowExportKind pendingExportKind_ = FlowExportKind::Calls;
    // The rows' order for the sort in orderKey_ (rows version, column, descending).
    std::vector<size_t> order_;
    std::optional<std::tuple<uint64_t, int, bool>> orderKey_;
    int32_t unsignalledSelected_ = -1;

    // "Importar PCAP" panel.
    bool importOpen_ = false;
    char importPath_[1024] = {};
    std::vector<std::string> importFiles_;
    std::string importActivePath_;  // savefile being read, until the engine has analysed it
    bool pendingImport_ = false;    // pendingStart_ is an import
    bool importFromPanel_ = false;  // ... whose path was typed in the panel
    std::unique_ptr<platform::FileDialog> fileDialog_;

    std::unique_ptr<CallPlayer> player_;
    int32_t listenChannels_ = 0;
    bool listenAllPackets_ = false;
    bool listenConceal_ = true;  // lost packets through the codec's concealment (never in the WAV files)
};
