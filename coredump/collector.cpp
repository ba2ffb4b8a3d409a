#include "collector.h"

#include "fd_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace Skelvane {

namespace {

bool isNumber(const std::string &s)
{
	return !s.empty() && s.size() <= 20 && s.find_first_not_of("0123456789") == std::string::npos;
}

std::string reasonOf(const std::string &what)
{
	return what + ": " + strerror(errno);
}

} // namespace

Collector::Collector(const std::string &dir_, unsigned long keep_, bool buildIds_)
    : dir(dir_), keep(keep_), buildIds(buildIds_)
{
}

Collector::~Collector()
{
	discard();
	if (dirFd >= 0)
		close(dirFd);
}

void Collector::discard()
{
	if (tempFd >= 0)
		close(tempFd);
	tempFd = -1;
	if (!tempName.empty())
		unlinkat(dirFd, tempName.c_str(), 0);
	tempName.clear();
}

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

bool Collector::openDirectory(std::string &why)
{
	if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
		why = reasonOf("cannot create " + dir);
		return false;
	}
	dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (dirFd < 0) {
		why = reasonOf("cannot open " + dir);
		return false;
	}
	struct stat st;
	if (fstat(dirFd, &st) != 0) {
		why = reasonOf("cannot stat " + dir);
		return false;
	}
	// Cores hold other users' memory: nobody else may place or swap files
	// in the directory they go to.
	if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
		why = dir + " is writable by others than its owner, or not owned by this user";
		return false;
	}
	return true;
}

bool Collector::collect(int fd, boost::shared_ptr<Memory> memory, const std::string &pid,
			const std::string &time, const std::string &comm, std::string &why)
{
	Core core;
	core.buildIds = buildIds;
	const std::string name = outputName(pid, time, comm);
	bool ok = false;
	struct stat st;
	if (!isNumber(pid) || !isNumber(time))
		why = "the process id and the time must be numbers";
	else if (!memory && !(memory = ProcessMemory::openProcess(pid)))
		why = "the memory of process " + pid + " cannot be read";
	else if (!openDirectory(why)) {
		// why is set
	} else if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
		why = dir + "/" + name + " already exists";
	else if ((tempFd = openat(dirFd, ("." + name + ".tmp").c_str(),
				  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)) < 0)
		why = reasonOf("cannot create a file in " + dir);
	else {
		tempName = "." + name + ".tmp";
		ok = core.collect(fd, memory, why);
	}

	// The stripped core is complete once memory has been read: it goes to
	// disk now, and the rest of the stream, which the kernel waits to hand
	// over, is read afterwards.
	if (ok)
		ok = writeOutput(core, name, why);
	bool drained;
	unsigned long total = drainStream(fd, drained);
	if (ok && !drained) {
		why = reasonOf("reading the core stream failed");
		ok = false;
	} else if (ok && total + core.reader->getStreamRead() < core.reader->getCoreSize()) {
		// The dump was cut short: the file mode would not see this core.
		why = "the core stream ended after " + std::to_string(total + core.reader->getStreamRead()) + " of " +
		      std::to_string(core.reader->getCoreSize()) + " bytes";
		ok = false;
	}
	if (!ok) {
		discard();
		unpublish(name);
		return false;
	}
	prune(name);
	return true;
}

void Collector::unpublish(const std::string &name)
{
	struct stat st;
	if (written.st_ino != 0 && fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
	    st.st_ino == written.st_ino && st.st_dev == written.st_dev)
		unlinkat(dirFd, name.c_str(), 0);
}

bool Collector::writeOutput(const Core &core, const std::string &name, std::string &why)
{
	{
		FdBuf buf(tempFd);
		std::ostream os(&buf);
		os << core;
		os.flush();
		if (os.rdstate() & (std::ios::failbit | std::ios::badbit)) {
			why = reasonOf("cannot write " + dir + "/" + tempName);
			return false;
		}
	}
	if (fsync(tempFd) != 0 || fstat(tempFd, &written) != 0) {
		why = reasonOf("cannot write " + dir + "/" + tempName);
		return false;
	}
	int fd = tempFd;
	tempFd = -1;
	if (close(fd) != 0) {
		why = reasonOf("cannot write " + dir + "/" + tempName);
		return false;
	}
	// Never over anything that appeared under the name meanwhile.
	int r = renameat2(dirFd, tempName.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE);
	if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
		r = linkat(dirFd, tempName.c_str(), dirFd, name.c_str(), 0);
		if (r == 0)
			unlinkat(dirFd, tempName.c_str(), 0);
	}
	if (r != 0) {
		why = reasonOf("cannot name " + dir + "/" + name);
		return false;
	}
	tempName.clear();
	fsync(dirFd);
	return true;
}

void Collector::prune(const std::string &kept)
{
	int fd = dup(dirFd);
	DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
	if (!d) {
		if (fd >= 0)
			close(fd);
		return;
	}
	// newest first: modification time, then name
	std::vector<std::pair<std::pair<long, long>, std::string> > cores;
	while (dirent *e = readdir(d)) {
		struct stat st;
		if (strncmp(e->d_name, "core.", 5) != 0 || fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
		    !S_ISREG(st.st_mode))
			continue;
		cores.push_back({{(long)st.st_mtim.tv_sec, st.st_mtim.tv_nsec}, e->d_name});
	}
	closedir(d);
	std::sort(cores.rbegin(), cores.rend());
	// The core just written counts among the kept ones whatever the clock
	// said of the others.
	size_t left = keep > 0 ? keep - 1 : 0;
	for (auto &c : cores) {
		if (c.second == kept)
			continue;
		if (left > 0)
			left--;
		else
			unlinkat(dirFd, c.second.c_str(), 0);
	}
}

} // namespace Skelvane
