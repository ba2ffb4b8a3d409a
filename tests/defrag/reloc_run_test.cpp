// Whole runs on loop-mounted images whose clusters are sparsely used by
// read-only survivors: relocation, its safety checks and its report lines.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include "quillfold.h"
#include "reloc_support.h"
#include "saved_settings.h"

using namespace testsupport;
using namespace reloctest;

namespace {

// Fills `dir` with small files, deletes all but one in `keep`, makes the
// survivors read-only and adds a trailing file (so the survivors are not in
// the last cluster of the device, which is never rated).
std::vector<std::string> sparse_layout(LoopImage &img, const std::string &dir, unsigned count,
				       unsigned keep, const std::vector<size_t> &sizes,
				       unsigned seed = 1)
{
	auto files = write_files(img.path(dir), count, sizes, seed);
	sync();
	auto survivors = thin_out(files, keep);
	for (auto &f : survivors)
		chmod(f.c_str(), 0444);
	write_files(img.path(dir + "_tail"), 1, {256 * 1024}, seed + 1);
	img.settle();
	return survivors;
}

// Sum of one figure over the per-group Pass4 report lines.
long long pass4_total(const std::string &out, const std::string &key = "Relocated inodes:")
{
	std::istringstream in(out);
	std::string line;
	long long n = 0;
	while (std::getline(in, line))
		if (line.find("pass4 group:") == 0)
			n += figure(line, key);
	return n;
}
long long relocated_total(const std::string &out) { return pass4_total(out); }

std::vector<uint64_t> pblks(const std::vector<std::string> &files)
{
	std::vector<uint64_t> v;
	for (auto &f : files)
		v.push_back(first_pblk(f));
	return v;
}

unsigned moved(const std::vector<uint64_t> &a, const std::vector<uint64_t> &b)
{
	unsigned n = 0;
	for (size_t i = 0; i < a.size(); i++)
		n += a[i] != b[i];
	return n;
}

// Dry run first (counts, moves nothing), then the real run: survivors leave
// their sparse clusters, every byte stays, and free space consolidates.
TEST(RelocRun, SparseSurvivorsAreRelocatedIntactAndFreeSpaceConsolidates)
{
	REQUIRE_ROOT();
	LoopImage img(128, "-b 4096");
	ASSERT_TRUE(img.ok());
	auto survivors = sparse_layout(img, "d", 3000, 16, {4096, 8192, 12288, 6000, 20000});
	auto sums = tree_sums(img.mnt());
	auto p0 = pblks(survivors);
	FreeFrag f0 = freefrag(img.device());

	CmdResult dry = run({QUILLFOLD_BIN, "-n", "-v", "-m", img.device(), img.mnt()});
	ASSERT_EQ(dry.status, 0) << dry.err;
	img.settle();
	long long found = figure(dry.out, "Pass3:  Finished. Found ");
	EXPECT_GE(found, (long long)survivors.size() / 2) << dry.out;
	EXPECT_EQ(relocated_total(dry.out), figure(dry.out, "IEF inoded defragmented:"));
	EXPECT_GT(figure(dry.out, "IEF inoded defragmented:"), 0) << dry.out;
	EXPECT_EQ(moved(p0, pblks(survivors)), 0u) << "a dry run moves nothing";
	EXPECT_EQ(freefrag(img.device()).free_extents, f0.free_extents);

	CmdResult r = run({QUILLFOLD_BIN, "-v", "-m", img.device(), img.mnt()});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err.find("EXT4_IOC_MOVE_EXT failed"), std::string::npos) << r.err;
	img.settle();
	long long done = figure(r.out, "IEF inoded defragmented:");
	EXPECT_EQ(relocated_total(r.out), done);
	EXPECT_GE(done, found) << r.out;
	// after relocation the extents figure counts the relocated files' map
	// entries: one each here, every survivor being contiguous
	EXPECT_EQ(pass4_total(r.out, "extents: "), done) << r.out;
	EXPECT_GE(moved(p0, pblks(survivors)), (unsigned)done);
	EXPECT_EQ(tree_sums(img.mnt()), sums);
	FreeFrag f1 = freefrag(img.device());
	std::string fsck_out;
	EXPECT_EQ(img.fsck(&fsck_out), 0) << fsck_out;

	uint64_t cluster_kb = 1024;
	EXPECT_LT(f1.free_extents, f0.free_extents);
	EXPECT_GT(f1.share_at_least(cluster_kb), f0.share_at_least(cluster_kb));
	printf("[ figures  ] relocated %lld of %zu survivors; free extents %llu -> %llu; "
	       "free space in chunks >= 1 MiB %.1f%% -> %.1f%%\n",
	       done, survivors.size(), (unsigned long long)f0.free_extents,
	       (unsigned long long)f1.free_extents, 100 * f0.share_at_least(cluster_kb),
	       100 * f1.share_at_least(cluster_kb));
}

// 1 KiB blocks, 4 KiB pages: members of one batch whose sizes are no
// multiples of 4 blocks still all move, since each starts page aligned in
// the shared donor.
TEST(RelocRun, OneKibBlocksEveryBatchMemberMoves)
{
	REQUIRE_ROOT();
	if (getpagesize() <= 1024)
		GTEST_SKIP() << "pages of 1 KiB";
	LoopImage img(64, "-b 1024");
	ASSERT_TRUE(img.ok());
	auto survivors = sparse_layout(img, "d", 3000, 32, {3000, 5000, 1500, 7000, 2100});
	auto sums = tree_sums(img.mnt());
	auto p0 = pblks(survivors);

	CmdResult r = run({QUILLFOLD_BIN, "-v", "-m", "-d", "0x02", img.device(), img.mnt()});
	ASSERT_EQ(r.status, 0) << r.err;
	img.settle();
	EXPECT_EQ(r.err.find("EXT4_IOC_MOVE_EXT failed"), std::string::npos) << r.err;
	int verified = count_lines(r.out, "ief_defrag_prep_one Check inode");
	EXPECT_GE(verified, (int)survivors.size() / 2) << r.out;
	EXPECT_EQ(figure(r.out, "IEF inoded defragmented:"), verified) << r.out;
	EXPECT_GE(moved(p0, pblks(survivors)), (unsigned)verified);
	EXPECT_EQ(tree_sums(img.mnt()), sums);
	std::string fsck_out;
	EXPECT_EQ(img.fsck(&fsck_out), 0) << fsck_out;
}

// A run on a fresh file system: every pass reports, with nothing found.
TEST(RelocRun, NothingToMoveStillReportsEveryPass)
{
	REQUIRE_ROOT();
	LoopImage img(32, "-b 4096");
	ASSERT_TRUE(img.ok());
	img.settle();
	CmdResult r = run({QUILLFOLD_BIN, "-v", "-m", img.device(), img.mnt()});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("Pass1"), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("Pass2:  Finished. Scanned "), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("Pass3_prep 0 blocks of 0 extents from 0 clusters may be relocated"),
		  std::string::npos)
		<< r.out;
	EXPECT_NE(r.out.find("Pass3:  Finished. Found 0 inodes and 0 blocks suitable  for IEF "
			     "relocation"),
		  std::string::npos)
		<< r.out;
	EXPECT_NE(r.out.find("Pass4: Process defrag list \n"), std::string::npos) << r.out;
	// group 0 holds the root directory's cache entry, so it has a record
	EXPECT_NE(r.out.find("pass4 group:0 Relocated inodes:0, local:0 extents: 0, blocks 0\n"),
		  std::string::npos)
		<< r.out;
	EXPECT_EQ(figure(r.out, "IEF inoded defragmented:"), 0);
}

// Inode of a path.
uint64_t ino_of(const std::string &p)
{
	struct stat st;
	return stat(p.c_str(), &st) ? 0 : st.st_ino;
}

// Seams: a file is altered right when Pass4 opens it, either to verify it
// (read-only) or to move it (read-write).
struct Tamper {
	std::map<uint64_t, std::string> at_verify_append, at_verify_truncate, at_move;
	std::set<uint64_t> done;
	int rw_opens = 0;
};
Tamper *tamper;

int tampering_open(int mount_fd, struct file_handle *h, int flags)
{
	int fd = qf_sys_default.open_by_handle_at(mount_fd, h, flags);
	struct stat st;
	if (fd < 0 || fstat(fd, &st))
		return fd;
	uint64_t ino = st.st_ino;
	if ((flags & O_ACCMODE) == O_RDWR)
		tamper->rw_opens++;
	if (tamper->done.count(ino))
		return fd;
	auto touch = [&](const std::string &path, bool truncate) {
		int w = open(path.c_str(), O_WRONLY | (truncate ? O_TRUNC : O_APPEND));
		EXPECT_GE(w, 0) << path;
		if (!truncate) {
			std::string more(5000, 'x');
			EXPECT_EQ(write(w, more.data(), more.size()), (ssize_t)more.size());
		}
		fsync(w);
		close(w);
		tamper->done.insert(ino);
	};
	if ((flags & O_ACCMODE) == O_RDONLY) {
		if (tamper->at_verify_append.count(ino))
			touch(tamper->at_verify_append[ino], false);
		if (tamper->at_verify_truncate.count(ino))
			touch(tamper->at_verify_truncate[ino], true);
	} else if (tamper->at_move.count(ino)) {
		touch(tamper->at_move[ino], false);
	}
	return fd;
}

TEST(RelocRun, FilesChangedAfterPass3OrBeforeTheirMoveAreLeftAlone)
{
	REQUIRE_ROOT();
	SavedSettings saved;
	LoopImage img(64, "-b 4096");
	ASSERT_TRUE(img.ok());
	auto survivors = sparse_layout(img, "d", 1500, 16, {4096, 8192, 12288, 6000, 20000});
	ASSERT_GE(survivors.size(), 20u);
	auto sums = tree_sums(img.mnt());
	auto p0 = pblks(survivors);

	// a dry run names the candidates that verify
	InProcess dry = run_in_process({"-n", "-d", "0x02", img.device(), img.mnt()});
	ASSERT_EQ(dry.status, 0);
	std::vector<size_t> cands;
	for (size_t i = 0; i < survivors.size(); i++)
		if (count_lines(dry.out, "Check inode " + std::to_string(ino_of(survivors[i])) + " "))
			cands.push_back(i);
	ASSERT_GE(cands.size(), 10u) << dry.out;
	size_t ia = cands[2], it = cands[5], im = cands[7];

	Tamper t;
	tamper = &t;
	const std::string &appended = survivors[ia], &truncated = survivors[it],
			  &at_move = survivors[im];
	t.at_verify_append[ino_of(appended)] = appended;
	t.at_verify_truncate[ino_of(truncated)] = truncated;
	t.at_move[ino_of(at_move)] = at_move;
	qf_sys.open_by_handle_at = tampering_open;
	InProcess r = run_in_process({"-v", "-m", "-d", "0x02", img.device(), img.mnt()});
	qf_sys = qf_sys_default;
	tamper = nullptr;
	ASSERT_EQ(r.status, 0);
	img.settle();

	for (auto *p : {&appended, &truncated}) {
		std::string line = "ief_defrag_prep_one inode " + std::to_string(ino_of(*p)) + " ";
		EXPECT_EQ(count_lines(r.out, line), 1) << *p << "\n" << r.out;
		EXPECT_NE(r.out.find(line + "flags:"), std::string::npos);
	}
	std::string silent = "ief_defrag_prep_one inode " + std::to_string(ino_of(at_move)) + " ";
	EXPECT_EQ(count_lines(r.out, silent), 0) << "changed right before its move: no message";
	int verified = count_lines(r.out, "ief_defrag_prep_one Check inode");
	EXPECT_EQ(figure(r.out, "IEF inoded defragmented:"), verified - 1) << r.out;
	EXPECT_EQ(t.rw_opens, verified) << "every verified candidate was opened to move";

	// the three stayed where they were (the truncated one has no block left)
	EXPECT_EQ(first_pblk(appended), p0[ia]);
	EXPECT_EQ(first_pblk(truncated), 0u);
	EXPECT_EQ(first_pblk(at_move), p0[im]);
	// what the seams wrote, and nothing else, differs
	auto now = tree_sums(img.mnt());
	for (auto &kv : sums) {
		std::string full = img.mnt() + "/" + kv.first.substr(2);
		if (full == appended || full == truncated || full == at_move)
			EXPECT_NE(now[kv.first], kv.second);
		else
			EXPECT_EQ(now[kv.first], kv.second) << kv.first;
	}
	EXPECT_EQ(sh("tail -c 5000 '" + appended + "' | tr -d x | wc -c").out, "0\n");
	EXPECT_EQ(sh("stat -c %s '" + truncated + "'").out, "0\n");
	std::string fsck_out;
	EXPECT_EQ(img.fsck(&fsck_out), 0) << fsck_out;
}

// Donor maps fail after the first one: the group stops after its first
// batch, and what that batch relocated still enters the run totals.
int donor_maps;
int failing_donor_fiemap(int fd, struct fiemap *fm)
{
	struct stat st;
	if (!fstat(fd, &st) && st.st_nlink == 0 && ++donor_maps > 1) {
		errno = EIO;
		return -1;
	}
	return qf_sys_default.fiemap(fd, fm);
}

TEST(RelocRun, GroupWithoutDonorForALaterBatchKeepsEarlierRelocationsCounted)
{
	REQUIRE_ROOT();
	SavedSettings saved;
	LoopImage img(64, "-b 4096");
	ASSERT_TRUE(img.ok());
	auto survivors = sparse_layout(img, "d", 1500, 16, {8192, 12288});
	auto sums = tree_sums(img.mnt());

	donor_maps = 0;
	qf_sys.fiemap = failing_donor_fiemap;
	// a 4-block relocation cluster: every 2- or 3-block survivor pair is a batch
	InProcess r = run_in_process({"-v", "-m", "-C", "16384", img.device(), img.mnt()});
	qf_sys = qf_sys_default;
	ASSERT_EQ(r.status, 0);
	img.settle();
	long long done = figure(r.out, "IEF inoded defragmented:");
	EXPECT_GE(done, 1) << r.out;
	EXPECT_LE(done, 2) << "one batch only";
	EXPECT_EQ(relocated_total(r.out), done) << r.out;
	EXPECT_EQ(tree_sums(img.mnt()), sums);
	std::string fsck_out;
	EXPECT_EQ(img.fsck(&fsck_out), 0) << fsck_out;
}

} // namespace

namespace {

// -l on a group whose inodes are all taken: every donor made for the group
// gets its inode elsewhere, so nothing of the group is relocated; without
// -l the same candidates move.
TEST(RelocRun, LocalOnlyWithoutLocalDonorRelocatesNothing)
{
	REQUIRE_ROOT();
	LoopImage img(64, "-b 4096 -g 8192 -N 128");
	ASSERT_TRUE(img.ok());
	auto files = write_files(img.path("."), 50, {40960}, 7);
	sync();
	auto survivors = thin_out(files, 8);
	for (auto &f : survivors)
		chmod(f.c_str(), 0444);
	write_files(img.path("tail"), 1, {256 * 1024}, 8);
	// use up the rest of group 0's inodes with empty files
	for (int i = 0; i < 64; i++)
		close(open(img.path("e" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644));
	ASSERT_GT(ino_of(img.path("e63")), 64u);
	img.settle();
	auto sums = tree_sums(img.mnt());
	auto p0 = pblks(survivors);

	CmdResult l = run({QUILLFOLD_BIN, "-v", "-m", "-l", "-d", "0x02", img.device(), img.mnt()});
	ASSERT_EQ(l.status, 0) << l.err;
	img.settle();
	EXPECT_GT(figure(l.out, "Pass3:  Finished. Found "), 0) << l.out;
	EXPECT_NE(l.out.find("pass4 group:0 Relocated inodes:0,"), std::string::npos) << l.out;
	EXPECT_NE(l.out.find("do_find_donor donor is from 1, want:0. skip"), std::string::npos)
		<< l.out;
	EXPECT_EQ(figure(l.out, "IEF inoded defragmented:"), 0);
	EXPECT_EQ(moved(p0, pblks(survivors)), 0u);

	CmdResult r = run({QUILLFOLD_BIN, "-v", "-m", img.device(), img.mnt()});
	ASSERT_EQ(r.status, 0) << r.err;
	img.settle();
	EXPECT_GT(figure(r.out, "pass4 group:0 Relocated inodes:"), 0) << r.out;
	EXPECT_EQ(tree_sums(img.mnt()), sums);
	std::string fsck_out;
	EXPECT_EQ(img.fsck(&fsck_out), 0) << fsck_out;
}

// Three block groups in flex groups of two: the last slot holds group 2
// alone, and its candidates are relocated like any others.
TEST(RelocRun, PartialLastFlexGroupIsProcessed)
{
	REQUIRE_ROOT();
	LoopImage img(96, "-b 4096 -g 8192 -O ^flex_bg");
	ASSERT_TRUE(img.ok());
	uint64_t ipg = std::stoull(sh_ok("dumpe2fs -h " + img.device() +
					 " 2>/dev/null | awk '/^Inodes per group:/ {print $4}'"));
	std::string dir;
	for (int i = 0; i < 64 && dir.empty(); i++) {
		std::string d = "t" + std::to_string(i);
		mkdir(img.path(d).c_str(), 0755);
		if ((ino_of(img.path(d)) - 1) / ipg == 2)
			dir = d;
	}
	ASSERT_FALSE(dir.empty()) << "no directory landed in group 2";
	auto survivors = sparse_layout(img, dir, 1500, 16, {4096, 8192, 12288, 6000, 20000});
	ASSERT_EQ((ino_of(survivors[0]) - 1) / ipg, 2u);
	auto sums = tree_sums(img.mnt());

	CmdResult r = run({QUILLFOLD_BIN, "-v", "-m", "-F", "2", img.device(), img.mnt()});
	ASSERT_EQ(r.status, 0) << r.err;
	img.settle();
	EXPECT_GT(figure(r.out, "pass4 group:1 Relocated inodes:"), 0) << r.out;
	EXPECT_EQ(r.out.find("pass4 group:2 "), std::string::npos) << "two slots only";
	EXPECT_EQ(tree_sums(img.mnt()), sums);
	std::string fsck_out;
	EXPECT_EQ(img.fsck(&fsck_out), 0) << fsck_out;
}

} // namespace
