#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
extern "C" {
#include <et/com_err.h>
}
#include "quillfold.h"

defrag_context g_ctx;
static const char *g_device;

static uint32_t floor_log2(uint64_t v)
{
	uint32_t l = 0;
	while (v >>= 1)
		l++;
	return l;
}

// Setup: everything up to the first pass. Any failure ends the process.
static void setup(defrag_context *ctx, int argc, char **argv)
{
	defrag_options opts;

	memset(ctx, 0, sizeof(*ctx));
	add_error_table(&et_ext2_error_table);
	gettimeofday(&start_time, nullptr);
	old_time = (uint32_t)(start_time.tv_sec - 864000);

	parse_options(argc, argv, &opts);
	g_device = opts.device;
	run_uid = getuid();

	ctx->root_fd = open(opts.root_dir, O_RDONLY | O_DIRECTORY);
	if (ctx->root_fd < 0) {
		fprintf(stderr, "%s: can not open directory at:%s, errno:%d\n", "main",
			opts.root_dir, errno);
		exit(1);
	}
	if (fstat(ctx->root_fd, &ctx->root_st)) {
		fprintf(stderr, "%s: can fstat root:%s, errno:%d\n", "main", opts.root_dir, errno);
		exit(1);
	}

	struct stat dev_st;
	int ret = stat(opts.device, &dev_st);
	if (ret) {
		com_err(opts.device, ret, "while opening filesystem image");
		exit(1);
	}
	if (!S_ISBLK(dev_st.st_mode)) {
		com_err(opts.device, 0, "while opening filesystem, block device expected");
		exit(1);
	}
	if (dev_st.st_rdev != ctx->root_st.st_dev) {
		com_err(opts.device, 0, "while opening filesystem, wrong block device");
		exit(1);
	}

	// Read-only: nothing is ever written through the library.
	errcode_t err = ext2fs_open(opts.device, EXT2_FLAG_64BITS | EXT2_FLAG_FORCE, 0, 0,
				    unix_io_manager, &ctx->fs);
	if (err) {
		com_err(opts.device, err, "while opening filesystem");
		exit(1);
	}
	ctx->fs->default_bitmap_type = EXT2FS_BMAP64_RBTREE;

	ctx->blocksize_bits = floor_log2(ctx->root_st.st_blksize);
	if (ctx->root_st.st_blksize > (int32_t)opts.cluster_bytes) {
		fprintf(stderr, "defragmentarion cluster can not be less than fsblock size\n");
		exit(1);
	}

	ctx->root_fhandle = (struct file_handle *)malloc(sizeof(struct file_handle) + MAX_HANDLE_SZ);
	if (!ctx->root_fhandle) {
		fprintf(stderr, "%s:  Can not allocate memory errno:%d\n", "main", errno);
		exit(1);
	}
	ctx->root_fhandle->handle_bytes = 0;
	ret = qf_sys.name_to_handle_at(ctx->root_fd, ".", ctx->root_fhandle, &ctx->mount_id, 0);
	if (ret != -1 || errno != EOVERFLOW) {
		fprintf(stderr, "Unexpected result from name_to_handle_at()\n");
		exit(1);
	}
	ret = qf_sys.name_to_handle_at(ctx->root_fd, ".", ctx->root_fhandle, &ctx->mount_id, 0);
	if (ret) {
		fprintf(stderr, "Unexpected result from name_to_handle_at()\n");
		exit(1);
	}

	ctx->dry_run = opts.dry_run;
	ctx->cluster_blocks = opts.cluster_bytes >> ctx->blocksize_bits;
	ctx->reloc_cluster_blocks = opts.reloc_cluster_bytes >> ctx->blocksize_bits;
	if (!ctx->reloc_cluster_blocks)
		ctx->reloc_cluster_blocks = ctx->cluster_blocks;
	if ((opts.min_frag_bytes >> ctx->blocksize_bits) >= 1)
		ctx->min_frag_blocks = (uint32_t)(opts.min_frag_bytes >> ctx->blocksize_bits);
	else
		ctx->min_frag_blocks = 16;
	ctx->scale = opts.scale;
	ctx->quality = (uint32_t)opts.quality;
	ctx->spextents.rb_node = nullptr;
	ctx->force_local = opts.force_local;
	ctx->space_aware = opts.space_aware;
	ctx->report = opts.report;

	ctx->flex_log = options_flex_log(&opts, ctx->fs->super->s_log_groups_per_flex);

	ctx->reloc_order = 2;
	ctx->groups = (struct group_info **)calloc(group_slot_count(ctx), sizeof(*ctx->groups));
	if (!ctx->groups) {
		fprintf(stderr, "%s:  Can not allocate memory errno:%d\n", "main", errno);
		exit(1);
	}
}

static void run_pass2(defrag_context *ctx)
{
	if (verbose)
		printf("Pass2:  Scan directory hierarchy\n");
	if (scan_inode_pass1(ctx, ctx->root_fd, &ctx->root_st, ctx->root_fd, ".")) {
		fprintf(stderr, "Pass2: Can not scan root dentry \n");
		exit(1);
	}
	if (walk_subtree(ctx, ctx->root_fd, scan_inode_pass1)) {
		fprintf(stderr, "Pass2: failed \n");
		exit(1);
	}
	if (verbose)
		printf("Pass2:  Finished. Scanned %llu extents of %llu inodes\n", scanned_extents,
		       scanned_inodes);
	if (debug_flags & 0x08)
		print_tree(&ctx->spextents);
}

static void run_pass3(defrag_context *ctx)
{
	if (verbose)
		printf("Pass3:  Rescan directory hierarchy, scan inodes for relocation\n");
	if (walk_subtree(ctx, ctx->root_fd, scan_inode_pass3)) {
		fprintf(stderr, "Pass3: Rescan subtree failed \n");
		exit(1);
	}
	if (scan_inode_pass3(ctx, ctx->root_fd, &ctx->root_st, ctx->root_fd, ".")) {
		fprintf(stderr, "Pass3: Can not rescan root dentry \n");
		exit(1);
	}
	if (verbose)
		printf("Pass3:  Finished. Found %llu inodes and %llu blocks suitable  for IEF "
		       "relocation\n",
		       ief_candidates, ief_candidate_blocks);
	if (debug_flags & 0x08)
		print_tree(&ctx->spextents);
}

int quillfold_main(int argc, char **argv)
{
	defrag_context *ctx = &g_ctx;

	// progress lines should show up as they happen, also through a pipe
	setvbuf(stdout, nullptr, _IOLBF, 0);
	setup(ctx, argc, argv);
	if (ctx->report)
		report_now(ctx, "before the first pass");

	pass1(ctx);
	if (ctx->space_aware) {
		// one walk of its own reads every map it plans with
		space_aware_passes(ctx);
	} else {
		run_pass2(ctx);
		pass3_prep(ctx);
		run_pass3(ctx);
		if (verbose)
			printf("Pass4: Process defrag list \n");
		pass4(ctx);
	}
	if (ctx->report)
		report_now(ctx, "after the last pass");

	if (show_stats)
		df_show_stats();
	close(ctx->root_fd);
	errcode_t err = ext2fs_close(ctx->fs);
	if (err)
		com_err(g_device, err, "while closing the filesystem.\n");
	return 0;
}
