// skelvane <core> > <stripped core>
// skelvane --collect DIR PID TIME COMM, as the kernel's core handler
#include "collector.h"
#include "fd_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <iostream>
#include <syslog.h>
#include <unistd.h>

namespace {

const char *invocation(int argc, char **argv)
{
	// An empty argument vector has no invocation name to show.
	return argc > 0 && argv[0] ? argv[0] : "skelvane";
}

void usage(std::ostream &os, const char *self)
{
	os << "Usage: " << self << " <source path> [> <dest path>]" << std::endl;
}

void help(const char *self)
{
	usage(std::cout, self);
	std::cout << "       " << self << " --collect DIR PID TIME COMM\n"
		  << "Options:\n"
		  << "  --build-ids      also keep the first page of every mapped ELF object (its header\n"
		  << "                   and build ID), so that tools which recognise modules from\n"
		  << "                   memory can read the core; on by default with --collect\n"
		  << "  --no-build-ids   do not keep those pages\n"
		  << "  --keep-partial   when the loaded objects cannot be found (a static program, or\n"
		  << "                   a crash before the dynamic linker was set up), keep the notes\n"
		  << "                   and stacks all the same and say what is missing; on by\n"
		  << "                   default with --collect\n"
		  << "  --no-keep-partial  fail on such a core instead\n"
		  << "  --collect DIR    as the kernel's core handler: read the core of process PID,\n"
		  << "                   crashed at TIME and named COMM, from standard input and write\n"
		  << "                   the stripped core to DIR/core.COMM.PID.TIME\n"
		  << "  --keep N         with --collect: keep only the newest N stripped cores in DIR\n"
		  << "                   (default " << Skelvane::kDefaultKeep << ")\n"
		  << "  --help           show this text\n"
		  << "  --version        show the version" << std::endl;
}

// The kernel starts its core handler with the pipe on standard input and
// nothing on the other two: a file opened later must not become "standard
// output".
void openStandardStreams()
{
	int fd;
	while ((fd = open("/dev/null", O_RDWR)) >= 0 && fd <= 2)
		;
	if (fd > 2)
		close(fd);
}

int fileMode(const char *path, bool buildIds, bool keepPartial)
{
	int result = 0;
	Skelvane::Core core;
	core.buildIds = buildIds;
	core.keepPartial = keepPartial;
	if (!core.read(path)) {
		std::cerr << "Coredump file read failed." << std::endl;
		result = -1;
	} else {
		std::cout << core;
		// Flushed before the test: a small output still sitting in the
		// buffer would otherwise fail only at exit, after a status of 0.
		std::cout.flush();
		if (std::cout.rdstate() & (std::ios::failbit | std::ios::badbit)) {
			std::cerr << "Failed to write output." << std::endl;
			result = -1;
		}
	}
	return result;
}

} // namespace

int main(int argc, char **argv)
{
	const char *self = invocation(argc, argv);
	static const option longOptions[] = {
		{"build-ids", no_argument, nullptr, 'b'}, {"no-build-ids", no_argument, nullptr, 'B'},
		{"collect", required_argument, nullptr, 'c'}, {"keep", required_argument, nullptr, 'k'},
		{"keep-partial", no_argument, nullptr, 'p'}, {"no-keep-partial", no_argument, nullptr, 'P'},
		{"help", no_argument, nullptr, 'h'},      {"version", no_argument, nullptr, 'V'},
		{nullptr, 0, nullptr, 0},
	};
	int buildIds = -1, keepPartial = -1; // as the mode has it
	const char *collectDir = nullptr;
	unsigned long keep = Skelvane::kDefaultKeep;
	std::string bad;
	// Long options only, and none after the first operand: the core's
	// path, and the crashed process's name, are taken as they are. A word
	// with a single leading dash has always been a path, and stays one.
	opterr = 0;
	int c;
	while (optind < argc && strncmp(argv[optind], "--", 2) == 0 &&
	       (c = getopt_long(argc, argv, "+", longOptions, nullptr)) != -1) {
		switch (c) {
		case 'b':
			buildIds = 1;
			break;
		case 'B':
			buildIds = 0;
			break;
		case 'p':
			keepPartial = 1;
			break;
		case 'P':
			keepPartial = 0;
			break;
		case 'c':
			collectDir = optarg;
			break;
		case 'k': {
			char *end = nullptr;
			errno = 0;
			keep = strtoul(optarg, &end, 10);
			if (errno || !end || *end || end == optarg || keep == 0 || optarg[0] == '-')
				bad = std::string("--keep needs a positive number, not ") + optarg;
			break;
		}
		case 'h':
			help(self);
			return 0;
		case 'V':
			std::cout << "skelvane " << SKELVANE_VERSION << std::endl;
			return 0;
		default:
			bad = std::string("unknown option or missing argument: ") + argv[optind - 1];
			break;
		}
	}

	if (!collectDir) {
		if (!bad.empty() || optind >= argc) {
			usage(std::cerr, self);
			return -1;
		}
		// Only the first operand is used; further ones are ignored.
		return fileMode(argv[optind], buildIds == 1, keepPartial == 1);
	}

	openStandardStreams();
	openlog("skelvane", LOG_PID, LOG_DAEMON);
	std::string pid = optind < argc ? argv[optind] : "", time = optind + 1 < argc ? argv[optind + 1] : "",
		    comm = optind + 2 < argc ? argv[optind + 2] : "";
	std::string why;
	bool ok = false;
	if (!bad.empty() || argc - optind != 3) {
		bool drained;
		Skelvane::drainStream(0, drained);
		why = bad.empty() ? "--collect needs DIR and then PID TIME COMM" : bad;
	} else {
		Skelvane::Collector collector(collectDir, keep, buildIds != 0, keepPartial != 0);
		ok = collector.collect(0, nullptr, pid, time, comm, why);
		// A partial core is collected all the same; the log says what it
		// lacks, as the file mode says it on standard error.
		if (ok && !collector.getMissing().empty())
			syslog(LOG_WARNING, "core of %s (pid %s) collected in part, missing: %s",
			       Skelvane::Collector::safeName(comm).c_str(), Skelvane::Collector::safeName(pid).c_str(),
			       collector.getMissing().c_str());
	}
	if (!ok) {
		syslog(LOG_ERR, "core of %s (pid %s) not collected: %s", Skelvane::Collector::safeName(comm).c_str(),
		       Skelvane::Collector::safeName(pid).c_str(), why.c_str());
		return -1;
	}
	return 0;
}
