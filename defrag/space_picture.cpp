// The free-space picture: free runs as an ascending interval set, and what
// freeing pieces of files would do to it.
#include <cstdlib>
#include <cstring>
#include "space_picture.h"

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
	p->version++;
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
	p->version++;
}

static void resize_run(struct sa_picture *p, uint32_t at, uint64_t start, uint64_t len)
{
	p->large_blocks -= large_part(p, p->runs[at].len);
	p->free_blocks -= p->runs[at].len;
	p->runs[at].start = start;
	p->runs[at].len = len;
	p->large_blocks += large_part(p, len);
	p->free_blocks += len;
	p->version++;
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


int sa_pic_is_free(const struct sa_picture *p, uint64_t blk)
{
	int64_t i = run_before(p, blk);
	return i >= 0 && p->runs[i].start + p->runs[i].len > blk;
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
	struct sa_delta d = {0, 0, 0};
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

void sa_freeing_clear(struct sa_freeing *fr)
{
	fr->chains.clear();
	fr->d = {0, 0, 0};
}

void sa_freeing_add(struct sa_freeing *fr, const struct sa_picture *p, uint64_t start,
		    uint64_t len)
{
	uint64_t s = start, e = start + len;
	// the chain that ends where the piece starts: one made of freed pieces
	// already (it holds any run it touched), else a run of the picture
	auto left = fr->chains.end();
	uint64_t left_len = 0;
	auto it = fr->chains.lower_bound(s);
	if (it != fr->chains.begin()) {
		auto prev = std::prev(it);
		if (prev->first + prev->second == s)
			left = prev;
	}
	if (left != fr->chains.end()) {
		left_len = left->second;
		s = left->first;
	} else if (int64_t r = run_ending_at(p, s); r >= 0) {
		left_len = p->runs[r].len;
		s = p->runs[r].start;
	}
	uint64_t right_len = 0;
	auto right = fr->chains.find(e);
	if (right != fr->chains.end()) {
		right_len = right->second;
		fr->chains.erase(right);
	} else if (int64_t r = run_starting_at(p, e); r >= 0) {
		right_len = p->runs[r].len;
	}
	if (left != fr->chains.end())
		fr->chains.erase(left);
	uint64_t merged = left_len + len + right_len;
	fr->chains[s] = merged;
	fr->d.extents += 1 - (left_len > 0) - (right_len > 0);
	fr->d.large_blocks += (int64_t)large_part(p, merged) - (int64_t)large_part(p, left_len) -
			      (int64_t)large_part(p, right_len);
}

int64_t sa_pic_run_ending_at(const struct sa_picture *p, uint64_t blk)
{
	return run_ending_at(p, blk);
}

int64_t sa_pic_run_starting_at(const struct sa_picture *p, uint64_t blk)
{
	return run_starting_at(p, blk);
}
