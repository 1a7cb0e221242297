#include "app/App.h"

void App::DrawHomeTab() {}
