#include "app/Entry.h"

#include <exception>
#include <optional>

#include "app/App.h"
#include "platform/gui/MessageBox.h"

int RunApplication(const EntryServices& services) {
    auto box = [&](const std::string& caption, const std::string& text) {
        if (services.messageBox) {
            services.messageBox(caption, text);
        } else {
            platform::ShowErrorBox(caption, text);
        }
    };
    // The App lives inside the try block, so the whole shutdown runs (tray icon and window
    // gone) before a crash box is shown.
    try {
        App app;
        const bool ok = services.initialize ? services.initialize(app)
                                            : app.Initialize("Orvanta Connect", 1280, 800);
        if (!ok) {
            box("Error", "Failed to initialize GUI");
            return 1;
        }
        if (services.run) {
            services.run(app);
        } else {
            app.Run();
        }
        return 0;
    } catch (const std::exception& e) {
        box("CRASH", std::string("CRASH: Uncaught exception: ") + e.what());
    } catch (...) {
        box("CRASH", "Unknown critical error occurred.");
    }
    return -1;
}
