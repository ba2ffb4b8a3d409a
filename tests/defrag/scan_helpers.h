// Helpers shared by the walk, extent-map, Pass2 and Pass3_prep tests.
#pragma once
#include <cstring>
#include <string>
#include <vector>
#include <fcntl.h>
#include <unistd.h>
#include <ext2fs/ext2fs.h>
#include "quillfold.h"
#include "test_support.h"

namespace scantest {

// A file-system handle with only a superblock, enough for the group helpers
// (ext2fs_group_of_blk2, inodes per group) on hand-made data.
struct FakeFs {
	struct struct_ext2_filsys fs;
	struct ext2_super_block sb;
	FakeFs(uint32_t blocks_per_group, uint32_t inodes_per_group, uint32_t first_data_block = 0,
	       uint32_t groups = 64)
	{
		memset(&fs, 0, sizeof(fs));
		memset(&sb, 0, sizeof(sb));
		sb.s_blocks_per_group = blocks_per_group;
		sb.s_clusters_per_group = blocks_per_group;
		sb.s_inodes_per_group = inodes_per_group;
		sb.s_first_data_block = first_data_block;
		fs.super = &sb;
		fs.group_desc_count = groups;
	}
};

// The real file system behind a loop image, opened read-only like the driver does.
struct RealFs {
	ext2_filsys fs = nullptr;
	explicit RealFs(const std::string &dev)
	{
		errcode_t err = ext2fs_open(dev.c_str(), EXT2_FLAG_64BITS | EXT2_FLAG_FORCE, 0, 0,
					    unix_io_manager, &fs);
		if (err)
			fs = nullptr;
	}
	~RealFs()
	{
		if (fs)
			ext2fs_close(fs);
	}
};

// Restores the seam table whatever a test did to it.
struct SeamGuard {
	~SeamGuard() { qf_sys = qf_sys_default; }
};

// Zeroes the process-wide run counters and settings the scan passes read.
inline void reset_globals()
{
	total_spextents = scanned_inodes = scanned_dirs = scanned_files = 0;
	scanned_extents = scanned_blocks = 0;
	debug_flags = 0;
	verbose = 0;
	run_uid = 0;
}

// A context for a mounted image: root descriptor and status, block size shift.
inline void ctx_for_mount(defrag_context *ctx, ext2_filsys fs, const std::string &mnt)
{
	memset(ctx, 0, sizeof(*ctx));
	ctx->fs = fs;
	ctx->root_fd = open(mnt.c_str(), O_RDONLY | O_DIRECTORY);
	fstat(ctx->root_fd, &ctx->root_st);
	uint32_t bits = 0;
	while ((1L << (bits + 1)) <= ctx->root_st.st_blksize)
		bits++;
	ctx->blocksize_bits = bits;
}

// Writes `blocks` blocks of bytes at block offset `at`.
inline void write_blocks(int fd, uint64_t at, uint64_t blocks, uint32_t bs)
{
	std::vector<char> buf(bs * blocks, 'x');
	ASSERT_EQ(pwrite(fd, buf.data(), buf.size(), at * bs), (ssize_t)buf.size());
}

} // namespace scantest
