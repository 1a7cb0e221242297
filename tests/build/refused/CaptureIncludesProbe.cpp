// Must not compile: the capture library does not link the probe library.
#include "probe/ProbeMatch.h"
