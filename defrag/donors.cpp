// Donor files: preallocated, unlinked files whose space files are moved into.
//
// A donor is created in a directory of the wanted group (the file system tends
// to place a new inode, and its first blocks, near its directory) without a
// name, so that nothing but our descriptor can reach it and no kill can leave
// one behind, and given all its space in one fallocate so the allocator can
// hand out long contiguous runs. Every path that gives up on a donor goes
// through close_donor, which truncates and closes it: no space outlives the
// attempt.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include "donors.h"
#include "groups.h"
#include "syscalls.h"

void release_donor_space(struct donor *d)
{
	if (d->fd != -1 && ftruncate(d->fd, 0) < 0)
		fprintf(stderr, "%s: Failef to ftruncate(0): %m\n", "release_donor_space");
	free(d->fec);
	d->fec = nullptr;
	d->length = 0;
	d->offset = 0;
}

void close_donor(struct donor *d)
{
	release_donor_space(d);
	if (d->fd != -1) {
		close(d->fd);
		d->fd = -1;
	}
}

int do_alloc_donor_space(defrag_context *ctx, uint32_t grp, struct donor *d, uint64_t blocks,
			 int local, uint32_t frag)
{
	struct fmap *map = nullptr;
	struct stat st;
	int ret;

	QF_ASSERT(d->fd >= 0, "donor->fd >= 0");
	QF_ASSERT(d->length == 0, "donor->length == 0");
	QF_ASSERT(d->fec == 0, "donor->fec == 0");

	if (debug_flags & QF_DBG_MOVES)
		printf("%s grp:%u donor_fd:%d blocks:%llu local:%d frag:%u\n",
		       "do_alloc_donor_space", grp, d->fd, (unsigned long long)blocks, local, frag);

	ret = fallocate(d->fd, 0, 0, (off_t)(blocks << ctx->blocksize_bits));
	if (ret < 0) {
		if (debug_flags & QF_DBG_DIRCACHE)
			fprintf(stderr, "Can fallocate space for donor file err:%d\n", errno);
		return ret;
	}
	ret = fstat(d->fd, &st);
	if (ret) {
		fprintf(stderr, "Error while fstat errno:%d\n", errno);
		return ret;
	}

	ret = __get_inode_fiemap(ctx, d->fd, st.st_ino, ctx->blocksize_bits, &map, &d->fest);
	int accept = !ret && map && map->count > 0;
	int is_local = accept && map->count == d->fest.local_ex;
	if (accept && local && !is_local)
		accept = 0;
	if (accept && d->fest.frag > frag)
		accept = 0;

	if (!accept) {
		if (debug_flags & QF_DBG_MOVES)
			printf("%s:%d REJECT donor grp:%u donor_fd:%d blocks:%llu local:%d frag:%u "
			       "ret:%d\n",
			       "do_alloc_donor_space", 1780, grp, d->fd, (unsigned long long)blocks,
			       local, frag, -1);
		free(map);
		return -1;
	}
	if (debug_flags & QF_DBG_DIRCACHE)
		printf("%s Create donor file is_local:%d blocks:%lld\n", "do_alloc_donor_space",
		       is_local, (long long)blocks);
	d->offset = 0;
	d->length = blocks;
	d->fec = map;
	return 0;
}

int create_donor_file(int dir_fd, int *named)
{
	int fd = qf_sys.openat(dir_fd, ".", O_RDWR | O_TMPFILE, 0700);
	// a kernel or file system without unnamed files refuses the request in
	// one of these ways; anything else is this directory's own failure
	if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
		return fd;
	*named = 1;
	return qf_sys.openat(dir_fd, DONOR_NAME, O_RDWR | O_CREAT | O_EXCL, 0700);
}

int create_unnamed_donor(int dir_fd)
{
	int named = 0;
	int fd = create_donor_file(dir_fd, &named);
	if (fd >= 0 && named && unlinkat(dir_fd, DONOR_NAME, 0)) {
		fprintf(stderr, "Can not unlink donor file %m\n");
		close(fd);
		return -1;
	}
	return fd;
}

int do_find_donor(defrag_context *ctx, uint32_t grp, struct donor *d, uint64_t blocks, int local,
		  uint32_t frag)
{
	struct group_info *gi = ctx->groups[grp];
	uint32_t handle_bytes = ctx->root_fhandle->handle_bytes;

	if (!gi)
		return -1;
	if (debug_flags & QF_DBG_MOVES)
		printf("%s ENTER grp:%u donor_fd:%d blocks:%llu local:%d frag:%u\n", "do_find_donor",
		       grp, d->fd, (unsigned long long)blocks, local, frag);
	if (!gi->dircache_count)
		return -1;

	for (uint32_t i = 0; i < gi->dircache_count; i++) {
		int dir_fd = __do_open_f_handle(ctx->root_fd, ctx->root_fhandle,
						gi->dircache_fid + (size_t)i * handle_bytes, O_RDONLY);
		if (dir_fd < 0) {
			if (debug_flags & QF_DBG_DETAIL)
				fprintf(stderr,
					"%s: Can not open parent handle for grp:%d cache_id:%d "
					"inode:%d fid[0]\n, %m\n",
					"do_find_donor", (int)grp, (int)i, (int)gi->dircache_ino[i]);
			continue;
		}
		int named = 0;
		d->fd = create_donor_file(dir_fd, &named);
		if (d->fd < 0) {
			if (debug_flags & QF_DBG_MOVES)
				fprintf(stderr, "Can not create donor file %m\n");
			d->fd = -1;
			close(dir_fd);
			continue;
		}
		if (debug_flags & QF_DBG_MOVES)
			printf("%s TRY grp:%u donor_fd:%d blocks:%llu local:%d frag:%u\n",
			       "do_find_donor", grp, d->fd, (unsigned long long)blocks, local, frag);
		if (named && unlinkat(dir_fd, DONOR_NAME, 0)) {
			fprintf(stderr, "Can not unlink donor file %m\n");
			close(dir_fd);
			close_donor(d);
			return -1;
		}
		close(dir_fd);

		struct stat st;
		if (fstat(d->fd, &st)) {
			if (debug_flags & QF_DBG_DETAIL)
				fprintf(stderr, "fstat failed %m\n");
			close_donor(d);
			continue;
		}
		uint32_t dgrp = ino_group(ctx, st.st_ino);
		if (dgrp == grp || !local) {
			if (!do_alloc_donor_space(ctx, grp, d, blocks, local, frag))
				return 0;
			close_donor(d);
			continue;
		}
		if (debug_flags & QF_DBG_DETAIL)
			printf("%s donor is from %d, want:%d. skip\n", "do_find_donor", (int)dgrp,
			       (int)grp);
		close_donor(d);
	}
	return -1;
}

int prepare_donor(defrag_context *ctx, uint32_t grp, struct donor *d, uint64_t blocks,
		  int force_local, uint32_t frag)
{
	if (debug_flags & QF_DBG_MOVES)
		printf("%s grp:%u donor_fd:%d blocks:%llu frag:%u\n", "prepare_donor", grp, d->fd,
		       (unsigned long long)blocks, frag);
	QF_ASSERT(blocks, "blocks");

	if (d->fd != -1) {
		release_donor_space(d);
		if (!do_alloc_donor_space(ctx, grp, d, blocks, 1, frag))
			return 0;
		close_donor(d);
	}
	if (!do_find_donor(ctx, grp, d, blocks, 1, frag))
		return 0;
	if (force_local)
		return -1;

	uint32_t ngroups = group_slot_count(ctx);
	for (uint32_t i = 0; i < ngroups; i++) {
		uint32_t g = (uint32_t)(((uint64_t)grp + i) % ngroups);
		if (ctx->groups[g] && !do_find_donor(ctx, g, d, blocks, 0, frag))
			return 0;
	}
	return -1;
}
