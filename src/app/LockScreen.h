#pragma once
#include <span>
#include <string_view>

#include "app/Password.h"

struct SharedState;

// The dialog that keeps every tab out of reach until the access password is typed. Draws
// only while the shared lock flag is set, and clears it on a match.
class LockScreen {
public:
    explicit LockScreen(SharedState& shared, const PasswordDigest& digest = kLockPasswordDigest);

    void Draw();

    // What the password field holds (masked on screen).
    std::string_view FieldText() const;
    // The field's whole buffer, bytes after the terminator included: what a wipe must clear.
    std::span<const char, 64> FieldBytes() const { return std::span<const char, 64>(input_); }

private:
    // Password test: unlocks and wipes the field on a match; a wrong password stays for editing.
    void TryUnlock();
    void Wipe();

    SharedState& shared_;
    PasswordDigest digest_;
    char input_[64] = {};
    int lastFrame_ = -10;  // GUI frame of the last drawing, to notice the dialog appearing
    int focusFrames_ = 0;
    bool fieldActive_ = false;  // frames left in which the field still asks for keyboard focus
};
