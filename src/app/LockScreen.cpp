#include "app/App.h"

void App::DrawLockScreen() {}
