// Moving a file in ranges. The extent-move request moves any range of a
// file, so a file need not go into one donor of its whole size: each range
// goes into a donor of its own that holds only that range's blocks (a sparse
// file allocated at the range's offset), sized to fit the largest free run.
// A file larger than the largest free run, or than the free space, still
// ends in fewer, larger pieces: once a range has moved and its donor is
// closed, the blocks it gave up are free for the next ranges (after a
// commit).
#pragma once
#include "context.h"
#include "extent_map.h"

// From this size up a file that gets no whole donor is moved in ranges, and
// the free-space map is asked first whether a whole donor can fit at all:
// below it the whole donor nearly always fits, and reading the map costs
// more than it saves.
#define RANGE_MIN_BYTES (8ULL << 20)

struct range_pick {
	uint64_t start;  // logical block
	uint64_t len;    // blocks
	uint32_t pieces; // physically separate pieces of the file in the range
};

// Physically separate pieces of the map's blocks in [start, start + len).
uint32_t range_pieces(const struct fmap *map, uint64_t start, uint64_t len);
// The next range worth moving at or after logical block `from`: inside one
// stretch of the file without a hole (the kernel's move does not cross
// holes), at most `room` blocks, holding two pieces or more, and ending where
// a piece ends when that keeps two or more. 0 and *r filled, or -1 when no
// range of `room` blocks from `from` on would join any pieces.
int range_next(const struct fmap *map, uint64_t from, uint64_t room, struct range_pick *r);
// Whether a donor in `donor_pieces` pieces is worth a range of
// `range_pieces`: for a file named with --path any donor in fewer pieces;
// for any other, as for a whole file, at most half as many.
int range_donor_ok(uint32_t range_pieces, uint32_t donor_pieces, int named);

// The free space as a range's donor sees it, from the kernel's free-space
// map: the longest free run, the largest power-of-two chunk aligned as the
// allocator's buddy lists are (which it serves in one piece), the free blocks.
struct free_runs_summary {
	uint64_t largest;
	uint64_t largest_aligned;
	uint64_t free_blocks;
};
int free_runs_summary(defrag_context *ctx, struct free_runs_summary *sum);
// The longest run of free blocks and the free blocks in all. 0, or -1 when
// the kernel gives no free-space map.
int largest_free_run(defrag_context *ctx, uint64_t *largest, uint64_t *free_blocks);
// Gives a range's donor back: truncated (the file's old blocks go with it)
// and closed.
void close_range_donor(int dfd);

struct ranges_result {
	uint32_t ranges;      // ranges moved
	uint64_t blocks;      // blocks moved
	uint32_t frag_before; // pieces of the file before and after
	uint32_t frag_after;
};

// Moves the open file (read-write) in ranges, making each range's donor in
// dir_fd; `named` when the file was named with --path. Stops before a new
// range once the time limit is up, and when no donor fits. Counts the file
// as defragmented in place when a range moved. 0 when a range moved or none
// was worth moving, -1 when none could be moved.
int defrag_in_ranges(defrag_context *ctx, int fd, int dir_fd, uint64_t ino, int named,
		     struct ranges_result *res);
