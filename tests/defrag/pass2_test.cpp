// Pass2's step on hand-built trees with scripted extent maps: classes of a
// file, counters of the run that holds each extent, collisions.
#include <deque>
#include <linux/fiemap.h>
#include "scan_helpers.h"

using namespace scantest;

namespace {

struct Rec {
	uint64_t lblk, pblk, len; // blocks
	uint32_t flags;
};
std::vector<Rec> g_recs;
int g_fail;

int scripted_fiemap(int, struct fiemap *fm)
{
	if (g_fail)
		return -1;
	uint32_t n = 0;
	for (size_t i = 0; i < g_recs.size(); i++) {
		struct fiemap_extent *fe = &fm->fm_extents[n++];
		fe->fe_logical = g_recs[i].lblk << 12;
		fe->fe_physical = g_recs[i].pblk << 12;
		fe->fe_length = g_recs[i].len << 12;
		fe->fe_flags = g_recs[i].flags | (i + 1 == g_recs.size() ? FIEMAP_EXTENT_LAST : 0);
	}
	fm->fm_mapped_extents = n;
	return 0;
}

struct Pass2Step : SettingsTest {
	std::deque<spextent> pool;
	FakeFs ffs{32768, 8192};
	defrag_context ctx{};
	struct stat st{};
	void SetUp() override
	{
		reset_run_state();
		g_recs.clear();
		g_fail = 0;
		ctx.fs = &ffs.fs;
		ctx.blocksize_bits = 12;
		ctx.root_st.st_blksize = 4096;
		qf_sys.fiemap = scripted_fiemap;
		gettimeofday(&start_time, nullptr);
		old_time = (uint32_t)(start_time.tv_sec - 864000);
		st.st_ino = 20;
		st.st_mode = S_IFREG | 0644;
		st.st_mtime = start_time.tv_sec;
		st.st_size = 40960;
		st.st_blocks = 80;
	}
	spextent *run(uint64_t start, uint32_t len)
	{
		pool.emplace_back();
		spextent *e = &pool.back();
		memset(e, 0, sizeof(*e));
		e->start = start;
		e->len = len;
		insert_spextent(&ctx.spextents, e);
		return e;
	}
	int step() { return scan_inode_pass1(&ctx, -1, &st, -1, "f"); }
};

TEST_F(Pass2Step, ExtentCreditedToItsRun)
{
	spextent *a = run(1000, 100), *b = run(2000, 50);
	g_recs = {{0, 1010, 20, 0}};
	EXPECT_EQ(step(), 0);
	EXPECT_EQ(a->ex_count, 1);
	EXPECT_EQ(a->fnd_blocks, 20);
	EXPECT_EQ(a->dir_count + a->ro_count + a->old_count + a->iaf_count, 0);
	EXPECT_EQ(b->ex_count, 0);

	// two pieces: each adds to iaf_count of the run that holds it; an
	// extent ending exactly at its run's end fits
	g_recs = {{0, 1090, 10, 0}, {10, 2000, 50, 0}};
	EXPECT_EQ(step(), 0);
	EXPECT_EQ(a->ex_count, 2);
	EXPECT_EQ(a->iaf_count, 1);
	EXPECT_EQ(a->fnd_blocks, 30);
	EXPECT_EQ(b->ex_count, 1);
	EXPECT_EQ(b->iaf_count, 1);
	EXPECT_EQ(b->fnd_blocks, 50);
}

TEST_F(Pass2Step, ClassesOfAFile)
{
	spextent *a = run(1000, 1000);
	g_recs = {{0, 1000, 1, 0}};
	time_t now = start_time.tv_sec;
	struct Case {
		mode_t mode;
		time_t mtime;
		int ro, old;
	} cases[] = {
		{S_IFREG | 0755, now - 30 * 86400, 1, 0}, // executable: read-only, never old
		{S_IFREG | 0100, now, 1, 0},
		{S_IFREG | 0444, now, 1, 0},             // no write bit
		{S_IFREG | 0644, now - 11 * 86400, 0, 1}, // old under the default threshold
		{S_IFREG | 0644, now - 86400, 0, 0},      // modified yesterday
		{S_IFREG | 0600, (time_t)old_time - 1, 0, 1},
		{S_IFREG | 0600, (time_t)old_time, 0, 0},
	};
	for (auto &c : cases) {
		st.st_mode = c.mode;
		st.st_mtime = c.mtime;
		EXPECT_EQ(file_is_ro(&st), c.ro) << std::oct << c.mode;
		EXPECT_EQ(file_is_old(&st), c.old) << std::oct << c.mode;
		memset(&a->ex_count, 0, 12);
		step();
		EXPECT_EQ(a->ro_count, c.ro);
		EXPECT_EQ(a->old_count, c.old);
		EXPECT_EQ(a->dir_count, 0);
	}
	// a directory counts as one, and with 0755 as read-only too
	st.st_mode = S_IFDIR | 0755;
	memset(&a->ex_count, 0, 12);
	step();
	EXPECT_EQ(a->dir_count, 1);
	EXPECT_EQ(a->ro_count, 1);
	EXPECT_EQ(a->ex_count, 1);
}

TEST_F(Pass2Step, CollisionsStopTheFileWithTheirTrace)
{
	spextent *a = run(1000, 100), *b = run(1100, 100);
	// the second extent runs from a into b, which touch: a collision; the
	// first stays counted, the third is never looked at
	g_recs = {{0, 1000, 10, 0}, {10, 1095, 10, 0}, {20, 1150, 10, 0}};
	debug_flags = 0x02;
	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
	EXPECT_EQ(step(), 0);
	std::string out = testing::internal::GetCapturedStdout();
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(a->ex_count, 1);
	EXPECT_EQ(b->ex_count, 0);
	EXPECT_EQ(err, "scan_inode_pass1 Cache collision for inode:20, lblock:10 pblock:1095 len:10. "
		       "Skip it...\n");
	char line[256];
	snprintf(line, sizeof(line), "ino:20 0 ->[1000, 10] EX:%p [1000, 100]\n", (void *)a);
	std::string want = "scan_inode_pass1:864000 inode:20 mode:81a4 mtime: " +
			   std::to_string(st.st_mtime) + " old:0 ro:0\n" + line +
			   "ino:20 type:81a4 sz:10 blk:10 extents:3 holes:0 frag:3\n";
	EXPECT_EQ(out, want);

	// a block in no run at all
	g_recs = {{0, 500, 1, 0}};
	debug_flags = 0;
	EXPECT_EQ(step(), 0);
	EXPECT_EQ(a->ex_count + b->ex_count, 1);
}

TEST_F(Pass2Step, UnreadableOrEmptyMapsCountNothing)
{
	spextent *a = run(1000, 100);
	g_recs = {{0, 1000, 10, FIEMAP_EXTENT_DELALLOC}};
	EXPECT_EQ(step(), 0);
	g_recs.clear();
	EXPECT_EQ(step(), 0);
	g_recs = {{0, 1000, 10, 0}};
	g_fail = 1;
	EXPECT_EQ(step(), 0);
	EXPECT_EQ(a->ex_count, 0);
	EXPECT_EQ(a->fnd_blocks, 0);
}

TEST_F(Pass2Step, CountersWrapAt16Bits)
{
	spextent *a = run(0, 200000);
	a->ex_count = 0xffff;
	g_recs = {{0, 10, 70000, 0}};
	step();
	EXPECT_EQ(a->ex_count, 0);
	EXPECT_EQ(a->fnd_blocks, (uint16_t)70000);
}

} // namespace
