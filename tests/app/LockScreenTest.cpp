#include <gtest/gtest.h>

#include <cstring>

#include "app/App.h"
#include "harness/FrameHarness.h"
#include "TestPassword.h"

using harness::FrameHarness;
namespace keys = platform::keys;

namespace {

// Clicks into the password field ("##pwd" of the lock dialog) so that typing goes there.
void FocusPasswordField(FrameHarness& h) {
    h.Activate(h.ItemId("Autenticacao Orvanta", {"##pwd"}));
    ASSERT_EQ(h.ActiveId(), h.ItemId("Autenticacao Orvanta", {"##pwd"}));
}

}  // namespace

TEST(AppLockScreen, StartsLockedWithTheDialogAndNoTabs) {
    FrameHarness h;
    h.RunFrames(2);
    EXPECT_FALSE(h.app().unlocked);
    EXPECT_TRUE(h.HasText("Digite a senha para desbloquear o sistema:"));
    EXPECT_TRUE(h.HasText("DESBLOQUEAR", true));
    EXPECT_TRUE(h.HasText("Autenticacao Orvanta", true));
    EXPECT_FALSE(h.HasText("HOME", true));
    EXPECT_FALSE(h.HasText("Sobre", true));
}

TEST(AppLockScreen, PasswordAndEnterUnlocksAndClearsTheField) {
    FrameHarness h;
    h.RunFrames(2);
    FocusPasswordField(h);
    h.TypeText(kTestPassword);
    EXPECT_STREQ(h.app().passwordInput, kTestPassword);
    // Typed characters are masked on screen.
    EXPECT_FALSE(h.HasText(kTestPassword));
    EXPECT_TRUE(h.HasText("**************", true));
    h.PressKey(keys::Enter);
    EXPECT_TRUE(h.app().unlocked);
    for (char c : h.app().passwordInput) EXPECT_EQ(c, 0);
    h.RunFrames(1);
    EXPECT_TRUE(h.HasText("HOME", true));
    EXPECT_FALSE(h.HasText("Digite a senha para desbloquear o sistema:"));
}
