#include "platform/Capabilities.h"

#include <windows.h>

namespace platform {

// Raw sockets and injection through the capture driver need an elevated administrator.
CaptureRights CurrentCaptureRights() {
    CaptureRights r;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                 &admins)) {
        BOOL member = FALSE;
        if (CheckTokenMembership(nullptr, admins, &member) && member) r.netRaw = r.netAdmin = true;
        FreeSid(admins);
    }
    return r;
}

std::string MissingCaptureRights(const CaptureRights& rights) {
    return rights.Complete() ? std::string() : std::string("direitos de administrador");
}

}  // namespace platform
