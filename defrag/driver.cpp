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
#include "analyze.h"
#include "json_out.h"
#include "paths.h"
#include "run_limits.h"

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
	if (walk_tree(ctx, scan_inode_pass1)) {
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
	if (walk_tree(ctx, scan_inode_pass3)) {
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

// Names the pass for the progress line and for the time limit's message.
static void enter_pass(const char *name)
{
	progress_pass(name, 0);
	run_limits_pass(name);
}

// The classic passes; past the time limit the passes not begun are left.
static void default_passes(defrag_context *ctx)
{
	enter_pass("Pass1");
	if (pass1(ctx))
		exit(1);
	if (run_time_up())
		return;
	enter_pass("Pass2");
	run_pass2(ctx);
	if (run_time_up())
		return;
	pass3_prep(ctx);
	enter_pass("Pass3");
	run_pass3(ctx);
	if (run_time_up())
		return;
	if (verbose)
		printf("Pass4: Process defrag list \n");
	run_limits_pass("Pass4");
	pass4(ctx);
}

// What a run stopped by its time limit did and left.
static void say_time_up(const defrag_context *ctx)
{
	const char *pass = run_time_up_pass();
	const char *left = ctx->space_aware           ? "the files not moved yet are"
			   : !strcmp(pass, "Pass4")   ? "the rest of Pass4 is"
			   : !strcmp(pass, "Pass3")   ? "the rest of Pass3 and Pass4 are"
						      : "every move is";
	printf("Time limit reached after %.1f s, in %s: %llu files (%llu blocks) moved; %s "
	       "left for the next run\n",
	       run_seconds(), pass, iaf_inodes + ief_done_inodes, iaf_blocks + ief_done_blocks,
	       left);
}

int quillfold_main(int argc, char **argv)
{
	defrag_context *ctx = &g_ctx;
	struct frag_report before, after;
	struct analysis_result analysis;
	struct json_run json = {};

	// progress lines should show up as they happen, also through a pipe
	setvbuf(stdout, nullptr, _IOLBF, 0);
	struct setup_result setup;
	int status = 0;
	if (setup_run(ctx, argc, argv, &setup) != SETUP_OK)
		exit(report_setup_failure(&setup));
	// With --json standard output carries the object alone: every line the
	// passes print goes to standard error instead, and the object to the
	// descriptor standard output was.
	int json_fd = -1;
	if (ctx->json) {
		fflush(stdout);
		json_fd = dup(STDOUT_FILENO);
		if (json_fd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
			fprintf(stderr, "%s: --json: %m\n", "main");
			exit(1);
		}
		json.device = setup.device;
		json.mount = setup.root_dir;
	}
	progress_start(ctx->blocksize_bits);

	if (ctx->analyze) {
		enter_pass("Analysis");
		run_analysis(ctx, &analysis);
		json.analysis = &analysis;
	} else {
		if (ctx->report) {
			enter_pass("Report");
			report_now(ctx, "before the first pass", &before);
			json.before = &before;
		}
		if (ctx->space_aware) {
			// it plans with the kernel's own free-space map, which is current
			// where the bitmaps on the device may lag, and with one walk of its
			// own: Pass1's tree would go unused
			enter_pass("Space-aware");
			// what was moved before it stopped is real: report it, then fail
			if (space_aware_passes(ctx))
				status = 1;
		} else {
			default_passes(ctx);
		}
		if (run_time_was_up())
			say_time_up(ctx);
		if (ctx->report) {
			progress_pass("Report", 0);
			report_now(ctx, "after the last pass", &after);
			json.after = &after;
		}
	}

	progress_end();
	if (show_stats)
		df_show_stats();
	if (ctx->json) {
		// standard output as it was, for the object (and for whoever runs
		// this in-process)
		fflush(stdout);
		dup2(json_fd, STDOUT_FILENO);
		close(json_fd);
		json.status = status;
		print_json(stdout, ctx, &json);
		fflush(stdout);
	}
	close(ctx->root_fd);
	errcode_t err = ext2fs_close(ctx->fs);
	if (err)
		com_err(setup.device, err, "while closing the filesystem.\n");
	return status;
}
