// The relocation test of one file against a hand-built space-extent tree:
// which files become candidates, how they are recorded and counted.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include "quillfold.h"
#include "saved_settings.h"
#include "test_support.h"

using namespace testsupport;

namespace {

// Blocks 1000.. are marked space, 5000.. unmarked; 4096-byte blocks,
// 2^28 inodes per group (every real inode of the temporary directory lies in
// group 0), a 256-block cluster.
struct RelocCandidates : SettingsTest {
	TempDir dir{"qfcand"};
	int dir_fd = -1;
	defrag_context ctx{};
	struct_ext2_filsys fs{};
	ext2_super_block sb{};
	spextent marked{}, plain{};
	group_info *slots[8] = {};
	unsigned long long cands0 = 0, blocks0 = 0;

	void SetUp() override
	{
		dir_fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
		ASSERT_GE(dir_fd, 0);
		sb.s_inodes_per_group = 1u << 28;
		fs.super = &sb;
		fs.group_desc_count = 8;
		ctx.fs = &fs;
		ctx.blocksize_bits = 12;
		ctx.cluster_blocks = 256;
		ctx.groups = slots;
		ctx.root_fhandle = (file_handle *)calloc(1, sizeof(file_handle) + MAX_HANDLE_SZ);
		int mid;
		ctx.root_fhandle->handle_bytes = MAX_HANDLE_SZ;
		ASSERT_EQ(name_to_handle_at(dir_fd, ".", ctx.root_fhandle, &mid, 0), 0);
		marked.start = 1000;
		marked.len = 1000;
		marked.flags = SP_FL_IEF_RELOC | SP_FL_RO_OLD;
		plain.start = 5000;
		plain.len = 1000;
		insert_spextent(&ctx.spextents, &marked);
		insert_spextent(&ctx.spextents, &plain);
		old_time = (uint32_t)time(nullptr) - 864000;
		debug_flags = 0;
		cands0 = ief_candidates;
		blocks0 = ief_candidate_blocks;
	}
	void TearDown() override
	{
		for (auto *g : slots)
			if (g) {
				ief_release_group(g);
				free(g);
			}
		free(ctx.root_fhandle);
		close(dir_fd);
	}
	// A real file (for its handle) with a made-up status and map.
	struct stat file(const char *name, mode_t mode, uint64_t blocks, ino_t ino = 0)
	{
		std::string p = dir.path() + "/" + name;
		int fd = open(p.c_str(), O_WRONLY | O_CREAT, 0644);
		EXPECT_GE(fd, 0);
		close(fd);
		struct stat st;
		stat(p.c_str(), &st);
		st.st_mode = S_IFREG | mode;
		st.st_size = blocks * 4096;
		st.st_blocks = blocks * 8;
		st.st_mtime = time(nullptr);
		if (ino)
			st.st_ino = ino;
		return st;
	}
	// Map: `in_marked` blocks at pblk_marked, then the rest in plain space.
	fmap *map(uint64_t in_marked, uint64_t rest, uint64_t pblk_marked = 1100)
	{
		fmap *m = (fmap *)calloc(1, sizeof(fmap) + 2 * sizeof(fmap_extent));
		m->capacity = 2;
		if (in_marked)
			m->ext[m->count++] = {(uint32_t)in_marked, 0, pblk_marked};
		if (rest)
			m->ext[m->count++] = {(uint32_t)rest, (uint32_t)in_marked, 5100};
		return m;
	}
	int test(const char *name, const struct stat &st, uint64_t in_marked, uint64_t rest,
		 uint32_t local_ex = 0, uint64_t pblk = 1100)
	{
		fmap *m = map(in_marked, rest, pblk);
		fest fe{};
		fe.local_ex = local_ex;
		int r = ief_candidate_test(&ctx, dir_fd, name, &st, m, &fe);
		free(m);
		return r;
	}
	group_info *grp(const struct stat &st) { return slots[ino_group(&ctx, st.st_ino)]; }
	int count(const struct stat &st)
	{
		group_info *g = grp(st);
		int n = 0;
		for (fhandle *r = g ? g->cand_head : nullptr; r; r = r->list_next)
			n++;
		return n;
	}
};

TEST_F(RelocCandidates, MoreThanHalfInMarkedSpaceAndReadOnlyOldOrSmall)
{
	// 10 blocks, 5 marked: not above half, even read-only
	struct stat half = file("half", 0444, 10);
	EXPECT_EQ(test("half", half, 5, 5), 0);
	EXPECT_EQ(count(half), 0);

	struct stat ro = file("ro", 0444, 10);
	EXPECT_EQ(test("ro", ro, 6, 4, 0, 1100), 0);
	struct stat exe = file("exe", 0755, 10);
	EXPECT_EQ(test("exe", exe, 6, 4, 0, 1200), 0);
	struct stat old = file("old", 0644, 10);
	old.st_mtime = time(nullptr) - 20 * 86400;
	EXPECT_EQ(test("old", old, 6, 4, 0, 1300), 0);
	struct stat small = file("small", 0644, 255);
	EXPECT_EQ(test("small", small, 255, 0, 0, 1400), 0);
	EXPECT_EQ(ief_candidates - cands0, 4u);
	EXPECT_EQ(ief_candidate_blocks - blocks0, 10u + 10 + 10 + 255);

	// writable, recent, a cluster or more: never, however much is marked
	struct stat big = file("big", 0644, 256);
	EXPECT_EQ(test("big", big, 256, 0, 0, 1500), 0);
	// nothing in marked space: silently nothing
	struct stat none = file("none", 0444, 10);
	EXPECT_EQ(test("none", none, 0, 10), 0);
	EXPECT_EQ(ief_candidates - cands0, 4u);

	group_info *g = grp(ro);
	ASSERT_NE(g, nullptr);
	EXPECT_EQ(g->ief_inodes, 4u);
	EXPECT_EQ(g->ief_blocks, 285u);
	EXPECT_EQ(g->ief_extents, 2u + 2 + 2 + 1);
	EXPECT_EQ(g->flags & SP_FL_IEF_RELOC, (uint64_t)SP_FL_IEF_RELOC);
	std::vector<uint64_t> order;
	for (fhandle *r = g->cand_head; r; r = r->list_next) {
		order.push_back(r->pblk);
		EXPECT_EQ(r->flags & (SP_FL_IEF_RELOC | SP_FL_CSUM | SP_FL_FMAP),
			  (uint32_t)(SP_FL_IEF_RELOC | SP_FL_CSUM));
		// the file's parent is this very directory, in the same group
		EXPECT_TRUE(r->flags & SP_FL_DIR_LOCAL);
	}
	EXPECT_EQ(order, (std::vector<uint64_t>{1100, 1200, 1300, 1400}));
}

TEST_F(RelocCandidates, SizeCountsWholeBlocksAndLocalityComesFromTheStatistics)
{
	struct stat st = file("partial", 0444, 1);
	st.st_size = 4097; // two blocks, one partly used
	EXPECT_EQ(test("partial", st, 2, 0, 1), 0);
	group_info *g = grp(st);
	ASSERT_NE(g, nullptr);
	EXPECT_EQ(g->ief_blocks, 2u);
	// one map entry and one local extent: the candidate counts as local
	EXPECT_EQ(g->ief_local, 1u);
	EXPECT_TRUE(g->cand_head->flags & SP_FL_LOCAL);

	struct stat far = file("far", 0444, 4);
	EXPECT_EQ(test("far", far, 3, 1, 1, 1600), 0); // 2 entries, 1 local
	EXPECT_EQ(g->ief_local, 1u);
	EXPECT_FALSE(g->cand_tail->flags & SP_FL_LOCAL);
}

TEST_F(RelocCandidates, SecondNameOfOneInodeIsRecordedOnce)
{
	struct stat st = file("a", 0444, 4);
	ASSERT_EQ(link((dir.path() + "/a").c_str(), (dir.path() + "/b").c_str()), 0);
	EXPECT_EQ(test("a", st, 4, 0), 0);
	EXPECT_EQ(test("b", st, 4, 0), 0);
	EXPECT_EQ(count(st), 1);
	EXPECT_EQ(grp(st)->ief_inodes, 1u);
	EXPECT_EQ(ief_candidates - cands0, 1u);
}

TEST_F(RelocCandidates, ExtentOutsideKnownSpaceOrHandleLargerThanRootsIsNoCandidate)
{
	struct stat st = file("stray", 0444, 4);
	// ends past the marked run (1000..1999)
	EXPECT_EQ(test("stray", st, 4, 0, 0, 1998), 0);
	// starts in no run at all
	EXPECT_EQ(test("stray", st, 4, 0, 0, 3000), 0);
	EXPECT_EQ(count(st), 0);

	// the run can only reopen handles of the template's size
	ctx.root_fhandle->handle_bytes = 4;
	EXPECT_NE(test("stray", st, 4, 0), 0);
	EXPECT_EQ(ief_candidates - cands0, 0u);
}

TEST_F(RelocCandidates, CandidateLandsInItsInodesGroup)
{
	struct stat st = file("g3", 0444, 4, (3u << 28) + 5);
	EXPECT_EQ(test("g3", st, 4, 0), 0);
	ASSERT_NE(slots[3], nullptr);
	EXPECT_EQ(slots[3]->ief_inodes, 1u);
	// the directory's inode is not in group 3
	EXPECT_FALSE(slots[3]->cand_head->flags & SP_FL_DIR_LOCAL);
}

} // namespace
