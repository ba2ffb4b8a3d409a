// The space-aware mode's moves: a planned file moved into a donor judged
// against the picture, and the moves that pay for it (spare files moved,
// sparse windows emptied), each keeping the picture up to date.
#pragma once
#include "space_plan.h"

// What became of a planned move: done; the file gone or changed (never
// tried again); no donor fitted; or the picture no longer matches the file
// system (read it again: sa_resync).
enum sa_result { SA_MOVED, SA_SKIPPED, SA_REFUSED, SA_LOST };

// One planned move: the file reopened by its handle and checked, at most two
// donors, the second after the first was given back (its space is not handed
// out again before a commit, so the second lands elsewhere).
sa_result sa_move_file(defrag_context *ctx, struct sa_plan *plan, struct sa_file *f);
// Moves the files of plan->order[i, placed) that are not done, in that order,
// back to back into shared donors of at most `chunk` blocks each, so that
// they end up one after another, each in one piece: a step of the unit
// order[i, end) whose limits are judged against the picture as it was when
// the unit started (`before`). Every donor is had first: when one cannot be
// had, or the unit would leave the free space beyond the limits with them,
// they are given back and nothing moves. With `ahead`, the steps after this
// one are taken to make up for a free extent beside each of its donors; once
// an earlier step of the unit has moved (`started`), only a donor that
// cannot be had stops it. `moved` counts the files moved.
sa_result sa_move_unit(defrag_context *ctx, struct sa_plan *plan, uint32_t i, uint32_t placed,
		       uint32_t end, uint64_t chunk, struct sa_delta before, int ahead, int started,
		       uint64_t *moved);
// Writes back what is dirty of the file's first `len` bytes and reads the
// rest ahead, unless the file holds no data yet (allocated, never written).
void sa_prepare_read(int fd, uint64_t len);
// Reads the picture again after it stopped matching the file system; -1,
// with the plan broken, when it cannot be read.
int sa_resync(defrag_context *ctx, struct sa_plan *plan);
// The same without saying so: the picture is read again to replace what the
// plan only estimates. -1, with the plan broken, when it cannot be read.
int sa_reread(defrag_context *ctx, struct sa_plan *plan);
// Makes room within the limits for a move of f expected to change the
// picture by `need`: sparse windows emptied while the large runs would fall
// short, contiguous files moved while the free extents would be too many.
// -1 when that cannot be paid for.
int sa_pay_for(defrag_context *ctx, struct sa_plan *plan, struct sa_delta need,
	       const struct sa_file *f);
// Brings the picture back within the limits where what the plan cannot see
// moved them (the margins grow as extent-tree blocks are freed). -1 when
// nothing is left to pay with.
int sa_settle(defrag_context *ctx, struct sa_plan *plan);
