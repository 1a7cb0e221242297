#include "mtr/MtrCore.h"
