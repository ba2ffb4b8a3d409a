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
// This file is the driver: the commits and the reading of the picture, the
// planning walk and the phases. The moves are space_moves.cpp's.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include "space_aware.h"
#include "extent_tree.h"
#include "groups.h"
#include "movable.h"
#include "paths.h"
#include "report.h"
#include "run_limits.h"
#include "space_donors.h"
#include "space_moves.h"
#include "stats.h"
#include "syscalls.h"
#include "walk.h"

// Moves between two rankings of the files.
#define SA_ROUND 64
// When a commit is due: see commit_if_due.
#define SA_COMMIT_PART 16
#define SA_COMMIT_MIN 16

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

// Donors land beside blocks freed since the last commit meanwhile, splitting
// what will be one free run, and miss the holes they leave.
void sa_commit(defrag_context *ctx, struct sa_plan *plan)
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

int sa_read_picture(defrag_context *ctx, struct sa_plan *plan)
{
	struct picture_read r = {plan, 0};

	sa_commit(ctx, plan);
	if (plan->broken)
		return -1;
	plan->unlocated = 0;
	sa_pic_free(&plan->pic);
	plan->pic.large = ctx->cluster_blocks;
	if (kernel_free_runs(ctx->root_fd, ctx->blocksize_bits, give_run, &r) || r.failed)
		return -1;
	return sa_give_ballast(ctx, plan);
}

// ---- the planning walk ----------------------------------------------------

// Plans one regular file into the plan being made (ctx->walk_arg).
static int plan_file(defrag_context *ctx, int fd, const struct stat *st)
{
	struct sa_plan *plan = (struct sa_plan *)ctx->walk_arg;
	struct fmap *map = nullptr;
	struct fest fest;
	struct sa_file f;
	uint32_t hb = ctx->root_fhandle->handle_bytes;

	if (skip_unmovable(fd, st->st_ino))
		return 0;
	// a file named with --path is moved in ranges: holes do not stop it
	int named = path_named_file(ctx, st->st_ino);
	int ret = __get_inode_fiemap(ctx, fd, st->st_ino, ctx->blocksize_bits, &map, &fest);
	memset(&f, 0, sizeof(f));
	// a file with a hole cannot be moved whole
	if (ret || !map || !map->count || (fest.hole && !named) || fmap_eof_blk(map) > 0xffffffffULL ||
	    st->st_ino > 0xffffffffULL || fest.frag > 0xffff) {
		free(map);
		return ret;
	}
	f.ino = (uint32_t)st->st_ino;
	f.blocks = (uint32_t)fmap_eof_blk(map);
	f.frag = (uint16_t)fest.frag;
	f.csum = fmap_csum(st, map);
	// what the file holds beyond its data is its extent tree
	uint64_t held = (uint64_t)st->st_blocks * 512 >> ctx->blocksize_bits, data = 0;
	for (uint32_t i = 0; i < map->count; i++)
		data += map->ext[i].len;
	f.meta = held > data ? (uint8_t)(held - data > 255 ? 255 : held - data) : 0;
	uint32_t saved = plan->npieces;
	ret = sa_store_pieces(plan, map, &f);
	free(map);
	if (ret) {
		plan->npieces = saved;
		return 0;
	}
	// where its extent tree lies, so that what a move frees is known
	if (f.meta) {
		uint64_t tree[SA_TREE_MAX];
		int n = f.meta <= SA_TREE_MAX
				? extent_tree_blocks(ctx->fs, st->st_ino, tree, SA_TREE_MAX)
				: -1;
		if (n > 0)
			sa_store_tree(plan, &f, tree, (uint32_t)n);
	}
	f.window = sa_file_windows(plan, &f, ctx->cluster_blocks, 0);
	f.flags |= named && f.frag >= 2 ? SA_DEFRAG | SA_NAMED : sa_file_kind(&f, ctx->cluster_blocks);
	if (!(f.flags & (SA_DEFRAG | SA_SPARE)) || sa_grow(&plan->files, &plan->cap_files, (uint64_t)plan->nfiles + 1) ||
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
	sa_file_windows(plan, &f, ctx->cluster_blocks, 1);
	plan->files[plan->nfiles++] = f;
	return 0;
}

static int run_batch(defrag_context *ctx, struct sa_plan *plan);
static int start_batch(defrag_context *ctx, struct sa_plan *plan);

uint64_t sa_batch_limit = SA_BATCH_BYTES;


// What the plan's files take: the tree is planned and moved in batches of
// at most SA_BATCH_BYTES, so that its size bounds the memory a run takes.
static uint64_t batch_bytes(const struct sa_plan *plan)
{
	return (uint64_t)plan->nfiles * (sizeof(struct sa_file) + sizeof(uint32_t)) +
	       (uint64_t)plan->npieces * sizeof(sa_piece) + plan->handles_used;
}

static int plan_entry(defrag_context *ctx, int fd, const struct stat *st, int dir_fd,
		      const char *name)
{
	struct sa_plan *plan = (struct sa_plan *)ctx->walk_arg;
	// directories become the places donors are made in, per (flex) group
	if (S_ISDIR(st->st_mode)) {
		group_add_dircache(ctx, dir_fd, st->st_ino, name);
		return 0;
	}
	if (plan->broken || !S_ISREG(st->st_mode) || !path_selected(ctx, st))
		return 0;
	int ret = plan_file(ctx, fd, st);
	// a full batch is moved before the walk goes on; the next is planned
	// with the picture as the moves left it
	if (batch_bytes(plan) >= sa_batch_limit && !run_time_up() &&
	    (run_batch(ctx, plan) || start_batch(ctx, plan)))
		plan->broken = 1;
	return ret;
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
		sa_commit(ctx, plan);
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
		// nothing to read of a file that holds no data yet
		if (fd >= 0) {
			if (lseek(fd, 0, SEEK_DATA) >= 0)
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
		if (sa_settle(ctx, plan) && plan->broken)
			return -1;
		uint32_t n = sa_rank(plan, SA_DEFRAG, skip, min_blocks, max_blocks), tried = 0;
		for (uint32_t k = 0; k < n && tried < SA_ROUND; k++) {
			if (run_time_up())
				break;
			struct sa_file *f = &plan->files[plan->order[k]];
			if (f->flags & SA_DONE)
				continue;
			if (sa_pay_for(ctx, plan, sa_predicted(plan, f), f)) {
				if (plan->broken)
					return -1;
				f->flags |= SA_HELD;
				continue;
			}
			tried++;
			commit_if_due(ctx, plan);
			read_ahead(ctx, plan, plan->order + k + 1, n - k - 1);
			sa_result r = sa_move_file(ctx, plan, f);
			moved += r == SA_MOVED;
			refused += r == SA_REFUSED;
			if ((r == SA_LOST && sa_resync(ctx, plan)) || plan->broken)
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

// Steps a unit is moved in where the large free runs hold it many times
// over, and blocks of each such step at least (the longest extent of
// allocated blocks): smaller steps free too little at a time for the next
// ones' donors to use.
#define SA_UNIT_STEPS 8
#define SA_UNIT_STEP_MIN 32768ULL

// Moves the unit order[i, end) in steps that each fit the large free runs
// there are (less the reserve), each into donors had before any of its files
// moves. A step's moves free their old pieces at the next commit, which the
// next step's donors may then use: a unit may be larger than the free space.
//
// Where the large runs hold a large unit many times over, it goes in several
// steps all the same, so that the later steps' donors fill what the earlier
// ones freed: a donor seldom ends where a free run does, and the runs a unit
// frees are where the later donors can end with one. Such a unit is judged
// with its first step, which may leave an extent for each of its donors to
// the steps after it, and then goes on: there, donors can always be had.
static sa_result move_unit(defrag_context *ctx, struct sa_plan *plan, uint32_t i, uint32_t end,
			   uint64_t *moved)
{
	struct sa_delta before = {(int64_t)plan->pic.count, (int64_t)plan->pic.large_blocks, 0};
	sa_result r = SA_MOVED;
	uint64_t total = 0, reserve = plan->free0 / SA_RESERVE_PART;
	for (uint32_t k = i; k < end; k++)
		if (!(plan->files[plan->order[k]].flags & SA_FINAL))
			total += plan->files[plan->order[k]].blocks;
	uint64_t room0 = plan->pic.large_blocks > reserve ? plan->pic.large_blocks - reserve : 0;
	int abundant = total >= SA_UNIT_STEPS * SA_UNIT_STEP_MIN && total * SA_UNIT_STEPS <= room0;
	uint64_t step_cap = abundant ? total / SA_UNIT_STEPS + 1 : ~0ULL;
	int started = 0;
	while (i < end && r == SA_MOVED && !run_time_up()) {
		uint64_t blocks = 0;
		uint64_t room = plan->pic.large_blocks > reserve ? plan->pic.large_blocks - reserve : 0;
		if (room > step_cap)
			room = step_cap;
		uint32_t step = i;
		for (; step < end; step++) {
			const struct sa_file *f = &plan->files[plan->order[step]];
			if (f->flags & SA_FINAL)
				continue;
			if (blocks + f->blocks > room)
				break;
			blocks += f->blocks;
		}
		if (step == i)
			return SA_REFUSED;
		r = sa_move_unit(ctx, plan, i, step, end, ~0ULL, before, abundant, started, moved);
		started = abundant;
		i = step;
		// what the step freed is free for the next once committed
		if (r == SA_MOVED && i < end && sa_reread(ctx, plan))
			return SA_LOST;
	}
	return r;
}

// The fragmented files no move of its own could take, unit by unit in the
// order of their first blocks, in sweeps while a sweep moves some.
static int run_units(defrag_context *ctx, struct sa_plan *plan)
{
	uint64_t moved = 0, refused = 0, work = 0, unformed = 0;
	uint64_t budget = (uint64_t)plan->npieces * SA_UNIT_WORK_PER_PIECE + (1u << 16);
	for (uint64_t before = ~0ULL; before != moved && work < budget && !run_time_up();) {
		before = moved;
		unformed = 0;
		uint32_t n = sa_sweep_order(plan);
		for (uint32_t i = 0; i < n && work < budget && !run_time_up();) {
			if (plan->files[plan->order[i]].flags & SA_FINAL) {
				i++;
				continue;
			}
			uint32_t end = sa_unit_from(plan, n, i, &work);
			if (end == i) {
				unformed++;
				i++;
				continue;
			}
			plan->units++;
			commit_if_due(ctx, plan);
			sa_result r = move_unit(ctx, plan, i, end, &moved);
			refused += r == SA_REFUSED;
			if ((r == SA_LOST && sa_resync(ctx, plan)) || plan->broken)
				return -1;
			// blocks the unit freed unseen are seen before anything is
			// judged by them
			if ((plan->unlocated >= SA_UNLOCATED_LOOK && sa_reread(ctx, plan)) ||
			    (sa_settle(ctx, plan) && plan->broken))
				return -1;
			// once the units since the last commit have freed a large
			// run's worth, a commit lets the next units' donors use it
			if (plan->pending >= plan->pic.large)
				sa_commit(ctx, plan);
			i = end;
		}
		// what the sweep freed becomes a run the next one can use
		sa_commit(ctx, plan);
	}
	if (verbose)
		printf("Space-aware: units: %llu files moved in %llu units, %llu units refused, "
		       "%llu files in none\n",
		       (unsigned long long)moved, (unsigned long long)plan->units,
		       (unsigned long long)refused, (unsigned long long)unformed);
	return 0;
}

static void print_picture(const struct sa_plan *plan, const char *when)
{
	printf("Space-aware: %s: %u free extents, %llu blocks in large free runs\n", when,
	       plan->pic.count, (unsigned long long)plan->pic.large_blocks);
}

// A new batch: no files yet, the sparse windows of the picture as it is.
static int start_batch(defrag_context *ctx, struct sa_plan *plan)
{
	// what the last batch freed unseen is seen before the next is planned
	if (plan->batches && sa_reread(ctx, plan))
		return -1;
	// the files no move took stay, up to half a batch: those whose pieces
	// lie between theirs may be in the next
	sa_keep_unmoved(plan, sa_batch_limit / 2, ctx->root_fhandle->handle_bytes);
	plan->nwindows = 0;
	plan->spare_version = 0;
	if (sa_sparse_windows(plan, ctx->cluster_blocks, ext2fs_blocks_count(ctx->fs->super))) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "space_aware", errno);
		return -1;
	}
	for (uint32_t i = 0; i < plan->nfiles; i++) {
		struct sa_file *f = &plan->files[i];
		f->window = sa_file_windows(plan, f, ctx->cluster_blocks, 0);
		sa_file_windows(plan, f, ctx->cluster_blocks, 1);
	}
	return 0;
}

// The run's picture and its limits, and the first batch.
static int start_plan(defrag_context *ctx, struct sa_plan *plan)
{
	uint32_t groups = group_slot_count(ctx);

	// windows and large runs are counted in clusters of several blocks
	if (ctx->cluster_blocks < 4) {
		fprintf(stderr, "%s: the cluster size (-c) must be at least 4 blocks\n",
			"space_aware");
		return -1;
	}
	if (sa_read_picture(ctx, plan)) {
		fprintf(stderr, "%s: the kernel gives no free-space map: %m\n", "space_aware");
		return -1;
	}
	plan->max_extents = plan->pic.count ? plan->pic.count - 1 : 0;
	plan->large0 = plan->pic.large_blocks;
	plan->free0 = plan->pic.free_blocks;
	plan->extents0 = plan->pic.count;
	plan->page_blocks = std::max(1u, (uint32_t)getpagesize() >> ctx->blocksize_bits);
	plan->dir_fds = (int *)malloc(groups * sizeof(int));
	if (!plan->dir_fds) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "space_aware", errno);
		return -1;
	}
	for (uint32_t g = 0; g < groups; g++)
		plan->dir_fds[g] = -1;
	if (verbose)
		print_picture(plan, "before");
	return start_batch(ctx, plan);
}

// The moves of the batch planned: small files first, into holes only, each
// in one piece; then every fragmented file not moved yet, without ballast,
// into fewer pieces; then the files that move only as units.
static int run_batch(defrag_context *ctx, struct sa_plan *plan)
{
	uint32_t cluster = ctx->cluster_blocks;

	plan->batches++;
	sa_choose_windows(plan, cluster);
	uint32_t *order = (uint32_t *)realloc(plan->order,
					      (plan->nfiles ? plan->nfiles : 1) * sizeof(uint32_t));
	if (!order) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "space_aware", errno);
		return -1;
	}
	plan->order = order;
	if (verbose) {
		uint32_t chosen = 0;
		for (uint32_t w = 0; w < plan->nwindows; w++)
			chosen += plan->windows[w].chosen;
		printf("Space-aware: %u files planned, %u sparse windows, %u worth emptying\n",
		       plan->nfiles, plan->nwindows, chosen);
	}
	sa_ballast_hold(ctx, plan);
	plan->one_piece = 1;
	int ret = run_phase(ctx, plan, "small fragmented files", SA_TRIED, 0, cluster);
	sa_ballast_release(plan);
	// what the ballast held is free again only after a commit
	sa_commit(ctx, plan);
	plan->one_piece = 0;
	if (!ret)
		ret = run_phase(ctx, plan, "the other fragmented files", 0, 0, 0xffffffffu);
	if (!ret)
		ret = run_units(ctx, plan);
	if (!ret)
		sa_settle(ctx, plan);
	return ret || plan->broken ? -1 : 0;
}

int space_aware_passes(defrag_context *ctx)
{
	struct sa_plan plan;

	memset(&plan, 0, sizeof(plan));
	space_aware_summary = 1;
	// without its picture the mode could not tell what a move does
	if (start_plan(ctx, &plan)) {
		sa_plan_free(&plan);
		return -1;
	}
	ctx->walk_arg = &plan;
	group_add_dircache(ctx, ctx->root_fd, ctx->root_st.st_ino, ".");
	// a walk that ends early leaves fewer files planned: every move checks
	// its file again anyway
	walk_subtree(ctx, ctx->root_fd, plan_entry);
	ctx->walk_arg = nullptr;
	int ret = plan.broken ? -1 : run_batch(ctx, &plan);

	for (uint32_t g = 0; g < group_slot_count(ctx); g++)
		if (plan.dir_fds[g] >= 0)
			close(plan.dir_fds[g]);
	if (verbose) {
		if (plan.batches > 1)
			printf("Space-aware: planned and moved in %llu batches\n",
			       (unsigned long long)plan.batches);
		printf("Space-aware: %llu blocks moved; free extents %llu -> %u, blocks in large "
		       "free runs %llu -> %llu\n",
		       (unsigned long long)plan.moved_blocks, (unsigned long long)plan.extents0,
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
