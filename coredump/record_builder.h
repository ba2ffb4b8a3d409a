// Fills a crash record: from /proc while the crashed process still exists,
// from the core's notes and memory for the rest, and from the modules'
// files, reached only through what the kernel mapped.
#pragma once

#include "crash_record.h"
#include "process_files.h"
#include "reader.h"

namespace Skelvane {

// The executable, command line, cgroup, ids and namespace pids that /proc
// gave; what it left empty stays empty.
void recordProcess(CrashRecord &record, const ProcessInfo &info);

// The signal, the threads and the modules from the core behind reader,
// and what recordProcess could not fill (ids, executable, command line, the
// pid in its namespace) from the notes. With live, the live process's
// /proc directory, the modules' files are read for build IDs and function
// names; without it they are not read at all. threadIds maps the core's
// thread ids (those of the process's PID namespace) to the initial
// namespace's.
void recordCore(CrashRecord &record, Reader &reader, const ProcessFiles *live,
		const std::vector<std::pair<long, long> > &threadIds = {});

// Only the signal and the ids, from the notes: what the log line of a crash
// that is not kept tells of it.
void recordSignal(CrashRecord &record, Reader &reader);

} // namespace Skelvane
