#pragma once

namespace platform {

// Names the calling thread, so that it can be told apart in top, a debugger or a profiler.
// Linux keeps at most 15 characters; a longer name is cut. Nothing happens where the system
// has no thread names.
void NameThisThread(const char* name);

}  // namespace platform
