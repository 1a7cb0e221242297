#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "app/App.h"
#include "app/Password.h"
#include "TestPassword.h"

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
    EXPECT_FALSE(PasswordMatchesDigest(".7351!QUARTZY.", kLockPasswordDigest));  // other case
    EXPECT_FALSE(PasswordMatchesDigest("", kLockPasswordDigest));            // empty field
    EXPECT_FALSE(PasswordMatchesDigest(pw.substr(0, 13), kLockPasswordDigest));
}

TEST(AppPassword, TryUnlockWipesAllSixtyFourBytesOnlyOnSuccess) {
    App app;
    EXPECT_FALSE(app.unlocked);
    std::strcpy(app.passwordInput, ".7351!quartzy ");
    app.TryUnlock();
    EXPECT_FALSE(app.unlocked);
    EXPECT_STREQ(app.passwordInput, ".7351!quartzy ");  // a wrong password stays for editing

    std::memset(app.passwordInput, 'x', sizeof(app.passwordInput));  // junk after the NUL too
    std::strcpy(app.passwordInput, kTestPassword);
    app.TryUnlock();
    EXPECT_TRUE(app.unlocked);
    for (char c : app.passwordInput) EXPECT_EQ(c, 0);
}

TEST(AppPassword, ClearTextIsNeitherInTheExecutableNorInTheSources) {
    bool opened = false;
    EXPECT_FALSE(FileContains(std::string(OC_BINARY_DIR) + "/src/app/orvanta-connect", kTestPassword, &opened));
    if (!opened) GTEST_SKIP() << "orvanta-connect not built in " << OC_BINARY_DIR;
    for (const char* f : {"/src/app/Password.cpp", "/src/app/LockScreen.cpp", "/src/app/App.cpp", "/src/app/App.h"}) {
        EXPECT_FALSE(FileContains(std::string(OC_SOURCE_DIR) + f, kTestPassword, &opened)) << f;
        EXPECT_TRUE(opened) << f;
    }
}
