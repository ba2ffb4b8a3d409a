#include "process_files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sstream>
#include <sys/syscall.h>
#include <unistd.h>

namespace Skelvane {

namespace {

// Most threads whose ids are read; a process with more gets no namespace
// ids for the rest.
const size_t kMaxThreadIds = 65536;
const size_t kMaxStatus = 16384;

std::string reasonOf(const std::string &what)
{
	const char *reason = strerror(errno);
	return what + ": " + reason;
}

// "NSpid:\t123\t7" and the like: the numbers after key, or none.
std::vector<long> numbersAfter(const std::string &status, const std::string &key)
{
	std::vector<long> out;
	size_t at = 0;
	while (at < status.size()) {
		size_t end = status.find('\n', at);
		if (end == std::string::npos)
			end = status.size();
		if (status.compare(at, key.size(), key) == 0) {
			std::istringstream in(status.substr(at + key.size(), end - at - key.size()));
			long v;
			while (in >> v)
				out.push_back(v);
			return out;
		}
		at = end + 1;
	}
	return out;
}

long openat2Path(int dirFd, const char *path, unsigned long long resolve)
{
	struct open_how how;
	memset(&how, 0, sizeof(how));
	how.flags = O_PATH | O_CLOEXEC;
	how.resolve = resolve;
	return syscall(SYS_openat2, dirFd, path, &how, sizeof(how));
}

} // namespace

std::string fileKind(mode_t mode)
{
	switch (mode & S_IFMT) {
	case S_IFREG:
		return "a regular file";
	case S_IFDIR:
		return "a directory";
	case S_IFCHR:
		return "a character device";
	case S_IFBLK:
		return "a block device";
	case S_IFIFO:
		return "a FIFO";
	case S_IFSOCK:
		return "a socket";
	case S_IFLNK:
		return "a symbolic link";
	}
	return "a file of unknown type";
}

ProcessFiles::ProcessFiles(int fd) : dirFd(fd) {}

ProcessFiles::~ProcessFiles()
{
	close(dirFd);
}

boost::shared_ptr<ProcessFiles> ProcessFiles::open(const std::string &pid)
{
	int fd = ::open(("/proc/" + pid).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return boost::shared_ptr<ProcessFiles>();
	return boost::shared_ptr<ProcessFiles>(new ProcessFiles(fd));
}

bool ProcessFiles::readText(const char *name, size_t limit, std::string &out, bool *cut) const
{
	out.clear();
	int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
	if (fd < 0)
		return false;
	std::vector<char> buf(limit + 1);
	size_t have = 0;
	while (have < buf.size()) {
		ssize_t n = read(fd, buf.data() + have, buf.size() - have);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		have += (size_t)n;
	}
	close(fd);
	if (cut)
		*cut = have > limit;
	out.assign(buf.data(), std::min(have, limit));
	return true;
}

ProcessInfo ProcessFiles::readInfo() const
{
	ProcessInfo info;
	char link[PATH_MAX];
	ssize_t n = readlinkat(dirFd, "exe", link, sizeof(link));
	if (n > 0 && (size_t)n < sizeof(link))
		info.exe.assign(link, (size_t)n);

	std::string text;
	if (readText("cmdline", kMaxCmdline, text, &info.cmdlineCut)) {
		// arguments end with NULs; a process that rewrote its arguments
		// may have left the last one open
		size_t at = 0;
		while (at < text.size()) {
			size_t end = text.find('\0', at);
			if (end == std::string::npos)
				end = text.size();
			info.cmdline.push_back(text.substr(at, end - at));
			at = end + 1;
		}
	}
	if (readText("cgroup", kMaxCgroup, info.cgroup)) {
		while (!info.cgroup.empty() && info.cgroup.back() == '\n')
			info.cgroup.pop_back();
	}
	std::string status;
	if (readText("status", kMaxStatus, status)) {
		std::vector<long> uid = numbersAfter(status, "Uid:"), gid = numbersAfter(status, "Gid:");
		if (!uid.empty() && !gid.empty()) {
			info.hasIds = true;
			info.uid = (unsigned)uid[0];
			info.gid = (unsigned)gid[0];
		}
		info.nspid = numbersAfter(status, "NSpid:");
	}
	if (info.nspid.size() < 2)
		return info;
	// In a PID namespace of its own the core names the threads by the ids
	// they have there.
	int taskFd = openat(dirFd, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	DIR *d = taskFd >= 0 ? fdopendir(taskFd) : nullptr;
	if (!d) {
		if (taskFd >= 0)
			close(taskFd);
		return info;
	}
	while (dirent *e = readdir(d)) {
		if (info.threadIds.size() >= kMaxThreadIds)
			break;
		if (!isdigit((unsigned char)e->d_name[0]))
			continue;
		std::string path = std::string("task/") + e->d_name + "/status";
		std::string s;
		if (!readText(path.c_str(), kMaxStatus, s))
			continue;
		std::vector<long> ids = numbersAfter(s, "NSpid:");
		if (ids.size() >= 2)
			info.threadIds.push_back({ids.front(), ids.back()});
	}
	closedir(d);
	return info;
}

int ProcessFiles::openMappedFile(uint64_t start, uint64_t end, struct stat &st, std::string &why) const
{
	char name[64];
	snprintf(name, sizeof(name), "map_files/%llx-%llx", (unsigned long long)start, (unsigned long long)end);
	// The entry is the kernel's link to the mapped file itself, not a path
	// to look up. Opened first as a path only, so that nothing but a
	// regular file is ever opened for reading: opening a device or a FIFO
	// could block or act.
	int path = openat(dirFd, name, O_PATH | O_CLOEXEC);
	if (path < 0) {
		why = reasonOf("its mapped file cannot be reached");
		return -1;
	}
	if (fstat(path, &st) != 0) {
		why = reasonOf("its mapped file cannot be examined");
		close(path);
		return -1;
	}
	if (!S_ISREG(st.st_mode)) {
		why = "its mapped file is " + fileKind(st.st_mode) + ", not a regular file";
		close(path);
		return -1;
	}
	char self[64];
	snprintf(self, sizeof(self), "/proc/self/fd/%d", path);
	int fd = ::open(self, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	close(path);
	struct stat again;
	if (fd < 0 || fstat(fd, &again) != 0 || again.st_dev != st.st_dev || again.st_ino != st.st_ino ||
	    !S_ISREG(again.st_mode)) {
		why = fd < 0 ? reasonOf("its mapped file cannot be opened") : "its mapped file changed as it was opened";
		if (fd >= 0)
			close(fd);
		return -1;
	}
	st = again;
	return fd;
}

bool ProcessFiles::namesFile(const std::string &name, const struct stat &mapped, std::string &why) const
{
	if (name.empty() || name.find('\0') != std::string::npos) {
		why = "it has no file name";
		return false;
	}
	// Looked up as the process would: an absolute name from its root, a
	// relative one from its working directory. Opened as a path only, so a
	// FIFO or a device is never opened.
	bool absolute = name[0] == '/';
	int base = openat(dirFd, absolute ? "root" : "cwd", O_PATH | O_DIRECTORY | O_CLOEXEC);
	if (base < 0) {
		why = reasonOf("its name cannot be looked up");
		return false;
	}
	long fd = openat2Path(base, name.c_str(), (absolute ? RESOLVE_IN_ROOT : 0) | RESOLVE_NO_MAGICLINKS);
	if (fd < 0 && errno == ENOSYS)
		fd = openat(base, absolute ? name.c_str() + 1 : name.c_str(), O_PATH | O_CLOEXEC);
	close(base);
	if (fd < 0) {
		why = reasonOf("its name names no file it can see");
		return false;
	}
	struct stat st;
	bool ok = fstat((int)fd, &st) == 0;
	close((int)fd);
	if (!ok) {
		why = reasonOf("its name cannot be examined");
		return false;
	}
	if (!S_ISREG(st.st_mode)) {
		why = "its name is " + fileKind(st.st_mode) + ", not the file mapped there";
		return false;
	}
	if (st.st_dev != mapped.st_dev || st.st_ino != mapped.st_ino) {
		why = "its name is another file than the one mapped there";
		return false;
	}
	return true;
}

} // namespace Skelvane
