// The free-space picture the space-aware mode accounts its moves with.
#include <algorithm>
#include <gtest/gtest.h>
#include <vector>
#include "space_plan.h"

namespace {

// Freed blocks join the runs they touch (and each other through them), taken
// blocks split a run, and what freeing some pieces would do is known before.
TEST(SpacePicture, FreeingAndTakingMergeAndSplitRuns)
{
	struct sa_picture p = {};
	p.large = 8;
	ASSERT_EQ(sa_pic_give(&p, 20, 10), 0);
	ASSERT_EQ(sa_pic_give(&p, 10, 4), 0);
	ASSERT_EQ(sa_pic_give(&p, 40, 1), 0);
	EXPECT_EQ(sa_pic_give(&p, 25, 2), -1); // free already
	EXPECT_EQ(p.count, 3u);
	EXPECT_EQ(p.large_blocks, 10u);

	// [14,20) and [30,40) would join all three runs into one of 31 blocks
	sa_piece pieces[] = {sa_piece_make(14, 6), sa_piece_make(30, 10)};
	struct sa_delta d = sa_free_delta(&p, pieces, 2);
	EXPECT_EQ(d.extents, -2);
	EXPECT_EQ(d.large_blocks, 31 - 10);
	sa_piece lone = sa_piece_make(50, 3);
	d = sa_free_delta(&p, &lone, 1);
	EXPECT_EQ(d.extents, 1);
	EXPECT_EQ(d.large_blocks, 0);

	ASSERT_EQ(sa_pic_take(&p, 22, 2), 0); // [20,22) [24,30)
	EXPECT_EQ(p.count, 4u);
	EXPECT_EQ(p.large_blocks, 0u);
	EXPECT_EQ(sa_pic_take(&p, 21, 2), -1); // 22 is in use
	ASSERT_EQ(sa_pic_take(&p, 40, 1), 0);
	EXPECT_EQ(p.count, 2u + 1u);
	// handed out by the kernel although the picture has 14..19 in use
	EXPECT_EQ(sa_pic_claim(&p, 13, 8), 6);
	EXPECT_EQ(p.count, 2u); // [10,22) [24,30)
	EXPECT_EQ(p.free_blocks, 18u);
	EXPECT_EQ(p.large_blocks, 12u);
	sa_pic_free(&p);
}


} // namespace

// Pieces freed one at a time, in any order, do to the picture what freeing
// them all at once does.
TEST(SpacePicture, FreeingOneAtATimeAgreesWithFreeingAtOnce)
{
	// free: [10,14) [20,30) [40,41); large runs are 8 blocks or more
	std::vector<std::vector<std::pair<uint64_t, uint64_t>>> cases = {
		{{14, 6}, {30, 10}},           // joins the three runs
		{{30, 10}, {14, 6}},           // the same, the other way round
		{{50, 3}},                     // alone between used blocks
		{{41, 2}, {44, 2}, {43, 1}},   // a chain closed by its middle
		{{0, 10}, {60, 8}, {68, 1}},   // before the first run; a new large one
	};
	for (auto &c : cases) {
		struct sa_picture p = {};
		p.large = 8;
		ASSERT_EQ(sa_pic_give(&p, 10, 4), 0);
		ASSERT_EQ(sa_pic_give(&p, 20, 10), 0);
		ASSERT_EQ(sa_pic_give(&p, 40, 1), 0);
		struct sa_freeing fr;
		sa_freeing_clear(&fr);
		std::vector<sa_piece> sorted;
		for (auto &pc : c) {
			sa_freeing_add(&fr, &p, pc.first, pc.second);
			sorted.push_back(sa_piece_make(pc.first, pc.second));
		}
		std::sort(sorted.begin(), sorted.end());
		struct sa_delta d = sa_free_delta(&p, sorted.data(), (uint32_t)sorted.size());
		EXPECT_EQ(fr.d.extents, d.extents) << c[0].first;
		EXPECT_EQ(fr.d.large_blocks, d.large_blocks) << c[0].first;
		sa_pic_free(&p);
	}
}
