// The crash record and the collector's limits, through real crashes piped
// to the handler by the kernel: what the record says of a crash, inside a
// PID namespace too, a crash loop against the rate, a nearly full file
// system against --keep-free, and a process that lies about its libraries.
#include "core_dump.h"
#include "crash_record.h"
#include "dir_listing.h"
#include "test_support.h"

#include <atomic>
#include <set>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using testsupport::CmdResult;
using testsupport::TempDir;

namespace {

const std::string kBin = SKELVANE_BIN;

// One program, crashed in several ways: crash_here() faults at 0x1234.
const char kRecordProgram[] = R"prog(
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
__attribute__((noinline)) void crash_here(void) { *(volatile int *)0x1234 = 1; }
int main(int argc, char **argv) {
	if (argc < 2) crash_here();
	if (!strcmp(argv[1], "as")) {            /* as <uid>: crash as that user */
		int id = atoi(argv[2]);
		if (setgid(id) || setuid(id)) return 2;
		prctl(PR_SET_DUMPABLE, 1);
	} else if (!strcmp(argv[1], "pids")) {   /* pids <fd of the host's /proc> <file> */
		char self[32] = "";
		if (readlinkat(atoi(argv[2]), "self", self, sizeof(self) - 1) < 0) return 2;
		FILE *f = fopen(argv[3], "w");
		fprintf(f, "%d %s\n", getpid(), self);
		fclose(f);
	} else if (!strcmp(argv[1], "loop")) {   /* loop <children> <at once> */
		int n = atoi(argv[2]), batch = atoi(argv[3]);
		for (int done = 0; done < n;) {
			pid_t p[64];
			int k = 0;
			for (; k < batch && done + k < n; k++)
				if ((p[k] = fork()) == 0) crash_here();
			for (int i = 0; i < k; i++) waitpid(p[i], NULL, 0);
			done += k;
		}
	} else if (!strcmp(argv[1], "lie")) {    /* lie <lib> <lib> <fifo>: rename them */
		void *a = dlopen(argv[2], RTLD_NOW), *b = dlopen(argv[3], RTLD_NOW);
		struct link_map *la, *lb;
		if (!a || !b || dlinfo(a, RTLD_DI_LINKMAP, &la) || dlinfo(b, RTLD_DI_LINKMAP, &lb)) return 2;
		la->l_name = argv[4];
		lb->l_name = strdup("/dev/zero"); /* in memory the core holds */
	}
	crash_here();
	return 1;
}
)prog";

std::string buildProgram(const TempDir &t)
{
	std::ofstream(t.path() + "/prog.c") << kRecordProgram;
	testsupport::sh_ok("gcc -g -O1 -o " + t.path() + "/prog " + t.path() + "/prog.c -ldl");
	return t.path() + "/prog";
}

// The system log as the handlers write it: a socket bound in a mount
// namespace of each handler's own, in place of /dev/log, read while the
// crashes go on (a full socket would hold the handlers up).
class LogCatcher {
public:
	explicit LogCatcher(const std::string &dir) : path(dir + "/log")
	{
		fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
		sockaddr_un a = {};
		a.sun_family = AF_UNIX;
		snprintf(a.sun_path, sizeof(a.sun_path), "%s", path.c_str());
		timeval tv = {0, 20000};
		if (fd < 0 || bind(fd, (sockaddr *)&a, sizeof(a)) != 0 ||
		    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) {
			ADD_FAILURE() << "log socket: " << strerror(errno);
			return;
		}
		reader = std::thread([this] {
			char buf[4096];
			while (!stop) {
				ssize_t n = recv(fd, buf, sizeof(buf), 0);
				if (n > 0)
					got.push_back(std::string(buf, (size_t)n));
			}
			ssize_t n;
			while ((n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0)
				got.push_back(std::string(buf, (size_t)n));
		});
	}
	~LogCatcher()
	{
		lines();
		close(fd);
	}
	// Every line so far; ends the reading.
	const std::vector<std::string> &lines()
	{
		stop = true;
		if (reader.joinable())
			reader.join();
		return got;
	}
	// A core pattern that runs the handler with these options, logging here.
	std::string pattern(const TempDir &t, const std::string &options) const
	{
		std::string script = t.path() + "/h.sh";
		std::ofstream(script) << "#!/bin/sh\nexec /usr/bin/unshare --mount /bin/sh -c '/bin/mount -t tmpfs -o "
					 "mode=0755 tmpfs /dev && /bin/mknod -m 666 /dev/null c 1 3 && : > /dev/log && "
					 "/bin/mount --bind \"$0\" /dev/log && exec \"$@\"' "
				      << path << " " << kBin << " " << options << " \"$@\"\n";
		chmod(script.c_str(), 0755);
		return "|" + script + " %P %t %e";
	}

private:
	std::string path;
	int fd = -1;
	std::atomic<bool> stop{false};
	std::thread reader;
	std::vector<std::string> got;
};

Skelvane::CrashRecord readRecord(const std::string &path)
{
	Skelvane::CrashRecord r;
	std::string why;
	EXPECT_TRUE(Skelvane::recordFromJson(readFile(path), r, why)) << path << ": " << why;
	return r;
}

// The names in dir that end with tail.
std::vector<std::string> namesEndingWith(const std::string &dir, const std::string &tail)
{
	std::vector<std::string> out;
	for (auto &n : listDir(dir))
		if (n.size() > tail.size() && n.compare(n.size() - tail.size(), tail.size(), tail) == 0)
			out.push_back(n);
	return out;
}

const Skelvane::RecordModule *moduleNamed(const Skelvane::CrashRecord &r, const std::string &path)
{
	for (auto &m : r.modules)
		if (m.path == path)
			return &m;
	return nullptr;
}

unsigned long long freeBytes(const std::string &path)
{
	struct statvfs v;
	return statvfs(path.c_str(), &v) == 0 ? (unsigned long long)v.f_bavail * v.f_frsize : 0;
}

} // namespace

// A fault at a known address, as an ordinary user: the record names the
// signal, its code and address, the pid, the user, the executable and the
// function, the log says the same in a line, and --list shows the crash to
// an ordinary user reading a copy.
TEST(CollectRecord, SegfaultAtAKnownAddress)
{
	REQUIRE_ROOT();
	TempDir t("skvrecord");
	chmod(t.path().c_str(), 0755);
	const std::string prog = buildProgram(t), out = t.path() + "/cores";
	LogCatcher log(t.path());
	std::string why;
	int pid = testsupport::crash_with_handler({prog, "as", "65534"}, t.path(),
						  log.pattern(t, "--collect " + out), &why);
	ASSERT_GT(pid, 0) << why;
	std::vector<std::string> records = namesEndingWith(out, ".json");
	ASSERT_EQ(records.size(), 1u) << testing::PrintToString(listDir(out));
	Skelvane::CrashRecord r = readRecord(out + "/" + records[0]);
	EXPECT_EQ(r.pid, pid);
	EXPECT_EQ(r.pidInNs, 0);
	EXPECT_EQ(r.comm, "prog");
	EXPECT_TRUE(r.hasSignal && r.signal == SIGSEGV && r.signalCode == SEGV_MAPERR);
	EXPECT_TRUE(r.hasAddress && r.address == 0x1234) << std::hex << r.address;
	EXPECT_TRUE(r.hasIds && r.uid == 65534 && r.gid == 65534) << r.uid;
	EXPECT_EQ(r.executable, prog);
	EXPECT_EQ(r.cmdline, (std::vector<std::string>{prog, "as", "65534"}));
	EXPECT_EQ(r.coreFile, records[0].substr(0, records[0].size() - 5));
	EXPECT_GT(r.fullSize, r.coreSize);
	ASSERT_FALSE(r.threads.empty());
	const Skelvane::RecordThread &crashed = r.threads[0];
	EXPECT_TRUE(crashed.signalled);
	EXPECT_EQ(crashed.tid, pid);
	EXPECT_EQ(crashed.function, "crash_here");
	ASSERT_EQ(crashed.module, 0);
	EXPECT_EQ(r.modules[0].path, prog);
	EXPECT_TRUE(r.modules[0].symbolsRead) << r.modules[0].unreadable;
	EXPECT_EQ(r.modules[0].buildId.size(), 40u);
	EXPECT_EQ(r.modules[0].base + crashed.moduleOffset, crashed.pc);

	const std::vector<std::string> &lines = log.lines();
	ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
	EXPECT_EQ(lines[0].rfind("<27>", 0), 0u) << lines[0];
	std::string expected = "prog[" + std::to_string(pid) + "] uid 65534 killed by SIGSEGV at crash_here (prog+0x";
	EXPECT_NE(lines[0].find(expected), std::string::npos) << lines[0];
	EXPECT_NE(lines[0].find("; kept " + r.coreFile + " ("), std::string::npos) << lines[0];

	const std::string copy = t.path() + "/copy";
	testsupport::sh_ok("cp -r " + out + " " + copy + " && chown -R 65534:65534 " + copy);
	CmdResult l = testsupport::run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", kBin, "--list", copy});
	ASSERT_EQ(l.status, 0) << l.err;
	std::vector<std::string> shown;
	std::istringstream in(l.out);
	for (std::string line; std::getline(in, line);)
		shown.push_back(line);
	ASSERT_EQ(shown.size(), 2u) << l.out;
	EXPECT_EQ(shown[0].rfind("TIME", 0), 0u) << l.out;
	for (const std::string &word : std::vector<std::string>{" " + std::to_string(pid) + " ", " 65534 ", " SIGSEGV ", " " + prog + " "})
		EXPECT_NE(shown[1].find(word), std::string::npos) << word << "\n" << l.out;
	CmdResult i = testsupport::run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", kBin, "--info",
					copy + "/" + r.coreFile});
	ASSERT_EQ(i.status, 0) << i.err;
	EXPECT_NE(i.out.find("fault address 0x1234"), std::string::npos) << i.out;
	EXPECT_NE(i.out.find("* " + std::to_string(pid) + "  crash_here (prog+0x"), std::string::npos) << i.out;
}

// Inside a PID namespace the record has both pids: the kernel's %P, and the
// one the process knew itself by.
TEST(CollectRecord, CrashInAPidNamespace)
{
	REQUIRE_ROOT();
	TempDir t("skvrecord");
	const std::string prog = buildProgram(t), out = t.path() + "/cores", pids = t.path() + "/pids";
	// inherited by the program: the host's /proc, where "self" is its pid
	// as the initial namespace sees it
	int proc = open("/proc", O_RDONLY | O_DIRECTORY);
	ASSERT_GE(proc, 0);
	std::string why;
	int pid = testsupport::crash_with_handler(
		{"/usr/bin/unshare", "--fork", "--pid", "--mount-proc", prog, "pids", std::to_string(proc), pids},
		t.path(), "|" + kBin + " --collect " + out + " %P %t %e", &why);
	close(proc);
	ASSERT_GT(pid, 0) << why;
	long inside = 0, outside = 0;
	std::ifstream(pids) >> inside >> outside;
	ASSERT_GT(outside, 0) << readFile(pids);
	EXPECT_NE(inside, outside);
	// unshare passes the signal on, and dumps a core of its own beside
	std::vector<std::string> records;
	for (auto &n : namesEndingWith(out, ".json"))
		if (n.rfind("core.prog." + std::to_string(outside) + ".", 0) == 0)
			records.push_back(n);
	ASSERT_EQ(records.size(), 1u) << testing::PrintToString(listDir(out));
	Skelvane::CrashRecord r = readRecord(out + "/" + records[0]);
	EXPECT_EQ(r.pid, outside);
	EXPECT_EQ(r.pidInNs, inside);
	ASSERT_FALSE(r.threads.empty());
	EXPECT_EQ(r.threads[0].tid, outside);
	EXPECT_EQ(r.threads[0].tidInNs, inside);
	EXPECT_EQ(r.threads[0].function, "crash_here");
	EXPECT_EQ(r.executable, prog);
}

// A crash loop: 100 children crash, ten at a time, and then their parent.
// With --rate 5/60 five crashes are kept; each of the others gets a log line
// with the count so far and nothing on disk, and the count goes into the
// next record, written here by a handler allowed one more.
TEST(CollectRecord, ACrashLoopIsKeptToTheRate)
{
	REQUIRE_ROOT();
	TempDir t("skvrecord");
	const std::string prog = buildProgram(t), out = t.path() + "/cores";
	{
		LogCatcher log(t.path());
		std::string why;
		ASSERT_GT(testsupport::crash_with_handler({prog, "loop", "100", "10"}, t.path(),
							  log.pattern(t, "--rate 5/60 --collect " + out), &why),
			  0)
			<< why;
		EXPECT_EQ(namesEndingWith(out, ".json").size(), 5u) << testing::PrintToString(listDir(out));
		EXPECT_EQ(collected(out).size(), 10u) << testing::PrintToString(listDir(out));
		const std::vector<std::string> &lines = log.lines();
		EXPECT_EQ(lines.size(), 101u);
		size_t kept = 0;
		std::set<long> counts; // each crash not kept has its own count
		const std::string over = "; not kept: more than 5 crashes of " + prog + " in 60 s; ";
		for (auto &l : lines) {
			if (l.find("; kept core.prog.") != std::string::npos)
				kept++;
			size_t at = l.find(over);
			if (at != std::string::npos && l.find(" not kept since the last one kept") != std::string::npos)
				counts.insert(atol(l.c_str() + at + over.size()));
		}
		EXPECT_EQ(kept, 5u);
		EXPECT_EQ(counts.size(), 96u) << testing::PrintToString(lines);
		EXPECT_EQ(*counts.begin(), 1);
		EXPECT_EQ(*counts.rbegin(), 96);
		for (auto &n : namesEndingWith(out, ".json"))
			EXPECT_EQ(readRecord(out + "/" + n).notKeptBefore, 0u) << n;
	}
	unlink((t.path() + "/log").c_str());
	LogCatcher log(t.path());
	std::string why;
	int pid = testsupport::crash_with_handler({prog}, t.path(), log.pattern(t, "--rate 6/60 --collect " + out), &why);
	ASSERT_GT(pid, 0) << why;
	std::vector<std::string> mine;
	for (auto &n : namesEndingWith(out, ".json"))
		if (n.rfind("core.prog." + std::to_string(pid) + ".", 0) == 0)
			mine.push_back(n);
	ASSERT_EQ(mine.size(), 1u);
	EXPECT_EQ(readRecord(out + "/" + mine[0]).notKeptBefore, 96u);
	ASSERT_EQ(log.lines().size(), 1u);
	EXPECT_NE(log.lines()[0].find("; 96 crashes of " + prog + " before it not kept"), std::string::npos)
		<< log.lines()[0];
}

// DIR on a small file system filled nearly full: the oldest crash goes to
// keep --keep-free; a core that cannot keep it even with every old crash
// gone is left out, and its record says so; with no old crash to remove and
// no room even for a record nothing is written. Every time the room is
// reserved before a byte is written, nothing half-written is left, and the
// file system stays sound.
TEST(CollectRecord, ANearlyFullFileSystemKeepsItsFreeSpace)
{
	REQUIRE_ROOT();
	TempDir t("skvrecord");
	const std::string prog = buildProgram(t);
	testsupport::LoopImage img(16, "-b 1024 -m 0");
	ASSERT_TRUE(img.ok());
	const std::string out = img.path("cores");
	ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
	for (int i = 1; i <= 3; i++) {
		std::string stem = out + "/core.old." + std::to_string(i) + "." + std::to_string(1000 + i);
		testsupport::sh_ok("head -c 2M /dev/urandom > " + stem + " && echo '{}' > " + stem + ".json && touch -d '" +
				   std::to_string(4 - i) + " days ago' " + stem + " " + stem + ".json");
	}
	img.settle();
	const unsigned long long MiB = 1 << 20;
	testsupport::sh_ok("fallocate -l " + std::to_string(freeBytes(img.mnt()) - 3 * MiB) + " " + img.path("filler1"));
	img.settle();
	auto crash = [&](const std::string &options, LogCatcher &log) {
		std::string why;
		int pid = testsupport::crash_with_handler({prog}, t.path(), log.pattern(t, options + " --collect " + out), &why);
		EXPECT_GT(pid, 0) << why;
		img.settle();
		EXPECT_TRUE(namesEndingWith(out, ".tmp").empty()) << testing::PrintToString(listDir(out));
		return std::to_string(pid);
	};
	auto crashFiles = [&](const std::string &pid) {
		std::vector<std::string> mine;
		for (auto &n : collected(out))
			if (n.rfind("core.prog." + pid + ".", 0) == 0)
				mine.push_back(n);
		return mine;
	};
	{
		SCOPED_TRACE("3 MiB free, 4 MiB to keep free: the oldest crash goes");
		LogCatcher log(t.path());
		std::string pid = crash("--keep-free 4M", log);
		std::vector<std::string> mine = crashFiles(pid);
		ASSERT_EQ(mine.size(), 2u) << testing::PrintToString(listDir(out));
		EXPECT_FALSE(access((out + "/core.old.1.1001").c_str(), F_OK) == 0);
		EXPECT_FALSE(access((out + "/core.old.1.1001.json").c_str(), F_OK) == 0);
		EXPECT_TRUE(access((out + "/core.old.2.1002").c_str(), F_OK) == 0);
		EXPECT_GE(freeBytes(img.mnt()), 4 * MiB);
		EXPECT_EQ(log.lines().size(), 1u);
		unlink((t.path() + "/log").c_str());
	}
	{
		SCOPED_TRACE("most of the file system to keep free: not even without the old crashes");
		LogCatcher log(t.path());
		std::string pid = crash("--keep-free 90%", log);
		std::vector<std::string> mine = crashFiles(pid);
		ASSERT_EQ(mine.size(), 1u) << testing::PrintToString(listDir(out));
		Skelvane::CrashRecord r = readRecord(out + "/" + mine[0]);
		EXPECT_EQ(r.coreFile, "");
		EXPECT_NE(r.notKept.find("less than --keep-free 90 %"), std::string::npos) << r.notKept;
		EXPECT_TRUE(access((out + "/core.old.2.1002").c_str(), F_OK) == 0);
		unlink((t.path() + "/log").c_str());
	}
	{
		SCOPED_TRACE("no crash left to remove, no room left at all: nothing is written");
		testsupport::sh_ok("rm " + out + "/core.*");
		testsupport::sh("dd if=/dev/zero of=" + img.path("filler2") + " bs=1k 2>/dev/null");
		img.settle();
		LogCatcher log(t.path());
		crash("--keep-free 0", log);
		EXPECT_TRUE(collected(out).empty()) << testing::PrintToString(listDir(out));
		ASSERT_EQ(log.lines().size(), 1u);
		EXPECT_NE(log.lines()[0].find("No space left on device"), std::string::npos) << log.lines()[0];
		EXPECT_EQ(log.lines()[0].find("cannot write"), std::string::npos) << log.lines()[0];
	}
	std::string fsck;
	EXPECT_EQ(img.fsck(&fsck), 0) << fsck;
}

// A process whose link map names a FIFO and /dev/zero as two of its
// libraries: the handler never opens either (the FIFO would hold it up), the
// record marks both modules unreadable and says why, and the real files are
// still read for the other modules.
TEST(CollectRecord, LibrariesNamedAsAFifoAndADeviceAreNotRead)
{
	REQUIRE_ROOT();
	TempDir t("skvrecord");
	const std::string prog = buildProgram(t), out = t.path() + "/cores", fifo = t.path() + "/fifo";
	std::ofstream(t.path() + "/lib.c") << "int lib_value(void) { return 7; }\n";
	for (const char *lib : {"liba.so", "libb.so"})
		testsupport::sh_ok("gcc -shared -fPIC -o " + t.path() + "/" + lib + " " + t.path() + "/lib.c");
	ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
	// Whoever opens the FIFO to read it lets this open return.
	std::atomic<bool> releasing{false}, openedByHandler{false};
	std::thread writer([&] {
		int fd = open(fifo.c_str(), O_WRONLY);
		if (!releasing)
			openedByHandler = true;
		if (fd >= 0)
			close(fd);
	});
	std::string why;
	int pid = testsupport::crash_with_handler({prog, "lie", t.path() + "/liba.so", t.path() + "/libb.so", fifo},
						  t.path(), "|" + kBin + " --collect " + out + " %P %t %e", &why);
	releasing = true;
	int release = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
	writer.join();
	close(release);
	ASSERT_GT(pid, 0) << why;
	EXPECT_FALSE(openedByHandler);
	std::vector<std::string> records = namesEndingWith(out, ".json");
	ASSERT_EQ(records.size(), 1u);
	Skelvane::CrashRecord r = readRecord(out + "/" + records[0]);
	const Skelvane::RecordModule *named = moduleNamed(r, fifo), *zero = moduleNamed(r, "/dev/zero");
	ASSERT_TRUE(named && zero) << readFile(out + "/" + records[0]);
	EXPECT_FALSE(named->symbolsRead);
	EXPECT_EQ(named->unreadable, "its name is a FIFO, not the file mapped there");
	EXPECT_EQ(named->file, t.path() + "/liba.so");
	EXPECT_FALSE(zero->symbolsRead);
	EXPECT_EQ(zero->unreadable, "its name is a character device, not the file mapped there");
	EXPECT_TRUE(r.modules[0].symbolsRead) << r.modules[0].unreadable;
	ASSERT_FALSE(r.threads.empty());
	EXPECT_EQ(r.threads[0].function, "crash_here");
}
