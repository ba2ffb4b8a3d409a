// A file's extent map read from the kernel, its statistics and checksum.
#pragma once
#include "context.h"

struct fmap_extent {
	uint32_t len;
	uint32_t lblk;
	uint64_t pblk;
};

struct fmap {
	uint32_t capacity;
	uint32_t count;
	struct fmap_extent ext[];
};

struct fest {
	uint32_t hole;
	uint32_t frag;
	uint32_t group;
	uint32_t local_ex;
	uint32_t local_sz;
};

int __get_inode_fiemap(defrag_context *ctx, int fd, uint64_t ino, uint32_t blocksize_bits,
		       struct fmap **map_slot, struct fest *fest);
// Checksum of a file's identity (inode, size, allocation) and of every entry
// of its map: what Pass3 records of a candidate and Pass4 compares.
uint32_t fmap_csum(const struct stat *st, const struct fmap *map);

// A file's size in blocks, its last, partly used block counted: the size a
// candidate is tested and verified with.
static inline uint64_t size_blocks(const struct stat *st, uint32_t blocksize_bits)
{
	return ((uint64_t)st->st_size + (1ULL << blocksize_bits) - 1) >> blocksize_bits;
}

// Block just past the last mapped block (0 for an empty map).
static inline uint64_t fmap_eof_blk(const struct fmap *map)
{
	if (!map || !map->count)
		return 0;
	return (uint64_t)map->ext[map->count - 1].lblk + map->ext[map->count - 1].len;
}
