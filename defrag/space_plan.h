// --space-aware: defragmentation planned with the free-space picture.
//
// The default passes take a donor wherever the allocator offers one and throw
// away what fails, and every discarded try eats a free hole until the journal
// commits; large free extents are broken up for files that would have fitted
// in small holes. This mode plans first: from Pass1's picture it knows the
// sparsely used windows, from one walk every file's map; it empties the
// windows, moves small files while ballast files hold the large free extents,
// moves large files last, and stops before the free space ends up worse than
// it was.
#pragma once
#include "context.h"
#include "extent_map.h"

// One planned move: a file reached again by its handle, with the checksum of
// its identity and map taken when it was planned.
struct sa_move {
	uint32_t ino;     // ext4 inode numbers are 32 bits
	uint32_t blocks;  // end-of-file block: the blocks the move takes
	uint32_t csum;
	uint32_t window;  // index into the plan's sparse windows, or SA_NO_WINDOW
	uint32_t handle;  // offset of its handle bytes in the plan's handle store
	uint16_t frag;    // physically separate pieces when planned (capped)
	uint8_t flags;
};
#define SA_NO_WINDOW 0xffffffffu
#define SA_DONE 0x1   // moved
#define SA_FAILED 0x2 // a donor was refused or the move failed; not tried again
#define SA_RETRIED 0x4 // refused once, tried again after a commit

// A window of cluster_blocks blocks that holds little data, all of it in
// regular files this run may move: emptying it frees a whole cluster.
struct sa_window {
	uint64_t start;
	uint32_t used;     // blocks in use (Pass1)
	uint32_t file_blocks; // blocks of planned files found in it
	uint32_t moved;    // blocks moved out so far
	uint32_t cost;     // sizes of the files that have blocks here: what emptying moves
	uint32_t chosen;
};

struct sa_plan {
	uint32_t handle_bytes;
	struct sa_move *moves;
	uint32_t nmoves, cap_moves;
	unsigned char *handles;
	uint64_t handles_used, handles_cap;
	struct sa_window *windows; // ascending start
	uint32_t nwindows, cap_windows;
	// free runs of the picture, ascending
	uint64_t *free_start;
	uint32_t *free_len;
	uint32_t nfree, cap_free;
	// counters for the summary line
	uint64_t donor_tries, donors_accepted, commits;
};

// Sparse windows from the tree: windows of `cluster` blocks with at least one
// and at most cluster / 4 blocks in use.
int sa_sparse_windows(struct sa_plan *plan, struct rb_root *tree, uint32_t cluster);
// Index of the sparse window holding blk, or SA_NO_WINDOW.
uint32_t sa_window_of(const struct sa_plan *plan, uint64_t blk, uint32_t cluster);
// The ballast sizes: the plan's free runs of at least `cluster` blocks, largest first,
// held while their sum leaves `reserve` blocks of the free space unheld.
uint32_t sa_ballast_sizes(const struct sa_plan *plan, uint32_t cluster, uint64_t reserve,
			  uint64_t *sizes, uint32_t max);
// The order of the small-file moves: ascending size (best fit packs the
// small holes from the bottom up), then ascending inode.
void sa_sort_moves(struct sa_move *moves, uint32_t n);

void sa_plan_free(struct sa_plan *plan);
void space_aware_passes(defrag_context *ctx);
