// Pass1 on a large, finely fragmented file system: time, peak memory and the
// real heap cost of one space-extent record.
//
// Usage (root): pass1_bench [image GiB = 8] [files = 12] [MiB per file = 512]
// Makes a sparse image, mounts it, fills each file with fallocate and punches
// every other block out of it (one in-use run per remaining block), settles
// the bitmaps, then runs Pass1 in-process on the read-only library handle.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include "quillfold.h"

static std::string g_dir, g_dev;

static std::string cmd_out(const std::string &cmd)
{
	std::string out;
	FILE *p = popen(cmd.c_str(), "r");
	if (!p)
		return out;
	char buf[256];
	while (fgets(buf, sizeof(buf), p))
		out += buf;
	pclose(p);
	while (!out.empty() && out.back() == '\n')
		out.pop_back();
	return out;
}

static void sys(const std::string &cmd)
{
	if (system(cmd.c_str()) != 0) {
		fprintf(stderr, "failed: %s\n", cmd.c_str());
		exit(1);
	}
}

static void cleanup()
{
	if (g_dir.empty())
		return;
	if (system(("mountpoint -q " + g_dir + "/mnt && umount " + g_dir + "/mnt").c_str())) {
	}
	if (!g_dev.empty() && system(("losetup -d " + g_dev).c_str())) {
	}
	if (system(("rm -rf " + g_dir).c_str())) {
	}
}

static double secs_since(std::chrono::steady_clock::time_point t0)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int main(int argc, char **argv)
{
	unsigned gib = argc > 1 ? atoi(argv[1]) : 8;
	unsigned files = argc > 2 ? atoi(argv[2]) : 12;
	unsigned mib = argc > 3 ? atoi(argv[3]) : 512;
	if (geteuid() != 0) {
		fprintf(stderr, "pass1_bench: needs root (loop device, mount)\n");
		return 1;
	}

	char tmpl[] = "/tmp/qfbench.XXXXXX";
	if (!mkdtemp(tmpl))
		return 1;
	g_dir = tmpl;
	atexit(cleanup);
	std::string img = g_dir + "/fs.img", mnt = g_dir + "/mnt";
	sys("mkdir " + mnt);
	sys("truncate -s " + std::to_string(gib) + "G " + img);
	sys("mkfs.ext4 -q -F -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 " + img);
	g_dev = cmd_out("losetup -f --show " + img);
	sys("mount -o noatime " + g_dev + " " + mnt);

	auto t0 = std::chrono::steady_clock::now();
	const off_t bs = 4096, fsize = (off_t)mib << 20;
	for (unsigned f = 0; f < files; f++) {
		std::string p = mnt + "/f" + std::to_string(f);
		int fd = open(p.c_str(), O_RDWR | O_CREAT, 0644);
		if (fd < 0 || fallocate(fd, 0, 0, fsize)) {
			fprintf(stderr, "fallocate %s: %s\n", p.c_str(), strerror(errno));
			return 1;
		}
		for (off_t o = bs; o < fsize; o += 2 * bs)
			if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, o, bs)) {
				fprintf(stderr, "punch: %s\n", strerror(errno));
				return 1;
			}
		close(fd);
	}
	sys("sync -f " + mnt + " && fsfreeze -f " + mnt + " && fsfreeze -u " + mnt);
	double t_fill = secs_since(t0);

	defrag_context *ctx = &g_ctx;
	memset(ctx, 0, sizeof(*ctx));
	errcode_t err = open_fs(g_dev.c_str(), &ctx->fs);
	if (err) {
		fprintf(stderr, "ext2fs_open: %ld\n", (long)err);
		return 1;
	}

	struct rusage ru0, ru1, ru2;
	getrusage(RUSAGE_SELF, &ru0);
	size_t heap0 = mallinfo2().uordblks;
	t0 = std::chrono::steady_clock::now();
	// Pass1 loads the bitmaps itself; loading them here first separates the
	// library's cost from the scan's.
	if (ext2fs_read_bitmaps(ctx->fs)) {
		fprintf(stderr, "ext2fs_read_bitmaps failed\n");
		return 1;
	}
	double t_bitmaps = secs_since(t0);
	getrusage(RUSAGE_SELF, &ru1);
	size_t heap1 = mallinfo2().uordblks;

	t0 = std::chrono::steady_clock::now();
	if (pass1(ctx))
		return 1;
	double t_scan = secs_since(t0);
	getrusage(RUSAGE_SELF, &ru2);
	size_t heap2 = mallinfo2().uordblks;

	unsigned long long n = total_spextents;
	printf("image %u GiB, %u files x %u MiB, every other block punched (fill %.1f s)\n", gib,
	       files, mib, t_fill);
	printf("groups %u, records %llu\n", ctx->fs->group_desc_count, n);
	printf("bitmap load (ext2fs_read_bitmaps): %.3f s, heap +%.1f MiB\n", t_bitmaps,
	       (heap1 - heap0) / 1048576.0);
	printf("scan (init_one_group x groups + checks): %.3f s, heap +%.1f MiB\n", t_scan,
	       (heap2 - heap1) / 1048576.0);
	printf("Pass1 total: %.3f s\n", t_bitmaps + t_scan);
	printf("bytes per record (heap, allocation included): %.1f (sizeof %zu)\n",
	       n ? (double)(heap2 - heap1) / n : 0.0, sizeof(struct spextent));
	printf("peak RSS: before %ld KiB, after bitmaps %ld KiB, after Pass1 %ld KiB\n",
	       ru0.ru_maxrss, ru1.ru_maxrss, ru2.ru_maxrss);
	ext2fs_close(ctx->fs);
	return 0;
}
