#include "test_support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

bool in_ci()
{
	const char *ci = getenv("CI");
	return ci && (!strcmp(ci, "true") || !strcmp(ci, "1"));
}

static std::string slurp_fd(int fd)
{
	std::string s;
	lseek(fd, 0, SEEK_SET);
	char buf[65536];
	ssize_t n;
	while ((n = read(fd, buf, sizeof(buf))) > 0)
		s.append(buf, (size_t)n);
	return s;
}

static int temp_fd()
{
	char name[] = "/tmp/qfcapXXXXXX";
	int fd = mkstemp(name);
	if (fd >= 0)
		unlink(name);
	return fd;
}

// The file-system tools (mkfs.ext4, dumpe2fs, losetup...) live in the sbin
// directories, which an ordinary user's PATH may lack; this process's PATH
// gets them, once, at the end.
static void reach_sbin()
{
	const char *path = getenv("PATH");
	std::string p = path ? path : "/usr/bin:/bin";
	for (const char *dir : {"/usr/sbin", "/sbin"})
		if ((":" + p + ":").find(std::string(":") + dir + ":") == std::string::npos)
			p += std::string(":") + dir;
	setenv("PATH", p.c_str(), 1);
}

CmdResult run(const std::vector<std::string> &argv, const std::string &input)
{
	static bool sbin_reached = (reach_sbin(), true);
	(void)sbin_reached;
	CmdResult r;
	// Temp files rather than pipes: no deadlock whatever the output size.
	int in = temp_fd(), out = temp_fd(), err = temp_fd();
	if (in < 0 || out < 0 || err < 0)
		return r;
	if (!input.empty() && write(in, input.data(), input.size()) != (ssize_t)input.size())
		return r;
	lseek(in, 0, SEEK_SET);
	std::vector<char *> args;
	for (auto &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);
	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		dup2(in, 0);
		dup2(out, 1);
		dup2(err, 2);
		execvp(args[0], args.data());
		_exit(127);
	}
	int st = 0;
	while (waitpid(pid, &st, 0) < 0 && errno == EINTR)
		;
	r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
	r.out = slurp_fd(out);
	r.err = slurp_fd(err);
	close(in);
	close(out);
	close(err);
	return r;
}

CmdResult sh(const std::string &cmdline)
{
	return run({"/bin/sh", "-c", cmdline});
}

std::string sh_ok(const std::string &cmdline)
{
	CmdResult r = sh(cmdline);
	EXPECT_EQ(r.status, 0) << "command failed: " << cmdline << "\n" << r.out << r.err;
	return r.out;
}

TempDir::TempDir(const std::string &prefix)
{
	std::string tmpl = "/tmp/" + prefix + "XXXXXX";
	std::vector<char> buf(tmpl.begin(), tmpl.end());
	buf.push_back(0);
	if (mkdtemp(buf.data()))
		path_ = buf.data();
}

TempDir::~TempDir()
{
	if (!path_.empty())
		sh("rm -rf '" + path_ + "'");
}

LoopImage::LoopImage(uint64_t size_mb, const std::string &mkfs_opts, const std::string &mount_opts)
    : dir_("qfimg"), mount_opts_(mount_opts)
{
	image_ = dir_.path() + "/fs.img";
	mnt_ = dir_.path() + "/mnt";
	if (mkdir(mnt_.c_str(), 0755))
		return;
	// Eager inode-table and journal init: no background writer after mount.
	CmdResult r = sh("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + mkfs_opts +
			 " '" + image_ + "' " + std::to_string(size_mb) + "M");
	if (r.status) {
		ADD_FAILURE() << "mkfs.ext4 failed: " << r.err;
		return;
	}
	// losetup -f can race with another test picking the same device; retry.
	for (int i = 0; i < 10 && dev_.empty(); i++) {
		r = sh("losetup -f --show '" + image_ + "'");
		if (!r.status)
			dev_ = r.out.substr(0, r.out.find('\n'));
		else
			usleep(100000);
	}
	if (dev_.empty()) {
		ADD_FAILURE() << "losetup failed: " << r.err;
		return;
	}
	mount();
	ok_ = mounted_;
}

void LoopImage::mount()
{
	if (mounted_ || dev_.empty())
		return;
	std::string o = mount_opts_.empty() ? "" : " -o " + mount_opts_;
	CmdResult r = sh("mount -t ext4" + o + " " + dev_ + " '" + mnt_ + "'");
	if (r.status) {
		ADD_FAILURE() << "mount failed: " << r.err;
		return;
	}
	mounted_ = true;
}

void LoopImage::unmount()
{
	if (!mounted_)
		return;
	for (int i = 0; i < 50; i++) {
		if (!sh("umount '" + mnt_ + "'").status) {
			mounted_ = false;
			return;
		}
		usleep(100000);
	}
	sh("umount -l '" + mnt_ + "'");
	mounted_ = false;
}

void LoopImage::settle()
{
	sh("sync -f '" + mnt_ + "'");
	sh("fsfreeze -f '" + mnt_ + "' && fsfreeze -u '" + mnt_ + "'");
}

int LoopImage::fsck(std::string *output)
{
	bool was = mounted_;
	unmount();
	CmdResult r = sh("e2fsck -fn " + dev_ + " 2>&1");
	if (output)
		*output = r.out + r.err;
	if (was)
		mount();
	return r.status;
}

uint64_t LoopImage::device_writes() const
{
	std::string name = dev_.substr(dev_.rfind('/') + 1);
	std::ifstream f("/sys/block/" + name + "/stat");
	uint64_t v[17] = {};
	for (auto &x : v)
		f >> x;
	// An empty cache flush (an fsync on the device node, as the read-only
	// library does when it opens the device) is counted as a write request
	// too; it carries no data, so it is taken out.
	return v[4] - v[15];
}

LoopImage::~LoopImage()
{
	sh("fsfreeze -u '" + mnt_ + "' 2>/dev/null");
	unmount();
	if (!dev_.empty())
		sh("losetup -d " + dev_);
}

std::vector<FragExtent> filefrag(const std::string &path)
{
	std::vector<FragExtent> v;
	CmdResult r = sh("filefrag -v -b$(stat -f -c %S '" + path + "') '" + path + "'");
	std::istringstream in(r.out);
	std::string line;
	while (std::getline(in, line)) {
		// "   0:        0..       0:      34816..     34816:      1:             last,eof"
		unsigned idx;
		unsigned long long l0, l1, p0, p1, len;
		char flags[256] = "";
		int used = 0;
		if (sscanf(line.c_str(), " %u: %llu.. %llu: %llu.. %llu: %llu:%n", &idx, &l0, &l1, &p0,
			   &p1, &len, &used) < 6 || !used)
			continue;
		// what follows is an optional "expected" block number ("1234:") and the flags
		std::istringstream rest(line.substr((size_t)used));
		std::string tok, fl;
		while (rest >> tok) {
			bool expected = fl.empty() && tok.back() == ':' &&
					tok.find_first_not_of("0123456789") == tok.size() - 1;
			if (!expected)
				fl += tok;
		}
		snprintf(flags, sizeof(flags), "%s", fl.c_str());
			v.push_back({l0, p0, len, flags});
	}
	return v;
}

unsigned fragments(const std::vector<FragExtent> &exts)
{
	unsigned n = 0;
	uint64_t prev_end = 0;
	for (auto &e : exts) {
		if (e.physical != prev_end)
			n++;
		prev_end = e.physical + e.length;
	}
	return n;
}

std::string file_sha256(const std::string &path)
{
	CmdResult r = sh("sha256sum '" + path + "'");
	return r.out.substr(0, 64);
}

} // namespace testsupport
