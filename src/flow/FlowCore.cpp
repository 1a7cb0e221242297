#include "flow/FlowCore.h"
