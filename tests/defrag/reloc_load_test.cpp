// The whole pass sequence while another process keeps rewriting and deleting
// files (relocation candidates and fragmented files among them): nothing that
// process did not write changes, the file system stays clean, no donor stays.
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include "reloc_support.h"

using namespace testsupport;
using namespace reloctest;

namespace {

// What the other process writes into victim i at its k-th rewrite.
std::string content(unsigned i, unsigned k)
{
	std::string s(4096 * (1 + k % 3) + 100, '\0');
	for (size_t j = 0; j < s.size(); j++)
		s[j] = (char)(i * 31 + k * 7 + j);
	return s;
}

// Two files grown in turns, one block at a time: badly fragmented.
void fragmented_pair(const std::string &a, const std::string &b, unsigned blocks)
{
	int fa = open(a.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	int fb = open(b.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	std::string blk(4096, 'a');
	for (unsigned i = 0; i < blocks; i++) {
		blk[0] = (char)i;
		EXPECT_EQ(write(fa, blk.data(), blk.size()), 4096);
		fsync(fa);
		EXPECT_EQ(write(fb, blk.data(), blk.size()), 4096);
		fsync(fb);
	}
	close(fa);
	close(fb);
}

// Child: rewrites victims in turn, and deletes every fourth one at its
// third rewrite, until `stop` exists; then writes "index k" (k = last rewrite,
// -1 = deleted, -2 = never touched) for every victim into `manifest`. The
// victims from `late` on are left alone until `go` exists (Pass4 is about to
// start), so they are still candidates when Pass3 records them. The others
// are written from the start, while Pass1 reads the bitmaps.
[[noreturn]] void loader(const std::vector<std::string> &victims, size_t late,
			 const std::string &dir)
{
	std::vector<int> last(victims.size(), -2);
	std::vector<unsigned> rewrites(victims.size(), 0);
	bool go = false;
	for (unsigned k = 0;; k++) {
		if (!go && access((dir + "/go").c_str(), F_OK) == 0)
			go = true;
		for (unsigned i = 0; i < victims.size(); i++) {
			if (last[i] == -1 || (i >= late && !go))
				continue;
			if (i % 4 == 3 && rewrites[i] == 2) {
				unlink(victims[i].c_str());
				last[i] = -1;
				continue;
			}
			std::string c = content(i, k);
			int fd = open(victims[i].c_str(), O_WRONLY | O_TRUNC);
			if (fd < 0)
				_exit(2);
			if (write(fd, c.data(), c.size()) != (ssize_t)c.size())
				_exit(3);
			if (k % 2)
				fsync(fd);
			close(fd);
			last[i] = (int)k;
			rewrites[i]++;
		}
		if (go)
			close(open((dir + "/late_done").c_str(), O_WRONLY | O_CREAT, 0644));
		if (go && access((dir + "/stop").c_str(), F_OK) == 0)
			break;
		usleep(5000);
	}
	FILE *f = fopen((dir + "/manifest").c_str(), "w");
	for (unsigned i = 0; i < victims.size(); i++)
		fprintf(f, "%u %d\n", i, last[i]);
	fclose(f);
	_exit(0);
}

// Runs quillfold; when it announces Pass4 it is stopped until the loader has
// changed the late victims once, so they change between Pass3 and Pass4.
CmdResult run_with_pass4_hook(const std::vector<std::string> &args, const std::string &dir)
{
	CmdResult r;
	int out[2];
	if (pipe(out))
		return r;
	std::string errfile = dir + "/stderr";
	pid_t pid = fork();
	if (pid == 0) {
		// a group of its own: stopping it must never make the kernel hang up
		// an orphaned group that holds it
		setpgid(0, 0);
		dup2(out[1], 1);
		int e = open(errfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		dup2(e, 2);
		close(out[0]);
		std::vector<char *> argv;
		for (auto &a : args)
			argv.push_back(const_cast<char *>(a.c_str()));
		argv.push_back(nullptr);
		execv(argv[0], argv.data());
		_exit(127);
	}
	close(out[1]);
	FILE *f = fdopen(out[0], "r");
	char *line = nullptr;
	size_t cap = 0;
	while (getline(&line, &cap, f) > 0) {
		r.out += line;
		if (strstr(line, "Pass4: Process defrag list")) {
			kill(pid, SIGSTOP);
			close(open((dir + "/go").c_str(), O_WRONLY | O_CREAT, 0644));
			for (int i = 0; i < 2000 && access((dir + "/late_done").c_str(), F_OK); i++)
				usleep(1000);
			kill(pid, SIGCONT);
		}
	}
	free(line);
	fclose(f);
	int st = 0;
	waitpid(pid, &st, 0);
	r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
	std::ifstream e(errfile);
	r.err.assign((std::istreambuf_iterator<char>(e)), std::istreambuf_iterator<char>());
	return r;
}

void one_round(unsigned round)
{
	LoopImage img(64, "-b 4096");
	ASSERT_TRUE(img.ok());
	auto files = write_files(img.path("d"), 1500, {4096, 8192, 12288, 6000, 20000}, round + 1);
	sync();
	auto survivors = thin_out(files, 16);
	for (auto &f : survivors)
		chmod(f.c_str(), 0444);
	fragmented_pair(img.path("fa"), img.path("fb"), 24);
	write_files(img.path("tail"), 1, {256 * 1024}, round + 2);
	img.settle();

	// every sixth survivor and one of the fragmented files are rewritten from
	// the start; every sixth survivor but shifted by three only from Pass4 on
	std::vector<std::string> victims;
	for (size_t i = 0; i < survivors.size(); i += 6)
		victims.push_back(survivors[i]);
	victims.push_back(img.path("fa"));
	size_t late = victims.size();
	for (size_t i = 3; i < survivors.size(); i += 6)
		victims.push_back(survivors[i]);
	auto before = tree_sums(img.mnt());

	TempDir tmp("qfload");
	std::string manifest = tmp.path() + "/manifest";
	pid_t child = fork();
	ASSERT_GE(child, 0);
	if (child == 0)
		loader(victims, late, tmp.path());

	// --keep-going: a victim deleted between the walk's directory read and
	// its open is passed over, and the run goes on to the end
	CmdResult r = run_with_pass4_hook(
		{QUILLFOLD_BIN, "-v", "-m", "--keep-going", img.device(), img.mnt()}, tmp.path());
	close(open((tmp.path() + "/go").c_str(), O_WRONLY | O_CREAT, 0644));
	close(open((tmp.path() + "/stop").c_str(), O_WRONLY | O_CREAT, 0644));
	int wst = 0;
	waitpid(child, &wst, 0);
	ASSERT_TRUE(WIFEXITED(wst) && WEXITSTATUS(wst) == 0) << "loader failed: " << wst;
	ASSERT_EQ(r.status, 0) << r.err << "\n"
			       << r.out.substr(r.out.size() > 3000 ? r.out.size() - 3000 : 0);
	img.settle();

	std::map<std::string, int> last;
	std::ifstream m(manifest);
	unsigned i;
	int k;
	while (m >> i >> k)
		last[victims[i]] = k;
	ASSERT_EQ(last.size(), victims.size());

	auto after = tree_sums(img.mnt());
	for (unsigned v = 0; v < victims.size(); v++) {
		std::string key = "./" + victims[v].substr(img.mnt().size() + 1);
		ASSERT_NE(last[victims[v]], -2) << key;
		if (last[victims[v]] == -1) {
			EXPECT_EQ(after.count(key), 0u) << key;
			before.erase(key);
			continue;
		}
		std::ifstream in(victims[v], std::ios::binary);
		std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
		EXPECT_TRUE(got == content(v, (unsigned)last[victims[v]])) << key;
		before.erase(key);
		after.erase(key);
	}
	for (auto &kv : after)
		EXPECT_EQ(kv.first.find(".quillfold_donor.tmp"), std::string::npos) << kv.first;
	for (auto &kv : before)
		EXPECT_EQ(after[kv.first], kv.second) << kv.first;
	EXPECT_EQ(after.size(), before.size());
	std::string fsck_out;
	EXPECT_EQ(img.fsck(&fsck_out), 0) << fsck_out;
	printf("[ round %2u ] relocated %lld, defragmented in place %lld, changed under us %d, "
	       "vanished %lld\n",
	       round, figure(r.out, "IEF inoded defragmented:"),
	       figure(r.out, "IAF inoded defragmented:"), count_lines(r.out, "changed under us"),
	       figure(r.out, "Entries vanished:"));
}

// Rounds: QF_RELOC_LOAD_ROUNDS (default 2; the release check runs 20).
TEST(RelocLoad, WholeRunUnderRewritesAndDeletes)
{
	REQUIRE_ROOT();
	const char *e = getenv("QF_RELOC_LOAD_ROUNDS");
	unsigned rounds = e ? (unsigned)atoi(e) : 2;
	for (unsigned r = 0; r < rounds && !HasFatalFailure(); r++)
		one_round(r);
}

} // namespace
