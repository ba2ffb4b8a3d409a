// Extent maps: hand-made kernel answers through the seam, and real files on a
// loop-mounted ext4 compared with filefrag.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <linux/fiemap.h>
#include <sys/stat.h>
#include "scan_helpers.h"

using namespace testsupport;
using namespace scantest;

namespace {

// A scripted kernel: the file's records (in bytes), handed out in batches the
// way FS_IOC_FIEMAP does, from the first record that ends after fm_start.
struct FakeRec {
	uint64_t lblk, pblk, len; // in blocks
	uint32_t flags;
};
std::vector<FakeRec> g_recs;
std::vector<uint64_t> g_starts;
int g_fail_call = -1; // call index that fails with -1
uint32_t g_bits = 12;

int fake_fiemap(int, struct fiemap *fm)
{
	int call = (int)g_starts.size();
	g_starts.push_back(fm->fm_start);
	if (call == g_fail_call)
		return -1;
	uint32_t n = 0;
	for (size_t i = 0; i < g_recs.size() && n < fm->fm_extent_count; i++) {
		const FakeRec &r = g_recs[i];
		if (((r.lblk + r.len) << g_bits) <= fm->fm_start)
			continue;
		struct fiemap_extent *fe = &fm->fm_extents[n++];
		fe->fe_logical = r.lblk << g_bits;
		fe->fe_physical = r.pblk << g_bits;
		fe->fe_length = r.len << g_bits;
		fe->fe_flags = r.flags | (i + 1 == g_recs.size() ? FIEMAP_EXTENT_LAST : 0);
	}
	fm->fm_mapped_extents = n;
	return 0;
}

struct SeamMap : SettingsTest {
	FakeFs ffs{32768, 8192};
	defrag_context ctx{};
	struct fmap *map = nullptr;
	struct fest fest{};
	void SetUp() override
	{
		reset_run_state();
		g_recs.clear();
		g_starts.clear();
		g_fail_call = -1;
		ctx.fs = &ffs.fs;
		qf_sys.fiemap = fake_fiemap;
	}
	void TearDown() override { free(map); }
	// Inode 1 lies in group 0.
	int read(uint64_t ino = 1) { return __get_inode_fiemap(&ctx, -1, ino, g_bits, &map, &fest); }
};

TEST_F(SeamMap, ContinuingRecordsMergeButCountSeparately)
{
	g_recs = {{0, 1000, 8, 0}, {8, 1008, 8, FIEMAP_EXTENT_UNWRITTEN}};
	ASSERT_EQ(read(), 0);
	ASSERT_EQ(map->count, 1u);
	EXPECT_EQ(map->ext[0].lblk, 0u);
	EXPECT_EQ(map->ext[0].pblk, 1000u);
	EXPECT_EQ(map->ext[0].len, 16u);
	EXPECT_EQ(fest.frag, 1u);
	EXPECT_EQ(fest.hole, 0u);
	EXPECT_EQ(fest.local_ex, 2u);
	EXPECT_EQ(fest.local_sz, 16u);
	EXPECT_EQ(fest.group, 1u);
	// counted before merging
	EXPECT_EQ(scanned_extents, 2u);
	EXPECT_EQ(scanned_blocks, 16u);
}

TEST_F(SeamMap, HolesFragmentsAndGroupRuns)
{
	// starts with a hole; runs in groups 1, 2, 1; a logical gap between
	// physically continuing runs is a hole but no new fragment
	g_recs = {{4, 32768, 4, 0}, {8, 65536, 4, 0}, {20, 65540, 2, 0}, {22, 32800, 1, 0}};
	ASSERT_EQ(read(), 0);
	EXPECT_EQ(map->count, 4u);
	EXPECT_EQ(fest.hole, 2u);
	EXPECT_EQ(fest.frag, 3u);
	EXPECT_EQ(fest.group, 3u);
	EXPECT_EQ(fest.local_ex, 0u) << "inode 1 is in group 0";
	// inode 8193 is in group 1: two local records, whole lengths
	free(map);
	map = nullptr;
	ASSERT_EQ(read(8193), 0);
	EXPECT_EQ(fest.local_ex, 2u);
	EXPECT_EQ(fest.local_sz, 5u);
}

TEST_F(SeamMap, FlexGroupsMakeDistantGroupsLocal)
{
	// block group 17 and inode group 30 share flex group 1 of 16 groups
	g_recs = {{0, 17ull * 32768 + 5, 3, 0}};
	ctx.flex_log = 4;
	ASSERT_EQ(read(30ull * 8192 + 1), 0);
	EXPECT_EQ(fest.local_ex, 1u);
	EXPECT_EQ(fest.local_sz, 3u);
	free(map);
	map = nullptr;
	ctx.flex_log = 0;
	ASSERT_EQ(read(30ull * 8192 + 1), 0);
	EXPECT_EQ(fest.local_ex, 0u);
}

TEST_F(SeamMap, BatchesOf512)
{
	// 512 records, the last one marked: one request
	for (uint64_t i = 0; i < 512; i++)
		g_recs.push_back({i * 2, 5000 + i * 3, 1, 0});
	ASSERT_EQ(read(), 0);
	EXPECT_EQ(g_starts.size(), 1u);
	EXPECT_EQ(map->count, 512u);
	free(map);
	map = nullptr;
	g_starts.clear();

	// 513 records: the second request starts where the 512th record ends
	g_recs.push_back({1100, 9000, 2, 0});
	ASSERT_EQ(read(), 0);
	ASSERT_EQ(g_starts.size(), 2u);
	EXPECT_EQ(g_starts[0], 0u);
	EXPECT_EQ(g_starts[1], (511ull * 2 + 1) << g_bits);
	ASSERT_EQ(map->count, 513u);
	EXPECT_EQ(map->ext[512].lblk, 1100u);
	EXPECT_EQ(map->ext[512].pblk, 9000u);
	EXPECT_EQ(fest.hole, 512u) << "every record but the first starts after a gap";
	EXPECT_EQ(fest.frag, 513u);
	EXPECT_GE(map->capacity, map->count);
	EXPECT_EQ(scanned_extents, 512u + 513u);
}

TEST_F(SeamMap, MapGrowsByHalf)
{
	std::vector<uint32_t> caps;
	for (uint64_t n = 1; n <= 30; n++) {
		g_recs.clear();
		for (uint64_t i = 0; i < n; i++)
			g_recs.push_back({i * 2, 100 + i * 3, 1, 0});
		ASSERT_EQ(read(), 0);
		ASSERT_EQ(map->count, n);
		if (caps.empty() || caps.back() != map->capacity)
			caps.push_back(map->capacity);
		free(map);
		map = nullptr;
	}
	EXPECT_EQ(caps, (std::vector<uint32_t>{4, 6, 9, 13, 19, 28, 42}));
}

TEST_F(SeamMap, RefusedFlagsFailWithCompleteMap)
{
	// a shared record in the first batch, more records in the second
	for (uint64_t i = 0; i < 600; i++)
		g_recs.push_back({i * 2, 5000 + i * 3, 1, i == 7 ? FIEMAP_EXTENT_SHARED : 0u});
	debug_flags = 0x20;
	testing::internal::CaptureStderr();
	EXPECT_EQ(read(), -1);
	std::string err = testing::internal::GetCapturedStderr();
	ASSERT_NE(map, nullptr);
	EXPECT_EQ(map->count, 600u);
	EXPECT_NE(err.find("Bad extent found ino:1 lblk:14, len:1, pblk:5021 flags:2000\n"),
		  std::string::npos)
		<< err;

	for (uint32_t flag : {FIEMAP_EXTENT_DATA_INLINE | FIEMAP_EXTENT_NOT_ALIGNED,
			      FIEMAP_EXTENT_DELALLOC, FIEMAP_EXTENT_UNKNOWN, FIEMAP_EXTENT_ENCODED,
			      FIEMAP_EXTENT_MERGED, FIEMAP_EXTENT_DATA_TAIL}) {
		free(map);
		map = nullptr;
		g_recs = {{0, 100, 1, flag}, {1, 200, 1, 0}};
		EXPECT_EQ(read(), -1) << std::hex << flag;
		ASSERT_NE(map, nullptr);
		EXPECT_EQ(map->count, 2u);
	}
}

TEST_F(SeamMap, EmptyAndFailedRequests)
{
	// nothing mapped: success, empty map
	ASSERT_EQ(read(), 0);
	ASSERT_NE(map, nullptr);
	EXPECT_EQ(map->count, 0u);
	EXPECT_EQ(fest.frag, 0u);
	free(map);
	map = nullptr;

	// the second request fails: its result, with the first batch kept
	for (uint64_t i = 0; i < 520; i++)
		g_recs.push_back({i * 2, 5000 + i * 3, 1, 0});
	g_starts.clear();
	g_fail_call = 1;
	debug_flags = 0x20;
	testing::internal::CaptureStderr();
	testing::internal::CaptureStdout();
	EXPECT_EQ(read(77), -1);
	std::string err = testing::internal::GetCapturedStderr();
	std::string out = testing::internal::GetCapturedStdout();
	ASSERT_NE(map, nullptr);
	EXPECT_EQ(map->count, 512u);
	EXPECT_NE(err.find("__get_inode_fiemap Can get extent info for inode:77 ret:-1 mapped:0\n"),
		  std::string::npos)
		<< err;
	EXPECT_NE(out.find("__get_inode_fiemap fmap stat ino:77 hole:511 frag:512 local_ex:512 "
			   "local_sz:512 group:1\n"),
		  std::string::npos)
		<< out;
}

TEST(FmapChecksum, ChangesWithIdentitySizeAllocationAndMapOnly)
{
	struct stat st;
	memset(&st, 0, sizeof(st));
	st.st_ino = 12;
	st.st_size = 40960;
	st.st_blocks = 80;
	std::vector<fmap_extent> exts = {{10, 0, 5000}, {3, 10, 9000}};
	auto sum = [](const struct stat &s, const std::vector<fmap_extent> &v) {
		std::vector<char> buf(sizeof(struct fmap) + v.size() * sizeof(fmap_extent));
		struct fmap *m = (struct fmap *)buf.data();
		m->capacity = m->count = (uint32_t)v.size();
		std::copy(v.begin(), v.end(), m->ext);
		return fmap_csum(&s, m);
	};
	uint32_t base = sum(st, exts);
	EXPECT_EQ(sum(st, exts), base);

	// fields outside identity, size and allocation do not matter
	struct stat other = st;
	other.st_mtime = 123456;
	other.st_mode = 0100644;
	other.st_uid = 7;
	other.st_dev = 99;
	EXPECT_EQ(sum(other, exts), base);

	other = st;
	other.st_ino = 13;
	EXPECT_NE(sum(other, exts), base);
	other = st;
	other.st_size = 40961;
	EXPECT_NE(sum(other, exts), base);
	other = st;
	other.st_blocks = 88;
	EXPECT_NE(sum(other, exts), base);
	for (int f = 0; f < 3; f++) {
		for (size_t i = 0; i < exts.size(); i++) {
			auto v = exts;
			if (f == 0)
				v[i].len++;
			else if (f == 1)
				v[i].lblk++;
			else
				v[i].pblk += 1ull << 32;
			EXPECT_NE(sum(st, v), base) << f << " " << i;
		}
	}
	auto shorter = exts;
	shorter.pop_back();
	EXPECT_NE(sum(st, shorter), base);
	// the bytes are chained in order: swapping entries changes the sum
	auto swapped = exts;
	std::swap(swapped[0], swapped[1]);
	EXPECT_NE(sum(st, swapped), base);
}

// ---- real files ----

// The expected map from filefrag: continuing records merged.
std::vector<fmap_extent> merged(const std::vector<FragExtent> &v)
{
	std::vector<fmap_extent> out;
	uint64_t pl = 0, pp = 0;
	for (auto &e : v) {
		if (!out.empty() && e.logical == pl && e.physical == pp)
			out.back().len += (uint32_t)e.length;
		else
			out.push_back({(uint32_t)e.length, (uint32_t)e.logical, e.physical});
		pl = e.logical + e.length;
		pp = e.physical + e.length;
	}
	return out;
}

// Reads a real file's map; checks it against filefrag and the fest against an
// independent count from the same records.
void check_against_filefrag(defrag_context *ctx, const std::string &path, int expect_ret = 0)
{
	SCOPED_TRACE(path);
	int fd = open(path.c_str(), O_RDONLY);
	ASSERT_GE(fd, 0);
	struct stat st;
	fstat(fd, &st);
	struct fmap *map = nullptr;
	struct fest fest;
	int ret = __get_inode_fiemap(ctx, fd, st.st_ino, ctx->blocksize_bits, &map, &fest);
	close(fd);
	EXPECT_EQ(ret, expect_ret);
	ASSERT_NE(map, nullptr);
	auto ff = filefrag(path);
	auto want = merged(ff);
	ASSERT_EQ(map->count, want.size());
	for (size_t i = 0; i < want.size(); i++) {
		EXPECT_EQ(map->ext[i].lblk, want[i].lblk) << i;
		EXPECT_EQ(map->ext[i].pblk, want[i].pblk) << i;
		EXPECT_EQ(map->ext[i].len, want[i].len) << i;
	}
	EXPECT_EQ(fest.frag, fragments(ff));
	uint32_t holes = 0, local = 0, groups = 0, prev_g = ~0u;
	uint64_t pl = 0;
	const ext2_super_block *sb = ctx->fs->super;
	uint32_t home = ((uint32_t)(st.st_ino - 1) / sb->s_inodes_per_group) >> ctx->flex_log;
	for (auto &e : ff) {
		holes += e.logical != pl;
		pl = e.logical + e.length;
		uint32_t g = (uint32_t)((e.physical - sb->s_first_data_block) / sb->s_blocks_per_group) >>
			     ctx->flex_log;
		local += g == home;
		groups += g != prev_g;
		prev_g = g;
	}
	EXPECT_EQ(fest.hole, holes);
	EXPECT_EQ(fest.local_ex, local);
	EXPECT_EQ(fest.group, groups);
	free(map);
}

int count_fiemap_calls_real(int fd, struct fiemap *fm)
{
	g_starts.push_back(fm->fm_start);
	return qf_sys_default.fiemap(fd, fm);
}

TEST(RealExtentMap, MatchesFilefrag)
{
	REQUIRE_ROOT();
	SavedSettings saved;
	reset_run_state();
	LoopImage img(256, "-b 1024", "noatime");
	ASSERT_TRUE(img.ok());
	const uint32_t bs = 1024;

	// two files grown in turns, each append made durable before the next,
	// so each gets several physically separate runs
	{
		int a = open(img.path("a").c_str(), O_CREAT | O_WRONLY, 0644);
		int b = open(img.path("b").c_str(), O_CREAT | O_WRONLY, 0644);
		for (int i = 0; i < 6; i++) {
			write_blocks(a, i * 4, 4, bs);
			fsync(a);
			write_blocks(b, i * 4, 4, bs);
			fsync(b);
		}
		close(a);
		close(b);
	}
	// more than 512 extents: every other block written
	{
		int c = open(img.path("many").c_str(), O_CREAT | O_WRONLY, 0644);
		for (int i = 0; i < 700; i++)
			write_blocks(c, i * 2, 1, bs);
		close(c);
	}
	// a hole at the start
	{
		int d = open(img.path("hole").c_str(), O_CREAT | O_WRONLY, 0644);
		write_blocks(d, 10, 5, bs);
		close(d);
	}
	// preallocated, partly written
	sh_ok("fallocate -l 200k '" + img.path("prealloc") + "'");
	{
		int e = open(img.path("prealloc").c_str(), O_WRONLY);
		write_blocks(e, 3, 2, bs);
		close(e);
	}
	// a file across several block groups (8 MiB each with 1 KiB blocks)
	sh_ok("dd if=/dev/zero of='" + img.path("big") + "' bs=1M count=20 status=none");
	img.settle();

	SetUpCtx run(img.device(), img.mnt());
	ASSERT_TRUE(run.ok());
	defrag_context &ctx = run.ctx;
	ASSERT_EQ(ctx.blocksize_bits, 10u);

	auto fa = filefrag(img.path("a"));
	EXPECT_GE(fragments(fa), 2u) << "interleaved appends should give separate runs";
	check_against_filefrag(&ctx, img.path("a"));
	check_against_filefrag(&ctx, img.path("b"));

	qf_sys.fiemap = count_fiemap_calls_real;
	g_starts.clear();
	check_against_filefrag(&ctx, img.path("many"));
	ASSERT_EQ(g_starts.size(), 2u);
	auto fm = filefrag(img.path("many"));
	ASSERT_GT(fm.size(), 512u);
	EXPECT_EQ(g_starts[1], (fm[511].logical + fm[511].length) * bs);
	qf_sys = qf_sys_default;

	check_against_filefrag(&ctx, img.path("hole"));
	{
		int fd = open(img.path("hole").c_str(), O_RDONLY);
		struct stat st;
		fstat(fd, &st);
		struct fmap *map = nullptr;
		struct fest fest;
		ASSERT_EQ(__get_inode_fiemap(&ctx, fd, st.st_ino, 10, &map, &fest), 0);
		EXPECT_EQ(fest.hole, 1u);
		EXPECT_EQ(fest.frag, 1u);
		free(map);
		close(fd);
	}

	EXPECT_EQ(sh("filefrag -v '" + img.path("prealloc") + "' | grep -q unwritten").status, 0);
	check_against_filefrag(&ctx, img.path("prealloc"));

	// local counts with plain block groups and with flex groups of 16
	auto local_of = [&](uint32_t flex_log) {
		ctx.flex_log = flex_log;
		check_against_filefrag(&ctx, img.path("big"));
		int fd = open(img.path("big").c_str(), O_RDONLY);
		struct stat st;
		fstat(fd, &st);
		struct fmap *map = nullptr;
		struct fest fest;
		EXPECT_EQ(__get_inode_fiemap(&ctx, fd, st.st_ino, 10, &map, &fest), 0);
		free(map);
		close(fd);
		return fest;
	};
	// the mount point's flex groups of 16 (as -f takes them from the
	// superblock) hold every run of the file; single groups do not
	EXPECT_EQ(ctx.fs->super->s_log_groups_per_flex, 4);
	struct fest plain = local_of(0), flex = local_of(4);
	EXPECT_GT(plain.group, 1u);
	EXPECT_LT(plain.local_ex, flex.local_ex);
	EXPECT_EQ(flex.group, 1u);
	EXPECT_EQ(flex.local_sz, 20u * 1024);
}

TEST(RealExtentMap, InlineDataFailsWithCompleteMap)
{
	REQUIRE_ROOT();
	SavedSettings saved;
	reset_run_state();
	LoopImage img(64, "-O inline_data", "noatime");
	ASSERT_TRUE(img.ok());
	sh_ok("printf 'tiny file' > '" + img.path("small") + "'");
	sh_ok("dd if=/dev/zero of='" + img.path("large") + "' bs=4k count=4 status=none");
	img.settle();
	SetUpCtx run(img.device(), img.mnt());
	ASSERT_TRUE(run.ok());
	defrag_context &ctx = run.ctx;

	EXPECT_EQ(sh("filefrag -v '" + img.path("small") + "' | grep -q inline").status, 0);
	{
		// the one inline record is in the map (shorter than a block, so of
		// length 0), and the map is refused
		int fd = open(img.path("small").c_str(), O_RDONLY);
		struct stat st;
		fstat(fd, &st);
		struct fmap *map = nullptr;
		EXPECT_EQ(__get_inode_fiemap(&ctx, fd, st.st_ino, ctx.blocksize_bits, &map, nullptr),
			  -1);
		close(fd);
		ASSERT_NE(map, nullptr);
		EXPECT_EQ(map->count, 1u);
		EXPECT_EQ(map->ext[0].lblk, 0u);
		EXPECT_EQ(map->ext[0].len, 0u);
		free(map);
	}
	check_against_filefrag(&ctx, img.path("large"), 0);
}

} // namespace
