// The kernel's core handler: the core of a crashed process comes in on a
// stream, its stripped core and a record of the crash go into a directory,
// written so that a reader never sees half a file and nothing planted in
// the directory is followed, within limits on the room they take and on
// how often one program's crashes are kept.
#pragma once

#include "collect_dir.h"
#include "collect_limits.h"
#include "core.h"
#include "crash_record.h"

#include <string>

namespace Skelvane {

// Crashes a directory keeps unless told otherwise.
static const unsigned long kDefaultKeep = 50;
// The directory's rate state, and the most of it that is read.
static const char kRateStateFile[] = ".rate";
static const size_t kMaxRateState = 1 << 20;

struct CollectOptions {
	unsigned long keep = kDefaultKeep;
	bool buildIds = true;
	// keep a core whose loaded objects cannot be found (Core::keepPartial)
	bool keepPartial = true;
	bool record = true; // write "core.<comm>.<pid>.<time>.json" beside the core
	SizeLimit maxUse = kDefaultMaxUse;
	SizeLimit keepFree = kDefaultKeepFree;
	RateLimit rate;
};

class Collector {
public:
	Collector(const std::string &dir, const CollectOptions &options);
	~Collector();

	// Reads the core of process pid (crashed at time, named comm) from fd,
	// the contents of its mappings from memory (when null, from the live
	// process pid, opened once pid is known to be a number, whose /proc
	// directory the record and the modules' files are then read from), and
	// writes the stripped core as "core.<comm>.<pid>.<time>" and its record
	// beside it into the directory. The output is on disk before the rest of
	// the stream is read; fd is read to its end in every case, so the kernel
	// is never left waiting. A stream shorter than its headers say takes the
	// core away again. True when the crash went as the limits say (its core
	// kept, or left out by a limit and its record written); otherwise why
	// holds the reason, and nothing half-written is left.
	bool collect(int fd, boost::shared_ptr<Memory> memory, const std::string &pid,
		     const std::string &time, const std::string &comm, std::string &why);

	// The one line for the system log: the crash and what became of it.
	const std::string &getLogLine() const { return logLine; }
	// After a successful collect, what the stripped core lacks (Core's
	// missing); empty for a whole core.
	const std::string &getMissing() const { return record.coreMissing; }
	const CrashRecord &getRecord() const { return record; }

	// The output's name, with comm made safe.
	static std::string outputName(const std::string &pid, const std::string &time, const std::string &comm);
	// text with every character but letters, digits and ._-+ made '_'.
	static std::string safeName(const std::string &text);
	// The size of the stripped core that writing core gives.
	static unsigned long long strippedSize(const Core &core);

private:
	Collector(const Collector &) = delete;
	Collector &operator=(const Collector &) = delete;

	// collect, once the arguments are numbers and the directory is open.
	bool collectCrash(int fd, boost::shared_ptr<Memory> memory, const std::string &pid,
			  const std::string &time, std::string &why);
	// Whether the rate lets this crash of executable be kept; updates the
	// directory's rate state.
	bool rateAllows(const std::string &executable, unsigned long &notKept);
	// Writes the record and, where the limits let it, the core (null when
	// there is none), with the directory's lock held.
	bool store(const Core *core, const std::string &name, std::string &why);
	bool storeLocked(const Core *core, const std::string &name, std::string &why);
	// Writes the stripped core of about size bytes (size then holds the
	// bytes written) under its temporary name and publishes it.
	bool writeOutput(const Core &core, const std::string &name, unsigned long long &size, std::string &why);
	// Puts the record right once the core was taken away again.
	void rewriteRecord();

	CollectDir dir;
	CollectOptions options;
	CrashRecord record;
	std::string logLine;
	OutputFile recordFile;
	bool recordWritten = false;
};

} // namespace Skelvane
