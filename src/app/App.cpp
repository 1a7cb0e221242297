#include "app/App.h"

// Placeholder shell: the window, main loop and shutdown arrive with the spine issue.
App::App() = default;
App::~App() = default;
bool App::Initialize(const std::string&, int, int) { return false; }
void App::Run() {}
bool App::DrawFrame() { return false; }
