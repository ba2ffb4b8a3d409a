// Pass3: cache directories, defragment badly fragmented files in place,
// hand the rest to the relocation test.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include "pass3.h"
#include "candidates.h"
#include "donors.h"
#include "groups.h"
#include "movable.h"
#include "moves.h"
#include "paths.h"
#include "ranges.h"
#include "run_limits.h"
#include "stats.h"
#include "syscalls.h"

// The per-entry debug line: index, logical start, length, physical start, then
// the (flex) group of the physical start and 1 when that is the file's own
// group (0 otherwise), which is what decides whether a donor counts as local.
static void print_map_entries(defrag_context *ctx, const struct fmap *map, uint32_t home)
{
	for (uint32_t i = 0; map && i < map->count; i++) {
		const struct fmap_extent *e = &map->ext[i];
		uint32_t g = blk_group(ctx, e->pblk);
		printf("%u [%u, %u] -> %llu [%u, %u]\n", i, e->lblk, e->len,
		       (unsigned long long)e->pblk, g, g == home ? 1u : 0u);
	}
}

int check_iaf(uint64_t ino, const struct fmap *fmap, const struct fest *fest, uint32_t eof_blk)
{
	int ret = 0;

	// frag is at least 2 whenever the first two tests hold; the guard only
	// keeps a malformed record away from the division.
	if (fmap->count >= 2 && fest->hole == 0 && fest->frag &&
	    eof_blk / fest->frag <= FREE_SPACE_AVER)
		ret = 1;
	if (debug_flags & QF_DBG_MOVES)
		printf("%s ino:%ld frag:%d eof_blk:%lld free_space_aver:%d ret:%d\n", "check_iaf",
		       (long)ino, (int)fest->frag, (long long)eof_blk, FREE_SPACE_AVER, ret);
	if (ret)
		QF_ASSERT(fest->frag >= 2, "fest->frag >= 2");
	return ret;
}

// Opens the walked file again, read-write, by its name; -1 (the file left
// alone) unless the name still leads to the same regular file.
static int reopen_walked_file(int dir_fd, const char *name, const struct stat *st)
{
	struct stat nst;

	// No symlink is followed: the walk handed us a regular file, and a name
	// that now leads through a link is not the file the map belongs to.
	int fd = qf_sys.openat(dir_fd, name, O_RDWR | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0);
	if (fd < 0) {
		if (debug_flags & QF_DBG_MOVES)
			fprintf(stderr, "%s: can not open candidate\n", "do_iaf_defrag_one");
		return -1;
	}
	if (fstat(fd, &nst)) {
		if (debug_flags & QF_DBG_MOVES)
			fprintf(stderr, "%s: stat failed err:%d\n", "do_iaf_defrag_one", errno);
		close(fd);
		return -1;
	}
	if (nst.st_ino != st->st_ino || nst.st_dev != st->st_dev || !S_ISREG(nst.st_mode)) {
		if (debug_flags & QF_DBG_MOVES)
			fprintf(stderr, "%s Race while reopen\n", "do_iaf_defrag_one");
		close(fd);
		return -1;
	}
	return fd;
}

// The file moved in ranges, each into a donor made in its own directory.
static int iaf_in_ranges(defrag_context *ctx, int fd, int dir_fd, uint64_t ino, int named)
{
	int ret = defrag_in_ranges(ctx, fd, dir_fd, ino, named, nullptr);
	close(fd);
	return ret;
}

// Whether a whole donor cannot hold the file: larger than the largest free
// run. Asked only of large files (RANGE_MIN_BYTES), for which reading the
// free-space map costs little against moving them.
static int larger_than_free_runs(defrag_context *ctx, uint64_t blocks)
{
	uint64_t largest;
	return blocks >= (RANGE_MIN_BYTES >> ctx->blocksize_bits) &&
	       !largest_free_run(ctx, &largest, nullptr) && largest < blocks;
}

// In-place defragmentation into a donor of at most max_frag pieces; a file
// no whole donor can hold (or, named with --path, one with holes) is moved
// in ranges instead.
static int iaf_defrag(defrag_context *ctx, int dir_fd, const char *name, const struct stat *st,
		      struct fmap *fmap, struct fest *fest, uint32_t eof_blk, uint32_t max_frag,
		      int named)
{
	struct stat dst;
	struct donor donor;
	uint64_t ino = st->st_ino;
	int fd, ret, force_local;
	uint32_t group;

	if (!fstat(dir_fd, &dst))
		group_add_dircache(ctx, dir_fd, dst.st_ino, ".");
	fd = reopen_walked_file(dir_fd, name, st);
	if (fd < 0)
		return 0;
	int large = (uint64_t)eof_blk >= (RANGE_MIN_BYTES >> ctx->blocksize_bits);
	if ((named && fest->hole) || larger_than_free_runs(ctx, eof_blk))
		return iaf_in_ranges(ctx, fd, dir_fd, ino, named);

	donor_init(&donor);
	force_local = eof_blk <= 3;
	group = ino_group(ctx, ino);

	if (debug_flags & QF_DBG_DETAIL) {
		printf("%s ENTER inode:%ld eof:%llu force_local:%d frag:%u local_ex:%u\n",
		       "do_iaf_defrag_one", (long)ino, (unsigned long long)eof_blk, force_local,
		       fest->frag, fest->local_ex);
		print_map_entries(ctx, fmap, group);
	}

	ret = prepare_donor(ctx, group, &donor, eof_blk, force_local, max_frag);
	if (ret) {
		if (debug_flags & QF_DBG_DETAIL)
			fprintf(stderr, "%s group:%u Can not allocate donor file\n",
				"do_iaf_defrag_one", group);
		// a large file, or one its user named, may still get donors in parts
		if (large || named)
			return iaf_in_ranges(ctx, fd, dir_fd, ino, named);
		close(fd);
		return ret;
	}
	if (debug_flags & QF_DBG_DETAIL) {
		printf("%s FOUND DONOR inode:%ld eof:%llu force_local:%d frag:%u local_ex:%u\n",
		       "do_iaf_defrag_one", (long)ino, (unsigned long long)eof_blk, force_local,
		       fest->frag, fest->local_ex);
		print_map_entries(ctx, donor.fec, group);
	}

	defrag_fadvise(fd, (uint64_t)eof_blk << ctx->blocksize_bits, 1);
	ret = do_defrag_one(ctx->dry_run, fd, ino, fmap, eof_blk, &donor);
	if (!ret) {
		iaf_inodes++;
		iaf_blocks += eof_blk;
		if (verbose)
			printf("%s SUCCESS ino:%lu blocs:%lld old_frag:%u new_frag:%u\n",
			       "do_iaf_defrag_one", (unsigned long)ino, (long long)eof_blk,
			       fest->frag, donor.fest.frag);
	} else if (verbose) {
		printf("%s FAIL ino:%lu blocs:%lld frag:%u donor_frag:%u\n", "do_iaf_defrag_one",
		       (unsigned long)ino, (long long)eof_blk, fest->frag, donor.fest.frag);
	}

	close_donor(&donor);
	close(fd);
	return ret;
}

int do_iaf_defrag_one(defrag_context *ctx, int dir_fd, const char *name, const struct stat *st,
		      struct fmap *fmap, struct fest *fest, uint32_t eof_blk)
{
	return iaf_defrag(ctx, dir_fd, name, st, fmap, fest, eof_blk, fest->frag / 2, 0);
}

int scan_inode_pass3(defrag_context *ctx, int fd, const struct stat *st, int dir_fd,
		     const char *name)
{
	struct fmap *map = nullptr;
	struct fest fest;
	int ret;

	if (S_ISDIR(st->st_mode)) {
		group_add_dircache(ctx, dir_fd, st->st_ino, name);
		return 0;
	}
	if (!S_ISREG(st->st_mode))
		return 0;
	// past the time limit nothing new is started; a file the kernel cannot
	// move is counted and left alone
	if (run_time_up() || skip_unmovable(fd, st->st_ino))
		return 0;

	ret = __get_inode_fiemap(ctx, fd, st->st_ino, ctx->blocksize_bits, &map, &fest);
	if (ret) {
		free(map);
		return ret;
	}
	if (!map || !map->count) {
		free(map);
		return 0;
	}

	uint32_t eof_blk = (uint32_t)fmap_eof_blk(map);
	// a file named with --path is moved whenever a donor with fewer pieces
	// can be had, whatever its size and the length of its pieces
	if (path_named_file(ctx, st->st_ino) && fest.frag >= 2)
		ret = iaf_defrag(ctx, dir_fd, name, st, map, &fest, eof_blk, fest.frag - 1, 1);
	else if (check_iaf(st->st_ino, map, &fest, eof_blk))
		ret = do_iaf_defrag_one(ctx, dir_fd, name, st, map, &fest, eof_blk);
	else
		ret = ief_candidate_test(ctx, dir_fd, name, st, map, &fest);
	free(map);
	return ret;
}
