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
//
// Its rooms: the picture (space_picture), the plan and every decision that
// needs no request to the kernel (space_plan), donors and ballast
// (space_donors), the moves (space_moves), and this driver (space_aware).
#pragma once
#include "space_plan.h"

// The mode's passes. Without the kernel's free-space map, or memory for the
// plan, it says so before any move; when the map can not be read again or a
// commit fails, it says so and stops. -1 then, 0 when done.
int space_aware_passes(defrag_context *ctx);
// Bytes of files, pieces and handles a batch is planned with at most
// (SA_BATCH_BYTES; tests set less).
extern uint64_t sa_batch_limit;

// Commits what the run changed (syncfs): blocks freed since the last commit
// cannot be handed out again before the next one. A failed write-back breaks
// the plan.
void sa_commit(defrag_context *ctx, struct sa_plan *plan);
// Commits, then reads the free space as the kernel has it (everything it
// freed unseen included) into the plan's picture, the ballast's blocks
// counted free. -1 when the map cannot be had or does not fit.
int sa_read_picture(defrag_context *ctx, struct sa_plan *plan);
