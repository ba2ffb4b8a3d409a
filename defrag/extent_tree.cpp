#include "extent_tree.h"

int extent_tree_blocks(ext2_filsys fs, uint64_t ino, uint64_t *out, uint32_t max)
{
	ext2_extent_handle_t h;
	struct ext2fs_extent e;
	uint32_t n = 0;
	if (ext2fs_extent_open2(fs, (ext2_ino_t)ino, nullptr, &h))
		return -1;
	// every entry of every node in turn: an index entry names the block of
	// the node below it
	errcode_t err = ext2fs_extent_get(h, EXT2_EXTENT_ROOT, &e);
	while (!err) {
		if (!(e.e_flags & EXT2_EXTENT_FLAGS_LEAF) &&
		    !(e.e_flags & EXT2_EXTENT_FLAGS_SECOND_VISIT)) {
			if (n == max) {
				ext2fs_extent_free(h);
				return -1;
			}
			out[n++] = e.e_pblk;
		}
		err = ext2fs_extent_get(h, EXT2_EXTENT_NEXT, &e);
	}
	ext2fs_extent_free(h);
	return err == EXT2_ET_EXTENT_NO_NEXT ? (int)n : -1;
}
