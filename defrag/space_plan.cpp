// --space-aware: plan the moves with the free-space picture, then steer the
// allocator so that donors fill small holes and large free extents stay whole.
//
// What the allocator does with a donor's request decides everything here.
// With the picture committed, a request lands close to the best fitting free
// run (it looks at a handful of free runs of the first group that can serve
// it and takes the smallest that fits). Three things spoil that: blocks freed
// in a journal transaction that has not committed cannot be handed out again,
// so quick discarded tries push later requests into ever larger free runs; a
// request that finds no fitting hole is served from the largest runs; and in
// a group with many small free runs it gives up looking and hands out pieces.
// So, in three phases:
//  1. windows of the cluster size that hold little data, all of it in files
//     that add up to at most one window, have those files moved out: each
//     window becomes a free cluster;
//  2. small fragmented files, smallest first, while unnamed, preallocated
//     "ballast" files hold the large free runs (emptied windows included),
//     so that the allocator can only choose among the holes (the ballast has
//     no name: a killed run gives the space back too);
//  3. the remaining fragmented files, smallest first, without ballast; a file
//     whose pieces are already a cluster long on average is left alone, since
//     moving it would only break a large free run for nothing.
// A refused donor gets one more try, sized to the next power of two (such a
// request is served whole from the allocator's buddy lists) or, when the size
// is one already, after a commit; a size refused twice is not tried again in
// that phase. Phases 2 and 3 look at the kernel's free-space picture now and
// then and stop before it would end up worse than it was before the run.
// Every move goes through the same requests and checks as the default passes:
// the file is reopened by its handle and must be the same inode, its map is
// read again and must match the one planned with, the donor is unnamed from
// the start, and the data moves only through the kernel's extent move.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include "space_plan.h"
#include "donors.h"
#include "groups.h"
#include "moves.h"
#include "report.h"
#include "spextent_tree.h"
#include "stats.h"
#include "syscalls.h"
#include "walk.h"

#define SA_MAX_BALLAST 4096
// Moves of the large-file phase between two looks at the large free runs.
// Moves since the last commit that make a refused size worth another try.
#define SA_RECYCLE_AFTER 32
// Moves between two looks at the free space: in the small-file phase, where
// files are many and each changes little, and in the large-file phase.
#define SA_CHECK_SMALL 128
#define SA_CHECK_LARGE 32
#define SA_CHECK_MIN 8
// Looks per phase when the phase is short enough.
#define SA_LOOKS 16
// Never held by ballast: this part of the free space (1/8).
#define SA_RESERVE_PART 8
// A window with at most cluster / SA_SPARSE_PART blocks in use is sparse.
#define SA_SPARSE_PART 4

template <typename T> static int grow(T **arr, uint32_t *cap, uint32_t need)
{
	if (need <= *cap)
		return 0;
	// by half: the plan is the mode's one sizeable allocation
	uint32_t ncap = *cap ? *cap + *cap / 2 : 64;
	while (ncap < need)
		ncap += ncap / 2;
	T *p = (T *)realloc(*arr, (size_t)ncap * sizeof(T));
	if (!p)
		return -1;
	*arr = p;
	*cap = ncap;
	return 0;
}

static int add_free(struct sa_plan *plan, uint64_t start, uint64_t len, uint64_t bpg,
		    uint64_t first_block)
{
	while (len) {
		// cut at the group boundary
		uint64_t grp_end = first_block + ((start - first_block) / bpg + 1) * bpg;
		uint64_t n = start + len > grp_end ? grp_end - start : len;
		if (grow(&plan->free_start, &plan->cap_free, plan->nfree + 1))
			return -1;
		uint32_t cap = plan->cap_free;
		// both arrays share the capacity
		uint32_t *fl = (uint32_t *)realloc(plan->free_len, (size_t)cap * sizeof(uint32_t));
		if (!fl)
			return -1;
		plan->free_len = fl;
		plan->free_start[plan->nfree] = start;
		plan->free_len[plan->nfree] = (uint32_t)n;
		plan->nfree++;
		start += n;
		len -= n;
	}
	return 0;
}

int sa_sparse_windows(struct sa_plan *plan, struct rb_root *tree, uint32_t cluster)
{
	uint64_t mask = ~((uint64_t)cluster - 1);
	uint64_t cur = ~0ULL;
	uint64_t used = 0;

	auto close_window = [&]() -> int {
		if (cur == ~0ULL || used == 0 || used > cluster / SA_SPARSE_PART)
			return 0;
		if (grow(&plan->windows, &plan->cap_windows, plan->nwindows + 1))
			return -1;
		struct sa_window *w = &plan->windows[plan->nwindows++];
		memset(w, 0, sizeof(*w));
		w->start = cur;
		w->used = (uint32_t)used;
		return 0;
	};
	for (struct rb_node *n = ext2fs_rb_first(tree); n; n = ext2fs_rb_next(n)) {
		struct spextent *ex = rb_entry_of<struct spextent>(n);
		uint64_t s = ex->start, e = ex->start + ex->len;
		while (s < e) {
			uint64_t w = s & mask;
			uint64_t piece = (w + cluster < e ? w + cluster : e) - s;
			if (w != cur) {
				if (close_window())
					return -1;
				cur = w;
				used = 0;
			}
			used += piece;
			s += piece;
		}
	}
	return close_window();
}

uint32_t sa_window_of(const struct sa_plan *plan, uint64_t blk, uint32_t cluster)
{
	uint64_t w = blk & ~((uint64_t)cluster - 1);
	uint32_t lo = 0, hi = plan->nwindows;
	while (lo < hi) {
		uint32_t mid = lo + (hi - lo) / 2;
		if (plan->windows[mid].start < w)
			lo = mid + 1;
		else
			hi = mid;
	}
	return lo < plan->nwindows && plan->windows[lo].start == w ? lo : SA_NO_WINDOW;
}

uint32_t sa_ballast_sizes(const struct sa_plan *plan, uint32_t cluster, uint64_t reserve,
			  uint64_t *sizes, uint32_t max)
{
	uint64_t total = 0, held = 0;
	uint32_t n = 0;

	for (uint32_t i = 0; i < plan->nfree; i++)
		total += plan->free_len[i];
	// largest first, by repeated selection: the list is short
	for (uint32_t i = 0; i < plan->nfree && n < max; i++) {
		if (plan->free_len[i] >= cluster)
			sizes[n++] = plan->free_len[i];
	}
	for (uint32_t i = 0; i < n; i++)
		for (uint32_t j = i + 1; j < n; j++)
			if (sizes[j] > sizes[i]) {
				uint64_t t = sizes[i];
				sizes[i] = sizes[j];
				sizes[j] = t;
			}
	uint32_t k = 0;
	while (k < n && held + sizes[k] + reserve <= total)
		held += sizes[k++];
	return k;
}

static int move_cmp(const void *a, const void *b)
{
	const struct sa_move *x = (const struct sa_move *)a, *y = (const struct sa_move *)b;
	if (x->blocks != y->blocks)
		return x->blocks < y->blocks ? -1 : 1;
	return x->ino < y->ino ? -1 : x->ino > y->ino;
}

void sa_sort_moves(struct sa_move *moves, uint32_t n)
{
	qsort(moves, n, sizeof(*moves), move_cmp);
}

void sa_plan_free(struct sa_plan *plan)
{
	free(plan->moves);
	free(plan->handles);
	free(plan->windows);
	free(plan->free_start);
	free(plan->free_len);
	memset(plan, 0, sizeof(*plan));
}

// ---- planning walk -------------------------------------------------------

// The walk's step has no argument of its own; the plan being filled is here.
static struct sa_plan *plan_acc;
static uint32_t plan_cluster;

// Adds the file's blocks to the sparse windows they lie in: to the blocks
// files hold there and, once per window, the file's size to what emptying
// the window costs (moved 0); or to the blocks moved out (moved 1).
static void credit_windows(struct sa_plan *plan, const struct fmap *map, uint32_t cluster,
			   int moved)
{
	uint32_t last = SA_NO_WINDOW;
	uint64_t eof = fmap_eof_blk(map);

	for (uint32_t i = 0; i < map->count; i++) {
		uint64_t s = map->ext[i].pblk, e = s + map->ext[i].len;
		while (s < e) {
			uint64_t wend = (s & ~((uint64_t)cluster - 1)) + cluster;
			uint64_t piece = (wend < e ? wend : e) - s;
			uint32_t w = sa_window_of(plan, s, cluster);
			if (w != SA_NO_WINDOW) {
				struct sa_window *win = &plan->windows[w];
				if (moved) {
					win->moved += (uint32_t)piece;
				} else {
					win->file_blocks += (uint32_t)piece;
					if (w != last)
						win->cost += eof > 0xffffffffULL ? 0xffffffffu : (uint32_t)eof;
				}
				last = w;
			}
			s += piece;
		}
	}
}

// The first sparse window a file has blocks in, or SA_NO_WINDOW.
static uint32_t first_sparse(const struct sa_plan *plan, const struct fmap *map, uint32_t cluster)
{
	for (uint32_t i = 0; i < map->count; i++) {
		uint64_t s = map->ext[i].pblk, e = s + map->ext[i].len;
		while (s < e) {
			uint32_t w = sa_window_of(plan, s, cluster);
			if (w != SA_NO_WINDOW)
				return w;
			s = (s & ~((uint64_t)cluster - 1)) + cluster;
		}
	}
	return SA_NO_WINDOW;
}

static int plan_file(defrag_context *ctx, int fd, const struct stat *st, int dir_fd,
		     const char *name)
{
	struct sa_plan *plan = plan_acc;
	struct fmap *map = nullptr;
	struct fest fest;

	if (!S_ISREG(st->st_mode))
		return 0;
	int ret = __get_inode_fiemap(ctx, fd, st->st_ino, ctx->blocksize_bits, &map, &fest);
	if (ret || !map || !map->count) {
		free(map);
		return ret;
	}
	uint64_t eof = fmap_eof_blk(map);
	int fragmented = map->count >= 2 && fest.hole == 0 && fest.frag >= 2;
	uint32_t window = SA_NO_WINDOW;
	if (plan->nwindows) {
		window = first_sparse(plan, map, plan_cluster);
		if (window != SA_NO_WINDOW)
			credit_windows(plan, map, plan_cluster, 0);
		// a file with a hole cannot be moved whole; its window stays
		if (fest.hole)
			window = SA_NO_WINDOW;
	}
	if ((!fragmented && window == SA_NO_WINDOW) || eof > 0xffffffffULL || st->st_ino > 0xffffffffULL) {
		free(map);
		return 0;
	}

	uint32_t hb = plan->handle_bytes;
	struct file_handle *fh = (struct file_handle *)malloc(sizeof(*fh) + hb);
	int mount_id;
	if (!fh) {
		free(map);
		return -1;
	}
	fh->handle_bytes = hb;
	if (qf_sys.name_to_handle_at(dir_fd, name, fh, &mount_id, 0) || fh->handle_bytes != hb) {
		free(fh);
		free(map);
		return 0;
	}
	if (grow(&plan->moves, &plan->cap_moves, plan->nmoves + 1)) {
		free(fh);
		free(map);
		return -1;
	}
	if (plan->handles_used + hb > plan->handles_cap) {
		uint64_t ncap = plan->handles_cap ? plan->handles_cap * 2 : 64 * (uint64_t)hb;
		unsigned char *h = (unsigned char *)realloc(plan->handles, ncap);
		if (!h) {
			free(fh);
			free(map);
			return -1;
		}
		plan->handles = h;
		plan->handles_cap = ncap;
	}
	struct sa_move *m = &plan->moves[plan->nmoves++];
	memset(m, 0, sizeof(*m));
	m->ino = (uint32_t)st->st_ino;
	m->blocks = (uint32_t)eof;
	m->frag = fest.frag > 0xffff ? 0xffff : (uint16_t)fest.frag;
	m->window = window;
	m->handle = (uint32_t)plan->handles_used;
	memcpy(plan->handles + plan->handles_used, fh->f_handle, hb);
	plan->handles_used += hb;
	m->csum = fmap_csum(st, map);
	free(fh);
	free(map);
	return 0;
}

// ---- ballast ---------------------------------------------------------------

struct sa_ballast {
	int fd[SA_MAX_BALLAST];
	uint32_t count;
};

// An unnamed file on the mounted file system: no name ever exists, so nothing
// but this descriptor reaches it and its space returns when it is closed (a
// killed run included). Where the kernel has no unnamed files, a named one is
// created and unlinked at once, as the default donors are.
static int unnamed_file(defrag_context *ctx)
{
	int named = 0;
	int fd = create_donor_file(ctx->root_fd, &named);
	if (fd < 0 || !named)
		return fd;
	if (unlinkat(ctx->root_fd, DONOR_NAME, 0)) {
		fprintf(stderr, "Can not unlink donor file %m\n");
		close(fd);
		return -1;
	}
	return fd;
}

// Holds free runs of the given sizes (largest first) with unnamed files.
static uint64_t ballast_fill(defrag_context *ctx, struct sa_ballast *b, const uint64_t *sizes,
			     uint32_t n)
{
	uint64_t held = 0;
	for (uint32_t i = 0; i < n && b->count < SA_MAX_BALLAST; i++) {
		int fd = unnamed_file(ctx);
		if (fd < 0)
			break;
		if (fallocate(fd, 0, 0, (off_t)(sizes[i] << ctx->blocksize_bits))) {
			close(fd);
			break;
		}
		b->fd[b->count++] = fd;
		held += sizes[i];
	}
	return held;
}

static uint64_t ballast_sizes[SA_MAX_BALLAST];

struct current_runs {
	struct sa_plan *runs;
	uint32_t cluster;
	uint64_t total;
};

static void keep_large_run(void *arg, uint64_t start, uint64_t len)
{
	struct current_runs *c = (struct current_runs *)arg;
	c->total += len;
	// only the large ones are ballast material; the list stays short
	if (len >= c->cluster && c->runs->nfree < SA_MAX_BALLAST)
		add_free(c->runs, start, len, ~0ULL >> 1, 0);
}

// The large free runs there are now, as the kernel sees them: what emptied
// windows added since the first ballast was taken.
// Holds the large free runs there are now, as the kernel sees them, largest
// first, but never the last part (1 / reserve_part) of the free space: the
// file system stays in use while the ballast is held.
static void ballast_hold(defrag_context *ctx, struct sa_ballast *b, uint64_t reserve_part)
{
	struct sa_plan runs;
	struct current_runs c = {&runs, ctx->cluster_blocks, 0};

	memset(&runs, 0, sizeof(runs));
	if (kernel_free_runs(ctx->root_fd, ctx->blocksize_bits, keep_large_run, &c) == 0) {
		uint32_t n = sa_ballast_sizes(&runs, ctx->cluster_blocks, 0, ballast_sizes,
					      SA_MAX_BALLAST);
		// never hold the last part of the free space (the free runs here
		// are only the large ones, so the reserve is taken from the total)
		uint64_t held = 0, k = 0;
		while (k < n && held + ballast_sizes[k] + c.total / reserve_part <= c.total)
			held += ballast_sizes[k++];
		held = ballast_fill(ctx, b, ballast_sizes, (uint32_t)k);
		if (verbose)
			printf("Space-aware: holding %llu blocks of large free runs in %u ballast files\n",
			       (unsigned long long)held, b->count);
	}
	sa_plan_free(&runs);
}

static void ballast_release(struct sa_ballast *b)
{
	for (uint32_t i = 0; i < b->count; i++)
		close(b->fd[i]);
	b->count = 0;
}

// The free space as the kernel sees it now: free extents (runs that touch
// across a group boundary count as one, as in the report) and the blocks in
// runs of at least the cluster size. -1 when the kernel gives no map.
static int free_now(defrag_context *ctx, struct frag_report *r)
{
	struct free_tally t;
	struct { struct free_tally *t; struct frag_report *r; } a = {&t, r};

	free_tally_init(&t, ctx->cluster_blocks, r);
	if (kernel_free_runs(ctx->root_fd, ctx->blocksize_bits,
			     [](void *arg, uint64_t start, uint64_t len) {
				     auto *p = (decltype(a) *)arg;
				     free_tally_add(p->t, p->r, start, len);
			     },
			     &a))
		return -1;
	free_tally_end(&t, r);
	return 0;
}

// What the moves may not make worse than it was before the run: no more free
// extents, no fewer blocks in large free runs. A phase looks every so often
// (after a commit, so that what moved files gave up counts as free) and ends
// before its next stretch, at the pace of the last one, would cross a limit.
struct sa_limits {
	int known;
	int check_big; // off while ballast holds the large runs
	uint32_t every; // moves between two looks
	uint64_t max_extents, min_big;
	uint64_t last_extents, last_big;
};

static int limits_reached(defrag_context *ctx, struct sa_limits *lim, const char *what)
{
	struct frag_report r;
	if (!lim->known || free_now(ctx, &r))
		return 0;
	uint64_t ext_pace = r.free_extents > lim->last_extents ? r.free_extents - lim->last_extents : 0;
	uint64_t big_pace = r.free_in_chunks < lim->last_big ? lim->last_big - r.free_in_chunks : 0;
	lim->last_extents = r.free_extents;
	lim->last_big = r.free_in_chunks;
	if (r.free_extents + ext_pace <= lim->max_extents &&
	    (!lim->check_big || r.free_in_chunks >= lim->min_big + big_pace))
		return 0;
	if (verbose)
		printf("Space-aware: %s: free extents %llu (%llu before), in large runs %llu blocks "
		       "(%llu before): stop\n",
		       what, (unsigned long long)r.free_extents, (unsigned long long)lim->max_extents,
		       (unsigned long long)r.free_in_chunks, (unsigned long long)lim->min_big);
	return 1;
}

// ---- moves -------------------------------------------------------------------

enum sa_result { SA_MOVED, SA_SKIPPED, SA_REFUSED };

static void commit(defrag_context *ctx, struct sa_plan *plan)
{
	syncfs(ctx->root_fd);
	plan->commits++;
}

// A donor of `blocks` blocks, unnamed, allocated in one request. 0 when the
// donor is ready (its map in d->fec), -1 when no space was given.
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

// A donor with `request` blocks, of which the move uses the first `blocks`;
// its fest.frag counts the pieces of those.
static int make_donor(defrag_context *ctx, struct sa_plan *plan, struct donor *d,
		      uint64_t blocks, uint64_t request)
{
	struct stat st;

	donor_init(d);
	plan->donor_tries++;
	d->fd = unnamed_file(ctx);
	if (d->fd < 0) {
		d->fd = -1;
		return -1;
	}
	if (fallocate(d->fd, 0, 0, (off_t)(request << ctx->blocksize_bits)) || fstat(d->fd, &st) ||
	    __get_inode_fiemap(ctx, d->fd, st.st_ino, ctx->blocksize_bits, &d->fec, &d->fest) ||
	    !d->fec || !d->fec->count) {
		close_donor(d);
		return -1;
	}
	d->fest.frag = pieces_below(d->fec, blocks);
	d->offset = 0;
	d->length = request;
	return 0;
}

// Whether the donor's space is good for the move: fewer pieces than the file
// has (one for a file moved out of a window), and for a window file, not in
// its own window.
static int donor_fits(const struct sa_plan *plan, const struct sa_move *m, const struct donor *d,
		      uint32_t cluster, int need_one)
{
	// a contiguous file leaving its window must stay contiguous and leave it
	if (m->window != SA_NO_WINDOW && m->frag == 1)
		return d->fest.frag == 1 &&
		       sa_window_of(plan, d->fec->ext[0].pblk, cluster) != m->window;
	if (need_one)
		return d->fest.frag == 1;
	return d->fest.frag < m->frag;
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

static sa_result move_planned(defrag_context *ctx, struct sa_plan *plan, struct sa_move *m,
			      int need_one, uint32_t *donor_frag)
{
	struct stat st;
	struct fmap *map = nullptr;
	struct fest fest;
	struct donor d;

	int fd = __do_open_f_handle(ctx->root_fd, ctx->root_fhandle, plan->handles + m->handle,
				    O_RDWR);
	if (fd < 0)
		return SA_SKIPPED;
	// the same inode, still a regular file, with the map it was planned with
	if (fstat(fd, &st) || st.st_ino != m->ino || !S_ISREG(st.st_mode) ||
	    __get_inode_fiemap(ctx, fd, st.st_ino, ctx->blocksize_bits, &map, &fest) || !map ||
	    !map->count || fmap_eof_blk(map) != m->blocks) {
		free(map);
		close(fd);
		return SA_SKIPPED;
	}
	if (fmap_csum(&st, map) != m->csum) {
		if (verbose)
			printf("%s inode %lu changed under us, skip\n", "space_aware",
			       (unsigned long)m->ino);
		free(map);
		close(fd);
		return SA_SKIPPED;
	}

	sa_result res = SA_REFUSED;
	for (int attempt = 0; attempt < 2; attempt++) {
		// The allocator serves a request whose size is a power of two from
		// its buddy lists, in one aligned piece wherever one is free, while
		// any other size is looked for among the first free runs of a group
		// and may come back in pieces when the group has many small ones. So
		// the second try asks for the power of two and uses the start of it.
		uint64_t request = m->blocks;
		if (attempt) {
			while (request & (request - 1))
				request += request & -request;
		}
		if (attempt && request == m->blocks)
			commit(ctx, plan); // let the refused space come back first
		if (make_donor(ctx, plan, &d, m->blocks, request))
			continue;
		if (!donor_fits(plan, m, &d, ctx->cluster_blocks, need_one)) {
			if (debug_flags & 0x01)
				printf("%s REJECT inode:%lu blocks:%u frag:%u donor_frag:%u\n",
				       "space_aware", (unsigned long)m->ino, m->blocks, m->frag,
				       d.fest.frag);
			*donor_frag = d.fest.frag;
			close_donor(&d);
			continue;
		}
		plan->donors_accepted++;
		unchoose_windows(plan, &d, ctx->cluster_blocks);
		defrag_fadvise(fd, (uint64_t)m->blocks << ctx->blocksize_bits, 1);
		uint64_t ino = m->ino;
		int ret = do_defrag_one(ctx->dry_run, fd, ino, map, m->blocks, &d);
		if (verbose)
			printf("%s %s ino:%lu blocks:%u old_frag:%u new_frag:%u\n", "space_aware",
			       ret ? "FAIL" : "SUCCESS", (unsigned long)m->ino, m->blocks, m->frag,
			       d.fest.frag);
		close_donor(&d);
		res = ret ? SA_REFUSED : SA_MOVED;
		if (!ret) {
			iaf_inodes++;
			iaf_blocks += m->blocks;
			if (m->window != SA_NO_WINDOW)
				credit_windows(plan, map, ctx->cluster_blocks, 1);
		}
		break;
	}
	free(map);
	close(fd);
	return res;
}

// Runs the moves `want` picks, in plan order; with `need_one`, a donor must be
// a single piece. With `size_memory`, a refused donor size is remembered:
// every later file at least that large is left to a later phase without a
// try, since the holes that could have served it are gone (the moves go from
// small to large) - unless enough files moved since the last commit to leave
// new holes behind, in which case the run commits and tries once more. With
// `lim`, the phase ends before the free space would end up worse than it was.
static void run_moves(defrag_context *ctx, struct sa_plan *plan,
		      int (*want)(const struct sa_plan *, const struct sa_move *, uint32_t),
		      const char *what, int need_one, int size_memory, struct sa_limits *lim)
{
	uint64_t moved = 0, refused = 0;
	uint32_t since_commit = 0, since_check = 0;
	uint32_t fail_size = 0xffffffffu;

	if (lim) {
		// about SA_LOOKS looks per phase, none further apart than `every` moves
		uint32_t n = 0;
		for (uint32_t i = 0; i < plan->nmoves; i++)
			n += !(plan->moves[i].flags & (SA_DONE | SA_FAILED)) &&
			     want(plan, &plan->moves[i], ctx->cluster_blocks);
		uint32_t every = n / SA_LOOKS < SA_CHECK_MIN ? SA_CHECK_MIN : n / SA_LOOKS;
		if (every < lim->every)
			lim->every = every;
		if (limits_reached(ctx, lim, what))
			return;
	}
	for (uint32_t i = 0; i < plan->nmoves; i++) {
		struct sa_move *m = &plan->moves[i];
		if ((m->flags & (SA_DONE | SA_FAILED)) || !want(plan, m, ctx->cluster_blocks))
			continue;
		if (m->blocks >= fail_size)
			continue;
		uint32_t donor_frag = 0;
		sa_result r = move_planned(ctx, plan, m, need_one, &donor_frag);
		if (r == SA_MOVED) {
			m->flags |= SA_DONE;
			moved++;
			since_commit++;
			if (lim && ++since_check >= lim->every) {
				since_check = 0;
				commit(ctx, plan);
				since_commit = 0;
				if (limits_reached(ctx, lim, what))
					break;
			}
		} else if (r == SA_REFUSED && size_memory && since_commit >= SA_RECYCLE_AFTER &&
			   !(m->flags & SA_RETRIED)) {
			m->flags |= SA_RETRIED;
			commit(ctx, plan);
			since_commit = 0;
			i--;
		} else if (r == SA_REFUSED && size_memory) {
			refused++;
			fail_size = m->blocks;
		} else {
			m->flags |= SA_FAILED;
			refused += r == SA_REFUSED;
		}
	}
	if (verbose)
		printf("Space-aware: %s: %llu files moved, %llu refused\n", what,
		       (unsigned long long)moved, (unsigned long long)refused);
	if (debug_flags & 0x01) {
		struct frag_report r;
		syncfs(ctx->root_fd);
		collect_report(ctx, &r);
		printf("%s after %s: fragments %llu free extents %llu in large runs %llu\n",
		       "space_aware", what, (unsigned long long)r.fragments,
		       (unsigned long long)r.free_extents, (unsigned long long)r.free_in_chunks);
	}
}

// Phase choices.
static int want_small(const struct sa_plan *, const struct sa_move *m, uint32_t cluster)
{
	return m->frag >= 2 && m->blocks < cluster;
}

static int want_window(const struct sa_plan *plan, const struct sa_move *m, uint32_t)
{
	return m->window != SA_NO_WINDOW && plan->windows[m->window].chosen;
}

static int want_large(const struct sa_plan *, const struct sa_move *m, uint32_t cluster)
{
	// pieces a cluster long on average: breaking a large free run gains nothing
	return m->frag >= 2 && m->blocks / m->frag < cluster;
}

void space_aware_passes(defrag_context *ctx)
{
	struct sa_plan plan;
	static struct sa_ballast ballast;
	uint32_t cluster = ctx->cluster_blocks;

	memset(&plan, 0, sizeof(plan));
	plan.handle_bytes = ctx->root_fhandle->handle_bytes;
	if (sa_sparse_windows(&plan, &ctx->spextents, cluster)) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "space_aware", errno);
		sa_plan_free(&plan);
		return;
	}

	if (verbose)
		printf("Space-aware: %u sparse windows\n", plan.nwindows);
	plan_acc = &plan;
	plan_cluster = cluster;
	walk_subtree(ctx, ctx->root_fd, plan_file);
	plan_acc = nullptr;

	// a window is worth emptying when every block in use there is a planned file's
	uint32_t chosen = 0;
	for (uint32_t w = 0; w < plan.nwindows; w++) {
		struct sa_window *win = &plan.windows[w];
		win->chosen = win->file_blocks >= win->used && win->cost <= cluster;
		chosen += win->chosen;
	}
	sa_sort_moves(plan.moves, plan.nmoves);
	if (verbose)
		printf("Space-aware: %u files planned, %u windows to empty\n", plan.nmoves, chosen);

	struct sa_limits lim;
	struct frag_report now;
	memset(&lim, 0, sizeof(lim));
	if (!free_now(ctx, &now)) {
		lim.known = 1;
		lim.check_big = 1;
		lim.every = SA_CHECK_LARGE;
		lim.max_extents = lim.last_extents = now.free_extents;
		lim.min_big = lim.last_big = now.free_in_chunks;
	}

	// 1. Files out of the sparse windows, into the best fitting free runs.
	run_moves(ctx, &plan, want_window, "files of sparse windows", 1, 0, nullptr);
	if (verbose) {
		uint32_t emptied = 0;
		for (uint32_t w = 0; w < plan.nwindows; w++)
			emptied += plan.windows[w].chosen && plan.windows[w].moved >= plan.windows[w].used;
		printf("Space-aware: %u windows emptied\n", emptied);
	}
	// 2. Small fragmented files into holes only: the large runs there are
	// now, the emptied windows among them, are held by ballast meanwhile.
	// The ballast changes the picture the kernel gives: the limit on free
	// extents moves with it.
	commit(ctx, &plan);
	struct frag_report held, unheld;
	int have_unheld = !free_now(ctx, &unheld);
	ballast_hold(ctx, &ballast, SA_RESERVE_PART);
	if (lim.known && have_unheld && !free_now(ctx, &held)) {
		struct sa_limits small = lim;
		small.check_big = 0;
		small.every = SA_CHECK_SMALL;
		// half the margin: taking the ballast away again does not give back
		// exactly the picture it took
		int64_t margin = ((int64_t)lim.max_extents - (int64_t)unheld.free_extents) / 2;
		int64_t ceiling = (int64_t)held.free_extents + margin;
		small.max_extents = ceiling > 0 ? (uint64_t)ceiling : 0;
		small.last_extents = held.free_extents;
		run_moves(ctx, &plan, want_small, "small fragmented files", 1, 1, &small);
	} else {
		run_moves(ctx, &plan, want_small, "small fragmented files", 1, 1, nullptr);
	}
	ballast_release(&ballast);
	// 3. What is left, smallest first, while the large runs last.
	commit(ctx, &plan);
	for (uint32_t i = 0; i < plan.nmoves; i++)
		if (plan.moves[i].frag >= 2)
			plan.moves[i].flags &= ~SA_FAILED;
	run_moves(ctx, &plan, want_large, "large fragmented files", 0, 0, &lim);

	ballast_release(&ballast);
	if (verbose)
		printf("Space-aware: %llu donor tries for %llu donors, %llu commits\n",
		       (unsigned long long)plan.donor_tries, (unsigned long long)plan.donors_accepted,
		       (unsigned long long)plan.commits);
	sa_plan_free(&plan);
}
