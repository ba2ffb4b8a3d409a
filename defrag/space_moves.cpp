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
#include <vector>
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

void sa_prepare_read(int fd, uint64_t len)
{
	// blocks allocated but never written read as zeros the move never
	// needs: reading them ahead would only fill the page cache
	if (lseek(fd, 0, SEEK_DATA) < 0 && errno == ENXIO)
		sync_file_range(fd, 0, (off64_t)len,
				SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
					SYNC_FILE_RANGE_WAIT_AFTER);
	else
		defrag_fadvise(fd, len, 1);
}

// The old pieces of a moved file are free for the picture; the file system
// frees them when the donor that now holds them is closed. The same data in
// fewer extents may need fewer extent-tree blocks (`st` is the file as it was
// before the move): the kernel frees them at once, where the plan placed
// them or where it cannot see.
static int give_pieces(defrag_context *ctx, struct sa_plan *plan, const struct sa_file *f,
		       int fd, const struct stat &st)
{
	struct stat after;
	int64_t freed = 0;
	if (!fstat(fd, &after) && after.st_blocks < st.st_blocks)
		freed = ((int64_t)st.st_blocks - (int64_t)after.st_blocks) * 512 >>
			ctx->blocksize_bits;
	uint32_t n = f->pieces;
	if ((f->flags & SA_TREE) && freed >= f->meta) {
		n += f->meta;
		freed -= f->meta;
	}
	plan->unlocated += freed;
	for (uint32_t i = 0; i < n; i++) {
		sa_piece p = plan->pieces[f->piece + i];
		if (sa_pic_give(&plan->pic, sa_piece_start(p), sa_piece_len(p)))
			return -1;
	}
	return 0;
}

// Moves the file's data into the landed donor and gives its old pieces to the
// picture.
static sa_result move_into(defrag_context *ctx, struct sa_plan *plan, struct sa_file *f, int fd,
			   struct fmap *map, struct donor *d, const struct stat &st)
{
	uint64_t ino = f->ino;
	plan->donors_accepted++;
	sa_unchoose_windows(plan, d, ctx->cluster_blocks);
	sa_prepare_read(fd, (uint64_t)f->blocks << ctx->blocksize_bits);
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
	plan->pending += d->length + d->offset; // the donor and the pieces it took over
	if (give_pieces(ctx, plan, f, fd, st))
		return SA_LOST;
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
		f->flags |= SA_DONE | SA_FINAL;
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
		if (sa_make_donor(ctx, plan, ino_group(ctx, f->ino), &d, f->blocks, request, 0))
			continue;
		if (sa_claim_donor(plan, &d)) {
			close_donor(&d);
			res = SA_LOST;
			break;
		}
		struct sa_delta before = {(int64_t)plan->pic.count,
					  (int64_t)plan->pic.large_blocks, 0};
		if (sa_account_donor(plan, &d, 0)) {
			res = SA_LOST;
		} else if (sa_donor_fits(plan, f, &d, before, ctx->cluster_blocks)) {
			res = move_into(ctx, plan, f, fd, map, &d, st);
		} else {
			if (debug_flags & QF_DBG_MOVES)
				printf("%s REJECT inode:%u blocks:%u frag:%u donor_frag:%u at %llu\n",
				       "space_aware", f->ino, f->blocks, f->frag, d.fest.frag, (unsigned long long)d.fec->ext[0].pblk);
			sa_account_donor(plan, &d, 1);
			plan->pending += d.length;
		}
		close_donor(&d);
	}
	if (res != SA_REFUSED)
		f->flags |= SA_DONE | SA_FINAL;
	plan->moves_since_commit++;
	plan->refused_since_commit += res == SA_REFUSED;
	free(map);
	close(fd);
	return res;
}


// Gives the picture back the donor's blocks no file took: those of
// logical blocks [from, to) and from `tail` on.
static int give_unused(struct sa_plan *plan, const struct donor *d, uint64_t from, uint64_t to)
{
	for (uint32_t i = 0; i < d->fec->count; i++) {
		const struct fmap_extent *e = &d->fec->ext[i];
		uint64_t s = e->lblk > from ? e->lblk : from;
		uint64_t t = e->lblk + e->len < to ? e->lblk + e->len : to;
		if (s < t && sa_pic_give(&plan->pic, e->pblk + (s - e->lblk), t - s))
			return -1;
	}
	return 0;
}

// Moves one planned file into the shared donor at d->offset.
static sa_result move_at(defrag_context *ctx, struct sa_plan *plan, struct sa_file *f,
			 struct donor *d)
{
	struct fmap *map = nullptr;
	struct stat st;
	f->flags |= SA_DONE | SA_FINAL;
	int fd = reopen_planned(ctx, plan, f, &map, st);
	if (fd < 0)
		return errno == EMFILE || errno == ENFILE || errno == ENOMEM ? SA_REFUSED
									      : SA_SKIPPED;
	sa_prepare_read(fd, (uint64_t)f->blocks << ctx->blocksize_bits);
	int ret = do_defrag_one(ctx->dry_run, fd, f->ino, map, f->blocks, d);
	if (verbose)
		printf("%s %s ino:%lu blocks:%u old_frag:%u new_frag:1 unit\n", "space_aware",
		       ret ? "FAIL" : "SUCCESS", (unsigned long)f->ino, f->blocks, f->frag);
	sa_result res = ret ? SA_LOST : SA_MOVED;
	if (!ret && !ctx->dry_run) {
		sync_file_range(fd, 0, (off64_t)f->blocks << ctx->blocksize_bits,
				SYNC_FILE_RANGE_WRITE);
		iaf_inodes++;
		iaf_blocks += f->blocks;
		plan->moved_blocks += f->blocks;
		plan->pending += f->blocks;
		if (give_pieces(ctx, plan, f, fd, st))
			res = SA_LOST;
	}
	free(map);
	close(fd);
	return res;
}

// Blocks before a unit's donor that it may grow backwards over.
#define SA_DONOR_ROOM (1ULL << 24)

// Places the files of order[i, end) not done (`blocks` in all) on the donor
// one after another, each where its part is one piece: a file that does not
// fit in what is left of a piece starts at the next. Their offsets into
// `at`; the index past the last file placed.
static uint32_t lay_out(const struct sa_plan *plan, const struct donor *d, uint32_t i,
			uint32_t end, uint64_t *at, uint64_t blocks)
{
	// the files end where the donor ends: what they leave unused is at its
	// start, beside the free run it may have begun in
	const struct fmap_extent *tail = &d->fec->ext[d->fec->count - 1];
	uint64_t pos = tail->lblk + tail->len > blocks ? tail->lblk + tail->len - blocks : 0;
	uint64_t page = plan->page_blocks ? plan->page_blocks : 1;
	pos -= pos % page;
	uint32_t k = i;
	for (; k < end; k++) {
		const struct sa_file *f = &plan->files[plan->order[k]];
		if (f->flags & SA_FINAL)
			continue;
		// the donor's extent holding pos, and where its piece ends
		uint32_t e = 0;
		while (e < d->fec->count && d->fec->ext[e].lblk + d->fec->ext[e].len <= pos)
			e++;
		for (;;) {
			if (e >= d->fec->count)
				return k;
			uint64_t piece_end = d->fec->ext[e].lblk + d->fec->ext[e].len;
			uint32_t x = e;
			while (x + 1 < d->fec->count &&
			       d->fec->ext[x + 1].pblk == d->fec->ext[x].pblk + d->fec->ext[x].len &&
			       d->fec->ext[x + 1].lblk == piece_end) {
				x++;
				piece_end += d->fec->ext[x].len;
			}
			if (pos < d->fec->ext[e].lblk)
				pos = d->fec->ext[e].lblk;
			// each file starts on a page boundary, as its own start does
			pos = (pos + page - 1) / page * page;
			if (pos + f->blocks <= piece_end)
				break;
			e = x + 1;
		}
		at[k - i] = pos;
		pos += f->blocks;
	}
	return k;
}

// Gives the picture the donor's blocks that no file of order[i, end) was
// placed on (their offsets in `at`).
static int give_unplaced(struct sa_plan *plan, const struct donor *d, uint32_t i, uint32_t end,
			 const uint64_t *at)
{
	uint64_t from = 0;
	for (uint32_t k = i; k < end; k++) {
		const struct sa_file *f = &plan->files[plan->order[k]];
		if (f->flags & SA_FINAL)
			continue;
		if (give_unused(plan, d, from, at[k - i]))
			return -1;
		from = at[k - i] + f->blocks;
	}
	return give_unused(plan, d, from, ~0ULL);
}

// A donor of a unit and the files placed on it: order[first, last), each at
// its offset in `at` (indexed from first).
struct unit_donor {
	struct donor d;
	uint32_t first, last;
	uint64_t *at;
};

// Gives back what the unit's donors hold for files not moved, and closes them.
static int drop_donors(struct sa_plan *plan, struct unit_donor *ud, uint32_t n)
{
	int ret = 0;
	for (uint32_t u = 0; u < n; u++) {
		for (uint32_t k = ud[u].first; k < ud[u].last; k++) {
			const struct sa_file *f = &plan->files[plan->order[k]];
			if (!(f->flags & SA_FINAL) &&
			    give_unused(plan, &ud[u].d, ud[u].at[k - ud[u].first],
					ud[u].at[k - ud[u].first] + f->blocks))
				ret = -1;
		}
		plan->pending += ud[u].d.length;
		close_donor(&ud[u].d);
		free(ud[u].at);
	}
	return ret;
}

// A donor of at most `blocks` blocks for the files from order[i] on, taken
// out of the picture, with as many of them placed on it as it holds each in
// one piece. The first try asks for a size that is no power of two: the
// allocator serves a power of two from an aligned free chunk, in the middle
// of a run, and other sizes from where it last allocated. The second asks
// for the power of two, which an aligned chunk holds in one piece where
// there is one.
static sa_result unit_donor_for(defrag_context *ctx, struct sa_plan *plan, uint32_t grp,
				uint32_t i, uint32_t end, uint64_t blocks, struct unit_donor *ud)
{
	ud->at = (uint64_t *)malloc((size_t)(end - i) * sizeof(uint64_t));
	ud->first = ud->last = i;
	if (!ud->at)
		return SA_REFUSED;
	for (int attempt = 0; attempt < 2; attempt++) {
		uint64_t request = blocks & (blocks - 1) ? blocks : blocks + 1;
		if (attempt)
			for (request = 1; request < blocks; request <<= 1)
				;
		// from a block far enough on that the donor may grow backwards
		if (sa_make_donor(ctx, plan, grp, &ud->d, blocks, request, SA_DONOR_ROOM))
			continue;
		if (sa_claim_donor(plan, &ud->d) || sa_account_donor(plan, &ud->d, 0) ||
		    sa_fill_before(ctx, plan, &ud->d) || sa_fill_after(ctx, plan, &ud->d)) {
			close_donor(&ud->d);
			break;
		}
		ud->last = lay_out(plan, &ud->d, i, end, ud->at, blocks);
		if (give_unplaced(plan, &ud->d, i, ud->last, ud->at)) {
			close_donor(&ud->d);
			break;
		}
		if (ud->last > i)
			return SA_MOVED;
		sa_account_donor(plan, &ud->d, 1);
		plan->pending += ud->d.length;
		close_donor(&ud->d);
	}
	free(ud->at);
	return ud->last > i ? SA_LOST : SA_REFUSED;
}

// The moves of the files placed on a unit's donor.
// Blocks of a unit's donor moved into before they are freed.
#define SA_PUNCH_BLOCKS 8192

static sa_result move_placed(defrag_context *ctx, struct sa_plan *plan, struct unit_donor *ud,
			     uint64_t *moved)
{
	struct donor *d = &ud->d;
	const struct fmap_extent *tail = &d->fec->ext[d->fec->count - 1];
	sa_result res = SA_MOVED;
	uint64_t punched = 0;
	for (uint32_t k = ud->first; k < ud->last && res != SA_LOST; k++) {
		struct sa_file *f = &plan->files[plan->order[k]];
		uint64_t at = ud->at[k - ud->first];
		// what the donor holds below `at` is the old pieces of the files
		// moved and parts no file took: freed now rather than at the end,
		// it leaves the donor's extent tree, which every move walks (each
		// move splits the donor's extents)
		if (at - punched >= SA_PUNCH_BLOCKS && !ctx->dry_run) {
			fallocate(d->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
				  (off_t)(punched << ctx->blocksize_bits),
				  (off_t)((at - punched) << ctx->blocksize_bits));
			punched = at;
		}
		if (f->flags & SA_FINAL)
			continue;
		d->offset = at;
		d->length = tail->lblk + tail->len - at;
		sa_result r = move_at(ctx, plan, f, d);
		*moved += r == SA_MOVED;
		if (r == SA_LOST)
			res = SA_LOST;
		else if ((r != SA_MOVED || ctx->dry_run) &&
			 give_unused(plan, d, at, at + f->blocks))
			// its part of the donor is not used: back to the picture
			res = SA_LOST;
	}
	return res;
}

// Most donors one unit may hold at once: each holds a descriptor until the
// unit is done.
#define SA_UNIT_DONORS 64

sa_result sa_move_unit(defrag_context *ctx, struct sa_plan *plan, uint32_t i, uint32_t placed,
		       uint32_t end, uint64_t chunk, struct sa_delta before, int ahead, int started,
		       uint64_t *moved)
{
	std::vector<struct unit_donor> donors(SA_UNIT_DONORS);
	struct unit_donor *ud = donors.data();
	uint32_t n = 0, k = i;
	sa_result res = SA_MOVED;
	// every donor first: the unit moves only when all of them have landed
	// and the free space keeps to the limits with them
	while (k < placed && res == SA_MOVED) {
		// one donor for the whole step where it can be had: the allocator
		// lays its pieces one after another, where separate donors would
		// each leave a gap before them
		uint64_t blocks = 0, most = chunk;
		for (uint32_t j = k; j < placed; j++) {
			const struct sa_file *f = &plan->files[plan->order[j]];
			if (f->flags & SA_FINAL)
				continue;
			if (blocks && blocks + sa_padded(plan, f->blocks) > most)
				break;
			blocks += sa_padded(plan, f->blocks);
		}
		if (!blocks)
			break;
		if (n == SA_UNIT_DONORS) {
			res = SA_REFUSED;
			break;
		}
		// the donors of a unit are made in one group, one after another
		// where the allocator goes on from the last
		res = unit_donor_for(ctx, plan, ino_group(ctx, plan->files[plan->order[i]].ino), k,
				     placed, blocks, &ud[n]);
		if (res == SA_MOVED)
			k = ud[n++].last;
	}
	int64_t slack = started ? INT64_MAX / 2 : ahead && placed < end ? (int64_t)n : 0;
	if (res == SA_MOVED && !sa_rest_keeps_limits_from(plan, i, placed, end, before, slack))
		res = SA_REFUSED;
	if (res != SA_MOVED) {
		if (debug_flags & QF_DBG_MOVES)
			printf("%s REJECT unit of %u files with %u donors res %d count %u large %llu before %lld/%lld ceil %lld floor %.0f\n", "space_aware",
			       placed - i, n, res, plan->pic.count, (unsigned long long)plan->pic.large_blocks, (long long)before.extents, (long long)before.large_blocks, (long long)sa_extents_ceiling(plan), sa_large_floor(plan));
		return drop_donors(plan, ud, n) ? SA_LOST : res;
	}
	plan->donors_accepted += n;
	for (uint32_t u = 0; u < n; u++) {
		sa_unchoose_windows(plan, &ud[u].d, ctx->cluster_blocks);
		if (res == SA_MOVED)
			res = move_placed(ctx, plan, &ud[u], moved);
	}
	if (res != SA_LOST && drop_donors(plan, ud, n))
		res = SA_LOST;
	else if (res == SA_LOST)
		for (uint32_t u = 0; u < n; u++) {
			close_donor(&ud[u].d);
			free(ud[u].at);
		}
	return res;
}

int sa_resync(defrag_context *ctx, struct sa_plan *plan)
{
	if (verbose)
		printf("Space-aware: the free space differs from the plan's; read again\n");
	return sa_reread(ctx, plan);
}

int sa_reread(defrag_context *ctx, struct sa_plan *plan)
{
	plan->rereads++;
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
	struct sa_file *best;
	if (plan->spare_version == plan->pic.version + 1 &&
	    (plan->spare_best == plan->nfiles ||
	     (!(plan->files[plan->spare_best].flags & SA_DONE) &&
	      &plan->files[plan->spare_best] != skip))) {
		best = plan->spare_best == plan->nfiles ? nullptr : &plan->files[plan->spare_best];
	} else {
		best = sa_best_spare(plan, skip);
		plan->spare_version = plan->pic.version + 1;
		plan->spare_best = best ? (uint32_t)(best - plan->files) : plan->nfiles;
	}
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
		// blocks the kernel freed unseen are counted as if each were a
		// free extent of its own: the kernel's picture tells how many are
		if (plan->unlocated >= SA_UNLOCATED_LOOK) {
			if (sa_reread(ctx, plan))
				return -1;
		} else if (sa_short_of_large(plan, need) ? empty_window(ctx, plan, f)
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
