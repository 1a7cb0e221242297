#pragma once
// The access password, needed by tests that type it. It exists in clear text only here: the
// program itself carries just its SHA-256 digest.
inline constexpr const char* kTestPassword = ".7351!quartzy.";
