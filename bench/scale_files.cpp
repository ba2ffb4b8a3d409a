// Helper of bench/space_scale.sh: fills a mounted ext4 file system with files
// that are allocated but never written, each in `pieces` pieces, made by
// allocating the pieces of a group of files in turns, so that the pieces of
// the files of a group lie between each other.
//
//   scale_files <dir> <files> [pieces = 8] [blocks a piece = 4] [files a group = 0: all]
//
// Files go into 1,000 directories of <dir>. With a group of all the files,
// every file's pieces lie between every other's: the whole tree is one
// region that frees as one run only once every file has moved.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static int fail(const char *what, const std::string &path)
{
	fprintf(stderr, "scale_files: %s %s: %s\n", what, path.c_str(), strerror(errno));
	return 1;
}

int main(int argc, char **argv)
{
	if (argc < 3) {
		fprintf(stderr, "usage: scale_files <dir> <files> [pieces] [blocks a piece] "
				"[files a group]\n");
		return 2;
	}
	std::string top = argv[1];
	unsigned long files = strtoul(argv[2], nullptr, 10);
	unsigned pieces = argc > 3 ? (unsigned)strtoul(argv[3], nullptr, 10) : 8;
	unsigned long blocks = argc > 4 ? strtoul(argv[4], nullptr, 10) : 4;
	unsigned long group = argc > 5 ? strtoul(argv[5], nullptr, 10) : 0;
	if (!group || group > files)
		group = files;
	struct stat st;
	if (stat(top.c_str(), &st))
		return fail("stat", top);
	off_t piece = (off_t)blocks * st.st_blksize;

	// one descriptor per file of a group where the limit allows, else each
	// file is opened again for each piece
	struct rlimit rl;
	bool hold = !getrlimit(RLIMIT_NOFILE, &rl) && rl.rlim_max > group + 64;
	if (hold) {
		rl.rlim_cur = rl.rlim_max;
		setrlimit(RLIMIT_NOFILE, &rl);
	}
	const unsigned long dirs = 1000;
	for (unsigned long d = 0; d < dirs && d < files; d++) {
		std::string p = top + "/d" + std::to_string(d);
		if (mkdir(p.c_str(), 0755) && errno != EEXIST)
			return fail("mkdir", p);
	}
	std::vector<int> fds;
	auto path = [&](unsigned long f) {
		return top + "/d" + std::to_string(f % dirs) + "/f" + std::to_string(f);
	};
	for (unsigned long first = 0; first < files; first += group) {
		unsigned long n = files - first < group ? files - first : group;
		fds.assign(n, -1);
		for (unsigned r = 0; r < pieces; r++)
			for (unsigned long i = 0; i < n; i++) {
				std::string p = path(first + i);
				if (fds[i] < 0)
					fds[i] = open(p.c_str(), O_WRONLY | O_CREAT, 0644);
				if (fds[i] < 0)
					return fail("open", p);
				if (fallocate(fds[i], 0, (off_t)r * piece, piece))
					return fail("fallocate", p);
				if (!hold) {
					close(fds[i]);
					fds[i] = -1;
				}
			}
		for (int fd : fds)
			if (fd >= 0)
				close(fd);
	}
	return 0;
}
