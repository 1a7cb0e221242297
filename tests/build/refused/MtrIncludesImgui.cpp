// Must not compile: the MTR engine does not link the GUI library.
#include <imgui.h>
