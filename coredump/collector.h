// The kernel's core handler: the core of a crashed process comes in on a
// stream, its stripped core goes into a directory, written so that a reader
// never sees half a file and nothing planted in the directory is followed.
#pragma once

#include "collect_dir.h"
#include "core.h"

#include <string>

namespace Skelvane {

// Stripped cores a directory keeps unless told otherwise.
static const unsigned long kDefaultKeep = 50;

class Collector {
public:
	Collector(const std::string &dir, unsigned long keep, bool buildIds, bool keepPartial = true);
	~Collector();

	// Reads the core of process pid (crashed at time, named comm) from fd,
	// the contents of its mappings from memory (when null, from the live
	// process pid, opened once pid is known to be a number), and writes the
	// stripped core as "core.<comm>.<pid>.<time>" into the directory, keeping
	// only the newest `keep` of them. The output is on disk before the rest of the
	// stream is read; fd is read to its end in every case, so the kernel is
	// never left waiting. A stream shorter than its headers say fails. On
	// failure nothing is left in the directory and why holds the reason.
	bool collect(int fd, boost::shared_ptr<Memory> memory, const std::string &pid,
		     const std::string &time, const std::string &comm, std::string &why);

	// After a successful collect, what the stripped core lacks (Core's
	// missing); empty for a whole core.
	const std::string &getMissing() const { return missing; }

	// The output's name, with comm made safe.
	static std::string outputName(const std::string &pid, const std::string &time, const std::string &comm);
	// text with every character but letters, digits and ._-+ made '_'.
	static std::string safeName(const std::string &text);

private:
	Collector(const Collector &) = delete;
	Collector &operator=(const Collector &) = delete;

	// Writes the stripped core into the directory's temporary file and
	// publishes it.
	bool writeOutput(const Core &core, std::string &why);

	CollectDir dir;
	unsigned long keep;
	bool buildIds, keepPartial;
	std::string missing;
};

} // namespace Skelvane
