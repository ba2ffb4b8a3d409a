// Moving a file in ranges: which range comes next on hand-made maps, and
// which donor is worth it. The moves themselves are tested on an image
// (path_run_test.cpp).
#include <cstdlib>
#include <vector>
#include <gtest/gtest.h>
#include "ranges.h"

namespace {

// A map from (lblk, pblk, len) triples, as the map reader leaves it.
struct Map {
	struct fmap *m;
	explicit Map(std::vector<fmap_extent> e)
	{
		m = (struct fmap *)malloc(sizeof(struct fmap) + e.size() * sizeof(fmap_extent));
		m->capacity = m->count = (uint32_t)e.size();
		for (size_t i = 0; i < e.size(); i++)
			m->ext[i] = e[i];
	}
	~Map() { free(m); }
};

fmap_extent ex(uint32_t lblk, uint64_t pblk, uint32_t len)
{
	fmap_extent e;
	e.lblk = lblk;
	e.pblk = pblk;
	e.len = len;
	return e;
}

} // namespace

TEST(Ranges, NextRangeTakesWholePiecesBetweenHolesWithinTheRoom)
{
	// pieces of 10 blocks at 0..40, a hole, pieces at 100..120, one long piece at 120
	Map map({ex(0, 1000, 10), ex(10, 2000, 10), ex(20, 3000, 10), ex(30, 4000, 10),
		 ex(100, 5000, 10), ex(110, 6000, 10), ex(120, 7000, 500)});
	struct Case {
		uint64_t from, room;
		int found;
		uint64_t start, len;
		uint32_t pieces;
	} cases[] = {
		{0, 1000, 0, 0, 40, 4},   // up to the hole, not across it
		{0, 25, 0, 0, 20, 2},     // whole pieces only: 20 of the 25
		{0, 15, -1, 0, 0, 0},     // no two pieces fit anywhere
		{5, 25, 0, 5, 25, 3},     // from inside a piece: its rest counts as one
		{10, 1000, 0, 10, 30, 3}, // from a piece boundary
		{40, 1000, 0, 100, 520, 3}, // past the hole; the long piece fits the room
		{40, 30, 0, 100, 20, 2},  // the long piece does not
		{120, 1000, -1, 0, 0, 0}, // one piece left: nothing to join
		{0, 9, -1, 0, 0, 0},      // no piece fits the room at all
	};
	for (const Case &c : cases) {
		struct range_pick r = {};
		int found = range_next(map.m, c.from, c.room, &r);
		EXPECT_EQ(found, c.found) << c.from << " " << c.room;
		if (found || c.found)
			continue;
		EXPECT_EQ(r.start, c.start) << c.from << " " << c.room;
		EXPECT_EQ(r.len, c.len) << c.from << " " << c.room;
		EXPECT_EQ(r.pieces, c.pieces) << c.from << " " << c.room;
		EXPECT_EQ(range_pieces(map.m, r.start, r.len), r.pieces);
	}
}

TEST(Ranges, PiecesCountPhysicalRunsInsideTheRange)
{
	// two entries that continue each other physically across a hole are one
	// piece, as the report counts them; a range may cut a piece
	Map map({ex(0, 100, 10), ex(20, 110, 10), ex(30, 500, 10)});
	EXPECT_EQ(range_pieces(map.m, 0, 40), 2u);
	EXPECT_EQ(range_pieces(map.m, 5, 20), 1u);
	EXPECT_EQ(range_pieces(map.m, 25, 10), 2u);
	EXPECT_EQ(range_pieces(map.m, 10, 10), 0u);
}

TEST(Ranges, DonorMustJoinPieces)
{
	struct Case {
		uint32_t range, donor;
		int named, ok;
	} cases[] = {
		{10, 1, 0, 1}, {10, 5, 0, 1}, {10, 6, 0, 0}, {3, 1, 0, 1}, {3, 2, 0, 0},
		{3, 2, 1, 1},  {2, 1, 1, 1},  {2, 2, 1, 0}, {5, 0, 1, 0}, // no map: no donor
	};
	for (const Case &c : cases)
		EXPECT_EQ(range_donor_ok(c.range, c.donor, c.named), c.ok)
			<< c.range << " " << c.donor << " " << c.named;
}
