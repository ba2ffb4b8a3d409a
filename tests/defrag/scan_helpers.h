// Helpers shared by the walk, extent-map, Pass2 and Pass3_prep tests.
#pragma once
#include <cstring>
#include <string>
#include <vector>
#include <fcntl.h>
#include <unistd.h>
#include <ext2fs/ext2fs.h>
#include "quillfold.h"
#include "saved_settings.h"
#include "setup_ctx.h"
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

// Writes `blocks` blocks of bytes at block offset `at`.
inline void write_blocks(int fd, uint64_t at, uint64_t blocks, uint32_t bs)
{
	std::vector<char> buf(bs * blocks, 'x');
	ASSERT_EQ(pwrite(fd, buf.data(), buf.size(), at * bs), (ssize_t)buf.size());
}

} // namespace scantest
