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

static void run_pass2(defrag_context *ctx)
{
	if (verbose)
		printf("Pass2:  Scan directory hierarchy\n");
	progress_pass("Pass2", 0);
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
	if (debug_flags & QF_DBG_TREE)
		print_tree(&ctx->spextents);
}

static void run_pass3(defrag_context *ctx)
{
	if (verbose)
		printf("Pass3:  Rescan directory hierarchy, scan inodes for relocation\n");
	progress_pass("Pass3", 0);
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
	if (debug_flags & QF_DBG_TREE)
		print_tree(&ctx->spextents);
}

int quillfold_main(int argc, char **argv)
{
	defrag_context *ctx = &g_ctx;

	// progress lines should show up as they happen, also through a pipe
	setvbuf(stdout, nullptr, _IOLBF, 0);
	struct setup_result setup;
	int status = 0;
	if (setup_run(ctx, argc, argv, &setup) != SETUP_OK)
		exit(report_setup_failure(&setup));
	progress_start(ctx->blocksize_bits);

	if (ctx->report) {
		progress_pass("Report", 0);
		report_now(ctx, "before the first pass");
	}
	if (ctx->space_aware) {
		// it plans with the kernel's own free-space map, which is current
		// where the bitmaps on the device may lag, and with one walk of its
		// own: Pass1's tree would go unused
		progress_pass("Space-aware", 0);
		// what was moved before it stopped is real: report it, then fail
		if (space_aware_passes(ctx))
			status = 1;
	} else {
		progress_pass("Pass1", 0);
		if (pass1(ctx))
			exit(1);
		run_pass2(ctx);
		pass3_prep(ctx);
		run_pass3(ctx);
		if (verbose)
			printf("Pass4: Process defrag list \n");
		pass4(ctx);
	}
	if (ctx->report) {
		progress_pass("Report", 0);
		report_now(ctx, "after the last pass");
	}

	progress_end();
	if (show_stats)
		df_show_stats();
	close(ctx->root_fd);
	errcode_t err = ext2fs_close(ctx->fs);
	if (err)
		com_err(setup.device, err, "while closing the filesystem.\n");
	return status;
}
