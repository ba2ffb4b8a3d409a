// Reading a file's extent map from the kernel: batches of FIEMAP records,
// converted to file-system blocks, merged where runs continue each other, with
// the file's fragmentation statistics gathered in the same pass.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/fiemap.h>
#include "extent_map.h"
#include "stats.h"
#include "syscalls.h"

// Records per kernel request: 32-byte header plus 512 records of 56 bytes.
#define FIEMAP_BATCH 512

// Flags a usable map may carry: the end marker and preallocated space.
#define FIEMAP_ACCEPTED_FLAGS (FIEMAP_EXTENT_LAST | FIEMAP_EXTENT_UNWRITTEN)

static struct fmap *fmap_alloc(uint32_t capacity)
{
	struct fmap *map =
		(struct fmap *)malloc(sizeof(struct fmap) + capacity * sizeof(struct fmap_extent));
	if (!map)
		return nullptr;
	map->capacity = capacity;
	map->count = 0;
	return map;
}

// What reading one file's map carries from record to record.
struct fiemap_scan {
	defrag_context *ctx;
	uint64_t ino;
	uint32_t home;             // the inode's own (flex) group
	struct fmap *map;
	struct fest *fest;         // null when the caller wants no statistics
	uint64_t prev_lend;        // logical block past the previous record
	uint64_t prev_pend;        // physical block past the previous record
	uint32_t prev_group;       // (flex) group of the previous record
	bool have_group;
	bool bad_seen;             // a record carried a flag the map cannot take
};

// Per-file statistics, one record at a time, before any merging: holes,
// physically separate pieces, the records in the home group and their blocks,
// and the runs of records in one group.
static void fest_count(struct fiemap_scan *s, uint32_t lblk, uint64_t pblk, uint32_t len)
{
	struct fest *fest = s->fest;
	uint32_t grp = blk_group(s->ctx, pblk);

	if (lblk != s->prev_lend)
		fest->hole++;
	if (pblk != s->prev_pend)
		fest->frag++;
	if (grp == s->home) {
		fest->local_ex++;
		fest->local_sz += len;
	}
	if (!s->have_group || grp != s->prev_group) {
		fest->group++;
		s->prev_group = grp;
		s->have_group = true;
	}
}

// Adds a record to the map: it lengthens the last entry when it continues
// it both logically and physically, else it becomes a new entry. The map
// grows by half once full. -1 (the map freed) when it cannot grow.
static int fmap_append(struct fiemap_scan *s, uint32_t lblk, uint64_t pblk, uint32_t len)
{
	struct fmap *map = s->map;

	if (map->count && lblk == s->prev_lend && pblk == s->prev_pend) {
		map->ext[map->count - 1].len += len;
		return 0;
	}
	struct fmap_extent *e = &map->ext[map->count++];
	e->len = len;
	e->lblk = lblk;
	e->pblk = pblk;
	if (map->count < map->capacity)
		return 0;
	uint32_t cap = map->capacity + map->capacity / 2;
	struct fmap *bigger = (struct fmap *)realloc(
		map, sizeof(struct fmap) + cap * sizeof(struct fmap_extent));
	if (!bigger) {
		fprintf(stderr, "%s Can not allocate memory\n", "__get_inode_fiemap");
		free(map);
		s->map = nullptr;
		return -1;
	}
	bigger->capacity = cap;
	s->map = bigger;
	return 0;
}

// One record of the kernel's answer, in file-system blocks. -1 when the map
// could not take it.
static int add_record(struct fiemap_scan *s, const struct fiemap_extent *fe,
		      uint32_t blocksize_bits)
{
	uint32_t lblk = (uint32_t)(fe->fe_logical >> blocksize_bits);
	uint64_t pblk = fe->fe_physical >> blocksize_bits;
	uint32_t len = (uint32_t)(fe->fe_length >> blocksize_bits);

	if (s->fest)
		fest_count(s, lblk, pblk, len);
	if (fmap_append(s, lblk, pblk, len))
		return -1;
	if (fe->fe_flags & ~(uint32_t)FIEMAP_ACCEPTED_FLAGS) {
		s->bad_seen = true;
		if (debug_flags & QF_DBG_EXTMAP)
			fprintf(stderr,
				"Bad extent found ino:%ld lblk:%lld, len:%u, pblk:%lld flags:%x\n",
				(long)s->ino, (long long)lblk, len, (long long)pblk, fe->fe_flags);
	}
	scanned_extents++;
	scanned_blocks += len;
	s->prev_lend = (uint64_t)lblk + len;
	s->prev_pend = pblk + len;
	return 0;
}

// Asks the kernel for the file's records in batches of FIEMAP_BATCH, each
// from where the last one ended, until a batch is short or marked last. The
// result of the last request (0 for a file with no records), or -1 when the
// map could not take a record.
static int request_loop(struct fiemap_scan *s, int fd, struct fiemap *fm,
			uint32_t blocksize_bits)
{
	uint64_t start = 0;
	int result = 0;

	memset(fm, 0, sizeof(*fm));
	// the kernel writes dirty data back first, so that the map is where the
	// data will stay; an analysis writes nothing and takes the map as it is
	fm->fm_flags = s->ctx->fiemap_no_sync ? 0 : FIEMAP_FLAG_SYNC;
	fm->fm_length = ~0ULL;
	fm->fm_extent_count = FIEMAP_BATCH;
	for (;;) {
		memset(fm->fm_extents, 0, FIEMAP_BATCH * sizeof(struct fiemap_extent));
		fm->fm_start = start;
		fm->fm_mapped_extents = 0;
		int ret = qf_sys.fiemap(fd, fm);
		if (ret < 0 || fm->fm_mapped_extents == 0) {
			if (debug_flags & QF_DBG_EXTMAP)
				fprintf(stderr,
					"%s Can get extent info for inode:%ld ret:%d mapped:%d\n",
					"__get_inode_fiemap", (long)s->ino, ret,
					(int)fm->fm_mapped_extents);
			return ret;
		}
		// a request never reports more records than it was given room for
		uint32_t mapped = fm->fm_mapped_extents;
		if (mapped > FIEMAP_BATCH)
			mapped = FIEMAP_BATCH;
		for (uint32_t i = 0; i < mapped; i++)
			if (add_record(s, &fm->fm_extents[i], blocksize_bits))
				return -1;
		result = ret;

		const struct fiemap_extent *last = &fm->fm_extents[mapped - 1];
		if (mapped < FIEMAP_BATCH || (last->fe_flags & FIEMAP_EXTENT_LAST))
			return result;
		uint64_t next = last->fe_logical + last->fe_length;
		// a batch that does not move forward would be asked for again and
		// again; stop with what has been read
		if (next <= start)
			return result;
		start = next;
	}
}

int __get_inode_fiemap(defrag_context *ctx, int fd, uint64_t ino, uint32_t blocksize_bits,
		       struct fmap **map_slot, struct fest *fest)
{
	const size_t req_size =
		sizeof(struct fiemap) + FIEMAP_BATCH * sizeof(struct fiemap_extent);
	struct fiemap_scan s = {};
	int result = -1;

	struct fiemap *fm = (struct fiemap *)malloc(req_size);
	if (!fm) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "__get_inode_fiemap",
			errno);
		return -1;
	}
	if (fest)
		memset(fest, 0, sizeof(*fest));

	s.ctx = ctx;
	s.ino = ino;
	s.home = ino_group(ctx, ino);
	s.fest = fest;
	s.map = fmap_alloc(4);
	if (s.map) {
		result = request_loop(&s, fd, fm, blocksize_bits);
		*map_slot = s.map; // what was read, also after a failure; null if freed
	} else {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "__get_inode_fiemap",
			errno);
	}

	if ((debug_flags & QF_DBG_EXTMAP) && fest)
		printf("%s fmap stat ino:%ld hole:%d frag:%d local_ex:%d local_sz:%d group:%d\n",
		       "__get_inode_fiemap", (long)ino, fest->hole, fest->frag, fest->local_ex,
		       fest->local_sz, fest->group);
	free(fm);
	if (s.bad_seen)
		return -1;
	return result;
}

static void csum_bytes(uint32_t *csum, const void *p, size_t n)
{
	*csum = ext2fs_crc32c_le(*csum, (unsigned char const *)p, n);
}

uint32_t fmap_csum(const struct stat *st, const struct fmap *map)
{
	uint64_t ino = st->st_ino;
	int64_t size = st->st_size;
	int64_t blocks = st->st_blocks;
	uint32_t csum = 0xdeadbeef;

	csum_bytes(&csum, &ino, sizeof(ino));
	csum_bytes(&csum, &size, sizeof(size));
	csum_bytes(&csum, &blocks, sizeof(blocks));
	for (uint32_t i = 0; i < map->count; i++) {
		const struct fmap_extent *e = &map->ext[i];
		csum_bytes(&csum, &e->lblk, sizeof(e->lblk));
		csum_bytes(&csum, &e->pblk, sizeof(e->pblk));
		csum_bytes(&csum, &e->len, sizeof(e->len));
	}
	return csum;
}
