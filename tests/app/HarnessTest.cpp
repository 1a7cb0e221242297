// The frame harness is shared by every tab's tests: pin down the parts of its API the shell
// tests don't already lean on.
#include <gtest/gtest.h>

#include "app/App.h"
#include "harness/FrameHarness.h"

using harness::FrameHarness;

TEST(AppHarness, ItemIdsMatchWhatImGuiHoversAndWindowsAreListed) {
    FrameHarness h;
    h.RunFrames(2);
    // The password field takes the keyboard as the dialog appears, and an item being edited
    // keeps the others from being hovered: click beside the dialog first.
    h.ClickAt(5.0f, 5.0f);
    auto button = h.FindText("DESBLOQUEAR", true);
    ASSERT_TRUE(button);
    h.MoveMouse(button->Center().x, button->Center().y);
    EXPECT_EQ(h.HoveredId(), h.ItemId("Autenticacao Orvanta", {"DESBLOQUEAR"}));
    EXPECT_EQ(h.MousePos().x, button->Center().x);

    bool sawHost = false, sawDialog = false;
    for (const harness::WindowInfo& w : h.Windows()) {
        if (w.name == "MainDock") sawHost = w.active;
        if (w.name == "Autenticacao Orvanta") sawDialog = w.active && !w.isChild;
    }
    EXPECT_TRUE(sawHost);
    EXPECT_TRUE(sawDialog);
    EXPECT_NE(h.AllText("Autenticacao").find("Digite a senha para desbloquear o sistema:"), std::string::npos);
    EXPECT_EQ(h.AllText("MainDock").find("Digite a senha"), std::string::npos);

    // Child windows are found by their own name; ids inside them start from the child.
    h.Unlock();
    ASSERT_TRUE(h.SelectTab("Sobre"));
    auto child = h.FindWindow("LicenseScroll");
    ASSERT_TRUE(child);
    EXPECT_TRUE(child->isChild);
    EXPECT_NE(h.ItemId("LicenseScroll", {"1. TERMOS DE USO"}), 0u);
}

TEST(AppHarness, ActivateTogglesAHeaderAndTimeAdvancesInFrames) {
    FrameHarness h;
    h.Unlock();
    ASSERT_TRUE(h.SelectTab("Sobre"));
    ASSERT_TRUE(h.SelectTab("Créditos de Terceiros"));
    EXPECT_FALSE(h.HasText("Uso: Interface Gráfica (GUI) da aplicação."));
    h.Activate(h.ItemId("CreditsScroll", {"2. IMGUI (Dear ImGui)"}));
    EXPECT_TRUE(h.HasText("Uso: Interface Gráfica (GUI) da aplicação."));

    const int before = h.FramesRun();
    h.SetDeltaTime(0.1f);
    h.AdvanceTime(1.0f);
    EXPECT_EQ(h.FramesRun() - before, 10);
    EXPECT_FALSE(h.QuitRequested());
}
