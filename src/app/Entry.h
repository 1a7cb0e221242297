#pragma once
#include <functional>
#include <string>

class App;

// The process entry's guarded body, with its services replaceable for tests.
struct EntryServices {
    std::function<bool(App&)> initialize;  // default: App::Initialize("Orvanta Connect", 1280, 800)
    std::function<void(App&)> run;         // default: App::Run
    std::function<void(const std::string& caption, const std::string& text)> messageBox;
};

// Builds the App, initialises and runs it, and destroys it before any crash box is shown.
// Returns 0 after a normal run, 1 when initialisation failed, -1 after an exception.
int RunApplication(const EntryServices& services = {});
