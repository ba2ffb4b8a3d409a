// What a core's notes say about the crash, read for the crash record: the
// signal, the process, every thread's registers, the mapped files and the
// auxiliary vector. The notes are written by the kernel, but the record
// reads them from whatever bytes it is given (a core stream, a file, the
// fuzz harness), so every field is taken only from inside its note.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Skelvane {

// NT_SIGINFO: the signal that ended the process.
struct SignalNote {
	bool present = false;
	int number = 0, code = 0, error = 0;
	// the fault address, for signals raised by a fault
	bool hasAddress = false;
	uint64_t address = 0;
	// the sender, for signals sent by a process
	bool hasSender = false;
	int senderPid = 0;
	unsigned senderUid = 0;
};

// NT_PRPSINFO: the process as the kernel saw it, ids in its own namespaces.
struct ProcessNote {
	bool present = false;
	unsigned uid = 0, gid = 0;
	int pid = 0, ppid = 0;
	std::string name;    // at most 16 bytes
	std::string psargs;  // the command line's first 80 bytes, blanks between
};

// NT_PRSTATUS: one thread, the signalled one first.
struct ThreadNote {
	int tid = 0;
	int signal = 0;
	uint64_t pc = 0, sp = 0;
};

// One NT_FILE entry: a mapping of a file, with the kernel's name for it.
struct FileMapping {
	uint64_t start = 0, end = 0;
	uint64_t offset = 0; // in bytes
	std::string path;
};

struct CoreNotes {
	SignalNote signal;
	ProcessNote process;
	std::vector<ThreadNote> threads;
	std::vector<FileMapping> files; // in the order of the note (by address)
	std::vector<std::pair<uint64_t, uint64_t> > auxv;

	// The auxiliary vector's value of type, or 0.
	uint64_t auxvValue(uint64_t type) const;
	// The file mapping holding addr, or null.
	const FileMapping *fileAt(uint64_t addr) const;
};

// Reads the notes of one note segment's bytes. Notes it does not know, and
// notes too short for their type, are passed over.
CoreNotes readCoreNotes(const void *bytes, size_t size);

} // namespace Skelvane
