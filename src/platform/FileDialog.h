#pragma once
// The system's "open file" dialog, shown by a worker thread so that the window keeps drawing
// while the user browses: Linux runs zenity or kdialog (whichever is installed), Windows the
// common Open dialog. The caller polls once per frame.
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct OpenFileRequest {
    std::string title;
    std::string folder;                   // where the dialog starts
    std::string filterName;               // e.g. "Capturas"
    std::vector<std::string> extensions;  // without the dot: "pcap", "pcapng"
};

class FileDialog {
public:
    virtual ~FileDialog() = default;
    // Shows the dialog; false when it could not (one is already open, the tool failed to
    // start).
    virtual bool StartOpen(const OpenFileRequest& request) = 0;
    virtual bool IsOpen() const = 0;
    // Once the dialog has closed: the chosen path, or "" when it was cancelled or failed.
    // Empty while open or when nothing was asked; each outcome is handed out once.
    virtual std::optional<std::string> TakeResult() = 0;

    // This system's dialog, or nullptr when there is none (Linux without zenity and kdialog,
    // or without a display): the caller then asks for the path in its own window.
    static std::unique_ptr<FileDialog> Create();
};

// The dialog programs' command lines (Linux), for the worker and the tests.
std::vector<std::string> ZenityOpenCommand(const OpenFileRequest& request);
std::vector<std::string> KdialogOpenCommand(const OpenFileRequest& request);

}  // namespace platform
