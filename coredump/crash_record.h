// The record of one crash, kept beside its core as "core.<comm>.<pid>.<time>.json":
// what crashed, where, and what became of its core. The record is written as
// JSON and read back by --list and --info.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Skelvane {

// Most threads and modules a record lists; a process with more is listed
// in part, and the record says how many it left out.
static const size_t kMaxRecordThreads = 256;
static const size_t kMaxRecordModules = 512;
// Largest record file that --list and --info read.
static const size_t kMaxRecordFile = 4 << 20;

struct RecordModule {
	std::string path;      // as the dynamic linker names it (the executable: its path)
	std::string file;      // the kernel's name of the file mapped there, when known
	bool hasBase = false;
	uint64_t base = 0;     // where its ELF header lies in memory
	std::string buildId;   // hexadecimal, when known
	bool symbolsRead = false;
	std::string unreadable; // why its file was not read, when it was not
};

struct RecordThread {
	long tid = 0;       // in the initial PID namespace, where known
	long tidInNs = 0;   // in the process's own, where that differs; else 0
	bool signalled = false;
	uint64_t pc = 0;
	int module = -1;    // index into modules, -1 when the pc lies in none
	uint64_t moduleOffset = 0;
	std::string function; // from the module's symbol table, when it names one
	uint64_t functionOffset = 0;
};

struct CrashRecord {
	// from the kernel's arguments
	long long time = 0;
	std::string comm;
	long pid = 0;
	long pidInNs = 0; // inside its PID namespace, where that differs; else 0
	// from the core's notes
	bool hasSignal = false;
	int signal = 0, signalCode = 0;
	bool hasAddress = false;
	uint64_t address = 0;
	bool hasSender = false;
	long senderPid = 0;
	unsigned senderUid = 0;
	bool hasIds = false;
	unsigned uid = 0, gid = 0;
	// from /proc while the process exists, else from the notes
	std::string executable;
	std::vector<std::string> cmdline;
	bool cmdlineCut = false;
	std::string cgroup;
	// what became of the core
	std::string coreFile;            // its name in the directory; "" when not kept
	unsigned long long coreSize = 0; // the stripped core's bytes
	unsigned long long fullSize = 0; // the bytes of the core the kernel wrote
	std::string coreMissing;         // what a core kept in part lacks
	std::string notKept;             // why there is no core
	// crashes of the same executable not kept since the record before this
	// one, because they came faster than the rate allows
	unsigned long notKeptBefore = 0;
	std::vector<RecordModule> modules;
	std::vector<RecordThread> threads;
	size_t threadsLeftOut = 0, modulesLeftOut = 0;

	// The signalled thread, or null.
	const RecordThread *signalledThread() const;
};

std::string recordToJson(const CrashRecord &record);
// false with the reason in why when text is no record.
bool recordFromJson(const std::string &text, CrashRecord &record, std::string &why);

} // namespace Skelvane
