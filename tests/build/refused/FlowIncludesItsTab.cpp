// Must not compile: the Flow engine does not link its tab.
#include "flow/view/FlowTab.h"
