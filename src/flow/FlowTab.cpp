#include "app/App.h"

void App::DrawFlowTab() {}
