#include "probe/NetworkSender.h"
