#include "app/App.h"

int main() {
    App app;
    if (!app.Initialize("Orvanta Connect", 1280, 800)) return 1;
    app.Run();
    return 0;
}
