// The space-aware plan: its picture of the free space, what a move does to
// it, the sparse windows and the order of the moves. Nothing here talks to
// the kernel; space_aware.cpp does, and keeps the picture up to date.
#include <cstdlib>
#include <cstring>
#include "space_plan.h"

// ---- the picture ------------------------------------------------------------

// Index of the last run starting at or before blk, or -1.
static int64_t run_before(const struct sa_picture *p, uint64_t blk)
{
	int64_t lo = 0, hi = (int64_t)p->count - 1, found = -1;
	while (lo <= hi) {
		int64_t mid = lo + (hi - lo) / 2;
		if (p->runs[mid].start <= blk) {
			found = mid;
			lo = mid + 1;
		} else {
			hi = mid - 1;
		}
	}
	return found;
}

static uint64_t large_part(const struct sa_picture *p, uint64_t len)
{
	return len >= p->large ? len : 0;
}

static int insert_run(struct sa_picture *p, uint32_t at, uint64_t start, uint64_t len)
{
	if (sa_grow(&p->runs, &p->cap, (uint64_t)p->count + 1))
		return -1;
	memmove(&p->runs[at + 1], &p->runs[at], (size_t)(p->count - at) * sizeof(*p->runs));
	p->runs[at].start = start;
	p->runs[at].len = len;
	p->count++;
	p->large_blocks += large_part(p, len);
	p->free_blocks += len;
	return 0;
}

static void remove_run(struct sa_picture *p, uint32_t at)
{
	p->large_blocks -= large_part(p, p->runs[at].len);
	p->free_blocks -= p->runs[at].len;
	memmove(&p->runs[at], &p->runs[at + 1], (size_t)(p->count - at - 1) * sizeof(*p->runs));
	p->count--;
}

static void resize_run(struct sa_picture *p, uint32_t at, uint64_t start, uint64_t len)
{
	p->large_blocks -= large_part(p, p->runs[at].len);
	p->free_blocks -= p->runs[at].len;
	p->runs[at].start = start;
	p->runs[at].len = len;
	p->large_blocks += large_part(p, len);
	p->free_blocks += len;
}

int sa_pic_give(struct sa_picture *p, uint64_t start, uint64_t len)
{
	int64_t i = run_before(p, start);
	uint32_t next = (uint32_t)(i + 1);
	if (!len)
		return 0;
	if (i >= 0 && p->runs[i].start + p->runs[i].len > start)
		return -1;
	if (next < p->count && p->runs[next].start < start + len)
		return -1;
	bool left = i >= 0 && p->runs[i].start + p->runs[i].len == start;
	bool right = next < p->count && p->runs[next].start == start + len;
	if (left && right) {
		uint64_t merged = p->runs[i].len + len + p->runs[next].len;
		remove_run(p, next);
		resize_run(p, (uint32_t)i, p->runs[i].start, merged);
	} else if (left) {
		resize_run(p, (uint32_t)i, p->runs[i].start, p->runs[i].len + len);
	} else if (right) {
		resize_run(p, next, start, p->runs[next].len + len);
	} else {
		return insert_run(p, next, start, len);
	}
	return 0;
}

int sa_pic_take(struct sa_picture *p, uint64_t start, uint64_t len)
{
	int64_t i = run_before(p, start);
	if (!len)
		return 0;
	if (i < 0 || p->runs[i].start + p->runs[i].len < start + len)
		return -1;
	uint64_t rs = p->runs[i].start, re = rs + p->runs[i].len, end = start + len;
	if (rs == start && re == end) {
		remove_run(p, (uint32_t)i);
	} else if (rs == start) {
		resize_run(p, (uint32_t)i, end, re - end);
	} else if (re == end) {
		resize_run(p, (uint32_t)i, rs, start - rs);
	} else {
		resize_run(p, (uint32_t)i, rs, start - rs);
		return insert_run(p, (uint32_t)i + 1, end, re - end);
	}
	return 0;
}

int64_t sa_pic_claim(struct sa_picture *p, uint64_t start, uint64_t len)
{
	int64_t claimed = 0;
	uint64_t end = start + len;
	while (start < end) {
		int64_t i = run_before(p, start);
		if (i >= 0 && p->runs[i].start + p->runs[i].len > start) {
			start = p->runs[i].start + p->runs[i].len; // free already
			continue;
		}
		// in use up to the next run or the end
		uint64_t next = (uint32_t)(i + 1) < p->count ? p->runs[i + 1].start : end;
		uint64_t stop = next < end ? next : end;
		if (sa_pic_give(p, start, stop - start))
			return -1;
		claimed += (int64_t)(stop - start);
		start = stop;
	}
	return claimed;
}

void sa_pic_free(struct sa_picture *p)
{
	free(p->runs);
	p->runs = nullptr;
	p->count = p->cap = 0;
	p->large_blocks = p->free_blocks = 0;
}

// The run that ends exactly at blk, or -1.
static int64_t run_ending_at(const struct sa_picture *p, uint64_t blk)
{
	int64_t i = run_before(p, blk ? blk - 1 : 0);
	return i >= 0 && p->runs[i].start + p->runs[i].len == blk ? i : -1;
}

// The run that starts exactly at blk, or -1.
static int64_t run_starting_at(const struct sa_picture *p, uint64_t blk)
{
	int64_t i = run_before(p, blk);
	return i >= 0 && p->runs[i].start == blk ? i : -1;
}

// Freed pieces join the free runs they touch, and each other through them:
// every chain of pieces and runs becomes one run.
struct sa_delta sa_free_delta(const struct sa_picture *p, const sa_piece *pieces, uint32_t n)
{
	struct sa_delta d = {0, 0};
	uint32_t i = 0;
	while (i < n) {
		uint64_t end = sa_piece_start(pieces[i]) + sa_piece_len(pieces[i]);
		uint64_t len = sa_piece_len(pieces[i]);
		int64_t r = run_ending_at(p, sa_piece_start(pieces[i]));
		if (r >= 0) {
			len += p->runs[r].len;
			d.extents--;
			d.large_blocks -= (int64_t)large_part(p, p->runs[r].len);
		}
		for (;;) {
			r = run_starting_at(p, end);
			if (r >= 0) {
				len += p->runs[r].len;
				end += p->runs[r].len;
				d.extents--;
				d.large_blocks -= (int64_t)large_part(p, p->runs[r].len);
			}
			if (i + 1 < n && sa_piece_start(pieces[i + 1]) == end) {
				i++;
				len += sa_piece_len(pieces[i]);
				end += sa_piece_len(pieces[i]);
				continue;
			}
			break;
		}
		d.extents++;
		d.large_blocks += (int64_t)large_part(p, len);
		i++;
	}
	return d;
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

// ---- order of the moves ---------------------------------------------------

float sa_score(const struct sa_file *f, struct sa_delta d, uint64_t large)
{
	// a piece gained is worth 1, a free extent removed half of that, a
	// large run made (in blocks of the cluster size) as much
	float worth = (float)(f->frag - 1) - 0.5f * (float)d.extents +
		      (d.large_blocks > 0 ? (float)d.large_blocks / (float)large : 0.0f);
	return worth / (float)(f->blocks + SA_MOVE_COST);
}

static struct sa_plan *rank_plan; // qsort has no argument of its own

static int by_score(const void *a, const void *b)
{
	const struct sa_file *x = &rank_plan->files[*(const uint32_t *)a];
	const struct sa_file *y = &rank_plan->files[*(const uint32_t *)b];
	if (x->score != y->score)
		return x->score > y->score ? -1 : 1;
	return x->ino < y->ino ? -1 : x->ino > y->ino;
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
		struct sa_delta d = sa_free_delta(&plan->pic, plan->pieces + f->piece, f->pieces);
		f->score = sa_score(f, d, plan->pic.large);
		plan->order[n++] = i;
	}
	rank_plan = plan;
	qsort(plan->order, n, sizeof(*plan->order), by_score);
	rank_plan = nullptr;
	return n;
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
