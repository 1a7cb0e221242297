#pragma once
// The window benches' App with its MTR engine on a fake network (mtrtest::FakeProbeTransport):
// `fake` is set to the engine's transport once the App has built it.
#include <memory>
#include <string>

#include "app/App.h"
#include "lib/MtrFakes.h"

inline AppOptions OptionsWithFakeMtr(mtrtest::FakeProbeTransport*& fake, const std::string& target) {
    AppOptions options;
    options.mtrEngine = [&fake, target] {
        auto clock = std::make_shared<SystemMtrClock>();
        auto transport = std::make_unique<mtrtest::FakeProbeTransport>(clock);
        transport->target = target;
        fake = transport.get();
        return std::make_unique<MtrCore>(std::move(transport), clock);
    };
    return options;
}
