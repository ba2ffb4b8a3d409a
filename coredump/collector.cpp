#include "collector.h"

#include "crash_listing.h"
#include "fd_io.h"
#include "process_files.h"
#include "record_builder.h"
#include "text_form.h"

#include <cerrno>
#include <cstring>
#include <ostream>
#include <unistd.h>

namespace Skelvane {

namespace {

bool isNumber(const std::string &s)
{
	return !s.empty() && s.size() <= 18 && s.find_first_not_of("0123456789") == std::string::npos;
}

// Room a record may take beyond its text with a core: a longer reason
// instead of the core's name.
const size_t kRecordSlack = 1024;

unsigned long long roundUp(unsigned long long n, unsigned long long block)
{
	return block ? (n + block - 1) / block * block : n;
}

} // namespace

Collector::Collector(const std::string &dir_, const CollectOptions &options_)
    : dir(dir_), options(options_), recordFile(dir)
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

unsigned long long Collector::strippedSize(const Core &core)
{
	unsigned long long size = sizeof(Header) + (unsigned long long)core.segments.size() * core.header.e_phentsize;
	for (auto &s : core.segments)
		size += s->getSize();
	return size;
}

bool Collector::collect(int fd, boost::shared_ptr<Memory> memory, const std::string &pid,
			const std::string &time, const std::string &comm, std::string &why)
{
	record = CrashRecord();
	record.comm = comm;
	if (!isNumber(pid) || !isNumber(time))
		why = "the process id and the time must be numbers";
	else if (dir.open(why))
		return collectCrash(fd, memory, pid, time, why);
	// Nothing can be written: the log line says why.
	bool drained;
	drainStream(fd, drained);
	logLine = "core of " + safeName(comm) + " (pid " + safeName(pid) + ") not collected: " + why;
	return false;
}

bool Collector::collectCrash(int fd, boost::shared_ptr<Memory> memory, const std::string &pid,
			     const std::string &time, std::string &why)
{
	record.pid = std::stol(pid);
	record.time = std::stoll(time);
	boost::shared_ptr<ProcessFiles> live;
	ProcessInfo info;
	if (!memory) {
		// What /proc says is read first: the process is gone once the
		// stream has been read.
		live = ProcessFiles::open(pid);
		if (live) {
			info = live->readInfo();
			recordProcess(record, info);
		}
		memory = ProcessMemory::openProcess(pid);
	}
	const std::string name = outputName(pid, time, record.comm);
	const std::string executable = record.executable.empty() ? record.comm : record.executable;
	bool drained;

	unsigned long notKept = 0;
	if (!rateAllows(executable, notKept)) {
		// Beyond the rate nothing is written: the crash is counted, and the
		// log tells how it died.
		if (memory) {
			std::string ignored;
			if (boost::shared_ptr<Reader> head = Reader::openCoreStream(fd, memory, ignored))
				recordSignal(record, *head);
		}
		drainStream(fd, drained);
		logLine = crashLogLine(record, "not kept: more than " + std::to_string(options.rate.count) +
						       " crashes of " + printable(executable) + " in " +
						       std::to_string(options.rate.seconds) + " s; " +
						       std::to_string(notKept) + " not kept since the last one kept");
		return true;
	}
	record.notKeptBefore = notKept;

	// The stripped core is complete once memory has been read: it goes to
	// disk now, with its record, and the rest of the stream, which the
	// kernel waits to hand over, is read afterwards.
	Core core;
	core.buildIds = options.buildIds;
	core.keepPartial = options.keepPartial;
	bool built = false;
	if (!memory)
		record.notKept = "the memory of process " + pid + " cannot be read";
	else if (!(built = core.collect(fd, memory, record.notKept)) && record.notKept.empty())
		record.notKept = "the core cannot be read";
	if (core.reader) {
		recordCore(record, *core.reader, live.get(), info.threadIds);
		record.fullSize = core.reader->getCoreSize();
	}
	if (built)
		record.coreMissing = core.missing;
	bool stored = store(built ? &core : nullptr, name, why);

	unsigned long total = drainStream(fd, drained);
	if (!record.coreFile.empty()) {
		std::string cut;
		if (!drained) {
			const char *reason = strerror(errno);
			cut = std::string("reading the core stream failed: ") + reason;
		} else if (total + core.reader->getStreamRead() < core.reader->getCoreSize()) {
			// The dump was cut short: the file mode would not see this core.
			cut = "the core stream ended after " + std::to_string(total + core.reader->getStreamRead()) +
			      " of " + std::to_string(core.reader->getCoreSize()) + " bytes";
		}
		if (!cut.empty()) {
			dir.abandon();
			record.coreFile.clear();
			record.coreSize = 0;
			record.coreMissing.clear();
			record.notKept = cut;
			rewriteRecord();
			why = cut;
			stored = built = false;
		}
	}

	if (!record.coreFile.empty()) {
		std::string outcome = "kept " + record.coreFile + " (" + sizeInWords(record.coreSize) + " of a " +
				      sizeInWords(record.fullSize) + " core)";
		// the words the log has said of a partial core before
		if (!record.coreMissing.empty())
			outcome += "; core of " + safeName(record.comm) + " (pid " + pid + ") collected in part, missing: " +
				   record.coreMissing;
		if (record.notKeptBefore)
			outcome += "; " + std::to_string(record.notKeptBefore) + " crashes of " + printable(executable) +
				   " before it not kept";
		if (!stored)
			outcome += "; " + why;
		logLine = crashLogLine(record, outcome);
		return stored;
	}
	// The core's own reason first; one of storing it (the record could not
	// be written, say) after it.
	std::string reason = record.notKept;
	if (!why.empty() && why != reason)
		reason = reason.empty() ? why : reason + "; " + why;
	why = reason;
	logLine = crashLogLine(record, "core of " + safeName(record.comm) + " (pid " + pid + ") not collected: " + why);
	return stored && built;
}

bool Collector::rateAllows(const std::string &executable, unsigned long &notKept)
{
	std::string why;
	if (!dir.lock(why))
		return true; // a rate that cannot be kept track of keeps no crash out
	RateState state;
	parseRateState(dir.readState(kRateStateFile, kMaxRateState), state);
	RateVerdict v = applyRate(state, executable, record.time, options.rate);
	dir.writeState(kRateStateFile, formatRateState(state), why);
	dir.unlock();
	notKept = v.notKept;
	return v.keep;
}

bool Collector::store(const Core *core, const std::string &name, std::string &why)
{
	if (!dir.lock(why))
		return false;
	bool ok = storeLocked(core, name, why);
	dir.unlock();
	return ok;
}

bool Collector::storeLocked(const Core *core, const std::string &name, std::string &why)
{
	dir.removeStaleFiles();
	const std::string recordName = name + ".json";
	for (const std::string &n : {name, recordName}) {
		if (dir.exists(n)) {
			// planted, or a name taken twice: nothing is written at all
			why = dir.getPath() + "/" + n + " already exists";
			return false;
		}
	}
	unsigned long long size = core ? strippedSize(*core) : 0;
	bool withRecord = options.record;
	unsigned long long recordRoom = 0;
	if (withRecord) {
		CrashRecord planned = record;
		planned.coreFile = name;
		planned.coreSize = size;
		recordRoom = recordToJson(planned).size() + kRecordSlack;
	}

	// Room for the core and its record, the oldest crashes removed as far
	// as the limits need; a record alone removes nothing.
	bool keepCore = false;
	std::vector<StoredCrash> crashes = dir.listCrashes();
	if (core) {
		FsSpace space;
		unsigned long long used = 0;
		for (auto &c : crashes)
			used += c.bytes;
		if (!dir.spaceOf(space)) {
			record.notKept = "the room on " + dir.getPath() + "'s file system cannot be known";
		} else {
			SpacePlan plan =
				planSpace(crashes, used, space.free, roundUp(size, space.block) + roundUp(recordRoom, space.block),
					  options.maxUse, options.keepFree, space.size);
			keepCore = plan.fits;
			if (!plan.fits)
				record.notKept = plan.why;
			for (size_t i = 0; i < plan.removeOldest; i++)
				dir.removeCrash(crashes[i].stem);
		}
	}

	// Each file's room is reserved before a byte of it is written, the
	// record's first: it tells what became of the crash even when the core
	// then finds no room after all.
	std::string recordWhy;
	if (withRecord && !(recordFile.create(recordName, recordWhy) && recordFile.reserve(recordRoom, recordWhy))) {
		recordFile.abandon();
		withRecord = false;
	}
	bool ok = true;
	if (keepCore) {
		std::string coreWhy;
		if (writeOutput(*core, name, size, coreWhy)) {
			record.coreFile = name;
			record.coreSize = size;
		} else {
			dir.abandon();
			record.notKept = coreWhy;
			ok = false;
		}
	}

	if (withRecord && !(recordFile.writeWhole(recordToJson(record), recordWhy) && recordFile.publish(recordWhy))) {
		recordFile.abandon();
		withRecord = false;
	}
	recordWritten = withRecord;
	if (options.record && !withRecord) {
		why = "no record written: " + recordWhy;
		ok = false;
	}
	if (!record.coreFile.empty() || withRecord)
		dir.prune(options.keep, name);
	return ok;
}

bool Collector::writeOutput(const Core &core, const std::string &name, unsigned long long &size, std::string &why)
{
	if (!dir.create(name, why) || !dir.reserve(size, why))
		return false;
	int fd = dir.getTempFd();
	{
		FdBuf buf(fd);
		std::ostream os(&buf);
		os << core;
		os.flush();
		if (os.rdstate() & (std::ios::failbit | std::ios::badbit)) {
			const char *reason = strerror(errno);
			why = "cannot write " + dir.getTempPath() + ": " + reason;
			return false;
		}
	}
	// The room was reserved for the size worked out beforehand; the file
	// ends where the writing ended.
	off_t end = lseek(fd, 0, SEEK_CUR);
	if (end < 0 || ((unsigned long long)end != size && ftruncate(fd, end) != 0)) {
		const char *reason = strerror(errno);
		why = "cannot write " + dir.getTempPath() + ": " + reason;
		return false;
	}
	size = (unsigned long long)end;
	return dir.publish(why);
}

void Collector::rewriteRecord()
{
	if (!recordWritten)
		return;
	std::string why;
	bool ok = dir.lock(why);
	OutputFile again(dir);
	if (!ok || !again.create(recordFile.getName(), why, true) ||
	    !again.writeWhole(recordToJson(record), why) || !again.publish(why, true)) {
		// better no record than one that names a core no longer there
		again.abandon();
		recordFile.abandon();
	}
	dir.unlock();
}

} // namespace Skelvane
