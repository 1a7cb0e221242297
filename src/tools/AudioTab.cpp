#include "app/App.h"

void App::DrawAudioTab() {}
