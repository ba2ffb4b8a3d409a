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

int __get_inode_fiemap(defrag_context *ctx, int fd, uint64_t ino, uint32_t blocksize_bits,
		       struct fmap **map_slot, struct fest *fest)
{
	const size_t req_size =
		sizeof(struct fiemap) + FIEMAP_BATCH * sizeof(struct fiemap_extent);
	uint32_t home = ino_group(ctx, ino);
	int result = 0;
	int bad_seen = 0;

	struct fiemap *fm = (struct fiemap *)malloc(req_size);
	if (!fm) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "__get_inode_fiemap",
			errno);
		return -1;
	}
	if (fest)
		memset(fest, 0, sizeof(*fest));

	struct fmap *map = fmap_alloc(4);
	if (!map) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "__get_inode_fiemap",
			errno);
		result = -1;
		goto out;
	}
	*map_slot = map;

	{
		uint64_t prev_lend = 0, prev_pend = 0;
		uint32_t prev_group = 0;
		bool have_group = false;
		uint64_t start = 0;

		memset(fm, 0, sizeof(*fm));
		fm->fm_flags = FIEMAP_FLAG_SYNC;
		fm->fm_length = ~0ULL;
		fm->fm_extent_count = FIEMAP_BATCH;

		for (;;) {
			memset(fm->fm_extents, 0, FIEMAP_BATCH * sizeof(struct fiemap_extent));
			fm->fm_start = start;
			fm->fm_mapped_extents = 0;
			int ret = qf_sys.fiemap(fd, fm);
			if (ret < 0 || fm->fm_mapped_extents == 0) {
				if (debug_flags & 0x20)
					fprintf(stderr,
						"%s Can get extent info for inode:%ld ret:%d "
						"mapped:%d\n",
						"__get_inode_fiemap", (long)ino, ret,
						(int)fm->fm_mapped_extents);
				result = ret;
				break;
			}
			// a request never reports more records than it was given room for
			uint32_t mapped = fm->fm_mapped_extents;
			if (mapped > FIEMAP_BATCH)
				mapped = FIEMAP_BATCH;

			for (uint32_t i = 0; i < mapped; i++) {
				const struct fiemap_extent *fe = &fm->fm_extents[i];
				uint32_t lblk = (uint32_t)(fe->fe_logical >> blocksize_bits);
				uint64_t pblk = fe->fe_physical >> blocksize_bits;
				uint32_t len = (uint32_t)(fe->fe_length >> blocksize_bits);

				if (fest) {
					uint32_t grp = blk_group(ctx, pblk);
					if (lblk != prev_lend)
						fest->hole++;
					if (pblk != prev_pend)
						fest->frag++;
					if (grp == home) {
						fest->local_ex++;
						fest->local_sz += len;
					}
					if (!have_group || grp != prev_group) {
						fest->group++;
						prev_group = grp;
						have_group = true;
					}
				}

				if (map->count && lblk == prev_lend && pblk == prev_pend) {
					map->ext[map->count - 1].len += len;
				} else {
					struct fmap_extent *e = &map->ext[map->count++];
					e->len = len;
					e->lblk = lblk;
					e->pblk = pblk;
					if (map->count == map->capacity) {
						uint32_t cap = map->capacity + map->capacity / 2;
						struct fmap *bigger = (struct fmap *)realloc(
							map, sizeof(struct fmap) +
								     cap * sizeof(struct fmap_extent));
						if (!bigger) {
							fprintf(stderr, "%s Can not allocate memory\n",
								"__get_inode_fiemap");
							free(map);
							*map_slot = nullptr;
							result = -1;
							goto out;
						}
						map = bigger;
						map->capacity = cap;
						*map_slot = map;
					}
				}

				if (fe->fe_flags & ~(uint32_t)FIEMAP_ACCEPTED_FLAGS) {
					bad_seen = 1;
					if (debug_flags & 0x20)
						fprintf(stderr,
							"Bad extent found ino:%ld lblk:%lld, len:%u, "
							"pblk:%lld flags:%x\n",
							(long)ino, (long long)lblk, len,
							(long long)pblk, fe->fe_flags);
				}

				scanned_extents++;
				scanned_blocks += len;
				prev_lend = (uint64_t)lblk + len;
				prev_pend = pblk + len;
			}
			result = ret;

			const struct fiemap_extent *last = &fm->fm_extents[mapped - 1];
			if (mapped < FIEMAP_BATCH || (last->fe_flags & FIEMAP_EXTENT_LAST))
				break;
			uint64_t next = last->fe_logical + last->fe_length;
			// a batch that does not move forward would be asked for again and
			// again; stop with what has been read
			if (next <= start)
				break;
			start = next;
		}
	}

out:
	if ((debug_flags & 0x20) && fest)
		printf("%s fmap stat ino:%ld hole:%d frag:%d local_ex:%d local_sz:%d group:%d\n",
		       "__get_inode_fiemap", (long)ino, fest->hole, fest->frag, fest->local_ex,
		       fest->local_sz, fest->group);
	free(fm);
	if (bad_seen)
		return -1;
	return result;
}

static void csum_bytes(uint32_t *csum, const void *p, size_t n)
{
	*csum = ext2fs_crc32c_le(*csum, (unsigned char const *)p, n);
}

void fmap_csum_init(const struct stat *st, uint32_t *csum)
{
	uint64_t ino = st->st_ino;
	int64_t size = st->st_size;
	int64_t blocks = st->st_blocks;

	*csum = 0xdeadbeef;
	csum_bytes(csum, &ino, sizeof(ino));
	csum_bytes(csum, &size, sizeof(size));
	csum_bytes(csum, &blocks, sizeof(blocks));
}

void fmap_csum_ext(const struct fmap_extent *ext, uint32_t *csum)
{
	uint32_t lblk = ext->lblk;
	uint64_t pblk = ext->pblk;
	uint32_t len = ext->len;

	csum_bytes(csum, &lblk, sizeof(lblk));
	csum_bytes(csum, &pblk, sizeof(pblk));
	csum_bytes(csum, &len, sizeof(len));
}
