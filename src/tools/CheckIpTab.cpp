#include "app/App.h"

void App::DrawCheckIpTab() {}
