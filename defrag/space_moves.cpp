// The space-aware mode's moves. Every move goes through the same requests
// and checks as the default passes: the file is reopened by its handle and
// must be the same inode, its map is read again and must match the one
// planned with, the donor is unnamed from the start, and data moves only
// through the kernel's extent move.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include "space_moves.h"
#include "groups.h"
#include "moves.h"
#include "ranges.h"
#include "space_aware.h"
#include "space_donors.h"
#include "stats.h"

// The planned file again, by its handle: the same inode, still regular, with
// the map it was planned with. Its descriptor and map, or -1.
static int reopen_planned(defrag_context *ctx, struct sa_plan *plan, const struct sa_file *f,
			  struct fmap **map, struct stat &st)
{
	int fd = __do_open_f_handle(ctx->root_fd, ctx->root_fhandle, plan->handles + f->handle,
				    O_RDWR);
	if (fd < 0)
		return -1;
	if (fstat(fd, &st) || st.st_ino != f->ino || !S_ISREG(st.st_mode) ||
	    __get_inode_fiemap(ctx, fd, st.st_ino, ctx->blocksize_bits, map, nullptr) || !*map ||
	    fmap_eof_blk(*map) != f->blocks || fmap_csum(&st, *map) != f->csum) {
		if (verbose && *map)
			printf("%s inode %lu changed under us, skip\n", "space_aware",
			       (unsigned long)f->ino);
		free(*map);
		*map = nullptr;
		close(fd);
		errno = ESTALE; // not the file that was planned
		return -1;
	}
	return fd;
}

// Moves the file's data into the landed donor and gives its old pieces to the
// picture.
static sa_result move_into(defrag_context *ctx, struct sa_plan *plan, struct sa_file *f, int fd,
			   struct fmap *map, struct donor *d, const struct stat &st)
{
	uint64_t ino = f->ino;
	struct stat after;
	plan->donors_accepted++;
	sa_unchoose_windows(plan, d, ctx->cluster_blocks);
	defrag_fadvise(fd, (uint64_t)f->blocks << ctx->blocksize_bits, 1);
	int ret = do_defrag_one(ctx->dry_run, fd, ino, map, f->blocks, d);
	if (verbose)
		printf("%s %s ino:%lu blocks:%u old_frag:%u new_frag:%u\n", "space_aware",
		       ret ? "FAIL" : "SUCCESS", (unsigned long)f->ino, f->blocks, f->frag,
		       d->fest.frag);
	if (ret)
		return SA_LOST; // partly moved, perhaps: the picture is read again
	if (ctx->dry_run)
		return sa_account_donor(plan, d, 1) ? SA_LOST : SA_MOVED; // nothing moved
	// the next commit must write the moved data: start now, while the next
	// files move
	sync_file_range(fd, 0, (off64_t)f->blocks << ctx->blocksize_bits, SYNC_FILE_RANGE_WRITE);
	iaf_inodes++;
	iaf_blocks += f->blocks;
	plan->moved_blocks += f->blocks;
	// the same data in fewer extents may need fewer extent-tree blocks
	if (!fstat(fd, &after) && after.st_blocks < st.st_blocks)
		plan->unlocated += ((int64_t)st.st_blocks - (int64_t)after.st_blocks) * 512 >>
				   ctx->blocksize_bits;
	plan->pending += d->length + d->offset; // the donor and the pieces it took over
	for (uint32_t i = 0; i < f->pieces; i++) {
		sa_piece p = plan->pieces[f->piece + i];
		if (sa_pic_give(&plan->pic, sa_piece_start(p), sa_piece_len(p)))
			return SA_LOST;
	}
	// what the donor had beyond the file is freed with it
	for (uint32_t i = 0; i < d->fec->count; i++) {
		const struct fmap_extent *e = &d->fec->ext[i];
		uint64_t skip = e->lblk >= f->blocks ? 0 : f->blocks - e->lblk;
		if (skip < e->len && sa_pic_give(&plan->pic, e->pblk + skip, e->len - skip))
			return SA_LOST;
	}
	return SA_MOVED;
}

sa_result sa_move_file(defrag_context *ctx, struct sa_plan *plan, struct sa_file *f)
{
	struct fmap *map = nullptr;
	struct donor d;
	struct stat st;
	sa_result res = SA_REFUSED;

	// a file gets two chances at most: one with each kind of donor
	f->flags |= f->flags & SA_TRIED ? SA_DONE : SA_TRIED;
	int fd = reopen_planned(ctx, plan, f, &map, st);
	if (fd < 0) {
		// out of descriptors or memory says nothing about the file
		if (errno == EMFILE || errno == ENFILE || errno == ENOMEM)
			return SA_REFUSED;
		f->flags |= SA_DONE;
		return SA_SKIPPED;
	}
	// a file named with --path goes in ranges, each into a donor of its own
	// (it may be larger than any free run); the picture is read again after
	if (f->flags & SA_NAMED) {
		defrag_in_ranges(ctx, fd, ctx->root_fd, f->ino, 1, nullptr);
		res = SA_LOST;
	}
	for (int attempt = 0; attempt < 2 && res == SA_REFUSED; attempt++) {
		// A request whose size is a power of two is served from the
		// allocator's buddy lists, in one aligned piece wherever one is
		// free, while for other sizes it looks at a few free runs of a
		// group and, finding none long enough, hands out pieces: so the
		// second try asks for the power of two and uses the start of it.
		uint64_t request = f->blocks;
		while (attempt && (request & (request - 1)))
			request += request & -request;
		if (sa_make_donor(ctx, plan, ino_group(ctx, f->ino), &d, f->blocks, request))
			continue;
		if (sa_claim_donor(plan, &d)) {
			close_donor(&d);
			res = SA_LOST;
			break;
		}
		struct sa_delta before = {(int64_t)plan->pic.count,
					  (int64_t)plan->pic.large_blocks};
		if (sa_account_donor(plan, &d, 0)) {
			res = SA_LOST;
		} else if (sa_donor_fits(plan, f, &d, before, ctx->cluster_blocks)) {
			res = move_into(ctx, plan, f, fd, map, &d, st);
		} else {
			if (debug_flags & QF_DBG_MOVES)
				printf("%s REJECT inode:%u blocks:%u frag:%u donor_frag:%u\n",
				       "space_aware", f->ino, f->blocks, f->frag, d.fest.frag);
			sa_account_donor(plan, &d, 1);
			plan->pending += d.length;
		}
		close_donor(&d);
	}
	if (res != SA_REFUSED)
		f->flags |= SA_DONE;
	plan->moves_since_commit++;
	plan->refused_since_commit += res == SA_REFUSED;
	free(map);
	close(fd);
	return res;
}

int sa_resync(defrag_context *ctx, struct sa_plan *plan)
{
	if (verbose)
		printf("Space-aware: the free space differs from the plan's; read again\n");
	if (sa_read_picture(ctx, plan)) {
		if (!plan->broken)
			fprintf(stderr, "%s: the kernel gives no free-space map: %m\n",
				"space_aware");
		plan->broken = 1; // no move can be judged without the picture
		return -1;
	}
	return 0;
}

// ---- paying for a move ----------------------------------------------------

// The contiguous file whose moving merges the most free runs per block
// moved, moved. -1 when there is none.
static int move_spare(defrag_context *ctx, struct sa_plan *plan, const struct sa_file *skip)
{
	struct sa_file *best = sa_best_spare(plan, skip);
	if (!best)
		return -1;
	sa_result r = sa_move_file(ctx, plan, best);
	plan->spare_moves += r == SA_MOVED;
	return r == SA_LOST && sa_resync(ctx, plan) ? -1 : 0;
}

// Empties the chosen window that costs least to empty. -1 when there is none.
static int empty_window(defrag_context *ctx, struct sa_plan *plan, const struct sa_file *skip)
{
	uint32_t best = sa_cheapest_window(plan);
	if (best == SA_NO_WINDOW)
		return -1;
	plan->windows[best].chosen = 0;
	plan->windows_emptied++;
	for (uint32_t i = 0; i < plan->nfiles; i++) {
		struct sa_file *f = &plan->files[i];
		if (f->window != best || (f->flags & SA_DONE) || f == skip)
			continue;
		if (sa_move_file(ctx, plan, f) == SA_LOST && sa_resync(ctx, plan))
			return -1;
	}
	return 0;
}

int sa_pay_for(defrag_context *ctx, struct sa_plan *plan, struct sa_delta need,
	       const struct sa_file *f)
{
	// a file named with --path is moved whatever it costs the free space
	if (f->flags & SA_NAMED)
		return 0;
	while (!sa_within_limits(plan, need)) {
		if (sa_short_of_large(plan, need) ? empty_window(ctx, plan, f)
						  : move_spare(ctx, plan, f))
			return -1;
		need = sa_predicted(plan, f);
	}
	return 0;
}

int sa_settle(defrag_context *ctx, struct sa_plan *plan)
{
	while ((double)plan->pic.large_blocks < sa_large_floor(plan))
		if (empty_window(ctx, plan, nullptr))
			return -1;
	while ((int64_t)plan->pic.count > sa_extents_ceiling(plan))
		if (move_spare(ctx, plan, nullptr))
			return -1;
	return 0;
}
