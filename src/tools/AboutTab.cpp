#include "app/App.h"

void App::DrawAboutTab() {}
