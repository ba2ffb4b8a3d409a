#include "core_dump.h"
#include "test_support.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <cctype>
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
static const char kPipeLimitFile[] = "/proc/sys/kernel/core_pipe_limit";

static bool read_line(const char *file, std::string &out)
{
	std::ifstream f(file);
	if (!f)
		return false;
	std::getline(f, out);
	return true;
}

static bool write_text(const char *file, const std::string &p)
{
	int fd = open(file, O_WRONLY);
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

// Runs argv in dir with core dumps enabled while the core pattern is
// `pattern` (and, when pipeLimit >= 0, core_pipe_limit is pipeLimit); both
// are restored afterwards. Gives the wait status and the child's pid, or
// false with the reason.
static bool crash_under(const std::vector<std::string> &argv, const std::string &dir, const std::string &pattern,
			int pipeLimit, int &st, pid_t &pid, std::string &reason)
{
	int lock = open(kPatternLock, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
	if (lock < 0 || flock(lock, LOCK_EX) != 0) {
		reason = "cannot lock " + std::string(kPatternLock);
		if (lock >= 0)
			close(lock);
		return false;
	}
	std::string old, oldLimit;
	bool haveOld = read_line(kPatternFile, old);
	bool changed = haveOld && write_text(kPatternFile, pattern);
	if (!changed && (pipeLimit >= 0 || !haveOld || old.empty() || old[0] == '|' ||
			 old.find('/') != std::string::npos)) {
		// The pattern cannot be pointed here and the current one does not
		// write into the crashing process's directory.
		reason = "core pattern '" + old + "' cannot be changed";
		close(lock);
		return false;
	}
	bool limitChanged = pipeLimit >= 0 && read_line(kPipeLimitFile, oldLimit) &&
			    write_text(kPipeLimitFile, std::to_string(pipeLimit));

	std::vector<char *> args;
	for (auto &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);
	fflush(nullptr);
	pid = fork();
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
	st = 0;
	// With a core_pipe_limit above 0 the kernel lets the process go only
	// once the handler has exited.
	while (waitpid(pid, &st, 0) < 0 && errno == EINTR)
		;
	if (changed)
		write_text(kPatternFile, old);
	if (limitChanged)
		write_text(kPipeLimitFile, oldLimit);
	flock(lock, LOCK_UN);
	close(lock);
	return true;
}

std::string make_core(const std::vector<std::string> &argv, const std::string &dir, std::string *why)
{
	std::string dummy;
	std::string &reason = why ? *why : dummy;
	int st = 0;
	pid_t pid = 0;
	if (!crash_under(argv, dir, dir + "/core.%p", -1, st, pid, reason))
		return "";
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

int crash_with_handler(const std::vector<std::string> &argv, const std::string &dir, const std::string &pattern,
		       std::string *why)
{
	std::string dummy;
	std::string &reason = why ? *why : dummy;
	int st = 0;
	pid_t pid = 0;
	if (!crash_under(argv, dir, pattern, 16, st, pid, reason))
		return -1;
	if (!WIFSIGNALED(st) || !WCOREDUMP(st)) {
		reason = "the program did not crash with a core (status " + std::to_string(st) + ")";
		return -1;
	}
	return pid;
}

// "0x... 0x... Yes (*) /lib/..." or, for a library gdb could not load,
// "No /lib/...": gives the path of a library line, or "".
static std::string library_of(const std::string &line)
{
	std::istringstream in(line);
	std::string tok;
	while (in >> tok && tok.rfind("0x", 0) == 0)
		;
	if (tok != "Yes" && tok != "No")
		return "";
	std::string rest;
	std::getline(in, rest);
	size_t at = rest.find_first_not_of(" \t");
	if (at == std::string::npos)
		return "";
	rest = rest.substr(at);
	if (rest.rfind("(*)", 0) == 0) {
		at = rest.find_first_not_of(" \t", 3);
		rest = at == std::string::npos ? "" : rest.substr(at);
	}
	return rest;
}

static std::string digits_after(const std::string &line, const std::string &key)
{
	size_t at = line.find(key);
	if (at == std::string::npos)
		return "";
	at += key.size();
	size_t end = at;
	while (end < line.size() && isdigit((unsigned char)line[end]))
		end++;
	return line.substr(at, end - at);
}

GdbView gdb_view(const std::string &exe, const std::string &core)
{
	GdbView v;
	CmdResult r = run({"gdb", "-nx", "-batch", "-iex", "set debuginfod enabled off", "-iex",
			   "set auto-load libthread-db off", "-ex", "info sharedlibrary", "-ex",
			   "thread apply all bt", exe, core});
	v.raw = r.out + r.err;
	std::istringstream in(r.out);
	std::string line;
	while (std::getline(in, line)) {
		std::string lib = library_of(line);
		if (!lib.empty()) {
			v.libraries.push_back(lib);
			continue;
		}
		// "Thread 3 (Thread 0x7f.. (LWP 10698)):" or "Thread 3 (LWP 10698):"
		if (line.rfind("Thread ", 0) == 0 && !line.empty() && line.back() == ':') {
			v.threads.push_back({"Thread " + digits_after(line, "Thread ") + " LWP " + digits_after(line, "LWP "), {}});
			continue;
		}
		// "#3  0x000055.. in level_c (d=...) at ..." or "#0  crash_now () at ..."
		if (v.threads.empty() || line.size() < 2 || line[0] != '#' || !isdigit((unsigned char)line[1]))
			continue;
		std::istringstream f(line);
		std::string num, tok;
		f >> num >> tok;
		if (tok.rfind("0x", 0) == 0) {
			std::string in_word;
			f >> in_word >> tok;
		}
		tok = tok.substr(0, tok.find('('));
		v.threads.back().second.push_back(tok);
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
