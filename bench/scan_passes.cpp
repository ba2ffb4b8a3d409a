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
		// a dry run: the read-only half needs no privilege to move anything
		char *args[] = {argv[0], (char *)"-n", argv[1], argv[2], nullptr};
		defrag_context *ctx = &g_ctx;
		struct setup_result setup;
		if (setup_run(ctx, 4, args, &setup) != SETUP_OK)
			return report_setup_failure(&setup);
		// setup starts the run counters afresh
		double t0 = now_s();
		if (pass1(ctx))
			return 1;
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
		unsigned long long files = scanned_files;
		printf("pass1 %.3fs pass2 %.3fs pass3_prep %.3fs total %.3fs | files %llu "
		       "(%.0f files/s in pass2) extents %llu spextents %llu | peak RSS %ld KiB\n",
		       t1 - t0, t2 - t1, t3 - t2, t3 - t0, files, files / (t2 - t1),
		       scanned_extents, total_spextents, ru.ru_maxrss);
		close(ctx->root_fd);
		// the tree and groups are kept, as in a run; one run per process is
		// what the figures in README.md use, repeats only warm the caches
	}
	return 0;
}
