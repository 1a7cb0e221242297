#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/App.h"
#include "harness/FrameHarness.h"

using harness::FrameHarness;
namespace keys = platform::keys;

namespace {

const char* const kTabs[] = {"HOME", "MTR", "Flow", "Check IP", "Som", "Sobre"};

}  // namespace

TEST(AppMainLoop, CtrlQWithEitherCtrlQuitsFromTheLockScreen) {
    for (unsigned ctrl : {harness::kLeftCtrl, harness::kRightCtrl}) {
        FrameHarness h;
        h.RunFrames(2);
        ASSERT_TRUE(h.app().Shared().locked);
        h.PressKey(keys::Q, ctrl);
        EXPECT_TRUE(h.QuitRequested()) << "ctrl mask " << ctrl;
        EXPECT_TRUE(h.app().Shared().locked);
    }
}

TEST(AppMainLoop, CtrlQQuitsFromEveryTab) {
    for (const char* tab : kTabs) {
        for (unsigned ctrl : {harness::kLeftCtrl, harness::kRightCtrl}) {
            FrameHarness h;
            h.Unlock();
            ASSERT_TRUE(h.SelectTab(tab)) << tab;
            ASSERT_FALSE(h.QuitRequested());
            h.PressKey(keys::Q, ctrl);
            EXPECT_TRUE(h.QuitRequested()) << tab << " ctrl mask " << ctrl;
        }
    }
}

TEST(AppMainLoop, QAloneOrCtrlAloneOrOtherChordsDoNothing) {
    FrameHarness h;
    h.RunFrames(2);
    h.PressKey(keys::Q);
    h.PressKey(keys::LeftCtrl);
    h.PressKey(keys::RightCtrl);
    h.PressKey(keys::A, harness::kLeftCtrl);
    h.PressKey(keys::Q, harness::kShift);
    h.PressKey(keys::Q, harness::kAlt);
    EXPECT_FALSE(h.QuitRequested());
    h.Unlock();
    h.PressKey(keys::Q);
    EXPECT_FALSE(h.QuitRequested());
}

TEST(AppMainLoop, CtrlQIsReadByTheKeysMeaningNotItsPlace) {
    // On AZERTY the key in QWERTY's Q place types 'a': Ctrl on it selects, it does not quit.
    FrameHarness h;
    h.SetKeyboardLayout(harness::Layout::Azerty);
    h.RunFrames(2);
    h.PressKey(keys::Q, harness::kLeftCtrl);
    EXPECT_FALSE(h.QuitRequested());
    h.Unlock();
    ASSERT_TRUE(h.SelectTab("MTR"));
    h.PressKey(keys::Q, harness::kLeftCtrl);
    EXPECT_FALSE(h.QuitRequested());
    // The key that types 'q' there quits.
    h.PressKey(keys::A, harness::kRightCtrl);
    EXPECT_TRUE(h.QuitRequested());
}

TEST(AppMainLoop, OnlyTheSelectedTabDrawsAndNothingWhileLocked) {
    FrameHarness h;
    std::map<std::string, int> calls;
    h.app().SetTabDrawHook([&](const char* label) { ++calls[label]; });
    h.RunFrames(5);
    EXPECT_TRUE(calls.empty()) << "tab content ran behind the lock screen";

    h.Unlock();
    h.RunFrames(3);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls["HOME"], 5);  // first tab selected at start, one call per frame
    EXPECT_EQ(h.SelectedTab(), "HOME");

    // "Som" last: on a machine without audio devices it opens a modal popup, which (as any
    // modal does) keeps clicks off the tab bar.
    for (const char* tab : {"MTR", "Flow", "Check IP", "Sobre", "HOME", "Som"}) {
        ASSERT_TRUE(h.SelectTab(tab)) << tab;
        calls.clear();
        h.RunFrames(4);
        EXPECT_EQ(calls.size(), 1u) << tab;
        EXPECT_EQ(calls[tab], 4) << tab;
        EXPECT_EQ(h.SelectedTab(), tab);
    }

    // Relocking (as HOME's "BLOQUEAR SISTEMA" does) stops all tab drawing again.
    h.app().Shared().locked = true;
    calls.clear();
    h.RunFrames(3);
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(h.HasText("Digite a senha para desbloquear o sistema:"));
}

TEST(AppMainLoop, SixTabsInOrderInsideTheFullScreenHostWindow) {
    FrameHarness h(1024.0f, 700.0f);
    h.Unlock();
    h.Frame();
    std::vector<float> xs;
    for (const char* tab : kTabs) {
        auto run = h.FindText(tab, true);
        ASSERT_TRUE(run) << tab;
        EXPECT_EQ(run->window, "MainDock");
        xs.push_back(run->min.x);
    }
    for (size_t i = 1; i < xs.size(); ++i) EXPECT_LT(xs[i - 1], xs[i]) << kTabs[i];
    for (float x : xs) EXPECT_NEAR(x, xs[0], 400.0f);  // one row, not scattered
    auto host = h.FindWindow("MainDock");
    ASSERT_TRUE(host);
    EXPECT_EQ(host->pos.x, 0.0f);
    EXPECT_EQ(host->pos.y, 0.0f);
    EXPECT_EQ(host->size.x, 1024.0f);
    EXPECT_EQ(host->size.y, 700.0f);
}

TEST(AppMainLoop, HostAndLockDialogFollowADisplayResize) {
    FrameHarness h;
    h.RunFrames(3);
    auto dialog = h.FindWindow("Autenticacao Orvanta");
    ASSERT_TRUE(dialog);
    EXPECT_NEAR(dialog->pos.x + dialog->size.x / 2, 640.0f, 1.0f);
    EXPECT_NEAR(dialog->pos.y + dialog->size.y / 2, 400.0f, 1.0f);

    h.SetDisplaySize(900.0f, 500.0f);
    h.RunFrames(2);
    dialog = h.FindWindow("Autenticacao Orvanta");
    auto host = h.FindWindow("MainDock");
    ASSERT_TRUE(dialog && host);
    EXPECT_NEAR(dialog->pos.x + dialog->size.x / 2, 450.0f, 1.0f);
    EXPECT_NEAR(dialog->pos.y + dialog->size.y / 2, 250.0f, 1.0f);
    EXPECT_EQ(host->size.x, 900.0f);
    EXPECT_EQ(host->size.y, 500.0f);
}

TEST(AppMainLoop, AnExceptionFromATabLeavesTheFrameAndTheHarnessRecovers) {
    FrameHarness h;
    h.Unlock();
    bool armed = true;
    h.app().SetTabDrawHook([&](const char*) {
        if (armed) throw std::runtime_error("tab failed");
    });
    EXPECT_THROW(h.Frame(), std::runtime_error);
    armed = false;
    EXPECT_NO_THROW(h.RunFrames(2));
    EXPECT_TRUE(h.HasText("HOME", true));
}

TEST(AppRedraw, RequestKeepsTheEarliestWishAndBoundsTheWait) {
    platform::RedrawRequest r;
    const auto t0 = platform::RedrawRequest::Clock::now();
    EXPECT_FALSE(r.Pending());
    EXPECT_EQ(r.WaitMs(100, t0), 100);  // nothing asked: the loop's own limit
    r.Within(2000, t0);
    r.Within(50, t0);
    r.Within(400, t0);
    EXPECT_EQ(r.WaitMs(100, t0), 50);
    EXPECT_EQ(r.WaitMs(20, t0), 20);
    EXPECT_FALSE(r.DueAt(t0 + std::chrono::milliseconds(49)));
    EXPECT_TRUE(r.DueAt(t0 + std::chrono::milliseconds(50)));
    EXPECT_EQ(r.WaitMs(100, t0 + std::chrono::milliseconds(80)), 0);  // overdue: draw at once
    r.Within(-5, t0);
    EXPECT_TRUE(r.DueAt(t0));
    r.Clear();
    EXPECT_FALSE(r.Pending());
    EXPECT_FALSE(r.DueAt(t0 + std::chrono::hours(1)));
}

// What the loop sleeps on: after the settling frames only the caret, the dashboard's timer
// or a working engine ask for a frame; a still tab asks for none.
TEST(AppRedraw, OnlyInputACaretTheDashboardTimerOrAnEngineAskForFrames) {
    FrameHarness h;
    const auto waitMs = [&] { return h.app().Redraw().WaitMs(60'000, platform::RedrawRequest::Clock::now()); };
    h.RunFrames(3);
    // The lock screen's password field has the keyboard: the caret blinks.
    ASSERT_TRUE(h.app().Redraw().Pending());
    EXPECT_GT(waitMs(), 300);
    EXPECT_LE(waitMs(), 400);

    h.Unlock();
    ASSERT_TRUE(h.SelectTab("Sobre"));
    h.RunFrames(App::kSettleFrames + 1);
    EXPECT_FALSE(h.app().Redraw().Pending()) << "a still tab keeps the loop drawing";

    // Input: exactly kSettleFrames frames follow, the first ones asked for at once.
    h.app().NoteInput();
    EXPECT_EQ(waitMs(), 0);
    for (int i = 1; i < App::kSettleFrames; ++i) {
        h.Frame();
        EXPECT_EQ(waitMs(), 0) << "frame " << i;
    }
    h.Frame();
    EXPECT_FALSE(h.app().Redraw().Pending());

    // HOME's figures refresh every 2 s: one frame then, none between.
    ASSERT_TRUE(h.SelectTab("HOME"));
    h.RunFrames(App::kSettleFrames + 1);
    ASSERT_TRUE(h.app().Redraw().Pending());
    EXPECT_GT(waitMs(), 1900);
    EXPECT_LE(waitMs(), 2000);
    // MTR and Flow with their engines idle ask for nothing.
    for (const char* tab : {"MTR", "Flow", "Check IP", "Som"}) {
        ASSERT_TRUE(h.SelectTab(tab)) << tab;
        h.RunFrames(App::kSettleFrames + 1);
        EXPECT_FALSE(h.app().Redraw().Pending()) << tab;
    }
}
