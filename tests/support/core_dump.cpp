#include "core_dump.h"
#include "test_support.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

static const char kPatternFile[] = "/proc/sys/kernel/core_pattern";
// Every process that changes the core pattern for a test holds this lock.
static const char kPatternLock[] = "/tmp/skelvane-core-pattern.lock";

static bool read_pattern(std::string &out)
{
	std::ifstream f(kPatternFile);
	if (!f)
		return false;
	std::getline(f, out);
	return true;
}

static bool write_pattern(const std::string &p)
{
	int fd = open(kPatternFile, O_WRONLY);
	if (fd < 0)
		return false;
	bool ok = write(fd, p.data(), p.size()) == (ssize_t)p.size();
	close(fd);
	return ok;
}

static std::string find_core(const std::string &dir, pid_t pid)
{
	std::string best;
	DIR *d = opendir(dir.c_str());
	if (!d)
		return best;
	std::string mine = "core." + std::to_string(pid);
	while (dirent *e = readdir(d)) {
		std::string n = e->d_name;
		if (n == mine) {
			best = dir + "/" + n;
			break;
		}
		if (n == "core" || n.rfind("core.", 0) == 0)
			best = dir + "/" + n;
	}
	closedir(d);
	return best;
}

std::string make_core(const std::vector<std::string> &argv, const std::string &dir, std::string *why)
{
	std::string dummy;
	std::string &reason = why ? *why : dummy;
	int lock = open(kPatternLock, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
	if (lock < 0 || flock(lock, LOCK_EX) != 0) {
		reason = "cannot lock " + std::string(kPatternLock);
		if (lock >= 0)
			close(lock);
		return "";
	}
	std::string old;
	bool haveOld = read_pattern(old);
	bool changed = haveOld && write_pattern(dir + "/core.%p");
	if (!changed && (!haveOld || old.empty() || old[0] == '|' || old.find('/') != std::string::npos)) {
		// The pattern cannot be pointed here and the current one does not
		// write into the crashing process's directory.
		reason = "core pattern '" + old + "' cannot be changed";
		close(lock);
		return "";
	}

	std::vector<char *> args;
	for (auto &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);
	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		if (chdir(dir.c_str()) != 0)
			_exit(126);
		struct rlimit rl = {RLIM_INFINITY, RLIM_INFINITY};
		setrlimit(RLIMIT_CORE, &rl);
		prctl(PR_SET_DUMPABLE, 1);
		int devnull = open("/dev/null", O_RDWR);
		dup2(devnull, 0);
		dup2(devnull, 1);
		// a program that fails to crash is ended without a core
		alarm(60);
		execv(args[0], args.data());
		_exit(127);
	}
	int st = 0;
	while (waitpid(pid, &st, 0) < 0 && errno == EINTR)
		;
	if (changed)
		write_pattern(old);
	flock(lock, LOCK_UN);
	close(lock);

	if (!WIFSIGNALED(st)) {
		reason = "the program did not crash (status " + std::to_string(st) + ")";
		return "";
	}
	if (!WCOREDUMP(st)) {
		reason = "the program died of signal " + std::to_string(WTERMSIG(st)) + " without a core";
		return "";
	}
	std::string core = find_core(dir, pid);
	if (core.empty())
		reason = "no core file in " + dir;
	return core;
}

GdbView gdb_view(const std::string &exe, const std::string &core)
{
	GdbView v;
	CmdResult r = run({"gdb", "-nx", "-batch", "-iex", "set debuginfod enabled off", "-iex",
			   "set auto-load safe-path /", "-ex", "info sharedlibrary", "-ex", "thread apply all bt",
			   exe, core});
	v.raw = r.out + r.err;
	std::istringstream in(r.out);
	std::string line;
	// "0x... 0x... Yes /lib/..." or, for a library gdb could not load, "No /lib/..."
	static const std::regex lib(R"(^\s*(?:0x[0-9a-f]+\s+0x[0-9a-f]+\s+)?(?:Yes|No)(?: \(\*\))?\s+(/\S.*)$)");
	static const std::regex thread(R"(^Thread (\d+) \(.*LWP (\d+)\)\)?:$)");
	static const std::regex frame(R"(^#\d+\s+(?:0x[0-9a-f]+ in )?([^ (]+))");
	std::smatch m;
	while (std::getline(in, line)) {
		if (std::regex_match(line, m, lib))
			v.libraries.push_back(m[1]);
		else if (std::regex_match(line, m, thread))
			v.threads.push_back({"Thread " + m[1].str() + " LWP " + m[2].str(), {}});
		else if (!v.threads.empty() && std::regex_search(line, m, frame))
			v.threads.back().second.push_back(m[1]);
	}
	return v;
}

std::string describe(const GdbView &v)
{
	std::ostringstream os;
	for (auto &l : v.libraries)
		os << "lib " << l << "\n";
	for (auto &t : v.threads) {
		os << t.first << ":";
		for (auto &f : t.second)
			os << " " << f;
		os << "\n";
	}
	return os.str();
}

} // namespace testsupport
