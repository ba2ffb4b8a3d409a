// Extent maps of real files on a loop-mounted ext4, compared with filefrag.
#include <cstdlib>
#include <linux/fiemap.h>
#include <sys/stat.h>
#include "scan_helpers.h"

using namespace testsupport;
using namespace scantest;

namespace {

// Where each FS_IOC_FIEMAP request of a read started, in bytes.
std::vector<uint64_t> g_starts;

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
