#include "context.h"

#include <cstdio>
#include <cstdlib>

uint32_t debug_flags;
int verbose;
int show_stats;
uint32_t run_uid;
struct timeval start_time;
uint32_t old_time;
int keep_going;

errcode_t open_fs(const char *device, ext2_filsys *fs)
{
	errcode_t err = ext2fs_open(device, EXT2_FLAG_64BITS | EXT2_FLAG_FORCE, 0, 0,
				    unix_io_manager, fs);
	if (err)
		return err;
	// Pass1 loads the bitmaps as red-black trees: one node per run, which
	// is what it walks
	(*fs)->default_bitmap_type = EXT2FS_BMAP64_RBTREE;
	return 0;
}

uint32_t floor_log2(uint64_t v)
{
	uint32_t l = 0;
	while (v >>= 1)
		l++;
	return l;
}

uint32_t group_slot_count(const defrag_context *ctx)
{
	uint32_t n = ctx->fs->group_desc_count;
	return (n + (1U << ctx->flex_log) - 1) >> ctx->flex_log;
}

uint32_t ino_group(const defrag_context *ctx, uint64_t ino)
{
	uint32_t ino32 = (uint32_t)ino;
	return ((ino32 - 1) / ctx->fs->super->s_inodes_per_group) >> ctx->flex_log;
}

uint32_t blk_group(const defrag_context *ctx, uint64_t blk)
{
	return ext2fs_group_of_blk2(ctx->fs, blk) >> ctx->flex_log;
}

void qf_assert_fail(const char *text, const char *file, int line, const char *function)
{
	fflush(stdout);
	fprintf(stderr, "quillfold: %s:%d: %s: Assertion `%s' failed.\n", file, line, function, text);
	abort();
}
