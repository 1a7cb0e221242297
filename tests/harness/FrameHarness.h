#pragma once
// Headless frame harness: runs the shell's real per-frame drawing (App::DrawFrame: quit
// shortcut, host window "MainDock", lock gate, tab bar "MainTabs", the selected tab) or one
// tab's Draw() alone, in an ImGui context that has no window and no renderer, with simulated
// keyboard, text and mouse input.
//
//   #include "harness/FrameHarness.h"          // link oc_gui_harness
//   harness::FrameHarness h;                    // 1280 x 800, App constructed, NOT Initialize()d
//   h.Unlock();                                 // skip the lock screen (clears the lock flag)
//   h.SelectTab("MTR");                         // clicks the tab, waits until it is selected
//   h.ClickText("INICIAR");                     // clicks the centre of a drawn label
//   h.Activate(h.ItemId("MainDock", {"MainTabs", "MTR", "##target"}));  // focus a text field
//   h.TypeText("10.0.0.1"); h.PressKey(platform::keys::Enter);
//   EXPECT_TRUE(h.HasText("Falha ao Iniciar"));
//
// Every input helper runs the frames it needs, so state can be checked right after it.
// Key numbers are the SDL scancodes of platform/gui/Keys.h (what ImGui's SDL2 backend uses):
// where a key sits. What it means (its key symbol, which the quit shortcut is read by)
// follows the simulated keyboard layout, QWERTY unless SetKeyboardLayout says otherwise.
// Text queries read the glyphs of the last rendered frame, so they see only what was really
// drawn (clipped or hidden items are absent). Only one FrameHarness may exist at a time
// (ImGui's current context is global).
#include <imgui.h>

#include <cfloat>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/AppOptions.h"
#include "platform/gui/Keys.h"

class App;

namespace harness {

// Modifier keys held around a key press (combine with |).
enum Mod : unsigned {
    kNoMod = 0,
    kLeftCtrl = 1u << 0,
    kRightCtrl = 1u << 1,
    kShift = 1u << 2,
    kAlt = 1u << 3,
};

// Keyboard layouts the harness can simulate.
enum class Layout { Qwerty, Azerty };

// One line of text as drawn in the last frame.
struct TextRun {
    std::string text;    // UTF-8; blanks between words are rebuilt from the glyph spacing
    ImVec2 min, max;     // screen rectangle of the glyphs
    ImVec4 color;        // colour of the first glyph (r, g, b, a in 0..1)
    std::string window;  // name of the ImGui window that drew it (child windows: "Parent/Child_XXXX")
    ImVec2 Center() const { return ImVec2((min.x + max.x) * 0.5f, (min.y + max.y) * 0.5f); }
};

// One ImGui window that exists in the context.
struct WindowInfo {
    std::string name;
    ImGuiID id = 0;
    ImVec2 pos, size;
    bool active = false;  // drawn in the last frame
    bool isChild = false;
};

class FrameHarness {
public:
    // The whole shell: an App built with `options`.
    explicit FrameHarness(float width = 1280.0f, float height = 800.0f);
    explicit FrameHarness(AppOptions options, float width = 1280.0f, float height = 800.0f);
    // One part alone: `draw` runs inside a full-size host window "TabHost" every frame (a
    // tab's Draw(), or the lock screen's, which opens its own window). No App exists.
    explicit FrameHarness(std::function<void()> draw, float width = 1280.0f, float height = 800.0f);
    ~FrameHarness();
    FrameHarness(const FrameHarness&) = delete;
    FrameHarness& operator=(const FrameHarness&) = delete;

    // The shell; only with the first two constructors.
    App& app();

    // --- frames ---
    // Runs one frame: NewFrame, App::DrawFrame (or the drawing function), Render. Returns
    // DrawFrame's result (false when the quit shortcut was seen in this frame). An exception from the drawing code
    // is rethrown after the ImGui frame is closed, so the harness stays usable.
    bool Frame();
    void RunFrames(int n);
    // True once any frame returned false; ClearQuit() resets it.
    bool QuitRequested() const { return quitSeen_; }
    void ClearQuit() { quitSeen_ = false; }
    int FramesRun() const { return framesRun_; }
    // Seconds per frame given to ImGui (io.DeltaTime); default 1/60.
    void SetDeltaTime(float seconds) { deltaTime_ = seconds; }
    // Runs frames until `seconds` of simulated time have passed (at the current delta).
    void AdvanceTime(float seconds);
    // Resizes the simulated main viewport (as a window resize would); applies next frame.
    void SetDisplaySize(float width, float height);

    // --- keyboard ---
    // Queues UTF-8 characters for the focused text field and runs one frame.
    void TypeText(const std::string& utf8);
    // Presses and releases a key: modifiers go down in one frame, the key in the next, and
    // everything is released in a third frame (so widgets see the press for one frame).
    void PressKey(int key, unsigned mods = kNoMod);
    // The layout that gives pressed keys their meaning.
    void SetKeyboardLayout(Layout layout) { layout_ = layout; }
    // Holds / releases one key (runs one frame each).
    void KeyDown(int key);
    void KeyUp(int key);

    // --- mouse ---
    void MoveMouse(float x, float y);                      // one frame
    void ClickAt(float x, float y, int button = 0);        // move, press, release: 3 frames
    void DoubleClickAt(float x, float y, int button = 0);  // two clicks: 5 frames
    void ScrollWheel(float lines);                         // one frame, at the mouse position
    ImVec2 MousePos() const { return mouse_; }

    // --- what was drawn in the last frame ---
    std::vector<TextRun> Texts() const;
    // First run containing `text` (or equal to it when `exact`).
    std::optional<TextRun> FindText(const std::string& text, bool exact = false) const;
    bool HasText(const std::string& text, bool exact = false) const { return FindText(text, exact).has_value(); }
    // Every run drawn by windows whose name contains `windowPart`, joined with '\n'.
    std::string AllText(const std::string& windowPart = "") const;
    // Clicks the centre of the first run containing `text`; false when it was not drawn.
    bool ClickText(const std::string& text, bool exact = false);

    // --- items by ID ---
    // The ImGui ID of an item: the window (exact name, or a child window's own name such as
    // "LicenseScroll") followed by the ID path pushed inside it, e.g.
    // ItemId("MainDock", {"MainTabs", "Flow", "INICIAR MONITORAMENTO"}).
    // Tab bars and tab items push their IDs, so tab contents live under {"BarName", "TabLabel"}.
    ImGuiID ItemId(const std::string& window, std::initializer_list<std::string> path) const;
    // Activates an item as keyboard navigation would (presses a button or checkbox, focuses
    // a text field for TypeText). Runs two frames. The item must be drawn in those frames.
    void Activate(ImGuiID id);
    ImGuiID ActiveId() const;   // item being edited/held (0: none)
    ImGuiID HoveredId() const;  // item under the mouse in the last frame

    // --- tabs ---
    // Clicks the tab labelled `label` in whichever visible tab bar has it (MainTabs, or a
    // tab's inner bar) and runs frames until it is selected (one frame first, so that a bar
    // that just appeared is laid out). False when no such tab is drawn.
    bool SelectTab(const std::string& label);
    // Label of the selected tab of the visible tab bar that has a tab `anyTabLabel`.
    std::string SelectedTab(const std::string& anyTabLabel = "HOME") const;

    // --- windows ---
    std::vector<WindowInfo> Windows() const;
    std::optional<WindowInfo> FindWindow(const std::string& name) const;  // exact or child's own name

    // --- shell shortcuts ---
    // Leaves the lock screen without the password (clears the shared lock flag) and runs two frames
    // (the tab bar is laid out and drawn with its labels after the second).
    void Unlock();

private:
    void Init(float width, float height);
    int KeySymbol(int scancode) const;  // letters only; 0 for other keys
    void ApplyInput();
    std::unique_ptr<App> app_;
    std::function<void()> draw_;
    Layout layout_ = Layout::Qwerty;
    bool quitShortcutPending_ = false;  // handed to the next App frame, as the window does
    ImGuiContext* context_ = nullptr;
    bool keys_[512] = {};
    bool mouseDown_[5] = {};
    ImVec2 mouse_{-FLT_MAX, -FLT_MAX};
    float wheel_ = 0.0f;
    std::string pendingChars_;
    float deltaTime_ = 1.0f / 60.0f;
    bool quitSeen_ = false;
    int framesRun_ = 0;
    struct GlyphKey;
    struct Glyphs;
    std::unique_ptr<Glyphs> glyphs_;
};

}  // namespace harness
