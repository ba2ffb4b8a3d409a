#include "signal_names.h"

#include <csignal>

namespace Skelvane {

namespace {

struct Named {
	int number;
	const char *name;
};

const Named kSignals[] = {
	{SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},       {SIGQUIT, "SIGQUIT"}, {SIGILL, "SIGILL"},
	{SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"},     {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},
	{SIGKILL, "SIGKILL"}, {SIGUSR1, "SIGUSR1"},     {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"},
	{SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"},     {SIGTERM, "SIGTERM"}, {SIGSTKFLT, "SIGSTKFLT"},
	{SIGCHLD, "SIGCHLD"}, {SIGCONT, "SIGCONT"},     {SIGSTOP, "SIGSTOP"}, {SIGTSTP, "SIGTSTP"},
	{SIGTTIN, "SIGTTIN"}, {SIGTTOU, "SIGTTOU"},     {SIGURG, "SIGURG"},   {SIGXCPU, "SIGXCPU"},
	{SIGXFSZ, "SIGXFSZ"}, {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"}, {SIGWINCH, "SIGWINCH"},
	{SIGIO, "SIGIO"},     {SIGPWR, "SIGPWR"},       {SIGSYS, "SIGSYS"},
};

// The kernel's real-time signals, whatever the C library reserves of them.
const int kRtMin = 32, kRtMax = 64;

// Codes of every signal (the senders), then those of one signal each.
const Named kAnyCodes[] = {
	{SI_USER, "SI_USER"},     {SI_KERNEL, "SI_KERNEL"}, {SI_QUEUE, "SI_QUEUE"},     {SI_TIMER, "SI_TIMER"},
	{SI_MESGQ, "SI_MESGQ"},   {SI_ASYNCIO, "SI_ASYNCIO"}, {SI_SIGIO, "SI_SIGIO"},   {SI_TKILL, "SI_TKILL"},
};
const Named kSegvCodes[] = {{1, "SEGV_MAPERR"}, {2, "SEGV_ACCERR"}, {3, "SEGV_BNDERR"}, {4, "SEGV_PKUERR"},
			    {5, "SEGV_ACCADI"}, {6, "SEGV_ADIDERR"}, {7, "SEGV_ADIPERR"}, {8, "SEGV_MTEAERR"},
			    {9, "SEGV_MTESERR"}, {10, "SEGV_CPERR"}};
const Named kBusCodes[] = {{1, "BUS_ADRALN"}, {2, "BUS_ADRERR"}, {3, "BUS_OBJERR"}, {4, "BUS_MCEERR_AR"},
			   {5, "BUS_MCEERR_AO"}};
const Named kIllCodes[] = {{1, "ILL_ILLOPC"}, {2, "ILL_ILLOPN"}, {3, "ILL_ILLADR"}, {4, "ILL_ILLTRP"},
			   {5, "ILL_PRVOPC"}, {6, "ILL_PRVREG"}, {7, "ILL_COPROC"}, {8, "ILL_BADSTK"},
			   {9, "ILL_BADIADDR"}};
const Named kFpeCodes[] = {{1, "FPE_INTDIV"}, {2, "FPE_INTOVF"}, {3, "FPE_FLTDIV"}, {4, "FPE_FLTOVF"},
			   {5, "FPE_FLTUND"}, {6, "FPE_FLTRES"}, {7, "FPE_FLTINV"}, {8, "FPE_FLTSUB"},
			   {14, "FPE_FLTUNK"}, {15, "FPE_CONDTRAP"}};
const Named kTrapCodes[] = {{1, "TRAP_BRKPT"}, {2, "TRAP_TRACE"}, {3, "TRAP_BRANCH"}, {4, "TRAP_HWBKPT"},
			    {5, "TRAP_UNK"}, {6, "TRAP_PERF"}};
const Named kSysCodes[] = {{1, "SYS_SECCOMP"}, {2, "SYS_USER_DISPATCH"}};

template <size_t N> const char *find(const Named (&table)[N], int number)
{
	for (const Named &n : table)
		if (n.number == number)
			return n.name;
	return nullptr;
}

} // namespace

std::string signalName(int number)
{
	if (const char *n = find(kSignals, number))
		return n;
	if (number >= kRtMin && number <= kRtMax)
		return number == kRtMin ? "SIGRTMIN" : "SIGRTMIN+" + std::to_string(number - kRtMin);
	return "signal " + std::to_string(number);
}

std::string signalCodeName(int number, int code)
{
	// Codes above 0 are the kernel's and mean something per signal; the
	// others say who sent it.
	const char *n = nullptr;
	if (code > 0 && code != SI_KERNEL) {
		switch (number) {
		case SIGSEGV:
			n = find(kSegvCodes, code);
			break;
		case SIGBUS:
			n = find(kBusCodes, code);
			break;
		case SIGILL:
			n = find(kIllCodes, code);
			break;
		case SIGFPE:
			n = find(kFpeCodes, code);
			break;
		case SIGTRAP:
			n = find(kTrapCodes, code);
			break;
		case SIGSYS:
			n = find(kSysCodes, code);
			break;
		}
	} else {
		n = find(kAnyCodes, code);
	}
	return n ? n : "";
}

} // namespace Skelvane
