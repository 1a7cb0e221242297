#pragma once
// What the MTR tab and the command line say about a run that ended on its own. The engine
// reports the cause and the capture library's (or the failing call's) own words.
#include <string>

#include "mtr/HopEvents.h"
#include "mtr/MtrTypes.h"

// "A captura parou: ..." or "O envio de sondas parou: ..."; empty for None.
std::string MtrStopCauseText(MtrStopCause cause, const std::string& detail);

// The event panel's words for each kind of event ("Inicio de perda", ...).
const char* MtrEventKindLabel(MtrEventKind kind);
