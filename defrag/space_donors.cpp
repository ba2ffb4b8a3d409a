// Donors and ballast of the space-aware mode. Donors are made in a directory
// of the file's own (flex) group: the allocator looks for a small file's
// blocks in its inode's flex group first (for larger files it goes on from
// where its last large allocation was).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include "space_donors.h"
#include "groups.h"

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

// Allocates the donor's blocks [from, from + len) and reads its whole map
// anew into *map (and *fest). -1 when either fails; *map is then freed.
static int allocate_and_map(defrag_context *ctx, struct donor *d, uint64_t from, uint64_t len,
			    struct fmap **map, struct fest *fest)
{
	struct stat st;
	if (fallocate(d->fd, 0, (off_t)(from << ctx->blocksize_bits),
		      (off_t)(len << ctx->blocksize_bits)) ||
	    fstat(d->fd, &st) ||
	    __get_inode_fiemap(ctx, d->fd, st.st_ino, ctx->blocksize_bits, map, fest) || !*map ||
	    !(*map)->count) {
		free(*map);
		*map = nullptr;
		return -1;
	}
	return 0;
}

// A growth that landed elsewhere, punched out again: the donor as it was.
static int punch_out(defrag_context *ctx, struct donor *d, uint64_t from, uint64_t len)
{
	return fallocate(d->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
			 (off_t)(from << ctx->blocksize_bits), (off_t)(len << ctx->blocksize_bits))
		       ? -1
		       : 0;
}

// The donor grown by the `len` free blocks from `start` on: taken out of the
// picture, the new map kept.
static int adopt_growth(struct sa_plan *plan, struct donor *d, struct fmap *map, uint64_t start,
			uint64_t len, const char *how)
{
	if (sa_pic_take(&plan->pic, start, len)) {
		free(map);
		return -1;
	}
	free(d->fec);
	d->fec = map;
	d->length += len;
	if (debug_flags & QF_DBG_MOVES)
		printf("%s donor grown %s over %llu blocks\n", "space_aware", how,
		       (unsigned long long)len);
	return 0;
}

int sa_make_donor(defrag_context *ctx, struct sa_plan *plan, uint32_t grp, struct donor *d,
		  uint64_t blocks, uint64_t request, uint64_t at)
{

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
	if (allocate_and_map(ctx, d, at, request, &d->fec, &d->fest) ||
	    fmap_eof_blk(d->fec) != at + request) {
		close_donor(d);
		return -1;
	}
	d->fest.frag = sa_pieces_below(d->fec, at + blocks);
	d->offset = at;
	d->length = request;
	return 0;
}

int sa_fill_before(defrag_context *ctx, struct sa_plan *plan, struct donor *d)
{
	struct fmap *map = nullptr;
	uint64_t lblk = d->fec->ext[0].lblk, pblk = d->fec->ext[0].pblk;
	int64_t r = sa_pic_run_ending_at(&plan->pic, pblk);
	if (r < 0 || plan->pic.runs[r].len > lblk)
		return 0;
	uint64_t gap = plan->pic.runs[r].len, from = lblk - gap;
	// before the first extent the allocator aims at the blocks that would
	// continue it backwards: the gap, when it is free
	if (allocate_and_map(ctx, d, from, gap, &map, nullptr))
		return -1;
	if (map->ext[0].lblk != from || map->ext[0].pblk != pblk - gap ||
	    map->ext[0].len < gap) {
		free(map);
		return punch_out(ctx, d, from, gap);
	}
	if (adopt_growth(plan, d, map, pblk - gap, gap, "back"))
		return -1;
	d->offset = from;
	return 0;
}

int sa_account_donor(struct sa_plan *plan, const struct donor *d, int give)
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

int sa_claim_donor(struct sa_plan *plan, const struct donor *d)
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

void sa_ballast_hold(defrag_context *ctx, struct sa_plan *plan)
{
	const struct sa_picture *p = &plan->pic;
	uint64_t total = p->free_blocks, held = 0;
	uint64_t *sizes = (uint64_t *)malloc((p->count ? p->count : 1) * sizeof(uint64_t));
	uint32_t n = 0;

	// a batch after the first holds ballast again
	free(plan->ballast);
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

void sa_ballast_release(struct sa_plan *plan)
{
	for (uint32_t i = 0; i < plan->nballast; i++)
		close(plan->ballast[i]);
	plan->nballast = 0;
}

int sa_give_ballast(defrag_context *ctx, struct sa_plan *plan)
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

int sa_fill_after(defrag_context *ctx, struct sa_plan *plan, struct donor *d)
{
	struct fmap *map = nullptr;
	const struct fmap_extent *last = &d->fec->ext[d->fec->count - 1];
	uint64_t end = last->pblk + last->len, eof = last->lblk + last->len;
	int64_t r = sa_pic_run_starting_at(&plan->pic, end);
	if (r < 0 || plan->pic.runs[r].len > d->length)
		return 0;
	uint64_t rest = plan->pic.runs[r].len;
	// past the last extent the allocator aims at the blocks that continue it
	if (allocate_and_map(ctx, d, eof, rest, &map, nullptr))
		return -1;
	const struct fmap_extent *grown = &map->ext[map->count - 1];
	if (grown->lblk + grown->len != eof + rest || grown->pblk + grown->len != end + rest ||
	    grown->lblk > eof || grown->pblk + (eof - grown->lblk) != end) {
		free(map);
		return punch_out(ctx, d, eof, rest);
	}
	return adopt_growth(plan, d, map, end, rest, "on");
}
