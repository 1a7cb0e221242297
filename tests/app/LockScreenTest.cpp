#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "app/App.h"
#include "harness/FrameHarness.h"
#include "lib/TestPassword.h"

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
    EXPECT_TRUE(h.app().Shared().locked);
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
    EXPECT_EQ(h.app().Lock().FieldText(), kTestPassword);
    // Typed characters are masked on screen.
    EXPECT_FALSE(h.HasText(kTestPassword));
    EXPECT_TRUE(h.HasText("**************", true));
    h.PressKey(keys::Enter);
    EXPECT_FALSE(h.app().Shared().locked);
    for (char c : h.app().Lock().FieldBytes()) EXPECT_EQ(c, 0);
    h.RunFrames(1);
    EXPECT_TRUE(h.HasText("HOME", true));
    EXPECT_FALSE(h.HasText("Digite a senha para desbloquear o sistema:"));
}

TEST(AppLockScreen, WrongPasswordsLeaveTheTextAndStayLocked) {
    FrameHarness h;
    h.RunFrames(2);
    FocusPasswordField(h);
    const std::string base = kTestPassword;
    std::string upper = base;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& wrong : {base + " ", upper, std::string("senha")}) {
        h.Frame();
        h.Activate(h.ItemId("Autenticacao Orvanta", {"##pwd"}));
        h.PressKey(keys::A, harness::kLeftCtrl);  // select what the field holds
        h.PressKey(keys::Backspace);
        h.TypeText(wrong);
        h.PressKey(keys::Enter);
        EXPECT_TRUE(h.app().Shared().locked) << wrong;
        EXPECT_EQ(h.app().Lock().FieldText(), wrong);
        EXPECT_TRUE(h.HasText("Digite a senha para desbloquear o sistema:"));
    }
}

TEST(AppLockScreen, EmptyFieldWithEnterOrButtonDoesNotUnlock) {
    FrameHarness h;
    h.RunFrames(2);
    FocusPasswordField(h);
    h.PressKey(keys::Enter);
    EXPECT_TRUE(h.app().Shared().locked);
    ASSERT_TRUE(h.ClickText("DESBLOQUEAR", true));
    EXPECT_TRUE(h.app().Shared().locked);
}

TEST(AppLockScreen, TheButtonUnlocksWithTheRightPassword) {
    FrameHarness h;
    h.RunFrames(2);
    FocusPasswordField(h);
    h.TypeText(kTestPassword);
    ASSERT_TRUE(h.ClickText("DESBLOQUEAR", true));
    EXPECT_FALSE(h.app().Shared().locked);
    EXPECT_EQ(h.app().Lock().FieldText(), "");
}

TEST(AppLockScreen, RelockingShowsAnEmptyField) {
    FrameHarness h;
    h.RunFrames(2);
    FocusPasswordField(h);
    h.TypeText(kTestPassword);
    h.PressKey(keys::Enter);
    ASSERT_FALSE(h.app().Shared().locked);
    h.RunFrames(2);
    h.app().Shared().locked = true;  // what "BLOQUEAR SISTEMA" does
    h.RunFrames(2);
    EXPECT_TRUE(h.HasText("Digite a senha para desbloquear o sistema:"));
    EXPECT_FALSE(h.HasText("*"));
    EXPECT_EQ(h.app().Lock().FieldText(), "");
    // And the lock holds: typing a wrong password does not open it.
    FocusPasswordField(h);
    h.TypeText("x");
    h.PressKey(keys::Enter);
    EXPECT_TRUE(h.app().Shared().locked);
}

TEST(AppLockScreen, ThePasswordCanBeTypedAtOnceAfterStartAndAfterRelocking) {
    FrameHarness h;
    h.RunFrames(2);
    // No click into the field: it has the keyboard as soon as the dialog is there.
    h.TypeText(kTestPassword);
    h.PressKey(keys::Enter);
    ASSERT_FALSE(h.app().Shared().locked);

    h.RunFrames(2);
    h.app().Shared().locked = true;
    h.RunFrames(2);
    h.TypeText(kTestPassword);
    h.PressKey(keys::Enter);
    EXPECT_FALSE(h.app().Shared().locked);
}

TEST(AppLockScreen, DialogIsCentredWithTitleAndHasNoSavedSettings) {
    FrameHarness h(1600.0f, 1000.0f);
    h.RunFrames(3);
    auto dialog = h.FindWindow("Autenticacao Orvanta");
    ASSERT_TRUE(dialog);
    EXPECT_NEAR(dialog->pos.x + dialog->size.x / 2, 800.0f, 1.0f);
    EXPECT_NEAR(dialog->pos.y + dialog->size.y / 2, 500.0f, 1.0f);
    // Title bar text drawn above the prompt.
    auto title = h.FindText("Autenticacao Orvanta", true);
    auto prompt = h.FindText("Digite a senha para desbloquear o sistema:", true);
    ASSERT_TRUE(title && prompt);
    EXPECT_LT(title->max.y, prompt->min.y);
    // The button sits on the same line as the field, right of it.
    auto button = h.FindText("DESBLOQUEAR", true);
    ASSERT_TRUE(button);
    EXPECT_GT(button->min.x, dialog->pos.x + 250.0f);
    EXPECT_GT(button->min.y, prompt->max.y);
}
