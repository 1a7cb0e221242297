#pragma once
#include <functional>
#include <memory>

#include "mtr/MtrCore.h"
#include "tools/CheckIp.h"
#include "tools/SystemInfo.h"

// What may differ between one App and another: where the tabs get their outside facts from.
// The defaults are the real ones; tests put their own servers and facts here.
struct AppOptions {
    CheckIpOptions checkIp;                   // empty host: the built-in endpoint
    std::function<SystemInfo()> systemFacts;  // empty: CollectSystemInfo
    std::function<std::unique_ptr<MtrCore>()> mtrEngine;  // empty: an MTR engine on the network
};
