// Moving a file in ranges, each into a donor of its own.
//
// The kernel's extent move takes a range of the file (orig_start, len) and
// the donor block to start at; the donor needs blocks only where the range
// is. So each range's donor is an unnamed file whose only blocks are
// allocated at the range's own offset, sized to the largest free run the
// kernel reports: the free space needs to hold one range at a time, not the
// whole file. A range always consists of whole pieces of the file and stays
// between holes (the move does not carry data across a hole of the file).
// After each range the donor, now holding the file's old blocks, is closed;
// those blocks become free for the next ranges once the journal commits, so
// when the largest free run is shorter than what is left the mount is
// synced first.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include "ranges.h"
#include "donors.h"
#include "moves.h"
#include "report.h"
#include "run_limits.h"
#include "stats.h"

uint32_t range_pieces(const struct fmap *map, uint64_t start, uint64_t len)
{
	uint32_t n = 0;
	uint64_t end = start + len, prev_pend = 0;
	for (uint32_t i = 0; i < map->count; i++) {
		const struct fmap_extent *e = &map->ext[i];
		uint64_t s = e->lblk, t = (uint64_t)e->lblk + e->len;
		if (t <= start || s >= end)
			continue;
		uint64_t from = s < start ? start : s;
		uint64_t pblk = e->pblk + (from - s);
		if (!n || pblk != prev_pend)
			n++;
		prev_pend = pblk + ((t < end ? t : end) - from);
	}
	return n;
}

int range_next(const struct fmap *map, uint64_t from, uint64_t room, struct range_pick *r)
{
	uint32_t i = 0;
	// the first entry that ends past `from`
	while (i < map->count && (uint64_t)map->ext[i].lblk + map->ext[i].len <= from)
		i++;
	while (i < map->count) {
		const struct fmap_extent *e = map->ext;
		uint64_t pos = from > e[i].lblk ? from : e[i].lblk;
		uint64_t end = (uint64_t)e[i].lblk + e[i].len;
		if (end - pos > room) {
			i++;
			continue;
		}
		// whole pieces after it, as long as they follow without a hole
		// (within a stretch without holes every entry is a piece of its
		// own: the map joins those that continue each other)
		uint32_t k = i;
		while (k + 1 < map->count && e[k + 1].lblk == (uint64_t)e[k].lblk + e[k].len &&
		       (uint64_t)e[k + 1].lblk + e[k + 1].len - pos <= room)
			k++;
		if (k == i) {
			i++;
			continue;
		}
		r->start = pos;
		r->len = (uint64_t)e[k].lblk + e[k].len - pos;
		r->pieces = k - i + 1;
		return 0;
	}
	return -1;
}

int range_donor_ok(uint32_t range_pieces, uint32_t donor_pieces, int named)
{
	if (!donor_pieces)
		return 0;
	return named ? donor_pieces < range_pieces : donor_pieces <= range_pieces / 2;
}

struct largest_run {
	uint64_t open_start, open_len;
	struct free_runs_summary *sum;
	uint64_t first_block;
	uint32_t max_order;
};

// The largest chunk of 2^k blocks, aligned as the allocator's buddy lists
// are (from the first data block), inside [start, start + len).
static uint64_t largest_aligned(uint64_t start, uint64_t len, uint64_t first, uint32_t max_order)
{
	for (int k = (int)max_order; k >= 0; k--) {
		uint64_t size = 1ULL << k;
		if (start < first || size > len)
			continue;
		uint64_t at = first + (start - first + size - 1) / size * size;
		if (at + size <= start + len)
			return size;
	}
	return 0;
}

static void close_run(struct largest_run *l)
{
	if (!l->open_len)
		return;
	if (l->open_len > l->sum->largest)
		l->sum->largest = l->open_len;
	uint64_t a = largest_aligned(l->open_start, l->open_len, l->first_block, l->max_order);
	if (a > l->sum->largest_aligned)
		l->sum->largest_aligned = a;
}

static void note_run(void *arg, uint64_t start, uint64_t len)
{
	struct largest_run *l = (struct largest_run *)arg;
	l->sum->free_blocks += len;
	if (l->open_len && start == l->open_start + l->open_len) {
		l->open_len += len;
		return;
	}
	close_run(l);
	l->open_start = start;
	l->open_len = len;
}

int free_runs_summary(defrag_context *ctx, struct free_runs_summary *sum)
{
	struct largest_run l = {0, 0, sum, ctx->fs->super->s_first_data_block,
				// the buddy lists go up to 2^(block size bits + 1) blocks, and
				// none crosses a group
				ctx->blocksize_bits + 1};
	while (l.max_order && (1ULL << l.max_order) > ctx->fs->super->s_blocks_per_group)
		l.max_order--;
	sum->largest = sum->largest_aligned = sum->free_blocks = 0;
	if (kernel_free_runs(ctx->root_fd, ctx->blocksize_bits, note_run, &l))
		return -1;
	close_run(&l);
	return 0;
}

int largest_free_run(defrag_context *ctx, uint64_t *largest, uint64_t *free_blocks)
{
	struct free_runs_summary sum;
	if (free_runs_summary(ctx, &sum))
		return -1;
	*largest = sum.largest;
	if (free_blocks)
		*free_blocks = sum.free_blocks;
	return 0;
}

// A donor for the range: an unnamed file in dir_fd with `request` blocks
// (at least the range's) allocated from the range's first block. Its
// descriptor and the pieces the range would have in it, or -1.
static int range_donor(defrag_context *ctx, int dir_fd, const struct range_pick *r,
		       uint64_t request, uint32_t *pieces)
{
	uint32_t bits = ctx->blocksize_bits;
	struct fmap *map = nullptr;
	struct stat st;
	*pieces = 0;
	int dfd = create_unnamed_donor(dir_fd);
	if (dfd < 0)
		return -1;
	if (fallocate(dfd, 0, (off_t)(r->start << bits), (off_t)(request << bits)) ||
	    fstat(dfd, &st) || __get_inode_fiemap(ctx, dfd, st.st_ino, bits, &map, nullptr) ||
	    !map || !map->count || map->ext[0].lblk != r->start ||
	    fmap_eof_blk(map) != r->start + request) {
		free(map);
		close_range_donor(dfd);
		return -1;
	}
	*pieces = range_pieces(map, r->start, r->len);
	free(map);
	return dfd;
}

void close_range_donor(int dfd)
{
	// the file's old blocks go with the donor
	if (ftruncate(dfd, 0) < 0)
		fprintf(stderr, "%s: Failef to ftruncate(0): %m\n", "release_donor_space");
	close(dfd);
}

// What a donor gains the range: pieces joined, or -1 when it is not worth it.
static int64_t donor_gain(const struct range_pick *r, uint32_t pieces, int named)
{
	return range_donor_ok(r->pieces, pieces, named) ? (int64_t)r->pieces - pieces : -1;
}

// The donor for the range from `pos`: first one sized to the largest free
// run; when that lands in pieces, a second of a power of two that the
// allocator's buddy lists hold whole somewhere (an aligned chunk), for the
// whole pieces that fit in it. The allocator serves other sizes from the
// first few free runs it looks at, which on an aged file system are small
// ones. The better of the two is kept. A descriptor and *r, or -1.
static int choose_range_donor(defrag_context *ctx, const struct fmap *map, int dir_fd,
			      uint64_t pos, const struct free_runs_summary *sum, int named,
			      struct range_pick *r)
{
	struct range_pick a, b;
	uint32_t pa = 0, pb = 0;
	int fa = -1, fb = -1;
	if (!range_next(map, pos, sum->largest, &a))
		fa = range_donor(ctx, dir_fd, &a, a.len, &pa);
	if ((fa < 0 || pa > 1) && sum->largest_aligned >= 2 &&
	    !range_next(map, pos, sum->largest_aligned, &b)) {
		uint64_t p2 = 1;
		while (p2 < b.len)
			p2 *= 2;
		fb = range_donor(ctx, dir_fd, &b, p2, &pb);
	}
	int64_t ga = fa >= 0 ? donor_gain(&a, pa, named) : -1;
	int64_t gb = fb >= 0 ? donor_gain(&b, pb, named) : -1;
	if (debug_flags & QF_DBG_MOVES)
		printf("%s from:%llu free run:%llu aligned:%llu donors: %s%llu+%llu pieces:%u->%u, "
		       "%s%llu+%llu pieces:%u->%u\n",
		       "defrag_in_ranges", (unsigned long long)pos, (unsigned long long)sum->largest,
		       (unsigned long long)sum->largest_aligned, ga >= 0 ? "" : "REJECT ",
		       (unsigned long long)(fa >= 0 ? a.start : 0),
		       (unsigned long long)(fa >= 0 ? a.len : 0), fa >= 0 ? a.pieces : 0, pa,
		       gb >= 0 ? "" : "REJECT ", (unsigned long long)(fb >= 0 ? b.start : 0),
		       (unsigned long long)(fb >= 0 ? b.len : 0), fb >= 0 ? b.pieces : 0, pb);
	int keep_b = gb > ga || (gb == ga && gb >= 0 && pb < pa);
	if (fa >= 0 && (keep_b || ga < 0))
		close_range_donor(fa), fa = -1;
	if (fb >= 0 && (!keep_b || gb < 0))
		close_range_donor(fb), fb = -1;
	if (fa >= 0) {
		*r = a;
		return fa;
	}
	if (fb >= 0) {
		*r = b;
		return fb;
	}
	return -1;
}

// The pieces of the file as it is now.
static uint32_t file_pieces(defrag_context *ctx, int fd, uint64_t ino, struct fmap **map)
{
	struct fest fest;
	*map = nullptr;
	int ret = __get_inode_fiemap(ctx, fd, ino, ctx->blocksize_bits, map, &fest);
	return ret || !*map ? 0 : fest.frag;
}

// Moves the range into the donor (nothing in a dry run). 0, or the move's failure.
static int move_into_range_donor(defrag_context *ctx, int fd, int dfd, const struct range_pick *r,
				 uint64_t *moved)
{
	*moved = 0;
	if (ctx->dry_run)
		return 0;
	off_t off = (off_t)(r->start << ctx->blocksize_bits);
	off_t len = (off_t)(r->len << ctx->blocksize_bits);
	sync_file_range(fd, off, len,
			SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
	posix_fadvise(fd, off, len, POSIX_FADV_WILLNEED);
	return move_range(fd, dfd, r->start, r->start, r->len, moved);
}

int defrag_in_ranges(defrag_context *ctx, int fd, int dir_fd, uint64_t ino, int named,
		     struct ranges_result *res)
{
	struct fmap *map = nullptr;
	struct ranges_result local;
	if (!res)
		res = &local;
	res->ranges = 0;
	res->blocks = 0;
	res->frag_before = res->frag_after = file_pieces(ctx, fd, ino, &map);
	if (!map || !map->count) {
		free(map);
		return 0;
	}

	int failed = 0, wanted = 0, synced = 1;
	uint64_t pos = 0, left = fmap_eof_blk(map);
	struct free_runs_summary sum;
	struct range_pick r;
	// The map read at the start stays right for what is not moved yet: a
	// move changes only where the blocks of its own range lie.
	while (!run_time_up()) {
		if (free_runs_summary(ctx, &sum))
			break;
		if (sum.largest < left && !synced) {
			// what the last ranges gave up is free once the journal commits
			syncfs(ctx->root_fd);
			synced = 1;
			continue;
		}
		if (range_next(map, pos, sum.largest, &r) &&
		    range_next(map, pos, sum.largest_aligned, &r))
			break;
		wanted = 1;
		int dfd = choose_range_donor(ctx, map, dir_fd, pos, &sum, named, &r);
		if (dfd < 0) {
			if (synced)
				break;
			syncfs(ctx->root_fd);
			synced = 1;
			continue;
		}
		uint64_t moved = 0;
		int ret = move_into_range_donor(ctx, fd, dfd, &r, &moved);
		close_range_donor(dfd);
		res->blocks += ctx->dry_run ? r.len : moved;
		if (ret) {
			failed = 1;
			break;
		}
		res->ranges++;
		synced = 0;
		pos = r.start + r.len;
		left = fmap_eof_blk(map) - pos;
	}
	free(map);

	if (res->ranges && !ctx->dry_run) {
		res->frag_after = file_pieces(ctx, fd, ino, &map);
		free(map);
	}
	if (res->ranges) {
		iaf_inodes++;
		iaf_blocks += res->blocks;
	}
	if (verbose && (res->ranges || failed))
		printf("%s %s ino:%llu blocks:%llu ranges:%u old_frag:%u new_frag:%u\n",
		       "defrag_in_ranges", failed ? "FAIL" : "SUCCESS", (unsigned long long)ino,
		       (unsigned long long)res->blocks, res->ranges, res->frag_before,
		       res->frag_after);
	return failed || (wanted && !res->ranges) ? -1 : 0;
}
