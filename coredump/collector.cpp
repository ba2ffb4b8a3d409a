#include "collector.h"

#include "fd_io.h"

#include <cerrno>
#include <cstring>
#include <ostream>

namespace Skelvane {

namespace {

bool isNumber(const std::string &s)
{
	return !s.empty() && s.size() <= 20 && s.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

Collector::Collector(const std::string &dir_, unsigned long keep_, bool buildIds_, bool keepPartial_)
    : dir(dir_), keep(keep_), buildIds(buildIds_), keepPartial(keepPartial_)
{
}

Collector::~Collector() {}

std::string Collector::safeName(const std::string &text)
{
	std::string safe = text;
	for (char &c : safe)
		if (!isalnum((unsigned char)c) && c != '.' && c != '_' && c != '-' && c != '+')
			c = '_';
	return safe;
}

std::string Collector::outputName(const std::string &pid, const std::string &time, const std::string &comm)
{
	// The process chose its own name: nothing in it may reach outside the
	// directory or confuse a shell or a log reader.
	return "core." + safeName(comm) + "." + pid + "." + time;
}

bool Collector::collect(int fd, boost::shared_ptr<Memory> memory, const std::string &pid,
			const std::string &time, const std::string &comm, std::string &why)
{
	Core core;
	core.buildIds = buildIds;
	core.keepPartial = keepPartial;
	missing.clear();
	bool ok = false;
	if (!isNumber(pid) || !isNumber(time))
		why = "the process id and the time must be numbers";
	else if (!memory && !(memory = ProcessMemory::openProcess(pid)))
		why = "the memory of process " + pid + " cannot be read";
	else
		// The stripped core is complete once memory has been read: it
		// goes to disk now, and the rest of the stream, which the kernel
		// waits to hand over, is read afterwards.
		ok = dir.open(why) && dir.create(outputName(pid, time, comm), why) && core.collect(fd, memory, why) &&
		     writeOutput(core, why);

	bool drained;
	unsigned long total = drainStream(fd, drained);
	if (ok && !drained) {
		const char *reason = strerror(errno);
		why = std::string("reading the core stream failed: ") + reason;
		ok = false;
	} else if (ok && total + core.reader->getStreamRead() < core.reader->getCoreSize()) {
		// The dump was cut short: the file mode would not see this core.
		why = "the core stream ended after " + std::to_string(total + core.reader->getStreamRead()) + " of " +
		      std::to_string(core.reader->getCoreSize()) + " bytes";
		ok = false;
	}
	if (!ok) {
		dir.abandon();
		return false;
	}
	dir.prune(keep);
	missing = core.missing;
	return true;
}

bool Collector::writeOutput(const Core &core, std::string &why)
{
	{
		FdBuf buf(dir.getTempFd());
		std::ostream os(&buf);
		os << core;
		os.flush();
		if (os.rdstate() & (std::ios::failbit | std::ios::badbit)) {
			const char *reason = strerror(errno);
			why = "cannot write " + dir.getTempPath() + ": " + reason;
			return false;
		}
	}
	return dir.publish(why);
}

} // namespace Skelvane
