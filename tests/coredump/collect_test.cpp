// skelvane --collect, the kernel's core handler: real crashes through
// core_pattern, compared with the file mode, and the failures that must
// never hold the kernel up or leave anything behind.
#include "collector.h"
#include "core_dump.h"
#include "crash_programs.h"
#include "dir_listing.h"
#include "hand_core.h"
#include "test_support.h"

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::CmdResult;
using testsupport::GdbView;
using testsupport::TempDir;

namespace {

const std::string kBin = SKELVANE_BIN;

void writeFile(const std::string &path, const std::string &text, mode_t mode = 0755)
{
	std::ofstream(path) << text;
	chmod(path.c_str(), mode);
}

// The pattern that runs `handler` with the kernel's %P %t %e. The kernel
// keeps only 127 characters of a pattern; a build tree deep in the file
// system is reached through a short link to the same binary.
std::string pipePattern(const TempDir &t, const std::string &handler)
{
	std::string p = "|" + handler + " %P %t %e";
	if (p.size() < 128)
		return p;
	std::string link = t.path() + "/h";
	symlink(handler.substr(0, handler.find(' ')).c_str(), link.c_str());
	return "|" + link + handler.substr(handler.find(' ')) + " %P %t %e";
}

// gdb's view of a core as it stays from one crash of a program to the next:
// the libraries, and the frames of each thread, whose order and ids the
// kernel chooses anew.
std::string framesAndLibraries(const GdbView &v, size_t frames)
{
	std::ostringstream os;
	for (auto &l : v.libraries)
		os << "lib " << l << "\n";
	std::vector<std::string> threads;
	for (auto &t : v.threads) {
		std::string text = "thread:";
		for (size_t i = 0; i < t.second.size() && (frames == 0 || i < frames); i++)
			text += " " + t.second[i];
		threads.push_back(text);
	}
	std::sort(threads.begin(), threads.end());
	for (auto &t : threads)
		os << t << "\n";
	return os.str();
}

// The handler as core_pattern leaves one stripped core and its record,
// private to root, in a directory it makes; gdb reads the core as a full
// core of the same program.
// frames, when not 0, is how many of each thread's innermost frames are
// compared.
void collectOneCrash(const std::string &options, bool withLibrary, const std::vector<std::string> &mustSee,
		     const char *program = crashprog::kProgram, size_t threads = 5, size_t frames = 0)
{
	TempDir t("skvcollect");
	std::vector<std::string> args = crashprog::build(t.path(), options, withLibrary, program);
	const std::string out = t.path() + "/cores";
	std::string why;
	int pid = testsupport::crash_with_handler(args, t.path(), pipePattern(t, kBin + " --collect " + out), &why);
	ASSERT_GT(pid, 0) << why;
	std::vector<std::string> names = collected(out);
	ASSERT_EQ(names.size(), 2u) << testing::PrintToString(names);
	EXPECT_EQ(names[0].rfind("core.prog." + std::to_string(pid) + ".", 0), 0u) << names[0];
	EXPECT_EQ(names[1], names[0] + ".json");
	struct stat d, f;
	ASSERT_EQ(stat(out.c_str(), &d), 0);
	EXPECT_EQ(d.st_mode & 07777, 0700u);
	for (auto &n : names) {
		ASSERT_EQ(stat((out + "/" + n).c_str(), &f), 0);
		EXPECT_EQ(f.st_mode & 07777, 0600u) << n;
		EXPECT_EQ(f.st_uid, 0u) << n;
	}

	std::string full = testsupport::make_core(args, t.path(), &why);
	ASSERT_FALSE(full.empty()) << why;
	GdbView a = testsupport::gdb_view(args[0], full), b = testsupport::gdb_view(args[0], out + "/" + names[0]);
	std::string fa = framesAndLibraries(a, frames);
	EXPECT_EQ(fa, framesAndLibraries(b, frames)) << "full core:\n" << a.raw << "\ncollected core:\n" << b.raw;
	EXPECT_EQ(a.threads.size(), threads) << a.raw;
	for (auto &fn : mustSee)
		EXPECT_NE(fa.find(" " + fn), std::string::npos) << fn << "\n" << fa;
}

} // namespace

TEST(Collect, PieCrashLeavesOneStrippedCore)
{
	REQUIRE_ROOT();
	collectOneCrash("-fPIE -pie", false, {"crash_now", "main", "park", "level_a", "level_b", "level_c", "worker"});
}

TEST(Collect, FixedAddressCrashLeavesOneStrippedCore)
{
	REQUIRE_ROOT();
	collectOneCrash("-fno-pie -no-pie", false, {"crash_now", "main", "park", "level_a"});
}

TEST(Collect, CrashInADlopenedLibraryLeavesOneStrippedCore)
{
	REQUIRE_ROOT();
	collectOneCrash("-fPIE -pie", true, {"extra_deep", "extra_entry", "main", "park"});
}

// The thread that overflowed its stack faulted below the stack mapping; its
// frames are kept all the same.
TEST(Collect, StackOverflowCrashLeavesOneStrippedCore)
{
	REQUIRE_ROOT();
	collectOneCrash("-fstack-clash-protection", false, {"dive", "idle"}, crashprog::kOverflow, 3, 20);
}

// What the kernel pipes in, stripped by the handler, is byte for byte what
// the file mode makes of the full core of the same crash.
TEST(Collect, SameBytesAsTheFileModeOfTheSameCrash)
{
	REQUIRE_ROOT();
	TempDir t("skvcollect");
	std::vector<std::string> args = crashprog::build(t.path(), "-fPIE -pie", true);
	writeFile(t.path() + "/tee.sh", "#!/bin/sh\ntee " + t.path() + "/full.core | " + kBin + " --collect " + t.path() +
					  "/cores \"$@\"\n");
	std::string why;
	ASSERT_GT(testsupport::crash_with_handler(args, t.path(), "|" + t.path() + "/tee.sh %P %t %e", &why), 0) << why;
	std::vector<std::string> names = collected(t.path() + "/cores");
	ASSERT_EQ(names.size(), 2u);
	CmdResult r = testsupport::run({kBin, "--build-ids", t.path() + "/full.core"});
	ASSERT_EQ(r.status, 0) << r.err;
	std::string collected = readFile(t.path() + "/cores/" + names[0]);
	EXPECT_GT(collected.size(), 4096u);
	EXPECT_TRUE(collected == r.out) << collected.size() << " bytes collected, " << r.out.size() << " from the file";
}

// The handler never holds the core: its peak memory does not follow the
// crashed process's heap.
TEST(Collect, OneGibHeapCrashKeepsTheHandlerSmall)
{
	REQUIRE_ROOT();
	TempDir t("skvcollect");
	writeFile(t.path() + "/heap.c", R"(
#include <stdlib.h>
int *volatile null_target;
int main(void) {
	size_t n = (size_t)1 << 30;
	char *heap = malloc(n);
	for (size_t i = 0; i < n; i += 4096) heap[i] = (char)i | 1;
	*null_target = heap[4096];
	return 0;
}
)", 0644);
	testsupport::sh_ok("gcc -O1 -o " + t.path() + "/heap " + t.path() + "/heap.c");
	writeFile(t.path() + "/h.sh", "#!/bin/sh\nexec /usr/bin/time -f %M -o " + t.path() + "/rss " + kBin + " --collect " +
					  t.path() + "/cores \"$@\"\n");
	std::string why;
	ASSERT_GT(testsupport::crash_with_handler({t.path() + "/heap"}, t.path(), "|" + t.path() + "/h.sh %P %t %e", &why), 0)
		<< why;
	EXPECT_EQ(collected(t.path() + "/cores").size(), 2u);
	long kib = atol(readFile(t.path() + "/rss").c_str());
	EXPECT_GT(kib, 0);
#ifdef __SANITIZE_ADDRESS__
	// the sanitizer's shadow memory and quarantine come on top; a core held
	// whole would still be 64 times more
	EXPECT_LT(kib, 64 * 1024);
#else
	EXPECT_LT(kib, 16 * 1024);
#endif
}

// --keep N leaves the newest N crashes (a core with its record, or an old
// core alone) and nothing else is touched.
TEST(Collect, KeepsOnlyTheNewestCores)
{
	REQUIRE_ROOT();
	TempDir t("skvcollect");
	std::vector<std::string> args = crashprog::build(t.path(), "-fPIE -pie", false);
	const std::string out = t.path() + "/cores";
	mkdir(out.c_str(), 0700);
	for (int age = 1; age <= 3; age++) {
		std::string old = out + "/core.old." + std::to_string(age) + ".1";
		writeFile(old, "old", 0600);
		testsupport::sh_ok("touch -d '" + std::to_string(age) + " days ago' " + old);
	}
	writeFile(out + "/notes.txt", "mine", 0600);
	symlink("core.old.3.1", (out + "/core.link").c_str());
	std::string why;
	int pid = testsupport::crash_with_handler(args, t.path(), pipePattern(t, kBin + " --keep 2 --collect " + out), &why);
	ASSERT_GT(pid, 0) << why;
	std::vector<std::string> names = collected(out);
	ASSERT_EQ(names.size(), 5u) << testing::PrintToString(names);
	EXPECT_EQ(names[0], "core.link");
	EXPECT_EQ(names[1], "core.old.1.1");
	EXPECT_EQ(names[2].rfind("core.prog." + std::to_string(pid) + ".", 0), 0u);
	EXPECT_EQ(names[3], names[2] + ".json");
	EXPECT_EQ(names[4], "notes.txt");
}

namespace {

struct HandlerRun {
	int status = -1;
	bool drained = false; // every byte of the input was taken
	std::vector<std::string> log;
};

// Runs the handler with `input` on a pipe, as the kernel would, in a private
// mount namespace whose /dev holds only null and a log socket that this
// test reads; `readOnly`, if given, is made read-only there.
HandlerRun runHandler(const std::vector<std::string> &args, const std::string &input, const std::string &readOnly = "")
{
	HandlerRun res;
	TempDir t("skvlog");
	std::string sock = t.path() + "/log";
	int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	sockaddr_un a;
	memset(&a, 0, sizeof(a));
	a.sun_family = AF_UNIX;
	snprintf(a.sun_path, sizeof(a.sun_path), "%s", sock.c_str());
	if (s < 0 || bind(s, (sockaddr *)&a, sizeof(a)) != 0) {
		ADD_FAILURE() << "log socket: " << strerror(errno);
		return res;
	}
	int p[2];
	if (pipe2(p, O_CLOEXEC) != 0)
		return res;
	std::vector<char *> argv;
	for (auto &x : args)
		argv.push_back(const_cast<char *>(x.c_str()));
	argv.push_back(nullptr);
	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
		    mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0 ||
		    mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0)
			_exit(120);
		close(open("/dev/log", O_CREAT | O_WRONLY, 0666));
		if (mount(sock.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0)
			_exit(121);
		if (!readOnly.empty() && (mount(readOnly.c_str(), readOnly.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
					  mount(nullptr, readOnly.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0))
			_exit(122);
		dup2(p[0], 0);
		int devnull = open("/dev/null", O_RDWR);
		dup2(devnull, 1);
		dup2(devnull, 2);
		execv(argv[0], argv.data());
		_exit(127);
	}
	close(p[0]);
	sighandler_t old = signal(SIGPIPE, SIG_IGN);
	size_t done = 0;
	while (done < input.size()) {
		ssize_t n = write(p[1], input.data() + done, input.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		done += (size_t)n;
	}
	res.drained = done == input.size();
	close(p[1]);
	signal(SIGPIPE, old);
	int st = 0;
	waitpid(pid, &st, 0);
	res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
	char buf[2048];
	ssize_t n;
	while ((n = recv(s, buf, sizeof(buf), MSG_DONTWAIT)) > 0)
		res.log.push_back(std::string(buf, (size_t)n));
	close(s);
	return res;
}

// A core stream of more than the pipe holds: a hand-built core and zeros.
std::string bigStream()
{
	handcore::Bytes b = handcore::standardCore().bytes();
	std::string s(b.begin(), b.end());
	s.resize(2 << 20, '\0');
	return s;
}

void expectOneLogLine(const HandlerRun &r, const std::string &reason)
{
	ASSERT_EQ(r.log.size(), 1u) << testing::PrintToString(r.log);
	// facility LOG_DAEMON, severity LOG_ERR
	EXPECT_EQ(r.log[0].rfind("<27>", 0), 0u) << r.log[0];
	EXPECT_NE(r.log[0].find("skelvane["), std::string::npos) << r.log[0];
	EXPECT_NE(r.log[0].find(reason), std::string::npos) << r.log[0];
	EXPECT_EQ(r.log[0].find('\n'), std::string::npos) << r.log[0];
}

} // namespace

// Whatever goes wrong, the handler reads the stream to its end, leaves no
// core and nothing half-written in the directory (only the record, where it
// can be written, saying why), exits non-zero and says why in one syslog
// line.
TEST(Collect, FailuresDrainTheStreamLeaveNoCoreAndLogOneLine)
{
	REQUIRE_ROOT();
	TempDir t("skvcollect");
	const std::string out = t.path() + "/cores", self = std::to_string(getpid());
	const std::vector<std::string> handler = {kBin, "--collect", out, self, "1700000000", "prog"};
	mkdir(out.c_str(), 0700);
	{
		SCOPED_TRACE("directory not writable");
		HandlerRun r = runHandler(handler, bigStream(), out);
		EXPECT_NE(r.status, 0);
		EXPECT_TRUE(r.drained);
		EXPECT_TRUE(listDir(out).empty()) << testing::PrintToString(listDir(out));
		expectOneLogLine(r, "Read-only file system");
	}
	{
		SCOPED_TRACE("a symlink named like the output");
		std::string planted = out + "/core.prog." + self + ".1700000000";
		ASSERT_EQ(symlink((t.path() + "/target").c_str(), planted.c_str()), 0);
		HandlerRun r = runHandler(handler, bigStream());
		EXPECT_NE(r.status, 0);
		EXPECT_TRUE(r.drained);
		EXPECT_EQ(collected(out), std::vector<std::string>{"core.prog." + self + ".1700000000"});
		EXPECT_NE(access((t.path() + "/target").c_str(), F_OK), 0);
		expectOneLogLine(r, "already exists");
		unlink(planted.c_str());
	}
	{
		SCOPED_TRACE("a stream cut inside the program headers");
		std::string cut = bigStream().substr(0, 150);
		HandlerRun r = runHandler(handler, cut);
		EXPECT_NE(r.status, 0);
		EXPECT_TRUE(r.drained);
		const std::string record = "core.prog." + self + ".1700000000.json";
		EXPECT_EQ(collected(out), std::vector<std::string>{record});
		EXPECT_NE(readFile(out + "/" + record).find("ended inside the program headers"), std::string::npos);
		expectOneLogLine(r, "ended inside the program headers");
	}
}

// A partial core is a success: it is kept with its record, and the crash's
// one syslog line says what it lacks, as the record does. --no-keep-partial
// refuses it: only the record, which says why.
TEST(Collect, PartialCoreIsKeptAndItsLogLineSaysWhatItLacks)
{
	REQUIRE_ROOT();
	TempDir t("skvcollect");
	const std::string out = t.path() + "/cores", self = std::to_string(getpid());
	const std::string name = "core.prog." + self + ".1700000000";
	// the memory read is this process's, where the executable's headers
	// are not: no dynamic section is found
	handcore::Bytes b = handcore::standardCore().bytes();
	HandlerRun r = runHandler({kBin, "--collect", out, self, "1700000000", "prog"}, std::string(b.begin(), b.end()));
	EXPECT_EQ(r.status, 0);
	EXPECT_TRUE(r.drained);
	EXPECT_EQ(collected(out), (std::vector<std::string>{name, name + ".json"}));
	EXPECT_NE(readFile(out + "/" + name + ".json").find("\"core_missing\": \"dynamic section, r_debug record, link maps\""),
		  std::string::npos);
	ASSERT_EQ(r.log.size(), 1u) << testing::PrintToString(r.log);
	// facility LOG_DAEMON, severity LOG_ERR, as for every crash
	EXPECT_EQ(r.log[0].rfind("<27>", 0), 0u) << r.log[0];
	EXPECT_NE(r.log[0].find("collected in part, missing: dynamic section, r_debug record, link maps"),
		  std::string::npos)
		<< r.log[0];

	TempDir strict("skvcollect");
	r = runHandler({kBin, "--no-keep-partial", "--collect", strict.path(), self, "1700000000", "prog"},
		       std::string(b.begin(), b.end()));
	EXPECT_NE(r.status, 0);
	EXPECT_EQ(collected(strict.path()), std::vector<std::string>{name + ".json"});
	expectOneLogLine(r, "not collected: Unable to read dynamic section");
}
