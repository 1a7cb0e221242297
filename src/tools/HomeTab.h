#pragma once
#include <functional>

#include "tools/SystemInfo.h"

struct SharedState;

// The HOME tab: the machine's facts, shortcuts to the desktop's settings and the lock button.
class HomeTab {
public:
    // `source` gives the dashboard facts; empty: CollectSystemInfo.
    explicit HomeTab(SharedState& shared, std::function<SystemInfo()> source = {});

    void Draw();

    const SystemInfo& Facts() const { return facts_; }

private:
    SharedState& shared_;
    std::function<SystemInfo()> source_;
    SystemInfo facts_;
    float refreshTimer_ = 0.0f;
};
