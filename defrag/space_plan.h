// --space-aware: defragmentation planned and accounted with the free-space
// picture.
//
// The default passes take a donor wherever the allocator offers one; on an
// aged file system every move then tends to add free extents (the file's old
// pieces are freed between blocks still in use) and to break large free runs.
// This mode keeps its own copy of the free space, updated after every move
// with where the donor landed and what the file gave up, so that it knows
// what each move did and what the next one would do: it orders the moves by
// what they gain per block moved, pays for the free extents a move adds with
// moves that remove some, and never makes a move that would leave the free
// space worse than it was.
#pragma once
#include <cstdlib>
#include "context.h"

// Makes room for `need` elements, growing by half: the plan's arrays are the
// mode's one sizeable allocation. -1 when memory runs out.
template <typename T> static inline int sa_grow(T **arr, uint32_t *cap, uint64_t need)
{
	if (need <= *cap)
		return 0;
	uint64_t ncap = *cap ? *cap : 64;
	while (ncap < need)
		ncap += ncap / 2;
	if (ncap > 0xffffffffULL)
		return -1;
	T *p = (T *)realloc(*arr, (size_t)ncap * sizeof(T));
	if (!p)
		return -1;
	*arr = p;
	*cap = (uint32_t)ncap;
	return 0;
}

// ---- the free-space picture ---------------------------------------------

// A run of free blocks. Runs are kept ascending, and runs that touch are one
// run (also across a block-group boundary, as the report counts them).
struct sa_run {
	uint64_t start;
	uint64_t len;
};

struct sa_picture {
	struct sa_run *runs;
	uint32_t count, cap;
	uint64_t large;        // a run at least this long is large (the cluster size)
	uint64_t large_blocks; // blocks in large runs
	uint64_t free_blocks;
};

// Adds a free run, merged with the runs it touches. -1 when part of it is
// free already (the picture no longer matches the file system) or memory ran out.
int sa_pic_give(struct sa_picture *p, uint64_t start, uint64_t len);
// Removes blocks from the free space. -1 when they are not all free in one run.
int sa_pic_take(struct sa_picture *p, uint64_t start, uint64_t len);
// Makes the blocks free where the picture has them in use (the kernel freed
// them without the plan knowing, and has just handed them out): the number
// of blocks that were not free, or -1 when memory ran out.
int64_t sa_pic_claim(struct sa_picture *p, uint64_t start, uint64_t len);
void sa_pic_free(struct sa_picture *p);

// A piece of a file: its first block (40 bits) and length (24 bits) in one word.
typedef uint64_t sa_piece;
#define SA_PIECE_LEN_MAX ((1ULL << 24) - 1)
#define SA_PIECE_START_MAX ((1ULL << 40) - 1)
static inline sa_piece sa_piece_make(uint64_t start, uint64_t len)
{
	return start << 24 | len;
}
static inline uint64_t sa_piece_start(sa_piece p)
{
	return p >> 24;
}
static inline uint64_t sa_piece_len(sa_piece p)
{
	return p & SA_PIECE_LEN_MAX;
}

// What a change does to the picture: free extents and blocks in large runs.
struct sa_delta {
	int64_t extents;
	int64_t large_blocks;
};
// What freeing these used blocks would do. Pieces ascending, not overlapping.
struct sa_delta sa_free_delta(const struct sa_picture *p, const sa_piece *pieces, uint32_t n);

// ---- the plan -----------------------------------------------------------

// One file the run may move, reached again by its handle and checked against
// the checksum of its identity and map taken when it was planned.
struct sa_file {
	uint32_t ino;    // ext4 inode numbers are 32 bits
	uint32_t blocks; // end-of-file block: what the move takes
	uint32_t csum;
	uint32_t handle; // offset of its handle bytes in the plan's store
	uint32_t piece;  // its first piece in the plan's store, ascending
	uint32_t window; // the sparse window it has blocks in, or SA_NO_WINDOW
	uint16_t pieces; // pieces stored (physically separate runs)
	uint16_t frag;   // pieces in file order, as the report counts them
	uint8_t flags;
	float score;
};
#define SA_NO_WINDOW 0xffffffffu
#define SA_DEFRAG 0x01 // fragmented: moving it gains pieces
#define SA_SPARE 0x02  // contiguous: moving it may merge free runs
#define SA_DONE 0x04   // moved, or gone, or changed since planned: never again
#define SA_HELD 0x08   // could not be paid for in this round
#define SA_TRIED 0x10  // its donors were refused once

// A window of cluster blocks that holds little data, all of it in files this
// run may move: emptying it frees a whole cluster.
struct sa_window {
	uint64_t start;
	uint32_t used;        // blocks in use
	uint32_t file_blocks; // of them, blocks of planned files
	uint32_t cost;        // sizes of the files with blocks here: what emptying moves
	uint8_t chosen;       // worth emptying, and not yet emptied or given up
};

struct sa_plan {
	struct sa_picture pic;
	// the limits every move keeps to: fewer free extents than at the start,
	// and a share of the free space in large runs no lower than then
	uint64_t max_extents, large0, free0;
	// blocks the kernel freed that the picture does not show (extent-tree
	// blocks of files that became contiguous); they count in the share
	int64_t unlocated;
	struct sa_file *files;
	uint32_t nfiles, cap_files;
	sa_piece *pieces;
	uint32_t npieces, cap_pieces;
	unsigned char *handles;
	uint32_t handles_used, handles_cap;
	struct sa_window *windows; // ascending start
	uint32_t nwindows, cap_windows;
	uint32_t *order; // files of the current round, best first
	uint8_t one_piece; // a fragmented file's donor must be one piece
	int *dir_fds;    // per (flex) group: a directory donors are made in, or -1
	int *ballast;    // unnamed files holding large free runs meanwhile
	uint32_t nballast;
	uint64_t donor_tries, donors_accepted, commits;
	uint64_t pending; // blocks freed since the last commit
	uint32_t moves_since_commit, refused_since_commit;
	uint64_t moved_blocks, spare_moves, windows_emptied;
	// the picture could not be read again or a commit failed: no move can
	// be judged, the mode stops
	uint8_t broken;
};

// Windows of `cluster` blocks with at least one and at most cluster / 4 blocks
// in use, from the picture; `total` is the file system's size in blocks.
int sa_sparse_windows(struct sa_plan *plan, uint32_t cluster, uint64_t total);
// Index of the sparse window holding blk, or SA_NO_WINDOW.
uint32_t sa_window_of(const struct sa_plan *plan, uint64_t blk, uint32_t cluster);
// Fixed cost of a move, in blocks: the requests around it (reopen, maps,
// donor) take about as long as moving this many blocks.
#define SA_MOVE_COST 16
// What a move is worth per block it moves, given what freeing the file's old
// pieces does to the picture (where the donor lands is not known before).
float sa_score(const struct sa_file *f, struct sa_delta d, uint64_t large);
// The files the `want` flags pick of [min_blocks, max_blocks) blocks that are
// neither done nor held nor flagged `skip`, best first, into plan->order;
// their number.
uint32_t sa_rank(struct sa_plan *plan, uint8_t want, uint8_t skip, uint32_t min_blocks,
		 uint32_t max_blocks);

void sa_plan_free(struct sa_plan *plan);
// The mode's passes. Without the kernel's free-space map, or memory for the
// plan, it says so before any move; when the map can not be read again or a
// commit fails, it says so and stops. -1 then, 0 when done.
int space_aware_passes(defrag_context *ctx);
