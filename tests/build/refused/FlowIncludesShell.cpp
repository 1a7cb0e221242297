// Must not compile: the Flow engine does not link the shell.
#include "app/App.h"
