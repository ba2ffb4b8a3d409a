// The /proc directory of the crashed process, while the kernel keeps it
// alive for its core handler: what the record takes from there (executable,
// command line, cgroup, ids, the pids of its PID namespace) and the files
// its modules were mapped from.
//
// The handler runs as root on a process that any user can shape. Nothing
// here opens a path taken from the process's memory: files are opened only
// through what the kernel actually mapped (map_files), and only when they
// are regular files; a name from the process's memory is only looked up,
// never opened, to see whether it names the file mapped.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

namespace Skelvane {

// Most bytes read of the command line and of the cgroup file.
static const size_t kMaxCmdline = 32768;
static const size_t kMaxCgroup = 4096;

struct ProcessInfo {
	std::string exe; // empty when it cannot be read
	std::vector<std::string> cmdline;
	bool cmdlineCut = false; // longer than kMaxCmdline
	std::string cgroup;      // the file's text, without its last newline
	bool hasIds = false;
	unsigned uid = 0, gid = 0; // real ids, as the initial namespaces see them
	// The pid in every PID namespace the process is in, the initial one
	// first and its own last.
	std::vector<long> nspid;
	// Each thread's id here and in its own PID namespace, when they differ.
	std::vector<std::pair<long, long> > threadIds;
};

class ProcessFiles {
public:
	// /proc/PID, opened as a directory: everything below is read through it,
	// so a pid reused meanwhile is never read. Null when it cannot be opened.
	static boost::shared_ptr<ProcessFiles> open(const std::string &pid);
	~ProcessFiles();

	ProcessInfo readInfo() const;

	// The file mapped at [start, end): opened read-only (non-blocking, no
	// controlling terminal) when it is a regular file, with its status in
	// st; -1 and the reason in why otherwise.
	int openMappedFile(uint64_t start, uint64_t end, struct stat &st, std::string &why) const;
	// Whether name, a path from the process's memory, is the file with
	// status mapped, as the process sees its file system (its root, its
	// working directory). It is looked up without being opened for reading;
	// why says what it names instead.
	bool namesFile(const std::string &name, const struct stat &mapped, std::string &why) const;

private:
	explicit ProcessFiles(int dirFd);
	ProcessFiles(const ProcessFiles &) = delete;
	ProcessFiles &operator=(const ProcessFiles &) = delete;

	// The text of a file below the directory, at most limit bytes; cut
	// set when there was more.
	bool readText(const char *name, size_t limit, std::string &out, bool *cut = nullptr) const;

	int dirFd;
};

// "a FIFO", "a character device", ... for a file's type.
std::string fileKind(mode_t mode);

} // namespace Skelvane
