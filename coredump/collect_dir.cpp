#include "collect_dir.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
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

} // namespace

CollectDir::CollectDir(const std::string &path_) : path(path_) {}

CollectDir::~CollectDir()
{
	discard();
	if (dirFd >= 0)
		close(dirFd);
}

void CollectDir::discard()
{
	if (tempFd >= 0)
		close(tempFd);
	tempFd = -1;
	if (!tempName.empty())
		unlinkat(dirFd, tempName.c_str(), 0);
	tempName.clear();
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

bool CollectDir::create(const std::string &name_, std::string &why)
{
	struct stat st;
	if (fstatat(dirFd, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
		why = path + "/" + name_ + " already exists";
		return false;
	}
	const std::string temp = "." + name_ + ".tmp";
	tempFd = openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (tempFd < 0) {
		why = reasonOf("cannot create a file in " + path);
		return false;
	}
	name = name_;
	tempName = temp;
	return true;
}

bool CollectDir::publish(std::string &why)
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
	// Never over anything that appeared under the name meanwhile.
	int r = renameat2(dirFd, tempName.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE);
	if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
		r = linkat(dirFd, tempName.c_str(), dirFd, name.c_str(), 0);
		if (r == 0)
			unlinkat(dirFd, tempName.c_str(), 0);
	}
	if (r != 0) {
		why = reasonOf("cannot name " + path + "/" + name);
		return false;
	}
	tempName.clear();
	fsync(dirFd);
	return true;
}

void CollectDir::abandon()
{
	discard();
	struct stat st;
	if (written.st_ino != 0 && fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
	    st.st_ino == written.st_ino && st.st_dev == written.st_dev)
		unlinkat(dirFd, name.c_str(), 0);
}

void CollectDir::prune(unsigned long keep)
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
		if (c.second == name)
			continue;
		if (left > 0)
			left--;
		else
			unlinkat(dirFd, c.second.c_str(), 0);
	}
}

} // namespace Skelvane
