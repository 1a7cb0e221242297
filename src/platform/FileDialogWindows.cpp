#include "platform/FileDialog.h"

#include <windows.h>
#include <commdlg.h>
#include <objbase.h>

#include <mutex>
#include <thread>

namespace platform {

namespace {

// The Open dialog's buffer: a longer path is refused by the dialog itself (FNERR_BUFFERTOOSMALL).
constexpr DWORD kPathChars = 4096;

// The filter as the dialog reads it: pairs of NUL-terminated strings, "Name (*.a;*.b)" and
// "*.a;*.b", the list itself ended by one more NUL.
std::string FilterText(const OpenFileRequest& r) {
    std::string patterns;
    for (const std::string& e : r.extensions) patterns += (patterns.empty() ? "*." : ";*.") + e;
    std::string out;
    if (!patterns.empty()) {
        out += r.filterName + " (" + patterns + ")";
        out += '\0';
        out += patterns;
        out += '\0';
    }
    out += "Todos os arquivos (*.*)";
    out += '\0';
    out += "*.*";
    out += '\0';
    out += '\0';
    return out;
}

// One worker per dialog: the common dialog is modal to its own thread, so the window's
// thread goes on drawing.
class CommonOpenDialog final : public FileDialog {
public:
    ~CommonOpenDialog() override {
        DWORD thread = 0;
        {
            std::lock_guard<std::mutex> lock(mu_);
            thread = open_ ? threadId_ : 0;
        }
        // Leaving with the dialog open: close its windows, or join would wait for the user.
        if (thread)
            EnumThreadWindows(
                thread,
                [](HWND w, LPARAM) -> BOOL {
                    PostMessageA(w, WM_CLOSE, 0, 0);
                    return TRUE;
                },
                0);
        if (worker_.joinable()) worker_.join();
    }

    bool StartOpen(const OpenFileRequest& request) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (open_) return false;
        if (worker_.joinable()) worker_.join();
        open_ = true;
        result_.reset();
        worker_ = std::thread([this, request] { Run(request); });
        return true;
    }

    bool IsOpen() const override {
        std::lock_guard<std::mutex> lock(mu_);
        return open_;
    }

    std::optional<std::string> TakeResult() override {
        std::lock_guard<std::mutex> lock(mu_);
        std::optional<std::string> r;
        r.swap(result_);
        return r;
    }

private:
    void Run(const OpenFileRequest& request) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            threadId_ = GetCurrentThreadId();
        }
        // Shell extensions in the dialog want a single-threaded apartment.
        const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        const std::string filter = FilterText(request);
        std::string path(kPathChars, '\0');
        OPENFILENAMEA ofn{};
        ofn.lStructSize = sizeof ofn;
        ofn.hwndOwner = nullptr;  // an owner on another thread would tie its input to this one
        ofn.lpstrFilter = filter.c_str();
        ofn.nFilterIndex = 1;
        ofn.lpstrFile = path.data();
        ofn.nMaxFile = kPathChars;
        ofn.lpstrInitialDir = request.folder.empty() ? nullptr : request.folder.c_str();
        ofn.lpstrTitle = request.title.c_str();
        ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY | OFN_EXPLORER;
        std::string chosen;
        if (GetOpenFileNameA(&ofn)) chosen = path.c_str();
        if (SUCCEEDED(com)) CoUninitialize();
        std::lock_guard<std::mutex> lock(mu_);
        open_ = false;
        threadId_ = 0;
        result_ = chosen;
    }

    mutable std::mutex mu_;
    bool open_ = false;
    DWORD threadId_ = 0;
    std::optional<std::string> result_;
    std::thread worker_;
};

}  // namespace

std::unique_ptr<FileDialog> FileDialog::Create() { return std::make_unique<CommonOpenDialog>(); }

}  // namespace platform
