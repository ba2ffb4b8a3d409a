// Relocation candidates and Pass4 batching on hand-built records: the test
// verdict, the per-group tree and list, the chain, batches and donor offsets.
#include <cstdlib>
#include <vector>
#include <gtest/gtest.h>
#include "quillfold.h"

namespace {

struct RelocGroup : ::testing::Test {
	group_info *grp = nullptr;
	std::vector<fhandle *> all;

	void SetUp() override { grp = (group_info *)calloc(1, sizeof(group_info) + 32 * 8); }
	void TearDown() override
	{
		ief_release_group(grp);
		free(grp);
	}
	// A candidate whose stored map is one run of `eof` blocks at pblk.
	fhandle *cand(uint64_t pblk, uint32_t eof, uint32_t flags = SP_FL_IEF_RELOC | SP_FL_FMAP)
	{
		fhandle *r = (fhandle *)calloc(1, sizeof(fhandle) + 8);
		r->pblk = pblk;
		r->flags = flags;
		if (flags & SP_FL_FMAP) {
			fmap *m = (fmap *)calloc(1, sizeof(fmap) + sizeof(fmap_extent));
			m->capacity = 1;
			m->count = 1;
			m->ext[0] = {eof, 0, pblk};
			r->fmap = m;
		}
		return r;
	}
	fhandle *add(uint64_t pblk, uint32_t eof, uint32_t flags = SP_FL_IEF_RELOC | SP_FL_FMAP)
	{
		fhandle *r = cand(pblk, eof, flags);
		EXPECT_EQ(fhandle_tree_insert(grp, r), 0);
		fhandle_list_append(grp, r);
		return r;
	}
	std::vector<uint64_t> tree_order()
	{
		std::vector<uint64_t> v;
		for (rb_node *n = ext2fs_rb_first(&grp->cand_tree); n; n = ext2fs_rb_next(n))
			v.push_back(rb_entry_of<fhandle>(n)->pblk);
		return v;
	}
};

TEST(RelocVerdict, HalfInMarkedSpaceIsNeverEnoughMoreIsWhenReadOnlyOldOrSmall)
{
	const uint32_t cluster = 256;
	// nothing in marked space: silently not a candidate
	EXPECT_EQ(ief_verdict(0, 10, 1, 0, cluster), IEF_NONE);
	// 10 blocks, 5 marked: 2 * 5 is not above 10, whatever the file is
	EXPECT_EQ(ief_verdict(5, 10, 1, 0, cluster), IEF_REJECT);
	EXPECT_EQ(ief_verdict(5, 10, 0, 1, cluster), IEF_REJECT);
	// 6 marked: accepted as read-only, as old, or as smaller than the cluster
	EXPECT_EQ(ief_verdict(6, 10, 1, 0, cluster), IEF_ACCEPT);
	EXPECT_EQ(ief_verdict(6, 10, 0, 1, cluster), IEF_ACCEPT);
	EXPECT_EQ(ief_verdict(6, 10, 0, 0, cluster), IEF_ACCEPT);
	// a writable recent file of a cluster or more is never taken
	EXPECT_EQ(ief_verdict(256, 256, 0, 0, cluster), IEF_REJECT);
	EXPECT_EQ(ief_verdict(1000, 1000, 0, 0, cluster), IEF_REJECT);
	EXPECT_EQ(ief_verdict(255, 255, 0, 0, cluster), IEF_ACCEPT);
	EXPECT_EQ(ief_verdict(1000, 1000, 0, 1, cluster), IEF_ACCEPT);
}

TEST_F(RelocGroup, TreeIsKeyedByFirstBlockListKeepsDiscoveryAndDuplicatesAreRefused)
{
	add(500, 1);
	add(100, 1);
	add(300, 1);
	add(900, 1);
	fhandle *dup = cand(100, 1);
	EXPECT_EQ(fhandle_tree_insert(grp, dup), -1) << "a second name of one inode";
	free(dup->fmap);
	free(dup);

	EXPECT_EQ(tree_order(), (std::vector<uint64_t>{100, 300, 500, 900}));
	std::vector<uint64_t> list;
	for (fhandle *r = grp->cand_head; r; r = r->list_next)
		list.push_back(r->pblk);
	EXPECT_EQ(list, (std::vector<uint64_t>{500, 100, 300, 900}));
	EXPECT_EQ(grp->cand_tail->pblk, 900u);
}

TEST_F(RelocGroup, ChainFollowsDiscoveryAndLeavesIgnoredOut)
{
	add(500, 1);
	add(100, 1, SP_FL_IEF_RELOC | SP_FL_FMAP | SP_FL_IGNORE);
	add(300, 1);
	add(200, 1, SP_FL_IEF_RELOC | SP_FL_CSUM | SP_FL_IGNORE);
	add(900, 1);
	fhandle *first = ief_build_chain(grp);
	ASSERT_EQ(first, grp->next);
	std::vector<uint64_t> chain;
	for (fhandle *r = first; r; r = r->next)
		chain.push_back(r->pblk);
	EXPECT_EQ(chain, (std::vector<uint64_t>{500, 300, 900}));
}

TEST_F(RelocGroup, EmptyChainWhenEveryCandidateIsIgnored)
{
	add(1, 1, SP_FL_IEF_RELOC | SP_FL_IGNORE);
	EXPECT_EQ(ief_build_chain(grp), nullptr);
	EXPECT_EQ(grp->next, nullptr);
}

// Cuts the chain into batches; returns the member counts and donor sizes.
static void batches(fhandle *first, uint32_t cluster, uint32_t bpp, std::vector<int> *counts,
		    std::vector<uint64_t> *sizes)
{
	while (first) {
		uint64_t blocks;
		fhandle *end = ief_gather_batch(first, cluster, bpp, &blocks);
		int n = 0;
		for (fhandle *r = first; r != end; r = r->next)
			n++;
		counts->push_back(n);
		sizes->push_back(blocks);
		first = end;
	}
}

TEST_F(RelocGroup, BatchesOfAboutOneRelocationCluster)
{
	for (int i = 0; i < 7; i++)
		add(1000 + i * 100, 100);
	std::vector<int> counts;
	std::vector<uint64_t> sizes;
	batches(ief_build_chain(grp), 256, 1, &counts, &sizes);
	EXPECT_EQ(counts, (std::vector<int>{3, 3, 1}));
	EXPECT_EQ(sizes, (std::vector<uint64_t>{300, 300, 100}));
}

TEST_F(RelocGroup, LargeMemberAloneOrJoiningTheSmallerBefore)
{
	add(10, 300); // reaches the cluster alone
	add(20, 50);
	add(30, 400); // joins the 50-block one
	add(40, 10);
	std::vector<int> counts;
	std::vector<uint64_t> sizes;
	batches(ief_build_chain(grp), 256, 1, &counts, &sizes);
	EXPECT_EQ(counts, (std::vector<int>{1, 2, 1}));
	EXPECT_EQ(sizes, (std::vector<uint64_t>{300, 450, 10}));
}

// With 1 KiB blocks and 4 KiB pages every member's donor start must be a
// multiple of 4; the donor is sized for the padding and the aligned starts
// never run past it.
TEST_F(RelocGroup, DonorStartsStayPageAlignedWithinTheDonor)
{
	const uint32_t bpp = 4;
	const uint32_t eofs[] = {3, 5, 2, 7, 1, 4};
	for (unsigned i = 0; i < sizeof(eofs) / sizeof(eofs[0]); i++)
		add(100 * (i + 1), eofs[i]);
	fhandle *first = ief_build_chain(grp);
	uint64_t blocks;
	fhandle *end = ief_gather_batch(first, 1024, bpp, &blocks);
	EXPECT_EQ(end, nullptr);
	// 3 -> 4+5=9 -> 12+2=14 -> 16+7=23 -> 24+1=25 -> 28+4=32
	EXPECT_EQ(blocks, 32u);

	donor d;
	donor_init(&d);
	d.length = blocks;
	std::vector<uint64_t> starts;
	for (fhandle *r = first; r; r = r->next) {
		ASSERT_EQ(ief_align_donor(&d, bpp), 0);
		EXPECT_EQ(d.offset % bpp, 0u);
		uint64_t eof = fmap_eof_blk(r->fmap);
		ASSERT_GE(d.length, eof);
		starts.push_back(d.offset);
		d.offset += eof; // what a full move does
		d.length -= eof;
	}
	EXPECT_EQ(starts, (std::vector<uint64_t>{0, 4, 12, 16, 24, 28}));
	EXPECT_EQ(d.length, 0u);
}

TEST(RelocAlign, PaddingNeedsRoomAndBlockSizedPagesNeedNone)
{
	donor d;
	donor_init(&d);
	d.offset = 5;
	d.length = 2;
	EXPECT_EQ(ief_align_donor(&d, 4), -1) << "3 blocks of padding, 2 left";
	EXPECT_EQ(d.offset, 5u);
	d.length = 3;
	EXPECT_EQ(ief_align_donor(&d, 4), 0);
	EXPECT_EQ(d.offset, 8u);
	EXPECT_EQ(d.length, 0u);
	d.offset = 7;
	d.length = 9;
	EXPECT_EQ(ief_align_donor(&d, 1), 0);
	EXPECT_EQ(d.offset, 7u);
	EXPECT_EQ(d.length, 9u);
}

} // namespace
