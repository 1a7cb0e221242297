#include "tools/SystemInfo.h"
