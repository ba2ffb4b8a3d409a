// Names of signals and of the codes that say how a signal came about, as
// the record and the listings show them.
#pragma once

#include <string>

namespace Skelvane {

// "SIGSEGV" for 11; "SIGRTMIN+3" for a real-time signal; "signal 99" for a
// number no signal has.
std::string signalName(int number);
// "SEGV_MAPERR" for SIGSEGV's code 1, "SI_USER" for 0, ...; "" when the
// code has no name for that signal.
std::string signalCodeName(int number, int code);

} // namespace Skelvane
