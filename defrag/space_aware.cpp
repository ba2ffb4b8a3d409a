// --space-aware: plans the moves with the free-space picture and keeps that
// picture exact as it moves.
//
// The picture is the kernel's own map of the free space, read once after a
// commit. Every move then updates it: a donor's map says which free blocks it
// took, the file's planned map which blocks it gives up. So before each move
// the run knows what freeing the file's pieces would do (pieces that touch
// free runs merge with them; pieces between blocks in use become new free
// extents), and right after the donor is allocated it knows exactly what the
// whole move does, and can still give the donor back.
//
// The fragmented files are moved in two phases:
//  1. those under the cluster size, into one piece each, while unnamed
//     "ballast" files hold the large free runs, so that the allocator has
//     only the holes to choose from;
//  2. every one not moved yet, without ballast, into fewer pieces.
// In each phase the files go in order of what a move gains (pieces, and free
// extents merged) per block it moves, ranked again every few dozen moves as
// the picture changes. A move that would leave more free extents than there
// were at the start, or a smaller share of the free space in large runs, is
// paid for first: with small contiguous files whose moving merges free runs,
// and with sparse windows emptied whole. What cannot be paid for is not done.
// A commit now and then lets the allocator use what the moves freed: blocks
// freed in a transaction are not handed out again before it commits, and
// donors that land beside them split what will be one free run.
//
// Every move goes through the same requests and checks as the default
// passes: the file is reopened by its handle and must be the same inode, its
// map is read again and must match the one planned with, the donor is
// unnamed from the start, and data moves only through the kernel's extent
// move. Donors are made in a directory of the file's own (flex) group: the
// allocator looks for a small file's blocks in its inode's flex group first
// (for larger files it goes on from where its last large allocation was).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include "space_plan.h"
#include "donors.h"
#include "extent_map.h"
#include "groups.h"
#include "moves.h"
#include "report.h"
#include "stats.h"
#include "syscalls.h"
#include "walk.h"

// Moves between two rankings of the files.
#define SA_ROUND 64
// When a commit is due: see commit_if_due.
#define SA_COMMIT_PART 16
#define SA_COMMIT_MIN 16
// A fragmented file whose pieces are this part of a cluster long on average
// or longer gains too little for the blocks it moves.
#define SA_LONG_PIECE_PART 2
// Never held by ballast: this part of the free space (1/8).
#define SA_RESERVE_PART 8

// ---- the picture from the kernel ----------------------------------------

struct picture_read {
	struct sa_plan *plan;
	int failed;
};

static void give_run(void *arg, uint64_t start, uint64_t len)
{
	struct picture_read *r = (struct picture_read *)arg;
	r->failed |= sa_pic_give(&r->plan->pic, start, len);
}

static int give_ballast(defrag_context *ctx, struct sa_plan *plan);

// Blocks freed since the last commit cannot be handed out again before the
// next one; donors land beside them meanwhile, splitting what will be one
// free run, and miss the holes they leave.
static void commit(defrag_context *ctx, struct sa_plan *plan)
{
	// a device that fails to write what was moved must not be given more
	if (syncfs(ctx->root_fd) && !plan->broken) {
		fprintf(stderr, "%s: writing back the moved files failed: %m\n", "space_aware");
		plan->broken = 1;
	}
	plan->commits++;
	plan->pending = 0;
	plan->moves_since_commit = plan->refused_since_commit = 0;
}

// Commits what the run changed and reads the free space as the kernel has it
// (everything it freed unseen included).
static int read_picture(defrag_context *ctx, struct sa_plan *plan)
{
	struct picture_read r = {plan, 0};

	commit(ctx, plan);
	if (plan->broken)
		return -1;
	plan->unlocated = 0;
	sa_pic_free(&plan->pic);
	plan->pic.large = ctx->cluster_blocks;
	if (kernel_free_runs(ctx->root_fd, ctx->blocksize_bits, give_run, &r) || r.failed)
		return -1;
	return give_ballast(ctx, plan);
}

// ---- the planning walk ----------------------------------------------------

// The file's physically separate pieces, ascending, into the plan's store.
static int store_pieces(struct sa_plan *plan, const struct fmap *map, struct sa_file *f)
{
	uint32_t first = plan->npieces;
	for (uint32_t i = 0; i < map->count; i++) {
		uint64_t s = map->ext[i].pblk, len = map->ext[i].len;
		if (s + len > SA_PIECE_START_MAX)
			return -1;
		while (len) {
			uint64_t n = len > SA_PIECE_LEN_MAX ? SA_PIECE_LEN_MAX : len;
			if (sa_grow(&plan->pieces, &plan->cap_pieces, (uint64_t)plan->npieces + 1))
				return -1;
			plan->pieces[plan->npieces++] = sa_piece_make(s, n);
			s += n;
			len -= n;
		}
	}
	sa_piece *p = plan->pieces + first;
	uint32_t n = plan->npieces - first, k = 0;
	qsort(p, n, sizeof(*p), [](const void *a, const void *b) {
		sa_piece x = *(const sa_piece *)a, y = *(const sa_piece *)b;
		return x < y ? -1 : x > y;
	});
	// pieces that touch are one piece
	for (uint32_t i = 0; i < n; i++) {
		uint64_t s = sa_piece_start(p[i]), len = sa_piece_len(p[i]);
		if (k && sa_piece_start(p[k - 1]) + sa_piece_len(p[k - 1]) == s &&
		    sa_piece_len(p[k - 1]) + len <= SA_PIECE_LEN_MAX)
			p[k - 1] = sa_piece_make(sa_piece_start(p[k - 1]), sa_piece_len(p[k - 1]) + len);
		else
			p[k++] = sa_piece_make(s, len);
	}
	plan->npieces = first + k;
	if (k > 0xffff)
		return -1;
	f->piece = first;
	f->pieces = (uint16_t)k;
	return 0;
}

// The first sparse window the file has blocks in. With `credit`, its blocks
// are added to every window they lie in, and its size, once per window, to
// what emptying that window moves.
static uint32_t file_windows(struct sa_plan *plan, const struct sa_file *f, uint32_t cluster,
			     int credit)
{
	uint32_t first = SA_NO_WINDOW, last = SA_NO_WINDOW;
	for (uint32_t i = 0; i < f->pieces && plan->nwindows; i++) {
		sa_piece pc = plan->pieces[f->piece + i];
		uint64_t s = sa_piece_start(pc), e = s + sa_piece_len(pc);
		while (s < e) {
			uint64_t wend = (s & ~((uint64_t)cluster - 1)) + cluster;
			uint64_t piece = (wend < e ? wend : e) - s;
			uint32_t w = sa_window_of(plan, s, cluster);
			if (w != SA_NO_WINDOW && !credit)
				return w;
			if (w != SA_NO_WINDOW) {
				plan->windows[w].file_blocks += (uint32_t)piece;
				if (w != last) // saturates: huge files never make a window cheap
					plan->windows[w].cost =
						plan->windows[w].cost > UINT32_MAX - f->blocks
							? UINT32_MAX
							: plan->windows[w].cost + f->blocks;
				last = w;
				if (first == SA_NO_WINDOW)
					first = w;
			}
			s += piece;
		}
	}
	return first;
}

// What the run may do with a file, from its map: SA_DEFRAG, SA_SPARE or 0.
static uint8_t file_kind(const struct sa_plan *plan, const struct sa_file *f, uint32_t cluster)
{
	if (f->frag >= 2)
		return f->blocks / f->frag < cluster / SA_LONG_PIECE_PART ? SA_DEFRAG : 0;
	if (f->blocks >= cluster)
		return 0;
	// a small contiguous file is worth moving when that merges free runs
	// (or empties a window)
	if (f->window != SA_NO_WINDOW)
		return SA_SPARE;
	struct sa_delta d = sa_free_delta(&plan->pic, plan->pieces + f->piece, f->pieces);
	return d.extents < 0 ? SA_SPARE : 0;
}

// Plans one regular file into the plan being made (ctx->walk_arg).
static int plan_file(defrag_context *ctx, int fd, const struct stat *st)
{
	struct sa_plan *plan = (struct sa_plan *)ctx->walk_arg;
	struct fmap *map = nullptr;
	struct fest fest;
	struct sa_file f;
	uint32_t hb = ctx->root_fhandle->handle_bytes;

	int ret = __get_inode_fiemap(ctx, fd, st->st_ino, ctx->blocksize_bits, &map, &fest);
	memset(&f, 0, sizeof(f));
	// a file with a hole cannot be moved whole
	if (ret || !map || !map->count || fest.hole || fmap_eof_blk(map) > 0xffffffffULL ||
	    st->st_ino > 0xffffffffULL || fest.frag > 0xffff) {
		free(map);
		return ret;
	}
	f.ino = (uint32_t)st->st_ino;
	f.blocks = (uint32_t)fmap_eof_blk(map);
	f.frag = (uint16_t)fest.frag;
	f.csum = fmap_csum(st, map);
	uint32_t saved = plan->npieces;
	ret = store_pieces(plan, map, &f);
	free(map);
	if (ret) {
		plan->npieces = saved;
		return 0;
	}
	f.window = file_windows(plan, &f, ctx->cluster_blocks, 0);
	f.flags = file_kind(plan, &f, ctx->cluster_blocks);
	if (!f.flags || sa_grow(&plan->files, &plan->cap_files, (uint64_t)plan->nfiles + 1) ||
	    sa_grow(&plan->handles, &plan->handles_cap, (uint64_t)plan->handles_used + hb)) {
		plan->npieces = saved;
		return 0;
	}
	struct file_handle *fh = (struct file_handle *)malloc(sizeof(*fh) + hb);
	int mount_id;
	if (fh)
		fh->handle_bytes = hb;
	// the handle of the very file mapped above: the name may have been
	// replaced (by a FIFO, say) since the walk opened it
	if (!fh || qf_sys.name_to_handle_at(fd, "", fh, &mount_id, AT_EMPTY_PATH) ||
	    fh->handle_bytes != hb) {
		free(fh);
		plan->npieces = saved;
		return 0;
	}
	f.handle = plan->handles_used;
	memcpy(plan->handles + plan->handles_used, fh->f_handle, hb);
	plan->handles_used += hb;
	free(fh);
	file_windows(plan, &f, ctx->cluster_blocks, 1);
	plan->files[plan->nfiles++] = f;
	return 0;
}

static int plan_entry(defrag_context *ctx, int fd, const struct stat *st, int dir_fd,
		      const char *name)
{
	// directories become the places donors are made in, per (flex) group
	if (S_ISDIR(st->st_mode)) {
		group_add_dircache(ctx, dir_fd, st->st_ino, name);
		return 0;
	}
	return S_ISREG(st->st_mode) ? plan_file(ctx, fd, st) : 0;
}

// ---- donors ----------------------------------------------------------------

// A directory of the group to make donors in, opened once; the mount point
// when the group has none.
static int group_dir(defrag_context *ctx, struct sa_plan *plan, uint32_t grp)
{
	struct group_info *gi = ctx->groups[grp];
	uint32_t hb = ctx->root_fhandle->handle_bytes;
	if (plan->dir_fds[grp] >= 0)
		return plan->dir_fds[grp];
	for (uint32_t i = 0; gi && i < gi->dircache_count; i++) {
		int fd = __do_open_f_handle(ctx->root_fd, ctx->root_fhandle,
					    gi->dircache_fid + (size_t)i * hb, O_RDONLY);
		if (fd >= 0)
			return plan->dir_fds[grp] = fd;
	}
	return ctx->root_fd;
}

// An unnamed file in dir_fd: no name ever exists where the kernel can make
// one so, else the name is removed at once.
static int unnamed_file(int dir_fd)
{
	int named = 0;
	int fd = create_donor_file(dir_fd, &named);
	if (fd >= 0 && named && unlinkat(dir_fd, DONOR_NAME, 0)) {
		fprintf(stderr, "Can not unlink donor file %m\n");
		close(fd);
		return -1;
	}
	return fd;
}

// Physically separate pieces of the map's first `blocks` blocks.
static uint32_t pieces_below(const struct fmap *map, uint64_t blocks)
{
	uint32_t n = 0;
	uint64_t prev_end = 0;
	for (uint32_t i = 0; i < map->count && map->ext[i].lblk < blocks; i++) {
		if (map->ext[i].pblk != prev_end)
			n++;
		prev_end = map->ext[i].pblk + map->ext[i].len;
	}
	return n;
}

// A donor of `request` blocks in one request, its map in d->fec; its
// fest.frag counts the pieces of the first `blocks`, which the move uses.
// 0 when ready.
static int make_donor(defrag_context *ctx, struct sa_plan *plan, uint32_t grp, struct donor *d,
		      uint64_t blocks, uint64_t request)
{
	struct stat st;

	donor_init(d);
	plan->donor_tries++;
	int dir = group_dir(ctx, plan, grp);
	d->fd = unnamed_file(dir);
	if (d->fd < 0 && errno == ENOENT && dir != ctx->root_fd) {
		// the group's directory was removed meanwhile: the mount point
		// serves, and the group may find another directory next time
		close(dir);
		plan->dir_fds[grp] = -1;
		d->fd = unnamed_file(ctx->root_fd);
	}
	if (d->fd < 0) {
		d->fd = -1;
		return -1;
	}
	if (fallocate(d->fd, 0, 0, (off_t)(request << ctx->blocksize_bits)) || fstat(d->fd, &st) ||
	    __get_inode_fiemap(ctx, d->fd, st.st_ino, ctx->blocksize_bits, &d->fec, &d->fest) ||
	    !d->fec || !d->fec->count || fmap_eof_blk(d->fec) != request) {
		close_donor(d);
		return -1;
	}
	d->fest.frag = pieces_below(d->fec, blocks);
	d->offset = 0;
	d->length = request;
	return 0;
}

// The donor's blocks leave the picture (or come back to it: `give`).
// -1 when the picture does not match what the kernel handed out.
static int account_donor(struct sa_plan *plan, const struct donor *d, int give)
{
	for (uint32_t i = 0; i < d->fec->count; i++) {
		const struct fmap_extent *e = &d->fec->ext[i];
		int ret = give ? sa_pic_give(&plan->pic, e->pblk, e->len)
			       : sa_pic_take(&plan->pic, e->pblk, e->len);
		if (ret) {
			while (!give && i--)
				sa_pic_give(&plan->pic, d->fec->ext[i].pblk, d->fec->ext[i].len);
			return -1;
		}
	}
	return 0;
}

// Blocks the kernel handed to the donor are free, whatever the picture says:
// those it shows in use were freed without the plan seeing it (the extent-tree
// blocks of files made contiguous); they become free in the picture first.
static int claim_donor(struct sa_plan *plan, const struct donor *d)
{
	for (uint32_t i = 0; i < d->fec->count; i++) {
		int64_t n = sa_pic_claim(&plan->pic, d->fec->ext[i].pblk, d->fec->ext[i].len);
		if (n < 0)
			return -1;
		plan->unlocated = plan->unlocated > n ? plan->unlocated - n : 0;
	}
	return 0;
}

// ---- ballast ---------------------------------------------------------------

// Holds the large free runs of the picture with unnamed preallocated files,
// largest first, but never the last part (1 / SA_RESERVE_PART) of the free
// space: the file system stays in use meanwhile. The ballast has no name, so
// a killed run gives its space back too.
static void ballast_hold(defrag_context *ctx, struct sa_plan *plan)
{
	const struct sa_picture *p = &plan->pic;
	uint64_t total = p->free_blocks, held = 0;
	uint64_t *sizes = (uint64_t *)malloc((p->count ? p->count : 1) * sizeof(uint64_t));
	uint32_t n = 0;

	plan->ballast = (int *)malloc((p->count ? p->count : 1) * sizeof(int));
	if (!sizes || !plan->ballast) {
		free(sizes);
		return;
	}
	for (uint32_t i = 0; i < p->count; i++)
		if (p->runs[i].len >= p->large)
			sizes[n++] = p->runs[i].len;
	qsort(sizes, n, sizeof(*sizes), [](const void *a, const void *c) {
		uint64_t x = *(const uint64_t *)a, y = *(const uint64_t *)c;
		return x > y ? -1 : x < y;
	});
	// one descriptor per ballast file: half of what the process may hold at
	// most, the rest is for the files, donors and directories
	struct rlimit rl;
	uint64_t most = !getrlimit(RLIMIT_NOFILE, &rl) && rl.rlim_cur != RLIM_INFINITY
				? rl.rlim_cur / 2
				: 512;
	if (ctx->dry_run) // nothing is moved, nothing to steer
		n = 0;
	for (uint32_t i = 0; i < n && i < most && held + sizes[i] + total / SA_RESERVE_PART <= total;
	     i++) {
		int fd = unnamed_file(ctx->root_fd);
		if (fd < 0)
			break;
		if (fallocate(fd, 0, 0, (off_t)(sizes[i] << ctx->blocksize_bits))) {
			close(fd);
			break;
		}
		plan->ballast[plan->nballast++] = fd;
		held += sizes[i];
	}
	free(sizes);
	if (verbose)
		printf("Space-aware: holding %llu blocks of large free runs in %u ballast files\n",
		       (unsigned long long)held, plan->nballast);
}

static void ballast_release(struct sa_plan *plan)
{
	for (uint32_t i = 0; i < plan->nballast; i++)
		close(plan->ballast[i]);
	plan->nballast = 0;
}

// The kernel counts the ballast's blocks as used; the plan, as what they
// will be again once it is released: free.
static int give_ballast(defrag_context *ctx, struct sa_plan *plan)
{
	for (uint32_t i = 0; i < plan->nballast; i++) {
		struct fmap *map = nullptr;
		struct stat st;
		int ret = fstat(plan->ballast[i], &st) ||
			  __get_inode_fiemap(ctx, plan->ballast[i], st.st_ino, ctx->blocksize_bits,
					     &map, nullptr);
		for (uint32_t k = 0; !ret && map && k < map->count; k++)
			ret = sa_pic_give(&plan->pic, map->ext[k].pblk, map->ext[k].len);
		free(map);
		if (ret)
			return -1;
	}
	return 0;
}

// ---- the limits ------------------------------------------------------------

// The fewest blocks large runs may hold: the share they had at the start, of
// the free space there is now, and one large run to spare for what the plan
// cannot see (extent-tree blocks the kernel allocates on its own).
static double large_floor(const struct sa_plan *plan)
{
	double free_now = (double)plan->pic.free_blocks + (double)plan->unlocated;
	return plan->free0 ? (double)plan->large0 * free_now / (double)plan->free0 +
				     (double)plan->pic.large
			   : 0;
}

// The most free extents there may be: fewer than at the start, even should
// every block freed where the plan cannot see it be a free extent of its own.
static int64_t extents_ceiling(const struct sa_plan *plan)
{
	return (int64_t)plan->max_extents - plan->unlocated;
}

// A change keeps to the limits when it adds no free extent or stays within
// the most there may be, and likewise for the blocks in large runs.
static int keeps_limits(const struct sa_plan *plan, int64_t extents_before, int64_t extents_after,
			int64_t large_before, int64_t large_after)
{
	return (extents_after <= extents_before || extents_after <= extents_ceiling(plan)) &&
	       (large_after >= large_before || (double)large_after >= large_floor(plan));
}

static int within_limits(const struct sa_plan *plan, struct sa_delta d)
{
	int64_t e = plan->pic.count, l = (int64_t)plan->pic.large_blocks;
	return keeps_limits(plan, e, e + d.extents, l, l + d.large_blocks);
}

// ---- moves ------------------------------------------------------------------

enum sa_result { SA_MOVED, SA_SKIPPED, SA_REFUSED, SA_LOST };

// What a move of the file is expected to do before its donor exists: its
// pieces freed, and a large file takes its size out of some large run.
static struct sa_delta predicted(const struct sa_plan *plan, const struct sa_file *f)
{
	struct sa_delta d = sa_free_delta(&plan->pic, plan->pieces + f->piece, f->pieces);
	if (f->blocks >= plan->pic.large)
		d.large_blocks -= f->blocks;
	return d;
}

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

// Whether the move is worth making now that the donor has landed (its
// blocks already out of the picture; `before` is the picture's figures
// without it): the free space must stay within the limits, a fragmented file
// must end in fewer pieces, a contiguous one in one piece, and its leaving
// must merge free runs or empty its window.
static int donor_fits(const struct sa_plan *plan, const struct sa_file *f, const struct donor *d,
		      struct sa_delta before, uint32_t cluster)
{
	struct sa_delta freed = sa_free_delta(&plan->pic, plan->pieces + f->piece, f->pieces);
	int64_t extents = (int64_t)plan->pic.count + freed.extents;
	int64_t change = extents - before.extents;
	if (!keeps_limits(plan, before.extents, extents, before.large_blocks,
			  (int64_t)plan->pic.large_blocks + freed.large_blocks))
		return 0;
	if (f->flags & SA_DEFRAG)
		return plan->one_piece ? d->fest.frag == 1 : d->fest.frag < f->frag;
	if (d->fest.frag != 1)
		return 0;
	if (f->window != SA_NO_WINDOW)
		return sa_window_of(plan, d->fec->ext[0].pblk, cluster) != f->window && change <= 0;
	return change < 0;
}

// Windows the donor's space lies in are filled again: no use emptying them.
static void unchoose_windows(struct sa_plan *plan, const struct donor *d, uint32_t cluster)
{
	for (uint32_t i = 0; i < d->fec->count; i++) {
		uint32_t w = sa_window_of(plan, d->fec->ext[i].pblk, cluster);
		if (w != SA_NO_WINDOW)
			plan->windows[w].chosen = 0;
	}
}

// Moves the file's data into the landed donor and gives its old pieces to the
// picture.
static sa_result move_into(defrag_context *ctx, struct sa_plan *plan, struct sa_file *f, int fd,
			   struct fmap *map, struct donor *d, const struct stat &st)
{
	uint64_t ino = f->ino;
	struct stat after;
	plan->donors_accepted++;
	unchoose_windows(plan, d, ctx->cluster_blocks);
	defrag_fadvise(fd, (uint64_t)f->blocks << ctx->blocksize_bits, 1);
	int ret = do_defrag_one(ctx->dry_run, fd, ino, map, f->blocks, d);
	if (verbose)
		printf("%s %s ino:%lu blocks:%u old_frag:%u new_frag:%u\n", "space_aware",
		       ret ? "FAIL" : "SUCCESS", (unsigned long)f->ino, f->blocks, f->frag,
		       d->fest.frag);
	if (ret)
		return SA_LOST; // partly moved, perhaps: the picture is read again
	if (ctx->dry_run)
		return account_donor(plan, d, 1) ? SA_LOST : SA_MOVED; // nothing moved
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

// One planned move: at most two donors, the second after the first was
// given back (its space is not handed out again before a commit, so the
// second lands elsewhere).
static sa_result move_file(defrag_context *ctx, struct sa_plan *plan, struct sa_file *f)
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
	for (int attempt = 0; attempt < 2 && res == SA_REFUSED; attempt++) {
		// A request whose size is a power of two is served from the
		// allocator's buddy lists, in one aligned piece wherever one is
		// free, while for other sizes it looks at a few free runs of a
		// group and, finding none long enough, hands out pieces: so the
		// second try asks for the power of two and uses the start of it.
		uint64_t request = f->blocks;
		while (attempt && (request & (request - 1)))
			request += request & -request;
		if (make_donor(ctx, plan, ino_group(ctx, f->ino), &d, f->blocks, request))
			continue;
		if (claim_donor(plan, &d)) {
			close_donor(&d);
			res = SA_LOST;
			break;
		}
		struct sa_delta before = {(int64_t)plan->pic.count,
					  (int64_t)plan->pic.large_blocks};
		if (account_donor(plan, &d, 0)) {
			res = SA_LOST;
		} else if (donor_fits(plan, f, &d, before, ctx->cluster_blocks)) {
			res = move_into(ctx, plan, f, fd, map, &d, st);
		} else {
			if (debug_flags & QF_DBG_MOVES)
				printf("%s REJECT inode:%u blocks:%u frag:%u donor_frag:%u\n",
				       "space_aware", f->ino, f->blocks, f->frag, d.fest.frag);
			account_donor(plan, &d, 1);
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

// Reads the picture again after it stopped matching the file system.
static int resync(defrag_context *ctx, struct sa_plan *plan)
{
	if (verbose)
		printf("Space-aware: the free space differs from the plan's; read again\n");
	if (read_picture(ctx, plan)) {
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
	struct sa_file *best = nullptr;
	float best_score = 0;
	for (uint32_t i = 0; i < plan->nfiles; i++) {
		struct sa_file *f = &plan->files[i];
		if (!(f->flags & SA_SPARE) || (f->flags & SA_DONE) || f == skip)
			continue;
		struct sa_delta d = sa_free_delta(&plan->pic, plan->pieces + f->piece, f->pieces);
		float score = (float)-d.extents / ((float)f->blocks + SA_MOVE_COST);
		if (d.extents < 0 && score > best_score) {
			best = f;
			best_score = score;
		}
	}
	if (!best)
		return -1;
	sa_result r = move_file(ctx, plan, best);
	plan->spare_moves += r == SA_MOVED;
	return r == SA_LOST && resync(ctx, plan) ? -1 : 0;
}

// Empties the chosen window that costs least to empty. -1 when there is none.
static int empty_window(defrag_context *ctx, struct sa_plan *plan, const struct sa_file *skip)
{
	uint32_t best = SA_NO_WINDOW;
	for (uint32_t w = 0; w < plan->nwindows; w++)
		if (plan->windows[w].chosen &&
		    (best == SA_NO_WINDOW || plan->windows[w].cost < plan->windows[best].cost))
			best = w;
	if (best == SA_NO_WINDOW)
		return -1;
	plan->windows[best].chosen = 0;
	plan->windows_emptied++;
	for (uint32_t i = 0; i < plan->nfiles; i++) {
		struct sa_file *f = &plan->files[i];
		if (f->window != best || (f->flags & SA_DONE) || f == skip)
			continue;
		if (move_file(ctx, plan, f) == SA_LOST && resync(ctx, plan))
			return -1;
	}
	return 0;
}

// Makes room within the limits for a move expected to change the picture by
// `need`: sparse windows emptied while the large runs would fall short,
// contiguous files moved while the free extents would be too many. -1 when
// that cannot be paid for.
static int pay_for(defrag_context *ctx, struct sa_plan *plan, struct sa_delta need,
		   const struct sa_file *f)
{
	while (!within_limits(plan, need)) {
		int short_large = need.large_blocks < 0 &&
				  (double)((int64_t)plan->pic.large_blocks + need.large_blocks) <
					  large_floor(plan);
		if (short_large ? empty_window(ctx, plan, f) : move_spare(ctx, plan, f))
			return -1;
		need = predicted(plan, f);
	}
	return 0;
}

// Brings the picture back within the limits where what the plan cannot see
// moved them (the margins grow as extent-tree blocks are freed). -1 when
// nothing is left to pay with.
static int settle(defrag_context *ctx, struct sa_plan *plan)
{
	while ((double)plan->pic.large_blocks < large_floor(plan))
		if (empty_window(ctx, plan, nullptr))
			return -1;
	while ((int64_t)plan->pic.count > extents_ceiling(plan))
		if (move_spare(ctx, plan, nullptr))
			return -1;
	return 0;
}

// ---- phases -----------------------------------------------------------------

// A commit is due once the moves since the last one have freed a part
// (1 / SA_COMMIT_PART) of the free space there was, or a donor was refused
// (the holes the allocator can see are running out) and SA_COMMIT_MIN moves
// were made since. Each commit writes back what was moved: few, but not too
// few.
static void commit_if_due(defrag_context *ctx, struct sa_plan *plan)
{
	if (plan->pending >= plan->free0 / SA_COMMIT_PART ||
	    (plan->refused_since_commit && plan->moves_since_commit >= SA_COMMIT_MIN))
		commit(ctx, plan);
}

// Reads the next file's data ahead, while the one before it moves.
static void read_ahead(defrag_context *ctx, struct sa_plan *plan, const uint32_t *next,
		       uint32_t n)
{
	for (uint32_t j = 0; j < n; j++) {
		const struct sa_file *f = &plan->files[next[j]];
		if (f->flags & SA_DONE)
			continue;
		int fd = __do_open_f_handle(ctx->root_fd, ctx->root_fhandle,
					    plan->handles + f->handle, O_RDONLY);
		if (fd >= 0) {
			posix_fadvise(fd, 0, (off_t)f->blocks << ctx->blocksize_bits,
				      POSIX_FADV_WILLNEED);
			close(fd);
		}
		return;
	}
}

// Moves the fragmented files of [min_blocks, max_blocks) blocks, best first,
// ranked again every SA_ROUND moves. Files whose donors a phase refused once
// are passed over with `skip`.
static int run_phase(defrag_context *ctx, struct sa_plan *plan, const char *what, uint8_t skip,
		     uint32_t min_blocks, uint32_t max_blocks)
{
	uint64_t moved = 0, refused = 0, held = 0;
	for (;;) {
		if (settle(ctx, plan) && plan->broken)
			return -1;
		uint32_t n = sa_rank(plan, SA_DEFRAG, skip, min_blocks, max_blocks), tried = 0;
		for (uint32_t k = 0; k < n && tried < SA_ROUND; k++) {
			struct sa_file *f = &plan->files[plan->order[k]];
			if (f->flags & SA_DONE)
				continue;
			if (pay_for(ctx, plan, predicted(plan, f), f)) {
				if (plan->broken)
					return -1;
				f->flags |= SA_HELD;
				continue;
			}
			tried++;
			commit_if_due(ctx, plan);
			read_ahead(ctx, plan, plan->order + k + 1, n - k - 1);
			sa_result r = move_file(ctx, plan, f);
			moved += r == SA_MOVED;
			refused += r == SA_REFUSED;
			if ((r == SA_LOST && resync(ctx, plan)) || plan->broken)
				return -1;
		}
		for (uint32_t i = 0; i < plan->nfiles; i++) {
			held += (plan->files[i].flags & SA_HELD) && !tried;
			plan->files[i].flags &= ~SA_HELD;
		}
		if (!tried)
			break;
	}
	if (verbose)
		printf("Space-aware: %s: %llu files moved, %llu refused, %llu left for lack of room\n",
		       what, (unsigned long long)moved, (unsigned long long)refused,
		       (unsigned long long)held);
	return 0;
}

static void print_picture(const struct sa_plan *plan, const char *when)
{
	printf("Space-aware: %s: %u free extents, %llu blocks in large free runs\n", when,
	       plan->pic.count, (unsigned long long)plan->pic.large_blocks);
}

// The plan: the picture, its sparse windows, and every file worth a move.
static int make_plan(defrag_context *ctx, struct sa_plan *plan)
{
	uint32_t cluster = ctx->cluster_blocks;
	uint32_t groups = group_slot_count(ctx);

	// windows and large runs are counted in clusters of several blocks
	if (cluster < 4) {
		fprintf(stderr, "%s: the cluster size (-c) must be at least 4 blocks\n",
			"space_aware");
		return -1;
	}
	if (read_picture(ctx, plan)) {
		fprintf(stderr, "%s: the kernel gives no free-space map: %m\n", "space_aware");
		return -1;
	}
	plan->max_extents = plan->pic.count ? plan->pic.count - 1 : 0;
	plan->large0 = plan->pic.large_blocks;
	plan->free0 = plan->pic.free_blocks;
	plan->dir_fds = (int *)malloc(groups * sizeof(int));
	if (!plan->dir_fds || sa_sparse_windows(plan, cluster, ext2fs_blocks_count(ctx->fs->super))) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "space_aware", errno);
		return -1;
	}
	for (uint32_t g = 0; g < groups; g++)
		plan->dir_fds[g] = -1;

	ctx->walk_arg = plan;
	group_add_dircache(ctx, ctx->root_fd, ctx->root_st.st_ino, ".");
	// a walk that ends early leaves fewer files planned: every move checks
	// its file again anyway
	walk_subtree(ctx, ctx->root_fd, plan_entry);
	ctx->walk_arg = nullptr;
	// a window is worth emptying when every block in use there is a planned
	// file's and those files add up to at most one window
	for (uint32_t w = 0; w < plan->nwindows; w++) {
		struct sa_window *win = &plan->windows[w];
		win->chosen = win->file_blocks >= win->used && win->cost <= cluster;
	}
	plan->order = (uint32_t *)malloc((plan->nfiles ? plan->nfiles : 1) * sizeof(uint32_t));
	if (!plan->order) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "space_aware", errno);
		return -1;
	}
	return 0;
}

int space_aware_passes(defrag_context *ctx)
{
	struct sa_plan plan;
	uint32_t cluster = ctx->cluster_blocks;

	memset(&plan, 0, sizeof(plan));
	// without its picture the mode could not tell what a move does
	if (make_plan(ctx, &plan)) {
		sa_plan_free(&plan);
		return -1;
	}
	if (verbose) {
		uint32_t chosen = 0;
		for (uint32_t w = 0; w < plan.nwindows; w++)
			chosen += plan.windows[w].chosen;
		printf("Space-aware: %u files planned, %u sparse windows, %u worth emptying\n",
		       plan.nfiles, plan.nwindows, chosen);
		print_picture(&plan, "before");
	}
	uint64_t extents0 = plan.pic.count;

	// small files first, into holes only, each in one piece; then every
	// fragmented file not moved yet, without ballast, into fewer pieces
	ballast_hold(ctx, &plan);
	plan.one_piece = 1;
	int ret = run_phase(ctx, &plan, "small fragmented files", SA_TRIED, 0, cluster);
	ballast_release(&plan);
	// what the ballast held is free again only after a commit
	commit(ctx, &plan);
	plan.one_piece = 0;
	if (!ret)
		ret = run_phase(ctx, &plan, "the other fragmented files", 0, 0, 0xffffffffu);
	if (!ret)
		settle(ctx, &plan);
	ret = ret || plan.broken ? -1 : 0;

	for (uint32_t g = 0; g < group_slot_count(ctx); g++)
		if (plan.dir_fds[g] >= 0)
			close(plan.dir_fds[g]);
	if (verbose) {
		printf("Space-aware: %llu blocks moved; free extents %llu -> %u, blocks in large "
		       "free runs %llu -> %llu\n",
		       (unsigned long long)plan.moved_blocks, (unsigned long long)extents0,
		       plan.pic.count, (unsigned long long)plan.large0,
		       (unsigned long long)plan.pic.large_blocks);
		printf("Space-aware: %llu small files moved and %llu sparse windows emptied to pay "
		       "for the rest\n",
		       (unsigned long long)plan.spare_moves, (unsigned long long)plan.windows_emptied);
		printf("Space-aware: %llu donor tries for %llu donors, %llu commits\n",
		       (unsigned long long)plan.donor_tries, (unsigned long long)plan.donors_accepted,
		       (unsigned long long)plan.commits);
	}
	sa_plan_free(&plan);
	return ret;
}
