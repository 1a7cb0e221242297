#pragma once
// The little state that really belongs to more than one tab. The shell owns one of each and
// hands a reference to the tabs that need it; everything else a tab keeps to itself.
#include "ui/DeviceChoice.h"

struct SharedState {
    CaptureDeviceChoice capture;
    MtrTraceRequest mtrTrace;
    // Set by HOME's "BLOQUEAR SISTEMA", cleared by the lock screen on the right password.
    bool locked = true;
};
