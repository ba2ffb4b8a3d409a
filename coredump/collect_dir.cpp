#include "collect_dir.h"

#include "fd_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace Skelvane {

namespace {

// what, with the reason errno gives.
std::string reasonOf(const std::string &what)
{
	const char *reason = strerror(errno);
	return what + ": " + reason;
}

bool endsWith(const std::string &s, const std::string &tail)
{
	return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

const char kRecordSuffix[] = ".json";

// The regular files named "core.*" in the directory, with their status.
std::vector<std::pair<std::string, struct stat> > coreFiles(int dirFd, bool temporary)
{
	std::vector<std::pair<std::string, struct stat> > out;
	int fd = dup(dirFd);
	DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
	if (!d) {
		if (fd >= 0)
			close(fd);
		return out;
	}
	rewinddir(d);
	while (dirent *e = readdir(d)) {
		std::string n = e->d_name;
		bool match = temporary ? n.compare(0, 6, ".core.") == 0 && endsWith(n, ".tmp") : n.compare(0, 5, "core.") == 0;
		struct stat st;
		if (match && fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
			out.push_back({n, st});
	}
	closedir(d);
	return out;
}

} // namespace

OutputFile::OutputFile(CollectDir &dir_) : dir(dir_) {}

OutputFile::~OutputFile()
{
	discard();
}

std::string OutputFile::getTempPath() const
{
	return dir.getPath() + "/" + tempName;
}

void OutputFile::discard()
{
	if (tempFd >= 0)
		close(tempFd);
	tempFd = -1;
	if (!tempName.empty())
		unlinkat(dir.getFd(), tempName.c_str(), 0);
	tempName.clear();
}

bool OutputFile::create(const std::string &name_, std::string &why, bool replacing)
{
	struct stat st;
	if (!replacing && fstatat(dir.getFd(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
		why = dir.getPath() + "/" + name_ + " already exists";
		return false;
	}
	const std::string temp = "." + name_ + ".tmp";
	tempFd = openat(dir.getFd(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (tempFd < 0) {
		why = reasonOf("cannot create a file in " + dir.getPath());
		return false;
	}
	name = name_;
	tempName = temp;
	return true;
}

bool OutputFile::reserve(unsigned long long bytes, std::string &why)
{
	if (bytes == 0)
		return true;
	int r;
	while ((r = fallocate(tempFd, 0, 0, (off_t)bytes)) != 0 && errno == EINTR)
		;
	if (r == 0 || errno == EOPNOTSUPP || errno == ENOSYS)
		return true;
	why = reasonOf("cannot reserve " + std::to_string(bytes) + " bytes for " + name);
	return false;
}

bool OutputFile::writeWhole(const std::string &bytes, std::string &why)
{
	if (lseek(tempFd, 0, SEEK_SET) != 0 || !writeAll(tempFd, bytes.data(), bytes.size()) ||
	    ftruncate(tempFd, (off_t)bytes.size()) != 0) {
		why = reasonOf("cannot write " + getTempPath());
		return false;
	}
	return true;
}

bool OutputFile::publish(std::string &why, bool replace)
{
	if (fsync(tempFd) != 0 || fstat(tempFd, &written) != 0) {
		why = reasonOf("cannot write " + getTempPath());
		return false;
	}
	int fd = tempFd;
	tempFd = -1;
	if (close(fd) != 0) {
		why = reasonOf("cannot write " + getTempPath());
		return false;
	}
	int dirFd = dir.getFd();
	int r;
	if (replace) {
		r = renameat(dirFd, tempName.c_str(), dirFd, name.c_str());
	} else {
		// Never over anything that appeared under the name meanwhile.
		r = renameat2(dirFd, tempName.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE);
		if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
			r = linkat(dirFd, tempName.c_str(), dirFd, name.c_str(), 0);
			if (r == 0)
				unlinkat(dirFd, tempName.c_str(), 0);
		}
	}
	if (r != 0) {
		why = reasonOf("cannot name " + dir.getPath() + "/" + name);
		return false;
	}
	tempName.clear();
	fsync(dirFd);
	return true;
}

void OutputFile::abandon()
{
	discard();
	struct stat st;
	if (written.st_ino != 0 && fstatat(dir.getFd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
	    st.st_ino == written.st_ino && st.st_dev == written.st_dev)
		unlinkat(dir.getFd(), name.c_str(), 0);
	written = {};
}

CollectDir::CollectDir(const std::string &path_) : path(path_), main(*this) {}

CollectDir::~CollectDir()
{
	main.discard();
	if (dirFd >= 0)
		close(dirFd); // which also lets go of the lock
}

bool CollectDir::open(std::string &why)
{
	if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
		why = reasonOf("cannot create " + path);
		return false;
	}
	dirFd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (dirFd < 0) {
		why = reasonOf("cannot open " + path);
		return false;
	}
	struct stat st;
	if (fstat(dirFd, &st) != 0) {
		why = reasonOf("cannot stat " + path);
		return false;
	}
	// Nobody else may place or swap files in the directory.
	if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
		why = path + " is writable by others than its owner, or not owned by this user";
		return false;
	}
	return true;
}

bool CollectDir::lock(std::string &why)
{
	int r;
	while ((r = flock(dirFd, LOCK_EX)) != 0 && errno == EINTR)
		;
	if (r != 0) {
		why = reasonOf("cannot lock " + path);
		return false;
	}
	locked = true;
	return true;
}

void CollectDir::unlock()
{
	if (locked)
		flock(dirFd, LOCK_UN);
	locked = false;
}

std::vector<StoredCrash> CollectDir::listCrashes() const
{
	std::map<std::string, StoredCrash> byStem;
	for (auto &f : coreFiles(dirFd, false)) {
		std::string stem = endsWith(f.first, kRecordSuffix) ? f.first.substr(0, f.first.size() - 5) : f.first;
		StoredCrash &c = byStem[stem];
		c.stem = stem;
		c.bytes += (unsigned long long)f.second.st_blocks * 512;
		long long ns = (long long)f.second.st_mtim.tv_sec * 1000000000ll + f.second.st_mtim.tv_nsec;
		c.writtenNs = std::max(c.writtenNs, ns);
	}
	std::vector<StoredCrash> out;
	for (auto &c : byStem)
		out.push_back(c.second);
	std::sort(out.begin(), out.end(), [](const StoredCrash &a, const StoredCrash &b) {
		return a.writtenNs != b.writtenNs ? a.writtenNs < b.writtenNs : a.stem < b.stem;
	});
	return out;
}

void CollectDir::removeCrash(const std::string &stem)
{
	for (const std::string &n : {stem, stem + kRecordSuffix}) {
		struct stat st;
		if (fstatat(dirFd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
			unlinkat(dirFd, n.c_str(), 0);
	}
}

void CollectDir::prune(unsigned long keep, const std::string &current)
{
	std::vector<StoredCrash> crashes = listCrashes();
	// The crash just written counts among the kept ones whatever the clock
	// said of the others.
	size_t left = keep > 0 ? keep - 1 : 0;
	for (auto c = crashes.rbegin(); c != crashes.rend(); ++c) {
		if (c->stem == current)
			continue;
		if (left > 0)
			left--;
		else
			removeCrash(c->stem);
	}
}

void CollectDir::removeStaleFiles()
{
	for (auto &f : coreFiles(dirFd, true))
		unlinkat(dirFd, f.first.c_str(), 0);
}

bool CollectDir::spaceOf(FsSpace &out) const
{
	struct statvfs vfs;
	if (fstatvfs(dirFd, &vfs) != 0)
		return false;
	out.size = (unsigned long long)vfs.f_blocks * vfs.f_frsize;
	out.free = (unsigned long long)vfs.f_bavail * vfs.f_frsize;
	out.block = vfs.f_bsize ? vfs.f_bsize : 4096;
	return true;
}

bool CollectDir::exists(const std::string &name) const
{
	struct stat st;
	return fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string CollectDir::readState(const std::string &name, size_t limit) const
{
	std::string text;
	int fd = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return text;
	struct stat st;
	std::vector<char> buf;
	if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (unsigned long long)st.st_size <= limit &&
	    fillTo(fd, buf, (unsigned long)st.st_size))
		text.assign(buf.begin(), buf.end());
	close(fd);
	return text;
}

bool CollectDir::writeState(const std::string &name, const std::string &text, std::string &why)
{
	// Only a collector holding the lock writes it: a temporary file left
	// behind is one a killed collector did not finish.
	const std::string temp = name + ".tmp";
	unlinkat(dirFd, temp.c_str(), 0);
	int fd = openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (fd < 0) {
		why = reasonOf("cannot create " + path + "/" + temp);
		return false;
	}
	bool ok = writeAll(fd, text.data(), text.size());
	ok = close(fd) == 0 && ok;
	// Renamed over the old state, so that a reader finds the one or the
	// other whole; not synced, since a count lost to a power cut costs
	// nothing and a sync for every crash of a crash loop would.
	if (!ok || renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
		why = reasonOf("cannot write " + path + "/" + name);
		unlinkat(dirFd, temp.c_str(), 0);
		return false;
	}
	return true;
}

} // namespace Skelvane
