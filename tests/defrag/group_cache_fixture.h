// The fixture of the group-record tests: a run context over a real
// (unmounted) file-system image, with a template handle taken from a plain
// directory.
#pragma once
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include "quillfold.h"
#include "saved_settings.h"
#include "test_support.h"

class GroupCache : public SettingsTest {
protected:
	void SetUp() override
	{
		memset(&ctx, 0, sizeof(ctx));
		image = tmp.path() + "/fs.img";
		// 1 KiB blocks, 1024 blocks and 64 inodes per group: 40 groups in 40 MiB
		testsupport::CmdResult r = testsupport::sh(
			"mkfs.ext4 -q -F -b 1024 -g 1024 -N 2560 -O ^resize_inode '" + image + "' 40M");
		ASSERT_EQ(r.status, 0) << r.err;
		ASSERT_EQ(ext2fs_open(image.c_str(), EXT2_FLAG_64BITS | EXT2_FLAG_FORCE, 0, 0,
				      unix_io_manager, &ctx.fs),
			  0);
		ipg = ctx.fs->super->s_inodes_per_group;
		ctx.root_fd = open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY);
		ASSERT_GE(ctx.root_fd, 0);
		ctx.root_fhandle = (struct file_handle *)malloc(sizeof(struct file_handle) + 128);
		ctx.root_fhandle->handle_bytes = 128;
		ASSERT_EQ(name_to_handle_at(ctx.root_fd, ".", ctx.root_fhandle, &ctx.mount_id, 0),
			  0);
		debug_flags = 0;
	}
	void alloc_groups()
	{
		ctx.groups = (struct group_info **)calloc(group_slot_count(&ctx),
							  sizeof(*ctx.groups));
	}
	void TearDown() override
	{
		if (ctx.groups)
			for (uint32_t g = 0; g < group_slot_count(&ctx); g++)
				free(ctx.groups[g]);
		free(ctx.groups);
		free(ctx.root_fhandle);
		if (ctx.root_fd > 0)
			close(ctx.root_fd);
		if (ctx.fs)
			ext2fs_close(ctx.fs);
	}
	std::string mkdir_n(int i)
	{
		std::string name = "d" + std::to_string(i);
		mkdir((tmp.path() + "/" + name).c_str(), 0755);
		return name;
	}
	testsupport::TempDir tmp;
	std::string image;
	defrag_context ctx;
	uint32_t ipg = 0;
};

