#pragma once
#include <functional>

#include "tools/SystemInfo.h"

// The HOME tab: the machine's facts, shortcuts to the desktop's settings and the lock button.
class HomeTab {
public:
    // `source` gives the dashboard facts; empty: CollectSystemInfo. "BLOQUEAR SISTEMA" sets
    // `locked`, the shell's lock flag.
    explicit HomeTab(bool& locked, std::function<SystemInfo()> source = {});

    void Draw();

    const SystemInfo& Facts() const { return facts_; }

private:
    bool& locked_;
    std::function<SystemInfo()> source_;
    SystemInfo facts_;
    float refreshTimer_ = 0.0f;
};
