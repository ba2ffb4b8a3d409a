// Where a file's extent tree lies: the blocks of the nodes below its inode,
// read through the library from the device (read only). The kernel's maps
// give a file's data, not these; they are freed when the file's extents fit
// in its inode again.
#pragma once
#include <cstdint>
#include <ext2fs/ext2fs.h>

// The tree blocks of inode ino into out (at most max of them): their number,
// or -1 when the inode or a node cannot be read or there are more.
int extent_tree_blocks(ext2_filsys fs, uint64_t ino, uint64_t *out, uint32_t max);
