// Per-(flex)-group records, the directory cache and opening by file handle.
//
// Directories are kept as file handles, not paths: a donor file is created in
// a cached directory long after the walk saw it, and by then the name may lead
// elsewhere, while the handle still leads to the same inode (or fails).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "groups.h"
#include "syscalls.h"

int group_info_init(uint32_t handle_bytes, struct group_info **groups, uint32_t g)
{
	// One block: the fixed fields, then the 32 handle payload slots.
	size_t size = sizeof(struct group_info) + (size_t)DIRCACHE_SLOTS * handle_bytes;
	struct group_info *gi = (struct group_info *)malloc(size);

	groups[g] = gi;
	if (!gi) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "group_info_init", errno);
		return 0;
	}
	memset(gi, 0, sizeof(*gi));
	return 1;
}

void group_add_dircache(defrag_context *ctx, int dir_fd, uint64_t ino, const char *name)
{
	uint32_t handle_bytes = ctx->root_fhandle->handle_bytes;
	uint32_t g = ino_group(ctx, ino);
	struct group_info *gi = ctx->groups[g];
	int mount_id;

	if (!gi) {
		if (!group_info_init(handle_bytes, ctx->groups, g))
			return;
		gi = ctx->groups[g];
	}
	if (gi->dircache_count >= DIRCACHE_SLOTS)
		return;
	for (uint32_t i = 0; i < gi->dircache_count; i++)
		if (gi->dircache_ino[i] == (uint32_t)ino)
			return;

	struct file_handle *fh = (struct file_handle *)malloc(sizeof(*fh) + handle_bytes);
	if (!fh) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "group_add_dircache",
			errno);
		exit(1);
	}
	fh->handle_bytes = handle_bytes;
	if (qf_sys.name_to_handle_at(dir_fd, name, fh, &mount_id, 0)) {
		if (debug_flags & QF_DBG_DETAIL)
			fprintf(stderr, "Unexpected result from name_to_handle_at()\n");
		free(fh);
		return;
	}
	if (debug_flags & QF_DBG_DIRCACHE)
		printf("%s group:%d cache_idx:%d inode:%d\n", "group_add_dircache", (int)g,
		       (int)gi->dircache_count, (int)ino);
	memcpy(gi->dircache_fid + (size_t)gi->dircache_count * handle_bytes, fh->f_handle,
	       handle_bytes);
	gi->dircache_ino[gi->dircache_count] = (uint32_t)ino;
	gi->dircache_count++;
	free(fh);
}

int __do_open_f_handle(int mount_fd, const struct file_handle *tmpl, const unsigned char *payload,
		       int flags)
{
	struct file_handle *fh = (struct file_handle *)malloc(sizeof(*fh) + tmpl->handle_bytes);
	int fd;

	if (!fh) {
		fprintf(stderr, "%s: Can not allocate memory errno:%d\n", "__do_open_f_handle",
			errno);
		return -1;
	}
	fh->handle_bytes = tmpl->handle_bytes;
	fh->handle_type = tmpl->handle_type;
	memcpy(fh->f_handle, payload, tmpl->handle_bytes);
	// a name the walk saw as a regular file may be a FIFO or a device by
	// now: opening one must neither wait for a writer nor take a terminal
	fd = qf_sys.open_by_handle_at(mount_fd, fh, flags | O_NONBLOCK | O_NOCTTY);
	int saved = errno;
	if (fd < 0 && verbose)
		printf("%s:%d open_by_handle_at failed :errno:%m\n", "__do_open_f_handle", 607);
	free(fh);
	errno = saved; // callers look at why the open failed
	return fd;
}
