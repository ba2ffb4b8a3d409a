// The space-aware mode's picture of the free space: free runs kept ascending
// and merged, what a change does to them, and the pieces of files the plan
// frees into them. Plain arithmetic, no request to the kernel.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <map>

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
	uint64_t version; // changes whenever a run does
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
// The run that ends exactly at blk, or -1.
int64_t sa_pic_run_ending_at(const struct sa_picture *p, uint64_t blk);
// The run that starts exactly at blk, or -1.
int64_t sa_pic_run_starting_at(const struct sa_picture *p, uint64_t blk);
// Whether blk is free in the picture.
int sa_pic_is_free(const struct sa_picture *p, uint64_t blk);

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

// What a change does to the picture: free extents and blocks in large runs,
// and blocks it frees that the picture will not show (the extent-tree blocks
// of a file that becomes contiguous).
struct sa_delta {
	int64_t extents;
	int64_t large_blocks;
	int64_t unseen;
};
// What freeing these used blocks would do. Pieces ascending, not overlapping.
struct sa_delta sa_free_delta(const struct sa_picture *p, const sa_piece *pieces, uint32_t n);

// Pieces freed one after another over a picture that stays as it is: what
// freeing all of them so far would do. It keeps the chains of free runs and
// freed pieces that some freed piece touches, so that adding a piece costs a
// lookup or two, however many were added before.
struct sa_freeing {
	std::map<uint64_t, uint64_t> chains; // start -> length
	struct sa_delta d;
};
// Adds the piece [start, start + len), which must be in use in the picture
// and not added before.
void sa_freeing_add(struct sa_freeing *fr, const struct sa_picture *p, uint64_t start,
		    uint64_t len);
void sa_freeing_clear(struct sa_freeing *fr);

