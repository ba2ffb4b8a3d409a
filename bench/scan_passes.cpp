// Times Pass1 + Pass2 + Pass3_prep on a mounted ext4: the read-only half of a
// run. Usage: scan_passes <device> <mount point> [repeat]
// Prints one line per run: wall time per pass, files per second, extents,
// space extents and the peak resident size of the process.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include "quillfold.h"

static double now_s()
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

int main(int argc, char **argv)
{
	if (argc < 3) {
		fprintf(stderr, "usage: %s device mount_point [repeat]\n", argv[0]);
		return 2;
	}
	int repeat = argc > 3 ? atoi(argv[3]) : 1;
	for (int r = 0; r < repeat; r++) {
		defrag_context *ctx = &g_ctx;
		memset(ctx, 0, sizeof(*ctx));
		gettimeofday(&start_time, nullptr);
		old_time = (uint32_t)(start_time.tv_sec - 864000);
		run_uid = getuid();
		ctx->root_fd = open(argv[2], O_RDONLY | O_DIRECTORY);
		if (ctx->root_fd < 0 || fstat(ctx->root_fd, &ctx->root_st)) {
			perror(argv[2]);
			return 1;
		}
		if (ext2fs_open(argv[1], EXT2_FLAG_64BITS | EXT2_FLAG_FORCE, 0, 0, unix_io_manager,
				&ctx->fs)) {
			fprintf(stderr, "cannot open %s\n", argv[1]);
			return 1;
		}
		ctx->fs->default_bitmap_type = EXT2FS_BMAP64_RBTREE;
		while ((1L << (ctx->blocksize_bits + 1)) <= ctx->root_st.st_blksize)
			ctx->blocksize_bits++;
		ctx->cluster_blocks = 0x100000 >> ctx->blocksize_bits;
		ctx->reloc_cluster_blocks = ctx->cluster_blocks;
		ctx->scale = 2;
		ctx->quality = 700;
		ctx->reloc_order = 2;
		ctx->groups = (group_info **)calloc(group_slot_count(ctx), sizeof(*ctx->groups));

		unsigned long long files0 = scanned_files, ext0 = scanned_extents,
				   sp0 = total_spextents;
		double t0 = now_s();
		pass1(ctx);
		double t1 = now_s();
		if (scan_inode_pass1(ctx, ctx->root_fd, &ctx->root_st, ctx->root_fd, ".") ||
		    walk_subtree(ctx, ctx->root_fd, scan_inode_pass1)) {
			fprintf(stderr, "walk failed\n");
			return 1;
		}
		double t2 = now_s();
		pass3_prep(ctx);
		double t3 = now_s();

		struct rusage ru;
		getrusage(RUSAGE_SELF, &ru);
		unsigned long long files = scanned_files - files0;
		printf("pass1 %.3fs pass2 %.3fs pass3_prep %.3fs total %.3fs | files %llu "
		       "(%.0f files/s in pass2) extents %llu spextents %llu | peak RSS %ld KiB\n",
		       t1 - t0, t2 - t1, t3 - t2, t3 - t0, files, files / (t2 - t1),
		       scanned_extents - ext0, total_spextents - sp0, ru.ru_maxrss);
		close(ctx->root_fd);
		// the tree and groups are kept, as in a run; one run per process is
		// what the figures in README.md use, repeats only warm the caches
	}
	return 0;
}
