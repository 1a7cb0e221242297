#pragma once
// What the tabs and the command line say about the engines' start failures and stops. The
// engines report enums and the capture library's own words; the sentences are made here.
#include <string>

#include "capture/StartError.h"

// Portuguese sentence for the user, e.g. for the "Falha ao Iniciar" popup. Empty for None.
std::string StartErrorText(StartError error);

// Portuguese cause for a capture loop that ended by itself, from libpcap's text of the read
// error (or the message of a failure while handling a frame). Known libpcap texts are
// translated; others are kept after a Portuguese lead-in.
std::string CaptureEndText(const std::string& loopError);
