// The space-aware mode's decisions on hand-made plans, no device: which
// pieces a file is stored as, what a file is worth moving as, the sparse
// windows, the limits, whether a landed donor is kept, and the order of
// the moves.
#include <gtest/gtest.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>
#include "space_plan.h"

namespace {

struct Ext {
	uint32_t lblk, len;
	uint64_t pblk;
};
struct Span {
	uint64_t start, len;
};

struct MapFree {
	void operator()(struct fmap *m) const { free(m); }
};
using Map = std::unique_ptr<struct fmap, MapFree>;

Map make_map(const std::vector<Ext> &exts)
{
	struct fmap *m = (struct fmap *)calloc(1, sizeof(*m) + exts.size() * sizeof(m->ext[0]));
	m->capacity = m->count = (uint32_t)exts.size();
	for (size_t i = 0; i < exts.size(); i++)
		m->ext[i] = {exts[i].len, exts[i].lblk, exts[i].pblk};
	return Map(m);
}

// A plan over a picture of the given free runs, with files added by hand;
// the limits are those a run starting on this picture takes. The file store
// has room for 64 files from the first: references to them stay valid.
struct Plan {
	struct sa_plan p = {};
	Plan(const std::vector<Span> &free_runs, uint64_t large)
	{
		p.pic.large = large;
		for (const Span &r : free_runs)
			EXPECT_EQ(sa_pic_give(&p.pic, r.start, r.len), 0);
		p.max_extents = p.pic.count ? p.pic.count - 1 : 0;
		p.large0 = p.pic.large_blocks;
		p.free0 = p.pic.free_blocks;
	}
	~Plan() { sa_plan_free(&p); }
	struct sa_file &add(uint32_t ino, const std::vector<Span> &pieces, uint16_t frag,
			    uint8_t flags, uint32_t window = SA_NO_WINDOW)
	{
		struct sa_file f = {};
		f.ino = ino;
		f.piece = p.npieces;
		f.pieces = (uint16_t)pieces.size();
		f.frag = frag;
		f.flags = flags;
		f.window = window;
		for (const Span &r : pieces) {
			EXPECT_EQ(sa_grow(&p.pieces, &p.cap_pieces, (uint64_t)p.npieces + 1), 0);
			p.pieces[p.npieces++] = sa_piece_make(r.start, r.len);
			f.blocks += (uint32_t)r.len;
		}
		EXPECT_EQ(sa_grow(&p.files, &p.cap_files, (uint64_t)p.nfiles + 1), 0);
		p.files[p.nfiles] = f;
		return p.files[p.nfiles++];
	}
};

std::vector<Span> stored(const struct sa_plan &p, const struct sa_file &f)
{
	std::vector<Span> out;
	for (uint32_t i = 0; i < f.pieces; i++)
		out.push_back({sa_piece_start(p.pieces[f.piece + i]),
			       sa_piece_len(p.pieces[f.piece + i])});
	return out;
}

bool operator==(const Span &a, const Span &b)
{
	return a.start == b.start && a.len == b.len;
}


} // namespace

// Pieces are the file's physical runs, ascending, touching runs joined while
// the length still fits; a run past what a piece can address refuses the file.
TEST(SpacePlan, StoredPiecesAreAscendingJoinedAndBounded)
{
	const uint64_t max_len = SA_PIECE_LEN_MAX;
	struct Case {
		const char *what;
		std::vector<Ext> map;
		int ret;
		std::vector<Span> pieces;
	} cases[] = {
		{"file order is not block order", {{0, 2, 100}, {2, 3, 50}}, 0, {{50, 3}, {100, 2}}},
		{"extents that touch are one piece", {{0, 2, 100}, {2, 3, 102}}, 0, {{100, 5}}},
		{"a run longer than a piece is two", {{0, (uint32_t)max_len + 5, 1000}}, 0,
		 {{1000, max_len}, {1000 + max_len, 5}}},
		{"past the last block a piece can say", {{0, 1, SA_PIECE_START_MAX}}, -1, {}},
	};
	for (const Case &c : cases) {
		Plan plan({}, 16);
		struct sa_file f = {};
		Map map = make_map(c.map);
		EXPECT_EQ(sa_store_pieces(&plan.p, map.get(), &f), c.ret) << c.what;
		if (!c.ret) {
			EXPECT_EQ(stored(plan.p, f), c.pieces) << c.what;
		}
	}
	// more separate pieces than a file's count can hold
	std::vector<Ext> many;
	for (uint32_t i = 0; i <= 0xffff; i++)
		many.push_back({i, 1, 10 + 2ULL * i});
	Plan plan({}, 16);
	struct sa_file f = {};
	EXPECT_EQ(sa_store_pieces(&plan.p, make_map(many).get(), &f), -1);
}

// Fragmented files are worth moving whatever their pieces; small
// contiguous ones may pay for the others wherever they are: what their
// leaving merges changes as the files around them move.
TEST(SpacePlan, FileKindFollowsPiecesSizeAndNeighbours)
{
	const uint32_t cluster = 64;
	struct Case {
		const char *what;
		std::vector<Span> pieces;
		uint16_t frag;
		uint32_t window;
		uint8_t kind;
	} cases[] = {
		{"short pieces", {{200, 10}, {220, 10}, {240, 10}, {260, 10}}, 4, SA_NO_WINDOW,
		 SA_DEFRAG},
		{"long pieces", {{200, 32}, {300, 32}}, 2, SA_NO_WINDOW, SA_DEFRAG},
		{"contiguous, a cluster long", {{400, 64}}, 1, SA_NO_WINDOW, 0},
		{"contiguous between two free runs", {{110, 5}}, 1, SA_NO_WINDOW, SA_SPARE},
		{"contiguous beside one free run", {{120, 3}}, 1, SA_NO_WINDOW, SA_SPARE},
		{"contiguous between used blocks", {{150, 3}}, 1, SA_NO_WINDOW, SA_SPARE},
		{"contiguous in a sparse window", {{150, 3}}, 1, 0, SA_SPARE},
	};
	for (const Case &c : cases) {
		Plan plan({{100, 10}, {115, 5}}, cluster);
		struct sa_file &f = plan.add(1, c.pieces, c.frag, 0, c.window);
		EXPECT_EQ(sa_file_kind(&f, cluster), c.kind) << c.what;
	}
}

// A window is sparse when at least one and at most a quarter of its blocks
// are in use, and it lies wholly inside the file system.
TEST(SpacePlan, SparseWindowsFromThePicture)
{
	struct Case {
		const char *what;
		std::vector<Span> free_runs;
		uint64_t total;
		std::vector<Span> windows; // start, blocks in use
	} cases[] = {
		{"two used of 16, four used of 16", {{0, 14}, {48, 12}}, 64, {{0, 2}, {48, 4}}},
		{"all free, or half used", {{16, 16}, {32, 8}}, 64, {}},
		{"a run across windows", {{2, 28}}, 64, {{0, 2}, {16, 2}}},
		{"the last window is cut by the end", {{0, 14}, {48, 12}}, 60, {{0, 2}}},
	};
	for (const Case &c : cases) {
		Plan plan(c.free_runs, 16);
		ASSERT_EQ(sa_sparse_windows(&plan.p, 16, c.total), 0) << c.what;
		std::vector<Span> got;
		for (uint32_t w = 0; w < plan.p.nwindows; w++)
			got.push_back({plan.p.windows[w].start, plan.p.windows[w].used});
		EXPECT_EQ(got, c.windows) << c.what;
		for (uint32_t w = 0; w < plan.p.nwindows; w++)
			EXPECT_EQ(sa_window_of(&plan.p, plan.p.windows[w].start + 15, 16), w) << c.what;
	}
}

// The files in a window make what emptying it costs; it is chosen when they
// hold all its used blocks at no more than a window's worth, the cheapest
// chosen one goes first, and a donor landing in one makes it no use.
TEST(SpacePlan, WindowsAreCreditedChosenAndGivenUp)
{
	// windows at 0 (blocks 12..15 used), 16 (28..31) and 48 (60..63)
	Plan plan({{0, 12}, {16, 12}, {32, 16}, {48, 12}}, 16);
	ASSERT_EQ(sa_sparse_windows(&plan.p, 16, 64), 0);
	ASSERT_EQ(plan.p.nwindows, 3u);
	// a file with two pieces in the first window and one in the second,
	// counted once in each; a large file in the second, which then costs
	// more than a window to empty; one file in the last holding only half
	// its used blocks
	struct sa_file &a = plan.add(1, {{12, 1}, {14, 2}, {30, 2}}, 3, SA_DEFRAG);
	struct sa_file &b = plan.add(2, {{13, 1}}, 1, SA_SPARE);
	struct sa_file &c = plan.add(3, {{28, 2}, {500, 18}}, 2, SA_DEFRAG);
	struct sa_file &d = plan.add(4, {{60, 2}}, 1, SA_SPARE);
	EXPECT_EQ(sa_file_windows(&plan.p, &a, 16, 0), 0u);
	uint32_t first[] = {sa_file_windows(&plan.p, &a, 16, 1), sa_file_windows(&plan.p, &b, 16, 1),
			    sa_file_windows(&plan.p, &c, 16, 1), sa_file_windows(&plan.p, &d, 16, 1)};
	EXPECT_EQ(std::vector<uint32_t>(first, first + 4), std::vector<uint32_t>({0, 0, 1, 2}));
	struct {
		uint32_t file_blocks, cost;
		uint8_t chosen;
	} want[] = {{4, 6, 1}, {4, 25, 0}, {2, 2, 0}};
	sa_choose_windows(&plan.p, 16);
	for (uint32_t w = 0; w < 3; w++) {
		EXPECT_EQ(plan.p.windows[w].file_blocks, want[w].file_blocks) << w;
		EXPECT_EQ(plan.p.windows[w].cost, want[w].cost) << w;
		EXPECT_EQ(plan.p.windows[w].chosen, want[w].chosen) << w;
	}
	plan.p.windows[2].chosen = 1;
	plan.p.windows[2].cost = 7;
	EXPECT_EQ(sa_cheapest_window(&plan.p), 0u);
	struct donor dn;
	donor_init(&dn);
	Map dmap = make_map({{0, 2, 5}});
	dn.fec = dmap.get();
	sa_unchoose_windows(&plan.p, &dn, 16);
	EXPECT_EQ(sa_cheapest_window(&plan.p), 2u);
	plan.p.windows[2].chosen = 0;
	EXPECT_EQ(sa_cheapest_window(&plan.p), SA_NO_WINDOW);
}

// A change keeps to the limits when it adds no free extent or stays under
// the ceiling, and loses no large-run block or stays over the floor; the
// floor follows the free space there is and blocks freed unseen count in
// it, while they lower the ceiling.
TEST(SpacePlan, LimitsOnFreeExtentsAndLargeRuns)
{
	struct Case {
		const char *what;
		uint64_t free_now, large_now; // free0 1000, large0 500, large runs of 16
		int64_t unlocated;
		int64_t extents, large, unseen; // the change
		int within, short_large;
	} cases[] = {
		{"removes an extent, keeps the runs", 1000, 500, 0, -1, 0, 0, 1, 0},
		{"adds up to the ceiling", 1000, 500, 0, 10, 0, 0, 1, 0},
		{"adds past the ceiling", 1000, 500, 0, 11, 0, 0, 0, 0},
		{"unseen blocks lower the ceiling", 1000, 500, 5, 6, 0, 0, 0, 0},
		{"loses large blocks above the floor", 1000, 600, 0, 0, -84, 0, 1, 0},
		{"loses large blocks below the floor", 1000, 600, 0, 0, -85, 0, 0, 1},
		{"the floor follows the free space", 500, 300, 0, 0, -34, 0, 1, 0},
		{"unseen blocks raise the floor", 500, 300, 100, 0, -34, 0, 0, 1},
		{"gains large blocks below the floor", 1000, 100, 0, 0, 10, 0, 1, 0},
		// the free space grows by what it frees unseen: the large runs must
		// grow by their share of it (half here) to keep their share
		{"frees unseen, large runs as they were", 1000, 500, 0, 0, 0, 10, 0, 1},
		{"frees unseen, large runs grow their share", 1000, 500, 0, 0, 5, 10, 1, 0},
		{"frees unseen above the floor", 1000, 600, 0, 0, 0, 10, 1, 0},
	};
	for (const Case &c : cases) {
		Plan plan({}, 16);
		plan.p.pic.count = 90;
		plan.p.max_extents = 100;
		plan.p.free0 = 1000;
		plan.p.large0 = 500;
		plan.p.pic.free_blocks = c.free_now;
		plan.p.pic.large_blocks = c.large_now;
		plan.p.unlocated = c.unlocated;
		struct sa_delta d = {c.extents, c.large, c.unseen};
		EXPECT_EQ(sa_within_limits(&plan.p, d), c.within) << c.what;
		EXPECT_EQ(sa_short_of_large(&plan.p, d), c.short_large) << c.what;
	}
}

// Before its donor exists, a move is expected to free the file's pieces, and
// a file of a large run's size to take as much out of the large runs.
TEST(SpacePlan, PredictedChangeOfAMove)
{
	struct Case {
		std::vector<Span> pieces;
		struct sa_delta want;
	} cases[] = {
		{{{10, 2}}, {-1, 20, 0}},        // joins [0,10) and [12,20) into a large run
		{{{30, 2}, {40, 2}}, {2, 0, 0}}, // between used blocks
		{{{100, 16}}, {1, 0, 0}},        // a large run freed, one taken
		{{{20, 16}}, {0, 8, 0}},         // [12,20) grows large, one taken
	};
	for (const Case &c : cases) {
		Plan plan({{0, 10}, {12, 8}}, 16);
		struct sa_file &f = plan.add(1, c.pieces, (uint16_t)c.pieces.size(), SA_DEFRAG);
		struct sa_delta d = sa_predicted(&plan.p, &f);
		EXPECT_EQ(d.extents, c.want.extents) << c.pieces[0].start;
		EXPECT_EQ(d.large_blocks, c.want.large_blocks) << c.pieces[0].start;
	}
}

// The pieces of a donor's first blocks, which the move uses.
TEST(SpacePlan, PiecesBelowCountsOnlyTheBlocksUsed)
{
	Map map = make_map({{0, 4, 100}, {4, 4, 104}, {8, 4, 200}, {12, 4, 300}});
	struct {
		uint64_t blocks;
		uint32_t pieces;
	} cases[] = {{4, 1}, {8, 1}, {9, 2}, {12, 2}, {16, 3}, {100, 3}};
	for (auto c : cases)
		EXPECT_EQ(sa_pieces_below(map.get(), c.blocks), c.pieces) << c.blocks;
}

// A landed donor is kept when the whole move keeps to the limits and it
// gives what the move is for: fewer pieces (one in the first phase) for a
// fragmented file, one piece that merges free runs or leaves the window for
// a contiguous one.
TEST(SpacePlan, DonorFitsWhenTheMoveGainsAndKeepsTheLimits)
{
	// free: W [16,28) in the window at 16, A [40,48), B [100,164) large,
	// C [300,302), D [305,310)
	const std::vector<Span> free_runs = {{16, 12}, {40, 8}, {100, 64}, {300, 2}, {305, 5}};
	struct Case {
		const char *what;
		int file; // 0 fragmented, 1 between C and D, 2 after A, 3 after W in its window
		uint8_t one_piece;
		uint64_t max_extents;
		std::vector<Span> donor;
		int fits;
	} cases[] = {
		{"fewer pieces", 0, 0, 100, {{40, 3}, {44, 3}}, 1},
		{"fewer pieces, but one was asked", 0, 1, 100, {{40, 3}, {44, 3}}, 0},
		{"one piece when one was asked", 0, 1, 100, {{40, 6}}, 1},
		{"as many pieces", 0, 0, 100, {{40, 2}, {43, 2}, {46, 2}}, 0},
		{"past the ceiling", 0, 0, 3, {{40, 6}}, 0},
		{"large runs broken below the floor", 0, 0, 100, {{120, 3}, {130, 3}}, 0},
		{"contiguous, merges C and D", 1, 0, 100, {{40, 3}}, 1},
		{"contiguous into two pieces", 1, 0, 100, {{40, 1}, {42, 2}}, 0},
		{"contiguous, splits A as it merges", 1, 0, 100, {{43, 3}}, 0},
		{"contiguous, merges nothing", 2, 0, 100, {{16, 2}}, 0},
		{"window left, no extent added", 3, 0, 100, {{40, 1}}, 1},
		{"back into its own window", 3, 0, 100, {{16, 1}}, 0},
	};
	for (const Case &c : cases) {
		Plan plan(free_runs, 16);
		plan.p.max_extents = c.max_extents;
		plan.p.one_piece = c.one_piece;
		ASSERT_EQ(sa_sparse_windows(&plan.p, 16, 1024), 0);
		uint32_t w16 = sa_window_of(&plan.p, 16, 16);
		ASSERT_NE(w16, SA_NO_WINDOW);
		struct sa_file *files[] = {
			&plan.add(1, {{200, 2}, {210, 2}, {220, 2}}, 3, SA_DEFRAG),
			&plan.add(2, {{302, 3}}, 1, SA_SPARE),
			&plan.add(3, {{48, 2}}, 1, SA_SPARE),
			&plan.add(4, {{28, 1}}, 1, SA_SPARE, w16),
		};
		std::vector<Ext> exts;
		uint32_t lblk = 0;
		for (const Span &r : c.donor) {
			exts.push_back({lblk, (uint32_t)r.len, r.start});
			lblk += (uint32_t)r.len;
		}
		struct donor d;
		donor_init(&d);
		Map dmap = make_map(exts);
		d.fec = dmap.get();
		d.fest.frag = sa_pieces_below(d.fec, lblk);
		struct sa_delta before = {(int64_t)plan.p.pic.count,
					  (int64_t)plan.p.pic.large_blocks, 0};
		for (const Span &r : c.donor)
			ASSERT_EQ(sa_pic_take(&plan.p.pic, r.start, r.len), 0) << c.what;
		EXPECT_EQ(sa_donor_fits(&plan.p, files[c.file], &d, before, 16), c.fits) << c.what;
	}
}

// The files a phase wants, best gain per block first, equal ones by inode and
// two names of one inode in the walk's order; done, held, skipped and
// out-of-range files are left out.
TEST(SpacePlan, RankOrdersByScoreThenInode)
{
	Plan plan({}, 16);
	// every piece lies between used blocks: freeing it adds a free extent
	plan.add(5, {{100, 5}, {110, 5}, {120, 5}}, 3, SA_DEFRAG);         // 0
	plan.add(3, {{200, 5}, {210, 5}, {220, 5}}, 3, SA_DEFRAG);         // 1
	plan.add(7, {{300, 2}, {310, 2}, {320, 2}}, 5, SA_DEFRAG);         // 2
	plan.add(9, {{400, 5}, {410, 5}}, 2, SA_DEFRAG | SA_DONE);         // 3
	plan.add(11, {{500, 5}}, 1, SA_SPARE);                             // 4
	plan.add(13, {{600, 60}, {700, 40}}, 4, SA_DEFRAG | SA_TRIED);     // 5
	plan.add(3, {{200, 5}, {210, 5}, {220, 5}}, 3, SA_DEFRAG);         // 6
	plan.add(15, {{800, 5}, {810, 5}}, 2, SA_DEFRAG | SA_HELD);        // 7
	plan.p.order = (uint32_t *)malloc(plan.p.nfiles * sizeof(uint32_t));
	struct Case {
		uint8_t want, skip;
		uint32_t min_blocks, max_blocks;
		std::vector<uint32_t> order;
	} cases[] = {
		{SA_DEFRAG, 0, 0, 0xffffffffu, {2, 5, 1, 6, 0}},
		{SA_DEFRAG, SA_TRIED, 0, 0xffffffffu, {2, 1, 6, 0}},
		{SA_DEFRAG, 0, 0, 100, {2, 1, 6, 0}},
		{SA_DEFRAG, 0, 15, 0xffffffffu, {5, 1, 6, 0}},
		{SA_SPARE, 0, 0, 0xffffffffu, {4}},
	};
	for (const Case &c : cases) {
		uint32_t n = sa_rank(&plan.p, c.want, c.skip, c.min_blocks, c.max_blocks);
		EXPECT_EQ(std::vector<uint32_t>(plan.p.order, plan.p.order + n), c.order)
			<< (int)c.want << " " << (int)c.skip << " " << c.min_blocks << " "
			<< c.max_blocks;
	}
}

// Paying with a spare file takes the one that merges the most free runs per
// block moved, never the file being paid for nor one whose moving merges none.
TEST(SpacePlan, BestSpareMergesMostPerBlock)
{
	// free: [0,10) [12,20) [21,30) [40,50) [60,70)
	Plan plan({{0, 10}, {12, 8}, {21, 9}, {40, 10}, {60, 10}}, 16);
	struct sa_file &two = plan.add(1, {{10, 2}, {20, 1}}, 2, SA_SPARE); // -2 for 3 blocks
	plan.add(2, {{30, 10}}, 1, SA_SPARE);                                // -1 for 10
	plan.add(3, {{50, 2}}, 1, SA_SPARE);                                  // 0
	struct {
		const struct sa_file *skip;
		uint32_t done; // ino flagged done, 0 for none
		uint32_t want; // ino chosen, 0 for none
	} cases[] = {{nullptr, 0, 1}, {&two, 0, 2}, {nullptr, 1, 2}, {&two, 2, 0}};
	for (auto c : cases) {
		for (uint32_t i = 0; i < plan.p.nfiles; i++)
			plan.p.files[i].flags = plan.p.files[i].ino == c.done ? SA_SPARE | SA_DONE
									       : SA_SPARE;
		struct sa_file *best = sa_best_spare(&plan.p, c.skip);
		EXPECT_EQ(best ? best->ino : 0, c.want) << c.want;
	}
}

// Files whose pieces lie between each other's: no one of them alone keeps
// the free extents as they were, together they free their region as one run
// and the unit closes there; an extent-tree block between their pieces
// closes it only where the plan knows where the block is.
TEST(SpacePlan, AUnitClosesWhereItsRegionFreesWhole)
{
	struct Case {
		const char *what;
		uint8_t tree; // the second file's tree block at 115 is placed
		uint32_t end; // past the unit formed from the first file, 0: none
	} cases[] = {
		{"pieces alternating, no tree", 0, 0},
		{"the tree block between them placed", SA_TREE, 2},
	};
	for (const Case &c : cases) {
		// free [90,100), used from 100 on: A B A B A B, tree, B, and more
		Plan plan({{90, 10}}, 8);
		plan.add(1, {{100, 2}, {104, 2}, {108, 2}}, 3, SA_DEFRAG);
		struct sa_file &b = plan.add(2, {{102, 2}, {106, 2}, {110, 5}, {116, 4}}, 4, SA_DEFRAG);
		b.meta = 1;
		if (c.tree) {
			uint64_t tree = 115;
			sa_store_tree(&plan.p, &b, &tree, 1);
			ASSERT_TRUE(b.flags & SA_TREE) << c.what;
		}
		plan.p.order = (uint32_t *)malloc(2 * sizeof(uint32_t));
		uint32_t n = sa_sweep_order(&plan.p);
		ASSERT_EQ(n, 2u);
		uint64_t work = 0;
		// alone, the first file leaves three free extents more
		EXPECT_FALSE(sa_within_limits(&plan.p, sa_predicted(&plan.p, &plan.p.files[0])));
		uint32_t end = sa_unit_from(&plan.p, n, 0, &work);
		EXPECT_EQ(end, c.end ? c.end : 0u) << c.what;
	}
}

// A batch keeps for the next the files no move took: moved files go, the
// stores close up behind the rest, and the bytes given are a bound.
TEST(SpacePlan, UnmovedFilesAreKeptForTheNextBatch)
{
	Plan plan({}, 16);
	const uint32_t hb = 8;
	for (uint32_t i = 0; i < 4; i++) {
		plan.add(10 + i, {{100 + 10 * i, 2}, {105 + 10 * i, 2}}, 2, SA_DEFRAG);
		ASSERT_EQ(sa_grow(&plan.p.handles, &plan.p.handles_cap,
				  (uint64_t)plan.p.handles_used + hb), 0);
		plan.p.files[i].handle = plan.p.handles_used;
		memset(plan.p.handles + plan.p.handles_used, (int)i, hb);
		plan.p.handles_used += hb;
	}
	plan.p.files[1].flags |= SA_FINAL | SA_DONE; // moved
	EXPECT_EQ(sa_keep_unmoved(&plan.p, ~0ULL, hb), 3u);
	ASSERT_EQ(plan.p.nfiles, 3u);
	uint32_t inos[] = {10, 12, 13};
	for (uint32_t i = 0; i < 3; i++) {
		const struct sa_file &f = plan.p.files[i];
		EXPECT_EQ(f.ino, inos[i]);
		EXPECT_EQ(stored(plan.p, f)[0].start, 100 + 10 * (inos[i] - 10));
		EXPECT_EQ(plan.p.handles[f.handle], inos[i] - 10);
	}
	EXPECT_EQ(plan.p.npieces, 6u);
	// room for one file only
	uint64_t one = sizeof(struct sa_file) + sizeof(uint32_t) + 2 * sizeof(sa_piece) + hb;
	EXPECT_EQ(sa_keep_unmoved(&plan.p, one, hb), 1u);
	EXPECT_EQ(plan.p.files[0].ino, 10u);
}
