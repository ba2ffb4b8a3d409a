// --report: file and free-space fragmentation of the mounted file system.
//
// The free-space figures come from the kernel (FS_IOC_GETFSMAP), not from the
// device: the bitmaps on the device are only brought up to date when the
// journal is checkpointed, which would need a freeze of the whole file system
// (and a thaw that a killed run would never do). The kernel's picture is
// current once the journal has committed, which a syncfs of the mount forces;
// blocks freed in a transaction that has not committed yet are not reusable
// and the kernel still reports them in use until then.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>
#include <linux/fsmap.h>
#include "report.h"
#include "extent_map.h"
#include "movable.h"
#include "paths.h"
#include "stats.h"
#include "walk.h"

// Free extents as they are found, in ascending order of their first block:
// a run that starts where the open one ends continues it.
struct free_tally {
	struct frag_report *r;
	uint64_t chunk_blocks;
	uint64_t open_start, open_len;
};

static void free_tally_close(struct free_tally *t)
{
	struct frag_report *r = t->r;
	if (!t->open_len)
		return;
	r->free_extents++;
	r->free_blocks += t->open_len;
	if (t->open_len > r->largest_free)
		r->largest_free = t->open_len;
	if (t->open_len >= t->chunk_blocks)
		r->free_in_chunks += t->open_len;
	t->open_len = 0;
}

static void free_tally_add(void *arg, uint64_t start, uint64_t len)
{
	struct free_tally *t = (struct free_tally *)arg;
	if (!len)
		return;
	if (t->open_len && start == t->open_start + t->open_len) {
		t->open_len += len;
		return;
	}
	free_tally_close(t);
	t->open_start = start;
	t->open_len = len;
}

#define FSMAP_BATCH 256

int kernel_free_runs(int mount_fd, uint32_t blocksize_bits,
		     void (*fn)(void *arg, uint64_t start, uint64_t len), void *arg)
{
	size_t size = sizeof(struct fsmap_head) + FSMAP_BATCH * sizeof(struct fsmap);
	struct fsmap_head *h = (struct fsmap_head *)calloc(1, size);
	if (!h)
		return -1;
	h->fmh_count = FSMAP_BATCH;
	// the high key: everything there is
	h->fmh_keys[1].fmr_device = ~0U;
	h->fmh_keys[1].fmr_flags = ~0U;
	h->fmh_keys[1].fmr_physical = ~0ULL;
	h->fmh_keys[1].fmr_owner = ~0ULL;
	h->fmh_keys[1].fmr_offset = ~0ULL;
	for (;;) {
		if (ioctl(mount_fd, FS_IOC_GETFSMAP, h) < 0) {
			int e = errno;
			free(h);
			errno = e;
			return -1;
		}
		if (!h->fmh_entries)
			break;
		for (uint32_t i = 0; i < h->fmh_entries; i++) {
			const struct fsmap *rec = &h->fmh_recs[i];
			if (rec->fmr_owner == FMR_OWN_FREE)
				fn(arg, rec->fmr_physical >> blocksize_bits,
				   rec->fmr_length >> blocksize_bits);
		}
		const struct fsmap *last = &h->fmh_recs[h->fmh_entries - 1];
		if (last->fmr_flags & FMR_OF_LAST)
			break;
		fsmap_advance(h);
	}
	free(h);
	return 0;
}

struct report_walk {
	struct frag_report *r;
	struct top_files *top;
};

// Keeps the file among the most fragmented when it has more pieces than the
// last of them; its path is read from the descriptor only then.
static void note_top(struct top_files *top, int fd, const struct stat *st, uint64_t pieces)
{
	if (pieces < 2 || (top->count == TOP_FILES && pieces <= top->f[TOP_FILES - 1].pieces))
		return;
	uint32_t at = top->count < TOP_FILES ? top->count++ : TOP_FILES - 1;
	while (at > 0 && top->f[at - 1].pieces < pieces) {
		top->f[at] = top->f[at - 1];
		at--;
	}
	struct top_file *t = &top->f[at];
	t->pieces = pieces;
	t->size = (uint64_t)st->st_size;
	char link[64];
	snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
	ssize_t n = readlink(link, t->path, sizeof(t->path) - 1);
	if (n < 0)
		snprintf(t->path, sizeof(t->path), "(inode %llu)", (unsigned long long)st->st_ino);
	else
		t->path[n] = '\0';
}

// Counts one file into the report being filled (ctx->walk_arg).
static int report_file(defrag_context *ctx, int fd, const struct stat *st, int, const char *)
{
	struct report_walk *w = (struct report_walk *)ctx->walk_arg;
	struct frag_report *r = w->r;
	struct fmap *map = nullptr;
	struct fest fest;

	if (!S_ISREG(st->st_mode) || !path_selected(ctx, st))
		return 0;
	enum unmovable_kind k = file_unmovable(fd);
	r->block_mapped += k == UNMOVABLE_BLOCK_MAPPED;
	r->journal_data += k == UNMOVABLE_JOURNAL_DATA;
	// a map with a refused record is still complete: its pieces count
	int ret = __get_inode_fiemap(ctx, fd, st->st_ino, ctx->blocksize_bits, &map, &fest);
	if ((ret == 0 || ret == -1) && map && map->count) {
		uint64_t blocks = 0;
		for (uint32_t i = 0; i < map->count; i++)
			blocks += map->ext[i].len;
		r->files++;
		r->fragments += fest.frag;
		r->data_blocks += blocks;
		if (fest.frag > 1) {
			r->fragmented_files++;
			r->fragmented_blocks += blocks;
			r->fragmented_pieces += fest.frag;
		}
		if (w->top)
			note_top(w->top, fd, st, fest.frag);
	}
	free(map);
	return 0;
}

void collect_report(defrag_context *ctx, struct frag_report *r, struct top_files *top)
{
	// the report's own walk and map reads are not part of the run's summary
	unsigned long long saved[] = {scanned_inodes, scanned_dirs, scanned_files,
				      scanned_extents, scanned_blocks};
	struct report_walk w = {r, top};

	memset(r, 0, sizeof(*r));
	if (top)
		top->count = 0;
	ctx->walk_arg = &w;
	ctx->walk_untimed = 1;
	walk_tree(ctx, report_file);
	ctx->walk_untimed = 0;
	ctx->walk_arg = nullptr;

	scanned_inodes = saved[0];
	scanned_dirs = saved[1];
	scanned_files = saved[2];
	scanned_extents = saved[3];
	scanned_blocks = saved[4];

	struct free_tally t = {r, ctx->cluster_blocks, 0, 0};
	if (kernel_free_runs(ctx->root_fd, ctx->blocksize_bits, free_tally_add, &t) == 0) {
		free_tally_close(&t);
		r->free_known = 1;
	} else {
		fprintf(stderr, "%s: the kernel gives no free-space map: %m\n", "report");
	}
}

void print_report(const defrag_context *ctx, const char *when, const struct frag_report *r)
{
	unsigned long long kib = (1ULL << ctx->blocksize_bits) >> 10;

	printf("Report %s:\n", when);
	printf("\tfiles:\t\t\t\t%llu\n", (unsigned long long)r->files);
	printf("\tfragmented files:\t\t%llu\n", (unsigned long long)r->fragmented_files);
	printf("\tfile fragments:\t\t\t%llu\n", (unsigned long long)r->fragments);
	// only where there are some, so that the block stays as it always was
	// on file systems whose every file can be moved
	if (r->block_mapped || r->journal_data)
		printf("\tfiles not movable:\t\t%llu (%llu mapped block by block, %llu with "
		       "journalled data)\n",
		       (unsigned long long)(r->block_mapped + r->journal_data),
		       (unsigned long long)r->block_mapped, (unsigned long long)r->journal_data);
	if (!r->free_known)
		return;
	printf("\tfree blocks:\t\t\t%llu\n", (unsigned long long)r->free_blocks);
	printf("\tfree extents:\t\t\t%llu\n", (unsigned long long)r->free_extents);
	printf("\tlargest free extent:\t\t%llu KiB\n", (unsigned long long)r->largest_free * kib);
	printf("\tfree space in chunks >= %llu KiB:\t%.2f %%\n",
	       (unsigned long long)ctx->cluster_blocks * kib,
	       r->free_blocks ? 100.0 * (double)r->free_in_chunks / (double)r->free_blocks : 0.0);
}

void report_now(defrag_context *ctx, const char *when, struct frag_report *r)
{
	syncfs(ctx->root_fd);
	collect_report(ctx, r, nullptr);
	if (!ctx->json)
		print_report(ctx, when, r);
}
