// The space-aware mode's donors and ballast: unnamed files made in a group's
// directory, and accounted in the plan's picture as the kernel hands out
// their blocks.
#pragma once
#include "space_plan.h"

// Never held by ballast nor counted on for a unit's donors: this part of the
// free space (1/8).
#define SA_RESERVE_PART 8

// A donor of `request` blocks in one request from its block `at` on, made in
// a directory of (flex) group grp, its map in d->fec; its fest.frag counts
// the pieces of the first `blocks`, which the move uses. 0 when ready.
int sa_make_donor(defrag_context *ctx, struct sa_plan *plan, uint32_t grp, struct donor *d,
		  uint64_t blocks, uint64_t request, uint64_t at);
// A landed donor (out of the picture already) that begins inside a free
// run leaves the run's first part as a free extent of its own: the donor is
// grown backwards over it, where the allocator gives exactly that part (it
// must have room before its first block). -1 when the picture no longer
// matches; 0 otherwise, grown or not.
int sa_fill_before(defrag_context *ctx, struct sa_plan *plan, struct donor *d);
// Likewise a donor that ends inside a free run, grown over the run's rest:
// the files are then laid out to end where it ends.
int sa_fill_after(defrag_context *ctx, struct sa_plan *plan, struct donor *d);
// The donor's blocks leave the picture (or come back to it: `give`).
// -1 when the picture does not match what the kernel handed out.
int sa_account_donor(struct sa_plan *plan, const struct donor *d, int give);
// Blocks the kernel handed to the donor are free, whatever the picture says:
// those it shows in use were freed without the plan seeing it (the extent-tree
// blocks of files made contiguous); they become free in the picture first.
int sa_claim_donor(struct sa_plan *plan, const struct donor *d);

// Holds the large free runs of the picture with unnamed preallocated files,
// largest first, but never the last part (1 / SA_RESERVE_PART) of the free
// space: the file system stays in use meanwhile. The ballast has no name, so
// a killed run gives its space back too.
void sa_ballast_hold(defrag_context *ctx, struct sa_plan *plan);
void sa_ballast_release(struct sa_plan *plan);
// The kernel counts the ballast's blocks as used; the plan, as what they
// will be again once it is released: free. -1 when a map cannot be read or
// does not fit the picture.
int sa_give_ballast(defrag_context *ctx, struct sa_plan *plan);
