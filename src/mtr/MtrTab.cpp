#include "app/App.h"

void App::DrawMtrTab() {}
void App::DrawMtrTable() {}
