// Helper of bench/inplace_aged.sh: ages a mounted ext4 tree into many
// fragmented files, measures the fragments of every file, compares two
// measurements against the in-place promise, and runs a program reporting its
// wall time and peak memory.
//
//   inplace_frag age <mnt> <files> <seed>
//   inplace_frag stats <mnt> <out.tsv>
//   inplace_frag compare <before.tsv> <after.tsv>
//   inplace_frag run <program> [args...]
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <linux/fiemap.h>
#include <linux/fs.h>

namespace {

struct FileFrag {
	uint64_t ino = 0;
	uint64_t eof = 0;   // blocks up to the end of the last extent
	unsigned frag = 0;  // physically separate pieces
	unsigned extents = 0;
	bool hole = false;
	bool qualifies() const { return extents >= 2 && !hole && frag >= 2 && eof / frag <= 64; }
};

bool measure(const char *path, uint32_t bs, FileFrag *ff)
{
	int fd = open(path, O_RDONLY);
	if (fd < 0)
		return false;
	const unsigned n = 512;
	std::vector<char> buf(sizeof(struct fiemap) + n * sizeof(struct fiemap_extent));
	struct fiemap *fm = (struct fiemap *)buf.data();
	uint64_t start = 0, prev_l = 0, prev_p = 0;
	bool last = false;
	while (!last) {
		memset(buf.data(), 0, buf.size());
		fm->fm_start = start;
		fm->fm_length = ~0ULL;
		fm->fm_flags = FIEMAP_FLAG_SYNC;
		fm->fm_extent_count = n;
		if (ioctl(fd, FS_IOC_FIEMAP, fm) || !fm->fm_mapped_extents)
			break;
		for (unsigned i = 0; i < fm->fm_mapped_extents; i++) {
			struct fiemap_extent *e = &fm->fm_extents[i];
			uint64_t l = e->fe_logical / bs, p = e->fe_physical / bs, len = e->fe_length / bs;
			if (l != prev_l)
				ff->hole = true;
			if (p != prev_p)
				ff->frag++;
			if (!(ff->extents && l == prev_l && p == prev_p))
				ff->extents++;
			prev_l = l + len;
			prev_p = p + len;
			if (e->fe_flags & FIEMAP_EXTENT_LAST)
				last = true;
			start = e->fe_logical + e->fe_length;
		}
		if (fm->fm_mapped_extents < n)
			break;
	}
	struct stat st;
	fstat(fd, &st);
	ff->ino = st.st_ino;
	ff->eof = prev_l;
	close(fd);
	return true;
}

std::map<std::string, FileFrag> *g_files;
uint32_t g_bs;
size_t g_root_len;

int visit(const char *path, const struct stat *st, int type, struct FTW *)
{
	if (type == FTW_F && S_ISREG(st->st_mode) && st->st_size > 0) {
		FileFrag ff;
		if (measure(path, g_bs, &ff))
			(*g_files)[path + g_root_len] = ff;
	}
	return 0;
}

void summary(const char *what, std::vector<double> v)
{
	if (v.empty()) {
		printf("%s: no files\n", what);
		return;
	}
	std::sort(v.begin(), v.end());
	double sum = 0;
	for (double x : v)
		sum += x;
	size_t p99 = (size_t)((v.size() - 1) * 0.99);
	printf("%s: files %zu, mean %.2f, p99 %.0f, max %.0f\n", what, v.size(), sum / v.size(),
	       v[p99], v.back());
}

int cmd_stats(const char *mnt, const char *out)
{
	struct stat st;
	stat(mnt, &st);
	g_bs = (uint32_t)st.st_blksize;
	std::map<std::string, FileFrag> files;
	g_files = &files;
	g_root_len = strlen(mnt);
	nftw(mnt, visit, 64, FTW_PHYS | FTW_MOUNT);
	std::ofstream o(out);
	std::vector<double> all, qual;
	size_t fragmented = 0;
	for (auto &f : files) {
		const FileFrag &x = f.second;
		o << f.first << '\t' << x.ino << '\t' << x.eof << '\t' << x.frag << '\t' << x.extents
		  << '\t' << x.hole << '\n';
		all.push_back(x.frag);
		if (x.frag > 1)
			fragmented++;
		if (x.qualifies())
			qual.push_back(x.frag);
	}
	summary("fragments per file", all);
	summary("fragments per qualifying file", qual);
	printf("fragmented files: %zu\n", fragmented);
	return 0;
}

std::map<std::string, FileFrag> load(const char *path)
{
	std::map<std::string, FileFrag> m;
	std::ifstream in(path);
	std::string line;
	while (std::getline(in, line)) {
		std::istringstream l(line);
		std::string name;
		FileFrag f;
		std::getline(l, name, '\t');
		l >> f.ino >> f.eof >> f.frag >> f.extents >> f.hole;
		m[name] = f;
	}
	return m;
}

int cmd_compare(const char *a, const char *b)
{
	auto before = load(a), after = load(b);
	size_t kept = 0, small_left = 0, broken = 0, missing = 0;
	std::vector<double> q_before, q_after;
	for (auto &f : before) {
		if (!f.second.qualifies())
			continue;
		auto it = after.find(f.first);
		if (it == after.end()) {
			missing++;
			continue;
		}
		q_before.push_back(f.second.frag);
		q_after.push_back(it->second.frag);
		if (it->second.frag <= f.second.frag / 2)
			kept++;
		else if (f.second.eof <= 3)
			small_left++; // only a donor of its own group may take it
		else {
			broken++;
			printf("not at its promise: %s %u -> %u pieces\n", f.first.c_str(),
			       f.second.frag, it->second.frag);
		}
	}
	summary("qualifying files before", q_before);
	summary("qualifying files after", q_after);
	printf("qualifying files at or below half their pieces: %zu; small files left: %zu; "
	       "larger files above the promise: %zu; gone: %zu\n",
	       kept, small_left, broken, missing);
	return broken ? 1 : 0;
}

void write_piece(int fd, std::mt19937_64 &rng, size_t bytes)
{
	std::vector<uint64_t> buf((bytes + 7) / 8);
	for (auto &x : buf)
		x = rng();
	if (write(fd, buf.data(), bytes) != (ssize_t)bytes)
		perror("write");
	sync_file_range(fd, 0, 0,
			SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
				SYNC_FILE_RANGE_WAIT_AFTER);
}

// Files of each directory grow side by side in small pieces, each piece
// written back before the next (allocation happens at write-back, in request
// order); a fifth of them are removed and new files written into the holes.
int cmd_age(const char *mnt, unsigned nfiles, unsigned seed)
{
	std::mt19937_64 rng(seed);
	const unsigned per_dir = 50;
	const uint32_t bs = 4096;
	std::vector<std::string> all;
	for (unsigned d = 0; d * per_dir < nfiles; d++) {
		std::string dir = std::string(mnt) + "/d" + std::to_string(d);
		mkdir(dir.c_str(), 0755);
		unsigned n = std::min(per_dir, nfiles - d * per_dir);
		std::vector<int> fds;
		std::vector<uint64_t> left;
		for (unsigned i = 0; i < n; i++) {
			std::string p = dir + "/f" + std::to_string(i);
			all.push_back(p);
			fds.push_back(open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
			// sizes: a few blocks to a few MiB, mostly small
			unsigned r = rng() % 100;
			uint64_t blocks = r < 35 ? 1 + rng() % 4 : r < 85 ? 8 + rng() % 64 :
					  r < 98 ? 72 + rng() % 328 : 400 + rng() % 1200;
			left.push_back(blocks);
		}
		bool more = true;
		while (more) {
			more = false;
			for (unsigned i = 0; i < n; i++) {
				if (!left[i])
					continue;
				uint64_t piece = std::min<uint64_t>(left[i], 1 + rng() % 16);
				write_piece(fds[i], rng, piece * bs - (rng() % 2 ? 0 : rng() % bs));
				left[i] -= piece;
				more = more || left[i];
			}
		}
		for (int fd : fds)
			close(fd);
	}
	for (auto &p : all)
		if (rng() % 5 == 0)
			unlink(p.c_str());
	for (unsigned i = 0; i < nfiles / 10; i++) {
		std::string p = std::string(mnt) + "/d" + std::to_string(rng() % (nfiles / per_dir)) +
				"/late" + std::to_string(i);
		int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		if (fd < 0)
			continue;
		uint64_t blocks = 16 + rng() % 200;
		while (blocks) {
			uint64_t piece = std::min<uint64_t>(blocks, 1 + rng() % 32);
			write_piece(fd, rng, piece * bs);
			blocks -= piece;
		}
		close(fd);
	}
	sync();
	return 0;
}

int cmd_run(char **argv)
{
	auto t0 = std::chrono::steady_clock::now();
	pid_t pid = fork();
	if (pid == 0) {
		execv(argv[0], argv);
		_exit(127);
	}
	int st = 0;
	struct rusage ru;
	wait4(pid, &st, 0, &ru);
	double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
	fprintf(stderr, "wall %.2f s, peak RSS %.1f MiB, status %d\n", secs, ru.ru_maxrss / 1024.0,
		WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
	return WIFEXITED(st) ? WEXITSTATUS(st) : 1;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc >= 5 && !strcmp(argv[1], "age"))
		return cmd_age(argv[2], (unsigned)atoi(argv[3]), (unsigned)atoi(argv[4]));
	if (argc == 4 && !strcmp(argv[1], "stats"))
		return cmd_stats(argv[2], argv[3]);
	if (argc == 4 && !strcmp(argv[1], "compare"))
		return cmd_compare(argv[2], argv[3]);
	if (argc >= 3 && !strcmp(argv[1], "run"))
		return cmd_run(argv + 2);
	fprintf(stderr, "usage: %s age <mnt> <files> <seed> | stats <mnt> <out.tsv> | "
			"compare <before.tsv> <after.tsv> | run <program> [args...]\n",
		argv[0]);
	return 2;
}
