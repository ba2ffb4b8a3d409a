// The space-aware plan and its decisions: what each file is worth, the sparse
// windows, the limits every move keeps to and the order of the moves. Nothing
// here talks to the kernel: the moves (space_moves.cpp) and the driver
// (space_aware.cpp) do, and keep the picture up to date.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include "space_plan.h"

// ---- the files -------------------------------------------------------------

int sa_store_pieces(struct sa_plan *plan, const struct fmap *map, struct sa_file *f)
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
	std::sort(p, p + n);
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

void sa_store_tree(struct sa_plan *plan, struct sa_file *f, const uint64_t *blocks, uint32_t n)
{
	const sa_piece *own = plan->pieces + f->piece;
	if (!n || n != f->meta || (f->flags & SA_TREE))
		return;
	for (uint32_t i = 0; i < n; i++) {
		if (blocks[i] > SA_PIECE_START_MAX || sa_pic_is_free(&plan->pic, blocks[i]))
			return;
		for (uint32_t k = 0; k < f->pieces; k++)
			if (blocks[i] >= sa_piece_start(own[k]) &&
			    blocks[i] < sa_piece_start(own[k]) + sa_piece_len(own[k]))
				return;
	}
	// the store ends with this file's pieces: the tree follows them
	if (f->piece + f->pieces != plan->npieces ||
	    sa_grow(&plan->pieces, &plan->cap_pieces, (uint64_t)plan->npieces + n))
		return;
	for (uint32_t i = 0; i < n; i++)
		plan->pieces[plan->npieces++] = sa_piece_make(blocks[i], 1);
	std::sort(plan->pieces + f->piece + f->pieces, plan->pieces + plan->npieces);
	f->flags |= SA_TREE;
}

uint32_t sa_freed_pieces(const struct sa_plan *plan, const struct sa_file *f, sa_piece *out)
{
	const sa_piece *p = plan->pieces + f->piece;
	uint32_t n = f->pieces + ((f->flags & SA_TREE) ? f->meta : 0);
	std::merge(p, p + f->pieces, p + f->pieces, p + n, out);
	return n;
}

struct sa_delta sa_file_delta(const struct sa_plan *plan, const struct sa_file *f)
{
	if (!(f->flags & SA_TREE)) {
		struct sa_delta d = sa_free_delta(&plan->pic, plan->pieces + f->piece, f->pieces);
		d.unseen = f->meta;
		return d;
	}
	sa_piece small[64];
	uint32_t want = f->pieces + f->meta;
	sa_piece *buf = want <= 64 ? small : (sa_piece *)malloc(want * sizeof(sa_piece));
	if (!buf) // without memory, the tree as if unseen
		return sa_free_delta(&plan->pic, plan->pieces + f->piece, f->pieces);
	uint32_t n = sa_freed_pieces(plan, f, buf);
	struct sa_delta d = sa_free_delta(&plan->pic, buf, n);
	if (buf != small)
		free(buf);
	return d;
}

uint8_t sa_file_kind(const struct sa_file *f, uint32_t cluster)
{
	// every fragmented file: the phases take them in the order of what a
	// move gains per block, and units move files with long pieces too
	if (f->frag >= 2)
		return SA_DEFRAG;
	// a small contiguous file may pay for the moves of others: moving it
	// merges the free runs beside it, now or once its neighbours have
	// moved, or empties its window
	return f->blocks < cluster ? SA_SPARE : 0;
}

// ---- sparse windows -------------------------------------------------------

// A window with `free_here` of its blocks free is sparse when at least one
// and at most a quarter of its blocks are in use.
static int close_window(struct sa_plan *plan, uint64_t start, uint64_t free_here,
			uint32_t cluster, uint64_t total)
{
	uint64_t used = cluster - free_here;
	if (start == ~0ULL || start + cluster > total || !used || used > cluster / 4)
		return 0;
	if (sa_grow(&plan->windows, &plan->cap_windows, (uint64_t)plan->nwindows + 1))
		return -1;
	struct sa_window *w = &plan->windows[plan->nwindows++];
	memset(w, 0, sizeof(*w));
	w->start = start;
	w->used = (uint32_t)used;
	return 0;
}

int sa_sparse_windows(struct sa_plan *plan, uint32_t cluster, uint64_t total)
{
	uint64_t mask = ~((uint64_t)cluster - 1), cur = ~0ULL, free_here = 0;
	const struct sa_picture *p = &plan->pic;

	for (uint32_t i = 0; i < p->count; i++) {
		uint64_t s = p->runs[i].start, e = s + p->runs[i].len;
		while (s < e) {
			uint64_t w = s & mask;
			if (w != cur) {
				if (close_window(plan, cur, free_here, cluster, total))
					return -1;
				cur = w;
				free_here = 0;
			}
			uint64_t piece = (w + cluster < e ? w + cluster : e) - s;
			free_here += piece;
			s += piece;
		}
	}
	return close_window(plan, cur, free_here, cluster, total);
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

uint32_t sa_file_windows(struct sa_plan *plan, const struct sa_file *f, uint32_t cluster,
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

void sa_choose_windows(struct sa_plan *plan, uint32_t cluster)
{
	for (uint32_t w = 0; w < plan->nwindows; w++) {
		struct sa_window *win = &plan->windows[w];
		win->chosen = win->file_blocks >= win->used && win->cost <= cluster;
	}
}

void sa_unchoose_windows(struct sa_plan *plan, const struct donor *d, uint32_t cluster)
{
	for (uint32_t i = 0; i < d->fec->count; i++) {
		uint32_t w = sa_window_of(plan, d->fec->ext[i].pblk, cluster);
		if (w != SA_NO_WINDOW)
			plan->windows[w].chosen = 0;
	}
}

uint32_t sa_cheapest_window(const struct sa_plan *plan)
{
	uint32_t best = SA_NO_WINDOW;
	for (uint32_t w = 0; w < plan->nwindows; w++)
		if (plan->windows[w].chosen &&
		    (best == SA_NO_WINDOW || plan->windows[w].cost < plan->windows[best].cost))
			best = w;
	return best;
}

// ---- the limits ------------------------------------------------------------

double sa_share_floor(const struct sa_plan *plan, int64_t unseen)
{
	double free_now = (double)plan->pic.free_blocks + (double)plan->unlocated + (double)unseen;
	return plan->free0 ? (double)plan->large0 * free_now / (double)plan->free0 : 0;
}

double sa_large_floor(const struct sa_plan *plan)
{
	double free_now = (double)plan->pic.free_blocks + (double)plan->unlocated;
	return plan->free0 ? (double)plan->large0 * free_now / (double)plan->free0 +
				     (double)plan->pic.large
			   : 0;
}

int64_t sa_extents_ceiling(const struct sa_plan *plan)
{
	return (int64_t)plan->max_extents - plan->unlocated;
}

// What the large runs must gain below their floor for a change that frees
// `unseen` blocks: their share of them.
static double share_of(const struct sa_plan *plan, int64_t unseen)
{
	return plan->free0 ? (double)plan->large0 * (double)unseen / (double)plan->free0 : 0;
}

int sa_keeps_limits(const struct sa_plan *plan, int64_t extents_before, int64_t extents_after,
		    int64_t large_before, int64_t large_after, int64_t unseen)
{
	return (extents_after <= extents_before || extents_after <= sa_extents_ceiling(plan)) &&
	       ((double)large_after >= (double)large_before + share_of(plan, unseen) ||
		(double)large_after >= sa_large_floor(plan) + share_of(plan, unseen));
}

int sa_within_limits(const struct sa_plan *plan, struct sa_delta d)
{
	int64_t e = plan->pic.count, l = (int64_t)plan->pic.large_blocks;
	return sa_keeps_limits(plan, e, e + d.extents, l, l + d.large_blocks, d.unseen);
}

int sa_short_of_large(const struct sa_plan *plan, struct sa_delta need)
{
	double after = (double)((int64_t)plan->pic.large_blocks + need.large_blocks);
	return (double)need.large_blocks < share_of(plan, need.unseen) &&
	       after < sa_large_floor(plan) + share_of(plan, need.unseen);
}

// ---- judging a move ----------------------------------------------------------

struct sa_delta sa_predicted(const struct sa_plan *plan, const struct sa_file *f)
{
	struct sa_delta d = sa_file_delta(plan, f);
	if (f->blocks >= plan->pic.large)
		d.large_blocks -= f->blocks;
	// tree blocks the plan cannot place may each be a free extent
	d.extents += d.unseen;
	return d;
}

uint32_t sa_pieces_below(const struct fmap *map, uint64_t blocks)
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

int sa_donor_fits(const struct sa_plan *plan, const struct sa_file *f, const struct donor *d,
		  struct sa_delta before, uint32_t cluster)
{
	struct sa_delta freed = sa_file_delta(plan, f);
	int64_t extents = (int64_t)plan->pic.count + freed.extents;
	int64_t change = extents - before.extents;
	if (!sa_keeps_limits(plan, before.extents, extents + freed.unseen, before.large_blocks,
			     (int64_t)plan->pic.large_blocks + freed.large_blocks, freed.unseen))
		return 0;
	if (f->flags & SA_DEFRAG)
		return plan->one_piece ? d->fest.frag == 1 : d->fest.frag < f->frag;
	if (d->fest.frag != 1)
		return 0;
	if (f->window != SA_NO_WINDOW)
		return sa_window_of(plan, d->fec->ext[0].pblk, cluster) != f->window && change <= 0;
	return change < 0;
}

// ---- order of the moves ---------------------------------------------------

float sa_score(const struct sa_file *f, struct sa_delta d, uint64_t large)
{
	// a piece gained is worth 1, a free extent removed half of that, a
	// large run made (in blocks of the cluster size) as much
	float worth = (float)(f->frag - 1) - 0.5f * (float)d.extents +
		      (d.large_blocks > 0 ? (float)d.large_blocks / (float)large : 0.0f);
	return worth / (float)(f->blocks + SA_MOVE_COST);
}

uint32_t sa_rank(struct sa_plan *plan, uint8_t want, uint8_t skip, uint32_t min_blocks,
		 uint32_t max_blocks)
{
	uint32_t n = 0;
	for (uint32_t i = 0; i < plan->nfiles; i++) {
		struct sa_file *f = &plan->files[i];
		if (!(f->flags & want) || (f->flags & (SA_DONE | SA_HELD | skip)) ||
		    f->blocks < min_blocks ||
		    f->blocks >= max_blocks)
			continue;
		struct sa_delta d = sa_file_delta(plan, f);
		f->score = sa_score(f, d, plan->pic.large);
		plan->order[n++] = i;
	}
	// best score first, then lowest inode; a file planned twice (two names
	// of one inode) keeps the walk's order, so the order is one whatever
	// the sort does with equal keys
	const struct sa_file *files = plan->files;
	std::sort(plan->order, plan->order + n, [files](uint32_t a, uint32_t b) {
		const struct sa_file *x = &files[a], *y = &files[b];
		if (x->score != y->score)
			return x->score > y->score;
		if (x->ino != y->ino)
			return x->ino < y->ino;
		return a < b;
	});
	return n;
}

struct sa_file *sa_best_spare(const struct sa_plan *plan, const struct sa_file *skip)
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
	return best;
}

// ---- units ------------------------------------------------------------------

uint64_t sa_padded(const struct sa_plan *plan, uint64_t blocks)
{
	uint64_t p = plan->page_blocks ? plan->page_blocks : 1;
	return (blocks + p - 1) / p * p;
}

// Adds what moving f frees to the overlay.
static void add_freed(struct sa_freeing *fr, const struct sa_plan *plan, const struct sa_file *f)
{
	uint32_t n = f->pieces + ((f->flags & SA_TREE) ? f->meta : 0);
	for (uint32_t p = 0; p < n; p++) {
		sa_piece pc = plan->pieces[f->piece + p];
		sa_freeing_add(fr, &plan->pic, sa_piece_start(pc), sa_piece_len(pc));
	}
	if (!(f->flags & SA_TREE))
		fr->d.unseen += f->meta;
}

uint32_t sa_sweep_order(struct sa_plan *plan)
{
	uint32_t n = 0;
	for (uint32_t i = 0; i < plan->nfiles; i++) {
		const struct sa_file *f = &plan->files[i];
		if ((f->flags & (SA_DEFRAG | SA_SPARE)) && !(f->flags & SA_FINAL) && f->pieces)
			plan->order[n++] = i;
	}
	const struct sa_file *files = plan->files;
	const sa_piece *pieces = plan->pieces;
	std::sort(plan->order, plan->order + n, [files, pieces](uint32_t a, uint32_t b) {
		uint64_t x = sa_piece_start(pieces[files[a].piece]);
		uint64_t y = sa_piece_start(pieces[files[b].piece]);
		return x != y ? x < y : a < b;
	});
	return n;
}

int sa_unit_keeps_limits(const struct sa_plan *plan, struct sa_delta freed, uint64_t blocks)
{
	int64_t e = plan->pic.count, l = (int64_t)plan->pic.large_blocks;
	// tree blocks the plan cannot place may each be a free extent
	return sa_keeps_limits(plan, e, e + freed.extents + freed.unseen, l,
			       l + freed.large_blocks - (int64_t)blocks, freed.unseen);
}

// What freeing every file of order[i, end) not done does, the blocks they
// take on donors, and how many of them leave part of a page there.
static struct sa_delta rest_freed(const struct sa_plan *plan, uint32_t i, uint32_t end,
				  uint64_t *blocks, int64_t *gaps)
{
	struct sa_freeing fr;
	sa_freeing_clear(&fr);
	*blocks = 0;
	*gaps = 0;
	for (uint32_t k = i; k < end; k++) {
		const struct sa_file *f = &plan->files[plan->order[k]];
		if (f->flags & SA_FINAL)
			continue;
		*blocks += sa_padded(plan, f->blocks);
		*gaps += sa_padded(plan, f->blocks) != f->blocks;
		add_freed(&fr, plan, f);
	}
	return fr.d;
}

int sa_rest_keeps_limits_from(const struct sa_plan *plan, uint32_t i, uint32_t placed,
			      uint32_t end, struct sa_delta before, int64_t slack)
{
	uint64_t blocks, later;
	int64_t gaps, later_gaps;
	struct sa_delta d = rest_freed(plan, i, end, &blocks, &gaps);
	// what the placed files leave of their pages on their donors is in the
	// picture already
	rest_freed(plan, placed, end, &later, &later_gaps);
	return sa_keeps_limits(plan, before.extents,
			       (int64_t)plan->pic.count + d.extents + later_gaps + d.unseen - slack,
			       before.large_blocks,
			       (int64_t)plan->pic.large_blocks + d.large_blocks - (int64_t)later,
			       d.unseen);
}

uint32_t sa_unit_from(const struct sa_plan *plan, uint32_t n, uint32_t i, uint64_t *work)
{
	struct sa_freeing fr;
	uint64_t blocks = 0;
	int64_t gaps = 0;
	sa_freeing_clear(&fr);
	for (uint32_t k = i; k < n; k++) {
		const struct sa_file *f = &plan->files[plan->order[k]];
		if (f->flags & SA_FINAL)
			continue;
		blocks += sa_padded(plan, f->blocks);
		// what a file leaves of its last page on the donor is given back:
		// a free extent of its own, unless it lies beside free space
		gaps += sa_padded(plan, f->blocks) != f->blocks;
		add_freed(&fr, plan, f);
		*work += f->pieces + f->meta;
		struct sa_delta d = fr.d;
		d.extents += gaps;
		if (sa_unit_keeps_limits(plan, d, blocks))
			return k + 1;
		// the runs the unit would leave take memory of their own
		if (fr.chains.size() > SA_UNIT_CHAINS)
			break;
	}
	return i;
}

uint32_t sa_keep_unmoved(struct sa_plan *plan, uint64_t bytes, uint32_t hb)
{
	uint32_t nf = 0, np = 0, nh = 0;
	uint64_t used = 0;
	// the stores shrink towards their start: what moves never overtakes
	// what is still to be read
	for (uint32_t i = 0; i < plan->nfiles; i++) {
		struct sa_file f = plan->files[i];
		if ((f.flags & SA_FINAL) || !(f.flags & (SA_DEFRAG | SA_SPARE)))
			continue;
		uint32_t n = f.pieces + ((f.flags & SA_TREE) ? f.meta : 0);
		used += sizeof(struct sa_file) + sizeof(uint32_t) + n * sizeof(sa_piece) + hb;
		if (used > bytes)
			break;
		memmove(plan->pieces + np, plan->pieces + f.piece, n * sizeof(sa_piece));
		f.piece = np;
		np += n;
		memmove(plan->handles + nh, plan->handles + f.handle, hb);
		f.handle = nh;
		nh += hb;
		f.flags &= ~SA_HELD;
		f.window = SA_NO_WINDOW;
		plan->files[nf++] = f;
	}
	plan->nfiles = nf;
	plan->npieces = np;
	plan->handles_used = nh;
	return nf;
}

void sa_plan_free(struct sa_plan *plan)
{
	sa_pic_free(&plan->pic);
	free(plan->files);
	free(plan->pieces);
	free(plan->handles);
	free(plan->windows);
	free(plan->order);
	free(plan->dir_fds);
	free(plan->ballast);
	memset(plan, 0, sizeof(*plan));
}
