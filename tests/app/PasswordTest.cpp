#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <string>

#include "app/LockScreen.h"
#include "app/Password.h"
#include "app/SharedState.h"
#include "harness/FrameHarness.h"
#include "lib/TestPassword.h"

namespace {

std::string Hex(const PasswordDigest& d) {
    static const char* k = "0123456789abcdef";
    std::string s;
    for (unsigned char c : d) {
        s += k[c >> 4];
        s += k[c & 15];
    }
    return s;
}

bool FileContains(const std::string& path, const std::string& needle, bool* opened) {
    std::ifstream in(path, std::ios::binary);
    *opened = static_cast<bool>(in);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return data.find(needle) != std::string::npos;
}

}  // namespace

TEST(AppPassword, Sha256MatchesTheStandardTestVector) {
    // FIPS 180-2 example "abc".
    EXPECT_EQ(Hex(Sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Hex(Sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(AppPassword, OnlyTheExactPasswordMatches) {
    const std::string pw = kTestPassword;
    EXPECT_EQ(pw.size(), 14u);
    EXPECT_TRUE(PasswordMatchesDigest(pw, kLockPasswordDigest));
    EXPECT_FALSE(PasswordMatchesDigest(pw + " ", kLockPasswordDigest));    // trailing blank
    EXPECT_FALSE(PasswordMatchesDigest(" " + pw, kLockPasswordDigest));
    std::string upper = pw;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    EXPECT_FALSE(PasswordMatchesDigest(upper, kLockPasswordDigest));  // other case
    EXPECT_FALSE(PasswordMatchesDigest("", kLockPasswordDigest));            // empty field
    EXPECT_FALSE(PasswordMatchesDigest(pw.substr(0, 13), kLockPasswordDigest));
}

TEST(AppPassword, UnlockWipesAllSixtyFourBytesOnlyOnSuccess) {
    // The lock screen alone, as the shell draws it while the lock flag is set.
    SharedState shared;
    LockScreen lock(shared);
    harness::FrameHarness h([&] {
        if (shared.locked) lock.Draw();
    });
    h.RunFrames(2);
    const ImGuiID field = h.ItemId("Autenticacao Orvanta", {"##pwd"});
    auto replaceField = [&](const std::string& text) {
        h.Activate(field);
        h.PressKey(platform::keys::A, harness::kLeftCtrl);
        h.PressKey(platform::keys::Backspace);
        h.TypeText(text);
    };
    const std::string nearly = std::string(kTestPassword).substr(0, 13) + " ";
    replaceField(nearly);
    h.PressKey(platform::keys::Enter);
    EXPECT_TRUE(shared.locked);
    EXPECT_EQ(lock.FieldText(), nearly);  // a wrong password stays for editing

    // A long text first, so bytes are left behind the terminator of the shorter password.
    replaceField(std::string(63, 'x'));
    replaceField(kTestPassword);
    ASSERT_NE(lock.FieldBytes()[40], 0) << "the field no longer leaves old bytes behind; pick another probe";
    h.PressKey(platform::keys::Enter);
    EXPECT_FALSE(shared.locked);
    for (char c : lock.FieldBytes()) EXPECT_EQ(c, 0);
}

TEST(AppPassword, ClearTextIsNeitherInTheExecutableNorInTheSources) {
    bool opened = false;
    EXPECT_FALSE(FileContains(std::string(OC_BINARY_DIR) + "/src/app/orvanta-connect", kTestPassword, &opened));
    if (!opened) GTEST_SKIP() << "orvanta-connect not built in " << OC_BINARY_DIR;
    for (const char* f : {"/src/app/Password.cpp", "/src/app/LockScreen.cpp", "/src/app/LockScreen.h", "/src/app/App.cpp", "/src/app/App.h"}) {
        EXPECT_FALSE(FileContains(std::string(OC_SOURCE_DIR) + f, kTestPassword, &opened)) << f;
        EXPECT_TRUE(opened) << f;
    }
}
