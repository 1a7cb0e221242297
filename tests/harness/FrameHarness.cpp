#include "harness/FrameHarness.h"

#include "platform/FileDialog.h"

#include <imgui_internal.h>

#include <cmath>
#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>

#include "app/App.h"

namespace harness {

namespace {

uint64_t UvKey(const ImVec2& uv) {
    uint32_t a, b;
    std::memcpy(&a, &uv.x, 4);
    std::memcpy(&b, &uv.y, 4);
    return (static_cast<uint64_t>(a) << 32) | b;
}

void AppendUtf8(std::string& out, unsigned int c) {
    char buf[5] = {};
    ImTextCharToUtf8(buf, c);
    out += buf;
}

void IgnoreRecoveryMessage(void*, const char*, ...) {}

// Windows are matched by exact name, or for child windows ("Parent/Child_1A2B3C4D") by the
// child's own name.
bool WindowNameMatches(const char* windowName, const std::string& wanted) {
    if (wanted == windowName) return true;
    const char* slash = std::strrchr(windowName, '/');
    if (!slash) return false;
    const std::string own(slash + 1);
    return own.size() > wanted.size() && own.compare(0, wanted.size(), wanted) == 0 &&
           own[wanted.size()] == '_';
}

}  // namespace

// Glyph table of the default font: a quad whose four texture coordinates are a glyph's
// corners is that glyph.
struct FrameHarness::Glyphs {
    std::multimap<uint64_t, const ImFontGlyph*> byTopLeft;
    float spaceAdvance = 7.0f;
};

void FrameHarness::Init(float width, float height) {
    context_ = ImGui::CreateContext();
    ImGui::SetCurrentContext(context_);
    ImGuiIO& io = ImGui::GetIO();
    io.DisplaySize = ImVec2(width, height);
    io.IniFilename = nullptr;  // tests never read or write imgui.ini
    io.LogFilename = nullptr;
    io.ConfigFlags |= ImGuiConfigFlags_NavEnableKeyboard;
    ImGui::StyleColorsDark();

    // The same key map as the window's backend: SDL scancodes here, virtual-key codes on Windows.
    io.KeyMap[ImGuiKey_Tab] = platform::keys::Tab;
    io.KeyMap[ImGuiKey_LeftArrow] = platform::keys::Left;
    io.KeyMap[ImGuiKey_RightArrow] = platform::keys::Right;
    io.KeyMap[ImGuiKey_UpArrow] = platform::keys::Up;
    io.KeyMap[ImGuiKey_DownArrow] = platform::keys::Down;
    io.KeyMap[ImGuiKey_PageUp] = platform::keys::PageUp;
    io.KeyMap[ImGuiKey_PageDown] = platform::keys::PageDown;
    io.KeyMap[ImGuiKey_Home] = platform::keys::Home;
    io.KeyMap[ImGuiKey_End] = platform::keys::End;
    io.KeyMap[ImGuiKey_Insert] = platform::keys::Insert;
    io.KeyMap[ImGuiKey_Delete] = platform::keys::Delete;
    io.KeyMap[ImGuiKey_Backspace] = platform::keys::Backspace;
    io.KeyMap[ImGuiKey_Space] = platform::keys::Space;
    io.KeyMap[ImGuiKey_Enter] = platform::keys::Enter;
    io.KeyMap[ImGuiKey_Escape] = platform::keys::Escape;
    io.KeyMap[ImGuiKey_KeyPadEnter] = platform::keys::KeypadEnter;
    io.KeyMap[ImGuiKey_A] = platform::keys::A;
    io.KeyMap[ImGuiKey_C] = platform::keys::C;
    io.KeyMap[ImGuiKey_V] = platform::keys::V;
    io.KeyMap[ImGuiKey_X] = platform::keys::X;
    io.KeyMap[ImGuiKey_Y] = platform::keys::Y;
    io.KeyMap[ImGuiKey_Z] = platform::keys::Z;

    unsigned char* pixels = nullptr;
    int tw = 0, th = 0;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &tw, &th);
    io.Fonts->SetTexID(reinterpret_cast<ImTextureID>(static_cast<intptr_t>(1)));

    glyphs_ = std::make_unique<Glyphs>();
    ImFont* font = io.Fonts->Fonts[0];
    for (const ImFontGlyph& g : font->Glyphs) {
        if (g.Visible) glyphs_->byTopLeft.emplace(UvKey(ImVec2(g.U0, g.V0)), &g);
    }
    if (const ImFontGlyph* space = font->FindGlyphNoFallback(' ')) glyphs_->spaceAdvance = space->AdvanceX;

}

FrameHarness::FrameHarness(float width, float height) : FrameHarness(AppOptions{}, width, height) {}

FrameHarness::FrameHarness(AppOptions options, float width, float height) {
    Init(width, height);
    app_ = std::make_unique<App>(std::move(options));
    // The tests type the import path; the desktop's own file dialog is not theirs to open.
    app_->Flow().SetFileDialog(nullptr);
}

FrameHarness::FrameHarness(std::function<void()> draw, float width, float height) : draw_(std::move(draw)) {
    Init(width, height);
}

App& FrameHarness::app() {
    if (!app_) throw std::logic_error("this FrameHarness draws one part alone and has no App");
    return *app_;
}

FrameHarness::~FrameHarness() {
    ImGui::SetCurrentContext(context_);
    app_.reset();
    ImGui::DestroyContext(context_);
}

void FrameHarness::ApplyInput() {
    ImGuiIO& io = ImGui::GetIO();
    for (int i = 0; i < 512; ++i) io.KeysDown[i] = keys_[i];
    io.KeyCtrl = keys_[platform::keys::LeftCtrl] || keys_[platform::keys::RightCtrl];
    io.KeyShift = keys_[platform::keys::LeftShift] || keys_[platform::keys::RightShift];
    io.KeyAlt = keys_[platform::keys::LeftAlt] || keys_[platform::keys::RightAlt];
    io.KeySuper = false;
    io.MousePos = mouse_;
    for (int i = 0; i < 5; ++i) io.MouseDown[i] = mouseDown_[i];
    io.MouseWheel = wheel_;
    if (!pendingChars_.empty()) io.AddInputCharactersUTF8(pendingChars_.c_str());
    pendingChars_.clear();
    io.DeltaTime = deltaTime_;
}

bool FrameHarness::Frame() {
    ImGui::SetCurrentContext(context_);
    ApplyInput();
    ImGui::NewFrame();
    bool keepRunning = true;
    try {
        if (app_) {
            const bool quit = quitShortcutPending_;
            quitShortcutPending_ = false;
            keepRunning = app_->DrawFrame(quit);
        } else {
            const ImGuiViewport* viewport = ImGui::GetMainViewport();
            ImGui::SetNextWindowPos(viewport->WorkPos);
            ImGui::SetNextWindowSize(viewport->WorkSize);
            ImGui::Begin("TabHost", nullptr, ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize |
                                                 ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoSavedSettings |
                                                 ImGuiWindowFlags_NoBringToFrontOnFocus);
            draw_();
            ImGui::End();
        }
    } catch (...) {
        ImGui::ErrorCheckEndFrameRecover(&IgnoreRecoveryMessage, nullptr);
        ImGui::Render();
        wheel_ = 0.0f;
        ++framesRun_;
        throw;
    }
    ImGui::Render();
    wheel_ = 0.0f;
    ++framesRun_;
    if (!keepRunning) quitSeen_ = true;
    return keepRunning;
}

void FrameHarness::RunFrames(int n) {
    for (int i = 0; i < n; ++i) Frame();
}

void FrameHarness::AdvanceTime(float seconds) {
    const int n = static_cast<int>(std::ceil(seconds / deltaTime_ - 1e-4f));
    RunFrames(n < 1 ? 1 : n);
}

void FrameHarness::SetDisplaySize(float width, float height) {
    ImGui::SetCurrentContext(context_);
    ImGui::GetIO().DisplaySize = ImVec2(width, height);
}

void FrameHarness::TypeText(const std::string& utf8) {
    pendingChars_ += utf8;
    Frame();
}

void FrameHarness::PressKey(int key, unsigned mods) {
    if (mods != kNoMod) {
        if (mods & kLeftCtrl) keys_[platform::keys::LeftCtrl] = true;
        if (mods & kRightCtrl) keys_[platform::keys::RightCtrl] = true;
        if (mods & kShift) keys_[platform::keys::LeftShift] = true;
        if (mods & kAlt) keys_[platform::keys::LeftAlt] = true;
        Frame();
    }
    keys_[key] = true;
    // The window reads the quit shortcut from the key-down event by the key's meaning.
    const bool ctrl = keys_[platform::keys::LeftCtrl] || keys_[platform::keys::RightCtrl];
    if (platform::IsQuitShortcut(KeySymbol(key), ctrl)) quitShortcutPending_ = true;
    Frame();
    keys_[key] = false;
    keys_[platform::keys::LeftCtrl] = keys_[platform::keys::RightCtrl] = false;
    keys_[platform::keys::LeftShift] = keys_[platform::keys::LeftAlt] = false;
    Frame();
}

int FrameHarness::KeySymbol(int scancode) const {
    if (scancode < platform::keys::A || scancode > platform::keys::Z) return 0;
    if (layout_ == Layout::Azerty) {
        // Where AZERTY differs from QWERTY among the letters used here.
        switch (scancode) {
            case platform::keys::Q: return 'a';
            case platform::keys::A: return 'q';
            case platform::keys::W: return 'z';
            case platform::keys::Z: return 'w';
            default: break;
        }
    }
    return 'a' + (scancode - platform::keys::A);
}

void FrameHarness::KeyDown(int key) {
    keys_[key] = true;
    const bool ctrl = keys_[platform::keys::LeftCtrl] || keys_[platform::keys::RightCtrl];
    if (platform::IsQuitShortcut(KeySymbol(key), ctrl)) quitShortcutPending_ = true;
    Frame();
}

void FrameHarness::KeyUp(int key) {
    keys_[key] = false;
    Frame();
}

void FrameHarness::MoveMouse(float x, float y) {
    mouse_ = ImVec2(x, y);
    Frame();
}

void FrameHarness::ClickAt(float x, float y, int button) {
    MoveMouse(x, y);
    mouseDown_[button] = true;
    Frame();
    mouseDown_[button] = false;
    Frame();
}

void FrameHarness::DoubleClickAt(float x, float y, int button) {
    ClickAt(x, y, button);
    mouseDown_[button] = true;
    Frame();
    mouseDown_[button] = false;
    Frame();
}

void FrameHarness::ScrollWheel(float lines) {
    wheel_ = lines;
    Frame();
}

std::vector<TextRun> FrameHarness::Texts() const {
    std::vector<TextRun> runs;
    ImGui::SetCurrentContext(context_);
    ImDrawData* data = ImGui::GetDrawData();
    if (!data || !data->Valid) return runs;
    for (int l = 0; l < data->CmdListsCount; ++l) {
        const ImDrawList* list = data->CmdLists[l];
        const ImVector<ImDrawVert>& v = list->VtxBuffer;
        TextRun* run = nullptr;
        int nextVertex = -1;
        float prevPenEnd = 0.0f, prevBaseline = 0.0f;
        for (int i = 0; i + 3 < v.Size;) {
            const ImFontGlyph* glyph = nullptr;
            auto range = glyphs_->byTopLeft.equal_range(UvKey(v[i].uv));
            for (auto it = range.first; it != range.second; ++it) {
                const ImFontGlyph* g = it->second;
                if (v[i + 1].uv.x == g->U1 && v[i + 1].uv.y == g->V0 && v[i + 2].uv.x == g->U1 &&
                    v[i + 2].uv.y == g->V1 && v[i + 3].uv.x == g->U0 && v[i + 3].uv.y == g->V1) {
                    glyph = g;
                    break;
                }
            }
            if (!glyph) {
                ++i;
                continue;
            }
            const float gw = glyph->X1 - glyph->X0;
            const float scale = gw > 0 ? (v[i + 2].pos.x - v[i].pos.x) / gw : 1.0f;
            const float pen = v[i].pos.x - glyph->X0 * scale;
            const float baseline = v[i].pos.y - glyph->Y0 * scale;
            const bool continues = run && nextVertex == i && std::fabs(baseline - prevBaseline) < 0.5f &&
                                   pen >= prevPenEnd - 0.5f;
            if (!continues) {
                runs.push_back(TextRun{});
                run = &runs.back();
                run->min = v[i].pos;
                run->max = v[i + 2].pos;
                run->color = ImGui::ColorConvertU32ToFloat4(v[i].col);
                run->window = list->_OwnerName ? list->_OwnerName : "";
            } else {
                const float space = glyphs_->spaceAdvance * scale;
                const int blanks = static_cast<int>(std::lround((pen - prevPenEnd) / space));
                for (int b = 0; b < blanks; ++b) run->text += ' ';
            }
            AppendUtf8(run->text, glyph->Codepoint);
            run->min.x = std::min(run->min.x, v[i].pos.x);
            run->min.y = std::min(run->min.y, v[i].pos.y);
            run->max.x = std::max(run->max.x, v[i + 2].pos.x);
            run->max.y = std::max(run->max.y, v[i + 2].pos.y);
            prevPenEnd = pen + glyph->AdvanceX * scale;
            prevBaseline = baseline;
            nextVertex = i + 4;
            i += 4;
        }
    }
    return runs;
}

std::optional<TextRun> FrameHarness::FindText(const std::string& text, bool exact) const {
    for (TextRun& run : Texts()) {
        if (exact ? run.text == text : run.text.find(text) != std::string::npos) return run;
    }
    return std::nullopt;
}

std::string FrameHarness::AllText(const std::string& windowPart) const {
    std::string out;
    for (const TextRun& run : Texts()) {
        if (!windowPart.empty() && run.window.find(windowPart) == std::string::npos) continue;
        out += run.text;
        out += '\n';
    }
    return out;
}

bool FrameHarness::ClickText(const std::string& text, bool exact) {
    std::optional<TextRun> run = FindText(text, exact);
    if (!run) return false;
    const ImVec2 c = run->Center();
    ClickAt(c.x, c.y);
    return true;
}

ImGuiID FrameHarness::ItemId(const std::string& window, std::initializer_list<std::string> path) const {
    ImGui::SetCurrentContext(context_);
    ImGuiID id = 0;
    bool found = false;
    for (ImGuiWindow* w : context_->Windows) {
        if (WindowNameMatches(w->Name, window)) {
            id = w->ID;
            found = true;
            break;
        }
    }
    if (!found) id = ImHashStr(window.c_str());  // not drawn yet: a top-level window's ID
    for (const std::string& part : path) id = ImHashStr(part.c_str(), 0, id);
    return id;
}

void FrameHarness::Activate(ImGuiID id) {
    ImGui::SetCurrentContext(context_);
    ImGui::ActivateItem(id);
    // As a keyboard user would: text fields then take the activation as "start editing".
    context_->NavInputSource = ImGuiInputSource_Keyboard;
    Frame();
    Frame();
}

ImGuiID FrameHarness::ActiveId() const { return context_->ActiveId; }
ImGuiID FrameHarness::HoveredId() const { return context_->HoveredId; }

bool FrameHarness::SelectTab(const std::string& label) {
    ImGuiContext& g = *context_;
    // A tab bar lays its tabs out one frame after they were first submitted.
    Frame();
    ImGuiID barId = 0, tabId = 0;
    ImVec2 centre;
    for (int n = 0; n < g.TabBars.GetMapSize() && !tabId; ++n) {
        ImGuiTabBar* bar = g.TabBars.TryGetMapData(n);
        if (!bar || bar->CurrFrameVisible != g.FrameCount) continue;
        for (const ImGuiTabItem& tab : bar->Tabs) {
            if (tab.NameOffset < 0 || label != bar->GetTabName(&tab)) continue;
            barId = bar->ID;
            tabId = tab.ID;
            const float x = bar->BarRect.Min.x + std::floor(tab.Offset - bar->ScrollingAnim);
            centre = ImVec2(x + tab.Width * 0.5f, (bar->BarRect.Min.y + bar->BarRect.Max.y) * 0.5f);
            break;
        }
    }
    if (!tabId) return false;
    ClickAt(centre.x, centre.y);
    for (int i = 0; i < 5; ++i) {
        ImGuiTabBar* bar = g.TabBars.GetByKey(barId);
        if (bar && bar->SelectedTabId == tabId && bar->VisibleTabId == tabId) return true;
        Frame();
    }
    ImGuiTabBar* bar = g.TabBars.GetByKey(barId);
    return bar && bar->SelectedTabId == tabId;
}

std::string FrameHarness::SelectedTab(const std::string& anyTabLabel) const {
    ImGuiContext& g = *context_;
    for (int n = 0; n < g.TabBars.GetMapSize(); ++n) {
        ImGuiTabBar* bar = g.TabBars.TryGetMapData(n);
        if (!bar || bar->CurrFrameVisible != g.FrameCount) continue;
        bool hasLabel = false;
        for (const ImGuiTabItem& tab : bar->Tabs) {
            if (tab.NameOffset >= 0 && anyTabLabel == bar->GetTabName(&tab)) hasLabel = true;
        }
        if (!hasLabel) continue;
        for (const ImGuiTabItem& tab : bar->Tabs) {
            if (tab.ID == bar->SelectedTabId && tab.NameOffset >= 0) return bar->GetTabName(&tab);
        }
    }
    return "";
}

std::vector<WindowInfo> FrameHarness::Windows() const {
    std::vector<WindowInfo> out;
    for (ImGuiWindow* w : context_->Windows) {
        WindowInfo info;
        info.name = w->Name;
        info.id = w->ID;
        info.pos = w->Pos;
        info.size = w->Size;
        info.active = w->Active;
        info.isChild = (w->Flags & ImGuiWindowFlags_ChildWindow) != 0;
        out.push_back(info);
    }
    return out;
}

std::optional<WindowInfo> FrameHarness::FindWindow(const std::string& name) const {
    for (const WindowInfo& w : Windows()) {
        if (WindowNameMatches(w.name.c_str(), name)) return w;
    }
    return std::nullopt;
}

void FrameHarness::Unlock() {
    app().Shared().locked = false;
    Frame();
    Frame();  // the tab bar lays out on its second frame
}

}  // namespace harness
