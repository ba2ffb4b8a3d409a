// skelvane <core> > <stripped core>
// skelvane --collect DIR PID TIME COMM, as the kernel's core handler
// skelvane --list DIR, skelvane --info FILE: the crashes collected
#include "collector.h"
#include "crash_listing.h"
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
		  << "       " << self << " --list DIR | --info FILE\n"
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
		  << "  --keep N         with --collect: keep only the newest N crashes in DIR (a\n"
		  << "                   stripped core and its record, or a record alone; default "
		  << Skelvane::kDefaultKeep << ")\n"
		  << "  --max-use SIZE   with --collect: the most DIR's cores and records may take\n"
		  << "                   (default 1G); SIZE is bytes, with K, M, G or T for powers\n"
		  << "                   of 1024, or N% of DIR's file system\n"
		  << "  --keep-free SIZE with --collect: what stays free on DIR's file system\n"
		  << "                   (default 15%); the oldest crashes go first to keep both\n"
		  << "  --rate N/SECONDS with --collect: keep at most N crashes of one executable in\n"
		  << "                   any SECONDS (default 5/60); the others are only counted\n"
		  << "  --no-record      with --collect: no record beside the core\n"
		  << "  --list DIR       one line per crash collected in DIR, oldest first\n"
		  << "  --info FILE      a collected crash in words (FILE: its core or its record)\n"
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

// Codes of the long options that have no single-letter code of old.
enum { kOptList = 256, kOptInfo, kOptMaxUse, kOptKeepFree, kOptRate, kOptNoRecord };

// --list DIR and --info FILE, which read what --collect wrote, as any user
// who may read it.
int recordsMode(const char *self, const char *listDir, const char *infoFile, const std::string &bad, bool more)
{
	if (!bad.empty() || more || (listDir && infoFile)) {
		usage(std::cerr, self);
		return -1;
	}
	std::string why;
	bool ok = listDir ? Skelvane::listCrashes(listDir, std::cout, why)
			  : Skelvane::describeCrash(infoFile, std::cout, why);
	std::cout.flush();
	if (!ok) {
		std::cerr << "skelvane: " << why << std::endl;
		return -1;
	}
	if (std::cout.rdstate() & (std::ios::failbit | std::ios::badbit)) {
		std::cerr << "Failed to write output." << std::endl;
		return -1;
	}
	return 0;
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
		// the crash records, their listing and the collector's limits
		{"list", required_argument, nullptr, kOptList},
		{"info", required_argument, nullptr, kOptInfo},
		{"max-use", required_argument, nullptr, kOptMaxUse},
		{"keep-free", required_argument, nullptr, kOptKeepFree},
		{"rate", required_argument, nullptr, kOptRate},
		{"no-record", no_argument, nullptr, kOptNoRecord},
		{nullptr, 0, nullptr, 0},
	};
	int buildIds = -1, keepPartial = -1; // as the mode has it
	const char *collectDir = nullptr, *listDir = nullptr, *infoFile = nullptr;
	Skelvane::CollectOptions collect;
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
			collect.keep = strtoul(optarg, &end, 10);
			if (errno || !end || *end || end == optarg || collect.keep == 0 || optarg[0] == '-')
				bad = std::string("--keep needs a positive number, not ") + optarg;
			break;
		}
		case kOptList:
			listDir = optarg;
			break;
		case kOptInfo:
			infoFile = optarg;
			break;
		case kOptMaxUse:
		case kOptKeepFree:
			if (!Skelvane::parseSizeLimit(optarg, c == kOptMaxUse ? collect.maxUse : collect.keepFree))
				bad = std::string(c == kOptMaxUse ? "--max-use" : "--keep-free") +
				      " needs a size (512M, 1G, 15%), not " + optarg;
			break;
		case kOptRate:
			if (!Skelvane::parseRateLimit(optarg, collect.rate))
				bad = std::string("--rate needs N/SECONDS (5/60), not ") + optarg;
			break;
		case kOptNoRecord:
			collect.record = false;
			break;
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

	if (listDir || infoFile)
		return recordsMode(self, listDir, infoFile, bad, collectDir || optind < argc);
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
	if (!bad.empty() || argc - optind != 3) {
		bool drained;
		Skelvane::drainStream(0, drained);
		std::string why = bad.empty() ? "--collect needs DIR and then PID TIME COMM" : bad;
		syslog(LOG_ERR, "core of %s (pid %s) not collected: %s", Skelvane::Collector::safeName(comm).c_str(),
		       Skelvane::Collector::safeName(pid).c_str(), why.c_str());
		return -1;
	}
	collect.buildIds = buildIds != 0;
	collect.keepPartial = keepPartial != 0;
	Skelvane::Collector collector(collectDir, collect);
	std::string why;
	bool ok = collector.collect(0, nullptr, pid, time, comm, why);
	// one line for every crash, whatever became of it (a core kept in part
	// says there what it lacks)
	syslog(LOG_ERR, "%s", collector.getLogLine().c_str());
	return ok ? 0 : -1;
}
