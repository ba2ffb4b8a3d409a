// The directory walk on real trees of a loop-mounted ext4.
#include <map>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include "scan_helpers.h"

using namespace testsupport;
using namespace scantest;

namespace {

struct Visit {
	uint64_t ino;
	std::string name;
	bool dir;
};
std::vector<Visit> g_visits;
int g_fail_ino = -1;

int record_visit(defrag_context *, int fd, const struct stat *st, int, const char *name)
{
	struct stat again;
	// the descriptor handed over is the entry's own, and still open
	EXPECT_EQ(fstat(fd, &again), 0);
	EXPECT_EQ(again.st_ino, st->st_ino);
	g_visits.push_back({st->st_ino, name, S_ISDIR(st->st_mode)});
	return (int)st->st_ino == g_fail_ino ? -1 : 0;
}

// inode -> path below the mount point, from find
std::map<uint64_t, std::string> inode_paths(const std::string &mnt)
{
	std::map<uint64_t, std::string> m;
	std::istringstream in(sh_ok("find '" + mnt + "' -mindepth 1 -printf '%i %P\\n'"));
	uint64_t ino;
	std::string p;
	while (in >> ino >> p)
		m[ino] = p;
	return m;
}

struct WalkTree : SettingsTest {
	void SetUp() override
	{
		reset_run_state();
		g_visits.clear();
		g_fail_ino = -1;
	}
};

TEST_F(WalkTree, FiltersOrderAndCounters)
{
	REQUIRE_ROOT();
	LoopImage img(64, "", "noatime");
	ASSERT_TRUE(img.ok());
	const std::string m = img.mnt();
	sh_ok("cd '" + m + "' && mkdir -p d1/d2/d3 emptydir big inner && "
	      "echo a > d1/f1 && echo b > d1/d2/f2 && echo c > d1/d2/d3/f3 && "
	      "echo dot > .hidden && echo dd > ..twodots && echo e > '...' && "
	      ": > empty && truncate -s 1M sparse && ln -s d1/f1 link && mkfifo fifo && "
	      "rmdir lost+found");
	// a directory of thousands of entries: larger than its first buffer
	sh_ok("cd '" + m + "/big' && for i in $(seq 1 3000); do echo $i > "
	      "file_with_a_rather_long_name_to_fill_the_buffer_$i; done");
	// another file system inside the tree
	TempDir tdir;
	sh_ok("mount -t tmpfs -o size=1m qftmpfs '" + m + "/inner' && echo t > '" + m +
	      "/inner/t'");
	struct Unmount {
		std::string p;
		~Unmount() { sh("umount '" + p + "'"); }
	} unmount{m + "/inner"};
	img.settle();

	SetUpCtx run(img.device(), m);
	ASSERT_TRUE(run.ok());
	defrag_context &ctx = run.ctx;
	ASSERT_EQ(walk_subtree(&ctx, ctx.root_fd, record_visit), 0);

	auto paths = inode_paths(m);
	std::vector<std::string> seen;
	for (auto &v : g_visits) {
		ASSERT_TRUE(paths.count(v.ino)) << v.name;
		seen.push_back(paths[v.ino]);
	}
	std::set<std::string> seen_set(seen.begin(), seen.end());
	EXPECT_EQ(seen_set.size(), seen.size()) << "each entry handed over once";
	for (const char *p : {"d1", "d1/d2", "d1/d2/d3", "d1/f1", "d1/d2/f2", "d1/d2/d3/f3",
			      ".hidden", "..twodots", "...", "emptydir", "big", "big/file_with_a_rather_long_name_to_fill_the_buffer_3000"})
		EXPECT_TRUE(seen_set.count(p)) << p;
	// no empty files, no unallocated files, no links or FIFOs, nothing of the
	// other file system, and never the starting directory
	for (const char *p : {"empty", "sparse", "link", "fifo", "inner", "inner/t", "."})
		EXPECT_FALSE(seen_set.count(p)) << p;
	size_t big_files = 0;
	for (auto &s : seen)
		big_files += s.rfind("big/", 0) == 0;
	EXPECT_EQ(big_files, 3000u);

	// post-order: a directory comes after everything below it
	for (size_t i = 0; i < seen.size(); i++)
		for (size_t j = i + 1; j < seen.size(); j++)
			ASSERT_FALSE(seen[j].rfind(seen[i] + "/", 0) == 0)
				<< seen[j] << " handed over after its directory " << seen[i];

	// counters: every directory and regular-file entry reached, the other
	// file system's mount point included; handed-over ones as files
	uint64_t dirs = 6; // d1 d2 d3 emptydir big inner
	uint64_t regs = 3 + 3 + 3000 + 2; // f1-3, dot files, big/*, empty and sparse
	EXPECT_EQ(scanned_inodes, dirs + regs);
	EXPECT_EQ(scanned_dirs, dirs);
	EXPECT_EQ(scanned_files, seen.size());

	// the same descriptor walked again visits the same entries
	auto first = seen;
	g_visits.clear();
	ASSERT_EQ(walk_subtree(&ctx, ctx.root_fd, record_visit), 0);
	std::vector<std::string> again;
	for (auto &v : g_visits)
		again.push_back(paths[v.ino]);
	EXPECT_EQ(again, first);
	EXPECT_EQ(scanned_inodes, 2 * (dirs + regs)) << "counters are never reset";

	// a failing step is not counted and does not stop the walk
	reset_run_state();
	g_visits.clear();
	struct stat fst;
	ASSERT_EQ(stat(img.path("d1/f1").c_str(), &fst), 0);
	g_fail_ino = (int)fst.st_ino;
	debug_flags = 0x02;
	testing::internal::CaptureStderr();
	EXPECT_EQ(walk_subtree(&ctx, ctx.root_fd, record_visit), 0);
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_NE(err.find("Fail to get extents info for f1\n"), std::string::npos) << err;
	EXPECT_EQ(scanned_files, first.size() - 1);
	EXPECT_EQ(g_visits.size(), first.size());
}

TEST_F(WalkTree, EmptyDirectoryAndDotEntriesOnly)
{
	REQUIRE_ROOT();
	LoopImage img(32, "", "noatime");
	ASSERT_TRUE(img.ok());
	sh_ok("mkdir '" + img.path("e") + "'");
	SetUpCtx run(img.device(), img.mnt());
	ASSERT_TRUE(run.ok());
	defrag_context &ctx = run.ctx;
	int fd = open(img.path("e").c_str(), O_RDONLY | O_DIRECTORY);
	EXPECT_EQ(walk_subtree(&ctx, fd, record_visit), 0);
	EXPECT_TRUE(g_visits.empty());
	EXPECT_EQ(scanned_inodes, 0u);
	close(fd);
}

// Unlinks the entry named "victim" right before the walk opens it.
int openat_removing_victim(int dir_fd, const char *name, int flags, mode_t mode)
{
	if (!strcmp(name, "victim") && !(flags & O_DIRECTORY))
		unlinkat(dir_fd, name, 0);
	return qf_sys_default.openat(dir_fd, name, flags, mode);
}

TEST_F(WalkTree, EntryRemovedBeforeOpenEndsWalkWithOne)
{
	REQUIRE_ROOT();
	LoopImage img(32, "", "noatime");
	ASSERT_TRUE(img.ok());
	sh_ok("mkdir -p '" + img.path("sub") + "' && echo v > '" + img.path("sub/victim") + "'");
	SetUpCtx run(img.device(), img.mnt());
	ASSERT_TRUE(run.ok());
	defrag_context &ctx = run.ctx;
	qf_sys.openat = openat_removing_victim;
	debug_flags = 0x02;
	testing::internal::CaptureStderr();
	EXPECT_EQ(walk_subtree(&ctx, ctx.root_fd, record_visit), 1);
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_NE(err.find("Can not open file victim, errno:2\n"), std::string::npos) << err;
	// the directory holding it was never handed over
	for (auto &v : g_visits)
		EXPECT_NE(v.name, "sub");
}

// Runs a walk in a child process under another user id; returns the exit code
// and the names handed over, one per line, through a pipe.
int walk_as(uid_t uid, const LoopImage &img, std::vector<std::string> *names, int *result)
{
	int p[2];
	if (pipe(p))
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		close(p[0]);
		// the image's own directory is private to root: open the mount
		// point first, as the program is handed it, then drop privileges
		SetUpCtx run(img.device(), img.mnt());
		defrag_context &ctx = run.ctx;
		if (setresgid(65534, 65534, 65534) || setresuid(uid, uid, uid))
			_exit(3);
		run_uid = getuid();
		g_visits.clear();
		int r = walk_subtree(&ctx, ctx.root_fd, record_visit);
		std::string out = std::to_string(r) + "\n";
		for (auto &v : g_visits)
			out += v.name + "\n";
		if (write(p[1], out.data(), out.size()) != (ssize_t)out.size())
			_exit(4);
		_exit(0);
	}
	close(p[1]);
	std::string all;
	char buf[4096];
	ssize_t n;
	while ((n = read(p[0], buf, sizeof(buf))) > 0)
		all.append(buf, n);
	close(p[0]);
	int status = 0;
	waitpid(pid, &status, 0);
	std::istringstream in(all);
	in >> *result;
	std::string line;
	while (in >> line)
		names->push_back(line);
	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(WalkTree, OrdinaryUserGetsOnlyOwnFiles)
{
	REQUIRE_ROOT();
	LoopImage img(32, "", "noatime");
	ASSERT_TRUE(img.ok());
	const std::string m = img.mnt();
	sh_ok("cd '" + m + "' && rmdir lost+found && mkdir pub mine && echo r > pub/rootfile && "
	      "echo n > pub/nobodyfile && echo n > mine/own && echo r > rootfile && "
	      "chown nobody pub/nobodyfile mine mine/own && chmod 755 pub && "
	      "chmod 644 pub/rootfile rootfile");
	std::vector<std::string> names;
	int result = -99;
	ASSERT_EQ(walk_as(65534, img, &names, &result), 0);
	EXPECT_EQ(result, 0);
	std::set<std::string> got(names.begin(), names.end());
	EXPECT_EQ(got, (std::set<std::string>{"nobodyfile", "own", "mine"}));

	// a directory it cannot open ends the walk with -1
	sh_ok("mkdir '" + m + "/closed' && chmod 700 '" + m + "/closed'");
	names.clear();
	ASSERT_EQ(walk_as(65534, img, &names, &result), 0);
	EXPECT_EQ(result, -1);

	// a file it cannot read ends the walk with 1
	sh_ok("rmdir '" + m + "/closed' && chmod 600 '" + m + "/rootfile'");
	names.clear();
	ASSERT_EQ(walk_as(65534, img, &names, &result), 0);
	EXPECT_EQ(result, 1);
}

} // namespace
